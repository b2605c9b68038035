// Random ColumnarText always comes back exactly through the typed column
// stream: every value class, nulls, the 64-bit extremes, and ISO 8601 times
// across the years 0000 to 9999 in every zone form, alike within a column
// (so the Timestamp codec takes them) or not.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "format/typed_encoding/typed_encoding.hpp"
#include "typed_test_support.hpp"

namespace {

using namespace typed_test;

class ColumnGenerator {
 public:
  explicit ColumnGenerator(std::uint64_t seed) : rng_(seed) {}

  std::vector<std::vector<std::string>> columns() {
    const int count = between(1, 6);
    const int rows = chance(5) ? between(1, 3) : between(4, 200);
    std::vector<std::vector<std::string>> out(count);
    for (auto& column : out) {
      const int kind = between(0, 11);
      const int null_share = chance(3) ? between(1, 60) : 0;  // percent of nulls
      Zone zone = random_zone();
      for (int r = 0; r < rows; ++r) {
        column.push_back(between(1, 100) <= null_share ? "null" : value(kind, zone));
      }
    }
    return out;
  }

 private:
  struct Zone {
    int kind;  // 0 Z, 1 offset, 2 none
    std::string suffix;
    int digits;
  };

  int between(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  bool chance(int one_in) { return between(1, one_in) == 1; }
  std::string pick(std::initializer_list<const char*> options) {
    return *(options.begin() + between(0, static_cast<int>(options.size()) - 1));
  }
  std::string digits(int n, int lo = 0, int hi = 9) {
    std::string s;
    for (int i = 0; i < n; ++i) s.push_back(static_cast<char>('0' + between(lo, hi)));
    return s;
  }
  std::string two(int v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02d", v);
    return buf;
  }

  Zone random_zone() {
    Zone z{between(0, 2), "", chance(2) ? 0 : between(1, 9)};
    if (z.kind == 0) z.suffix.push_back('Z');
    if (z.kind == 1) z.suffix = pick({"+", "-"}).append(two(between(0, 14))).append(":").append(two(between(0, 59)));
    return z;
  }

  // An ISO 8601 text: mostly valid and alike in the column, sometimes not.
  std::string timestamp(const Zone& column_zone) {
    const Zone zone = chance(15) ? random_zone() : column_zone;
    std::string year = chance(10) ? pick({"0000", "9999", "1969", "1970"}) : digits(4);
    std::string t = "\"";
    t.append(year).append("-").append(two(between(1, chance(30) ? 13 : 12))).append("-");
    t.append(two(between(1, chance(30) ? 31 : 28))).append("T").append(two(between(0, chance(30) ? 24 : 23)));
    t.append(":").append(two(between(0, 59))).append(":").append(two(between(0, chance(30) ? 60 : 59)));
    if (zone.digits > 0) t.append(".").append(digits(zone.digits));
    return t + zone.suffix + "\"";
  }

  std::string integer() {
    switch (between(0, 5)) {
      case 0: return pick({"0", "-1", "9223372036854775807", "-9223372036854775808", "1"});
      case 1: return std::to_string(static_cast<std::int64_t>(rng_()));
      case 2: return std::to_string(between(946684800, 2000000000));          // epoch seconds
      case 3: return std::to_string(946684800000LL + between(0, 1 << 30));   // epoch millis
      case 4: return pick({"007", "-0", "92233720368547758070", "+3"});      // not canonical
      default: return std::to_string(between(-1000, 1000));
    }
  }

  std::string uuid() {
    static const char* hex = "0123456789abcdef0123456789ABCDEF";
    std::string s = "\"";
    const int top = chance(10) ? 31 : 15;
    for (int i = 0; i < 32; ++i) {
      if (i == 8 || i == 12 || i == 16 || i == 20) s += "-";
      s += hex[between(0, top)];
    }
    return s + "\"";
  }

  std::string text(int distinct) {
    std::string s = chance(8) ? pick({"", "\"", "\\\"", "x\"", "\"\"", "nul"}) : "";
    if (!s.empty()) return s;
    const std::string word = std::string("w").append(std::to_string(between(0, distinct)));
    return chance(6) ? word : std::string("\"").append(word).append("\"");
  }

  std::string value(int kind, const Zone& zone) {
    switch (kind) {
      case 0: return integer();
      case 1: return pick({"1.5", "-0.25", "1e9", "2.", ".5", "1E-3"});
      case 2: return chance(2) ? "true" : "false";
      case 3: return timestamp(zone);
      case 4: return uuid();
      case 5: return text(5);
      case 6: return text(400);
      case 7: return "null";
      case 8: return chance(2) ? integer() : timestamp(zone);  // mixed classes
      case 9: {  // any bytes but the separators
        std::string s;
        for (int i = between(0, 6); i > 0; --i) s.push_back(static_cast<char>(between(2, 255)));
        return s;
      }
      case 10: return std::to_string(between(946684800, 2000000000));
      default: return chance(3) ? uuid() : text(3);
    }
  }

  std::mt19937_64 rng_;
};

TEST(TypedStreamProperty, RandomColumnarTextComesBackExactly) {
  int accepted = 0;
  std::set<std::pair<std::uint8_t, std::uint8_t>> encodings;
  for (std::uint64_t seed = 1; seed <= 3000; ++seed) {
    ColumnGenerator generator(seed);
    const Bytes text = columnar(generator.columns());
    const auto stream = te::preprocess(text);
    if (!stream) continue;
    ++accepted;
    for (const auto& tags : tags_of(*stream)) encodings.insert(tags);
    ASSERT_LT(stream->size(), text.size()) << "seed " << seed;
    ASSERT_EQ(te::reverse(*stream, text.size()), text) << "seed " << seed;
    ASSERT_EQ(te::reverse(*stream, text.size() - 1), *stream) << "seed " << seed;
  }
  EXPECT_GT(accepted, 800);
  // Every encoding preprocess writes, and every inner encoding of Nullable.
  for (std::uint8_t tag : {0, 1, 2, 4, 5, 6, 7}) EXPECT_TRUE(encodings.count({tag, 0})) << int{tag};
  for (std::uint8_t inner : {1, 2, 4, 5, 6, 7}) EXPECT_TRUE(encodings.count({3, inner})) << int{inner};
}

}  // namespace
