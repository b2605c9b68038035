// Where the column decoders put their values. A joined sink appends them to
// the output with 0x01 between them, exactly as ColumnarText holds a column;
// a listed sink appends them back to back and records where each ends (the
// non-null values of a Nullable column, merged with its nulls afterwards).
//
// Both stop at a budget: once the buffer holds more than it, full() is true,
// and every decoder stops at its next value. The bytes a decoder can add
// before it looks again are bounded by its body, so the quadratic and
// per-byte expansions of damaged bodies never get far.
#pragma once

#include <cstdint>
#include <vector>

#include "format/columnar.hpp"
#include "kvn/bytes.hpp"

namespace kelvane::format::typed_encoding {

class ValueSink {
 public:
  ValueSink(kvn::Bytes& out, std::uint64_t budget) noexcept : out_(out), budget_(budget) {}
  ValueSink(kvn::Bytes& out, std::vector<std::size_t>& ends, std::uint64_t budget) noexcept
      : out_(out), ends_(&ends), budget_(budget) {}

  void begin_value() {
    if (ends_ == nullptr && count_ != 0) out_.push_back(kValueSeparator);
  }
  void append(kvn::ByteSpan bytes) { out_.insert(out_.end(), bytes.begin(), bytes.end()); }
  void append(std::uint8_t byte) { out_.push_back(byte); }
  void end_value() {
    ++count_;
    if (ends_ != nullptr) ends_->push_back(out_.size());
  }
  void value(kvn::ByteSpan bytes) {
    begin_value();
    append(bytes);
    end_value();
  }

  bool full() const noexcept { return exhausted_ || out_.size() > budget_; }
  // Bytes the buffer may still grow by.
  std::uint64_t room() const noexcept { return full() ? 0 : budget_ - out_.size(); }
  // Makes the sink full: a decoder feeding it ran out of budget elsewhere.
  void exhaust() noexcept { exhausted_ = true; }
  std::uint64_t count() const noexcept { return count_; }
  // The buffer itself, for decoders that write in place between
  // begin_value() and end_value().
  kvn::Bytes& buffer() noexcept { return out_; }

 private:
  kvn::Bytes& out_;
  std::vector<std::size_t>* ends_ = nullptr;
  std::uint64_t budget_;
  std::uint64_t count_ = 0;
  bool exhausted_ = false;
};

}  // namespace kelvane::format::typed_encoding
