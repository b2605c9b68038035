#include "entropy/arithmetic.hpp"

#include <utility>

namespace kelvane::entropy {

kvn::Bytes ArithmeticEncoder::finish() {
  for (int shift = 24; shift >= 0; shift -= 8) {
    out_.push_back(static_cast<std::uint8_t>(low_ >> shift));
  }
  return std::move(out_);
}

ArithmeticDecoder::ArithmeticDecoder(kvn::ByteSpan stream) noexcept : stream_(stream) {
  for (int i = 0; i < 4; ++i) x_ = (x_ << 8) | next_byte();
  if (pos_ > stream_.size()) pos_ = stream_.size();
}

}  // namespace kelvane::entropy
