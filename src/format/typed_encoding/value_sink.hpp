// Where the column decoders put their values.
//
// TextOutput holds the text of a reverse in one buffer that never holds
// more than the budget: a write that would take the text past the budget is
// not made, and the output is full from then on. The buffer doubles up to a
// sixteenth of the budget (plus kGrowthAllowance); a text that needs more
// gets the whole budget at once. A reallocation holds the old buffer and
// the new one for a moment, so the most the text ever holds is 1/16 more
// than the budget, and the allowance: beside the text it decodes, a reverse
// then holds little more than two texts.
//
// ValueSink writes one column's values into the output, 0x01 between them,
// exactly as ColumnarText holds a column. For a Nullable column it places
// them at the set bits of the presence bitmap and writes `null` at the other
// positions as it goes, so the column needs no buffer of its own.
#pragma once

#include <cstdint>

#include "format/columnar.hpp"
#include "kvn/bytes.hpp"

namespace kelvane::format::typed_encoding {

class TextOutput {
 public:
  static constexpr std::uint64_t kGrowthAllowance = std::uint64_t{512} << 10;
  static constexpr std::uint64_t kGrowthShare = 16;  // the doubling stops at budget / kGrowthShare

  // Appends to `text`, reserving room for `expected` bytes first: the
  // whole budget when it is no more, else no more than a growth may.
  TextOutput(kvn::Bytes& text, std::uint64_t budget, std::uint64_t expected);

  void put(kvn::ByteSpan bytes) {
    if (claim(bytes.size())) text_.insert(text_.end(), bytes.begin(), bytes.end());
  }
  void put(std::uint8_t byte) {
    if (claim(1)) text_.push_back(byte);
  }

  std::uint64_t size() const noexcept { return text_.size(); }
  std::uint64_t budget() const noexcept { return budget_; }
  bool full() const noexcept { return full_; }

 private:
  // True when `n` more bytes may be written, the buffer grown if need be.
  bool claim(std::size_t n) {
    if (n > room_ && !make_room(n)) return false;
    room_ -= n;
    return true;
  }
  bool make_room(std::size_t n);
  void reserve(std::uint64_t capacity);

  kvn::Bytes& text_;
  std::uint64_t budget_;
  std::uint64_t growth_limit_;  // the buffer doubles up to this, then takes the budget
  std::uint64_t room_ = 0;      // bytes writable without growing or passing the budget
  bool full_ = false;
};

class ValueSink {
 public:
  explicit ValueSink(TextOutput& out) noexcept : out_(out), start_(out.size()) {}

  void begin_value() {
    if (placing_) return place_value();
    if (written_ != 0) out_.put(kValueSeparator);
    ++written_;
  }
  void append(kvn::ByteSpan bytes) {
    value_bytes_ += bytes.size();
    if (!dropping_) out_.put(bytes);
  }
  void append(std::uint8_t byte) {
    ++value_bytes_;
    if (!dropping_) out_.put(byte);
  }
  void value(kvn::ByteSpan bytes) {
    begin_value();
    append(bytes);
  }

  // From here on, the values go to the set bits among the first `count`
  // bits of `bits` (least significant bit first) and `null` to the clear
  // ones; values past the last set bit are dropped. finish_places() then
  // writes `null` at every position still open.
  void place_at(kvn::ByteSpan bits, std::uint64_t count) noexcept {
    bits_ = bits;
    places_ = count;
    placing_ = true;
    dropping_ = count == 0;
  }
  void finish_places();

  // True once the column is over the budget and the decoder should stop:
  // the output is full, or the values alone, dropped ones included, would
  // not fit in what the budget left the column.
  bool full() const noexcept { return out_.full() || over_values(); }
  // Values written, `null` included.
  std::uint64_t count() const noexcept { return written_; }

 private:
  bool over_values() const noexcept { return value_bytes_ > out_.budget() - start_; }
  bool bit_set(std::uint64_t i) const noexcept { return (bits_[i / 8] >> (i % 8)) & 1u; }
  void place_value();
  void put_null();

  TextOutput& out_;
  std::uint64_t start_;            // the output's size when the column began
  std::uint64_t written_ = 0;      // values written to the output
  std::uint64_t value_bytes_ = 0;  // bytes of the decoder's values, dropped ones included
  kvn::ByteSpan bits_;
  std::uint64_t places_ = 0;  // positions of a Nullable column
  bool placing_ = false;      // values go to the set bits of `bits_`
  bool dropping_ = false;     // the current value has no position
};

}  // namespace kelvane::format::typed_encoding
