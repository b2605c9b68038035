// The output's growth and the placement of a Nullable column's values.
#include "format/typed_encoding/value_sink.hpp"

#include <algorithm>

namespace kelvane::format::typed_encoding {
namespace {

constexpr std::uint8_t kNull[] = {'n', 'u', 'l', 'l'};
constexpr std::uint64_t kFirstCapacity = 64;

}  // namespace

TextOutput::TextOutput(kvn::Bytes& text, std::uint64_t budget, std::uint64_t expected)
    : text_(text), budget_(budget), growth_limit_(std::min(budget, budget / kGrowthShare + kGrowthAllowance)) {
  // A budget within the expected size can be reserved whole at once.
  reserve(expected >= budget ? budget : std::min(expected, growth_limit_));
}

bool TextOutput::make_room(std::size_t n) {
  if (full_ || n > budget_ - text_.size()) {
    full_ = true;
    room_ = 0;
    return false;
  }
  const std::uint64_t need = text_.size() + n;
  const std::uint64_t doubled = std::max({2 * std::uint64_t{text_.capacity()}, need, kFirstCapacity});
  reserve(need <= growth_limit_ ? std::min(doubled, growth_limit_) : budget_);
  return true;
}

void TextOutput::reserve(std::uint64_t capacity) {
  if (capacity > text_.capacity()) text_.reserve(static_cast<std::size_t>(capacity));
  room_ = std::min<std::uint64_t>(text_.capacity(), budget_) - text_.size();
}

void ValueSink::put_null() {
  if (written_ != 0) out_.put(kValueSeparator);
  out_.put(kvn::ByteSpan(kNull));
  ++written_;
}

void ValueSink::place_value() {
  while (written_ < places_ && !bit_set(written_) && !out_.full()) put_null();
  dropping_ = written_ == places_ || out_.full();
  if (dropping_) return;
  if (written_ != 0) out_.put(kValueSeparator);
  ++written_;
}

void ValueSink::finish_places() {
  while (written_ < places_ && !out_.full()) put_null();
}

}  // namespace kelvane::format::typed_encoding
