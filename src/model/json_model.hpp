// JsonModel: predicts from the state of a small JSON lexer run over the
// coded bytes: where the lexer stands (in a key, a value string, a number, a
// literal, after a colon ...), the nesting depth and, after a colon and
// inside strings, a hash of the most recent key.
// Memory: `table` of json_table_size bytes (CMConfig field 14), zeroed; a
// StateMap.
// Input: MixerInput 23.
// Per bit: at a byte boundary the lexer takes the byte just coded (c1, a 0
// before the first byte; the last byte of the input is never lexed); then
// predict() reads the slot of the lexer context and c0; update() trains the
// StateMap and steps the slot.
//
// The lexer decides whether a string is a key from the one byte before its
// opening quote (a blank, ',' or '{'), so a string after ": " counts as a key
// and one straight after ':' does not; a value string keeps the last key's
// hash.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kvn/error.hpp"
#include "mixer/history.hpp"
#include "mixer/logistic.hpp"
#include "mixer/mixer_input.hpp"
#include "model/hash.hpp"
#include "model/table_size.hpp"
#include "state/context_map.hpp"
#include "state/state_table.hpp"
#include "state/zeroed_table.hpp"

namespace kelvane::model {

enum class JsonLexState : std::uint8_t {
  TopLevel = 0,  // the start, and after ']' or '}' met at depth 0 or 1
  Member = 1,    // after '{', ',' or a key string
  Value = 2,     // after ':', a value string, or ']' / '}' met at depth 2 or more
  Element = 3,   // after '['
  String = 4,
  Number = 5,
  Literal = 6,   // after 'f', 'n' or 't'
};

// The lexer of the JSON model; a plain value so that the engine can step a
// copy to look one byte ahead.
struct JsonLexer {
  std::uint32_t key_hash = 0;  // hash of the bytes of the most recent key
  bool is_key = false;         // the current or last string is an object key
  bool escape = false;         // the previous byte inside a string was a backslash
  JsonLexState state = JsonLexState::TopLevel;
  std::uint8_t depth = 0;      // nesting of '[' and '{', saturating at 255
  std::uint8_t last_byte = 0;

  void step(std::uint8_t ch) noexcept {
    if (state != JsonLexState::String) {
      step_outside_string(ch);
    } else if (escape) {
      escape = false;
      if (is_key) key_hash = (key_hash * FNV_PRIME) ^ ch;
    } else if (ch == '"') {
      state = is_key ? JsonLexState::Member : JsonLexState::Value;
    } else if (ch == '\\') {
      escape = true;
    } else if (is_key) {
      key_hash = (key_hash * FNV_PRIME) ^ ch;
    }
    last_byte = ch;
  }

 private:
  void step_outside_string(std::uint8_t ch) noexcept {
    switch (ch) {
      case '"':
        state = JsonLexState::String;
        is_key = opens_key(last_byte);
        if (is_key) key_hash = 0;
        break;
      case ',': state = JsonLexState::Member; break;
      case ':': state = JsonLexState::Value; break;
      case '[':
        state = JsonLexState::Element;
        if (depth < 255) ++depth;
        break;
      case '{':
        state = JsonLexState::Member;
        if (depth < 255) ++depth;
        break;
      case ']':
      case '}':
        state = depth < 2 ? JsonLexState::TopLevel : JsonLexState::Value;
        if (depth > 0) --depth;
        break;
      case '-': case '0': case '1': case '2': case '3': case '4':
      case '5': case '6': case '7': case '8': case '9':
        state = JsonLexState::Number;
        break;
      case 'f': case 'n': case 't':
        state = JsonLexState::Literal;
        break;
      default: break;
    }
  }

  // TAB, LF, FF, CR, space, ',' or '{' before a quote make the string a key.
  static bool opens_key(std::uint8_t before) noexcept {
    switch (before) {
      case 9: case 10: case 12: case 13: case ' ': case ',': case '{': return true;
      default: return false;
    }
  }
};

class JsonModel {
 public:
  static constexpr std::size_t INPUT = mixer::MixerInput::JSON;
  static constexpr std::uint32_t SEED = 0x4CFFF91Au;

  JsonModel() = default;

  static kvn::Result<JsonModel> create(std::uint32_t size) {
    KVN_RETURN_IF_ERROR(check_table_size(size, 1, "JSON table"));
    JsonModel model;
    KVN_ASSIGN_OR_RETURN(model.table_, state::ZeroedTable<std::uint8_t>::allocate(size));
    model.mask_ = size - 1;
    return model;
  }

  // The byte-boundary step with the byte just coded.
  void update_json_state(std::uint8_t c1) noexcept { lexer_.step(c1); }

  // The slot hash of a bit: the lexer context, then the key hash in key
  // values and strings.
  static std::uint32_t context(const JsonLexer& lexer, std::uint32_t c0) noexcept {
    const auto lex = static_cast<std::uint32_t>(lexer.state);
    std::uint32_t h = key(SEED, lex, lexer.is_key ? 1u : 0u,
                          lexer.depth < 3 ? lexer.depth : 3u, c0);
    if (lexer.state == JsonLexState::Value || lexer.state == JsonLexState::String) {
      h = (h * FNV_PRIME) ^ lexer.key_hash;
    }
    return h;
  }

  void predict(const mixer::History& h, mixer::MixerInput& in) noexcept {
    if (h.bp == 0) update_json_state(h.c1);
    slot_hash_ = context(lexer_, h.c0);
    state_ = table_[slot_hash_ & mask_];
    in[INPUT] = mixer::stretch(state_map_.p(state_));
  }

  // Starts loading the slot the next bit will read; `next` is the history
  // once this bit has been appended. Changes nothing.
  void prefetch(const mixer::History& next) const noexcept {
    JsonLexer lexer = lexer_;
    if (next.bp == 0) lexer.step(next.c1);
    __builtin_prefetch(&table_[context(lexer, next.c0) & mask_]);
  }

  void update(const mixer::History&, std::uint32_t bit) noexcept {
    state_map_.update(state_, bit);
    table_[slot_hash_ & mask_] = state::next(state_, bit);
  }

  const JsonLexer& lexer() const noexcept { return lexer_; }

 private:
  state::ZeroedTable<std::uint8_t> table_;
  state::StateMap state_map_;
  std::uint32_t mask_ = 0;
  JsonLexer lexer_;
  std::uint32_t slot_hash_ = 0;
  std::uint8_t state_ = 0;
};

}  // namespace kelvane::model
