// The JSON model's lexer and context, and the indirect model's successor
// table.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "mixer/history.hpp"
#include "mixer/mixer_input.hpp"
#include "model/hash.hpp"
#include "model/indirect_model.hpp"
#include "model/json_model.hpp"

namespace {

namespace model = kelvane::model;
using kelvane::mixer::History;
using kelvane::mixer::MixerInput;
using model::JsonLexState;
constexpr std::uint32_t P = 16777619u;

// The lexer after the engine's first boundary (a 0 byte) and then `coded`.
model::JsonLexer lexed(const std::string& coded) {
  model::JsonLexer lexer;
  lexer.step(0);
  for (unsigned char c : coded) lexer.step(c);
  return lexer;
}

std::uint32_t hash_of(const std::string& key) {
  std::uint32_t h = 0;
  for (unsigned char c : key) h = (h * P) ^ c;
  return h;
}

TEST(JsonLexer, FollowsKeysValuesAndNesting) {
  const struct {
    std::string coded;
    JsonLexState state;
    bool is_key;
    std::uint8_t depth;
    std::uint32_t key_hash;
  } cases[] = {
      {"", JsonLexState::TopLevel, false, 0, 0},
      // The first byte follows the 0 the lexer saw first: not a key.
      {"\"s", JsonLexState::String, false, 0, 0},
      {"{\"ab", JsonLexState::String, true, 1, hash_of("ab")},
      {"{\"ab\"", JsonLexState::Member, true, 1, hash_of("ab")},
      {"{\"ab\":", JsonLexState::Value, true, 1, hash_of("ab")},
      // After ": " the value string counts as a key and restarts the hash.
      {"{\"ab\": \"cd", JsonLexState::String, true, 1, hash_of("cd")},
      // After ":" it is a value and keeps the key's hash.
      {"{\"ab\":\"cd", JsonLexState::String, false, 1, hash_of("ab")},
      {"{\"ab\":\"cd\"", JsonLexState::Value, false, 1, hash_of("ab")},
      // An escaped quote is hashed and does not close the key; the
      // backslash itself is not hashed.
      {"{\"a\\\"b", JsonLexState::String, true, 1, hash_of("a\"b")},
      {"[1,{\"k\":[t", JsonLexState::Literal, true, 3, hash_of("k")},
      {"[t1", JsonLexState::Number, false, 1, 0},
      {"[true", JsonLexState::Literal, false, 1, 0},
      {"[null", JsonLexState::Literal, false, 1, 0},
      {"[-", JsonLexState::Number, false, 1, 0},
      {"[[]", JsonLexState::Value, false, 1, 0},
      {"[[]]", JsonLexState::TopLevel, false, 0, 0},
      {"]", JsonLexState::TopLevel, false, 0, 0},
      {"{\"a\",", JsonLexState::Member, true, 1, hash_of("a")},
      // VT is not a blank; FF is.
      {"[\v\"x", JsonLexState::String, false, 1, 0},
      {"[\f\"x", JsonLexState::String, true, 1, hash_of("x")},
  };
  for (const auto& c : cases) {
    const auto lexer = lexed(c.coded);
    EXPECT_EQ(lexer.state, c.state) << c.coded;
    EXPECT_EQ(lexer.is_key, c.is_key) << c.coded;
    EXPECT_EQ(lexer.depth, c.depth) << c.coded;
    EXPECT_EQ(lexer.key_hash, c.key_hash) << c.coded;
  }
}

TEST(JsonLexer, DepthSaturatesBothWays) {
  EXPECT_EQ(lexed(std::string(256, '[')).depth, 255);
  EXPECT_EQ(lexed(std::string(300, '[') + "]").depth, 254);
  const auto closed = lexed("]}]");
  EXPECT_EQ(closed.depth, 0);
  EXPECT_EQ(closed.state, JsonLexState::TopLevel);
}

TEST(JsonModel, AddsTheKeyHashInValuesAndStrings) {
  const auto value = lexed("{\"ab\":");
  EXPECT_EQ(model::JsonModel::context(value, 5),
            ((model::key(0x4CFFF91Au, 2u, 1u, 1u, 5u)) * P) ^ hash_of("ab"));
  const auto member = lexed("[{\"ab\",");
  EXPECT_EQ(model::JsonModel::context(member, 1), model::key(0x4CFFF91Au, 1u, 1u, 2u, 1u));
  // Depth enters as at most 3.
  EXPECT_EQ(model::JsonModel::context(lexed("[[[[[["), 1), model::key(0x4CFFF91Au, 3u, 0u, 3u, 1u));
}

// Feeds `coded` through the indirect model bit by bit as the engine does.
model::IndirectModel indirect_after(const std::string& coded) {
  auto m = model::IndirectModel::create();
  EXPECT_TRUE(m.ok());
  History h;
  MixerInput in;
  for (unsigned char c : coded) {
    for (int i = 7; i >= 0; --i) {
      const std::uint32_t bit = (c >> i) & 1u;
      m->predict(h, in);
      m->update(h, bit);
      if (h.push_bit(bit)) h.end_byte(h.completed_byte());
    }
  }
  return std::move(m.value());
}

TEST(IndirectModel, KeepsAConfidentSuccessorThroughOneMiss) {
  const std::uint32_t abc = model::fnv(model::FNV_BASIS, 'a', 'b', 'c');
  const struct {
    std::string coded;
    std::uint8_t stored;
    std::uint8_t confidence;
  } cases[] = {
      {"abcx", 'x', 1},
      {"abcxabcx", 'x', 2},
      {"abcxabcxabcy", 'x', 1},
      {"abcxabcxabcyabcy", 'y', 1},
      {"abcxabcyabcz", 'z', 1},
  };
  for (const auto& c : cases) {
    const auto m = indirect_after(c.coded);
    EXPECT_EQ(m.stored(abc), c.stored) << c.coded;
    EXPECT_EQ(m.confidence(abc), c.confidence) << c.coded;
  }
  // At the next boundary after "abc" the model predicts from the stored byte.
  auto m = indirect_after("abcxabcxabc");
  History h;
  h.c3 = 'a';
  h.c2 = 'b';
  h.c1 = 'c';
  MixerInput in;
  m.predict(h, in);
  EXPECT_EQ(m.predicted(), 'x');
}

}  // namespace
