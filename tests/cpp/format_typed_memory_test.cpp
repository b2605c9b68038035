// The typed stream's reverse holds, beside its input, no more than about the
// text it may write: at most 1/16 more than its budget and 1 MiB, whatever the
// stream declares. A few kilobytes of Enum indices expand to the budget, as
// a plain column and as the non-null values of a Nullable column whose
// bitmap has every bit set (the values once went through a buffer of their
// own and a table of where each ends); a long FSST value is decoded through
// a buffer of fixed size. Every C++ allocation of this program is counted,
// so the peak is measured, not estimated.
#include <gtest/gtest.h>

#include "counting_allocator.hpp"
#include "format/typed_encoding/typed_encoding.hpp"
#include "typed_test_support.hpp"

namespace {

using namespace typed_test;
using counting_allocator::peak_of;

constexpr std::uint32_t kEntryBytes = 1000;
constexpr std::uint32_t kRows = 32 * 1024;
// Every row is the entry, and 0x01 between rows.
constexpr std::uint64_t kTextBytes = std::uint64_t{kRows} * (kEntryBytes + 1) - 1;

// One entry, then the index of that entry kRows times.
Bytes enum_body() {
  Bytes body = {1};
  body << u32(kEntryBytes);
  body.resize(body.size() + kEntryBytes, 'e');
  body << u32(kRows);
  body.resize(body.size() + kRows, 0);
  return body;
}

Bytes stream_of_column(bool nullable) {
  const auto enum_tag = static_cast<std::uint8_t>(te::ColumnEncoding::Enum);
  if (!nullable) return stream_of({{enum_tag, enum_body()}});
  Bytes body = {enum_tag};
  body << u32(kRows) << u32(kRows / 8);
  body.resize(body.size() + kRows / 8, 0xFF);  // every value present
  body << enum_body();
  return stream_of({{static_cast<std::uint8_t>(te::ColumnEncoding::Nullable), body}});
}

std::uint64_t allowance(std::uint64_t budget) { return budget + budget / 16 + (std::uint64_t{1} << 20); }

TEST(TypedReverseMemory, TextAtItsBudgetIsHeldOnce) {
  for (const bool nullable : {false, true}) {
    const Bytes stream = stream_of_column(nullable);
    ASSERT_LT(stream.size(), 64u << 10);
    Bytes text;
    const std::size_t peak = peak_of([&] { text = te::reverse(stream, kTextBytes); });
    ASSERT_EQ(text.size(), kTextBytes) << nullable;
    EXPECT_EQ(S(ByteSpan(text).first(kEntryBytes + 1)), std::string(kEntryBytes, 'e') + "\x01");
    EXPECT_GE(peak, kTextBytes);
    EXPECT_LT(peak, allowance(kTextBytes)) << nullable;
  }
}

TEST(TypedReverseMemory, TextPastItsBudgetIsRefusedWithinIt) {
  // One byte short, and far short: the stream comes back as it was, having
  // held no more than the budget allows.
  for (const bool nullable : {false, true}) {
    const Bytes stream = stream_of_column(nullable);
    for (const std::uint64_t budget : {kTextBytes - 1, kTextBytes / 3}) {
      Bytes text;
      const std::size_t peak = peak_of([&] { text = te::reverse(stream, budget); });
      EXPECT_EQ(text, stream) << nullable << " " << budget;
      EXPECT_LT(peak, allowance(budget)) << nullable << " " << budget;
    }
  }
}

TEST(TypedReverseMemory, LongFsstValueDecodesThroughASmallBuffer) {
  // One value of a million one-byte symbols: its text is a megabyte, and
  // decoding it whole would take a buffer of eight bytes a code.
  constexpr std::uint32_t kCodes = 1 << 20;
  Bytes body = u16(1);
  body << B("xxxxxxxx") << Bytes{1} << u32(1) << u32(kCodes);
  body.resize(body.size() + kCodes, 0);
  const Bytes stream = stream_of({{static_cast<std::uint8_t>(te::ColumnEncoding::FsstString), body}});
  const std::uint64_t text_bytes = kCodes + 2;  // and its quotes
  Bytes text;
  const std::size_t peak = peak_of([&] { text = te::reverse(stream, text_bytes); });
  ASSERT_EQ(text.size(), text_bytes);
  EXPECT_EQ(text.front(), '"');
  EXPECT_EQ(text[kCodes], 'x');
  EXPECT_LT(peak, allowance(text_bytes));
}

}  // namespace
