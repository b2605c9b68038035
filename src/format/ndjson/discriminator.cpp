// The DiscriminatorColumn search: a short column with a handful of distinct
// values (a log type, an event name) splits lines of one skeleton into
// groups whose other columns are more alike. Only the first 200 parsable
// lines are looked at, and distinct values are counted only for columns
// short enough to qualify.
#include <algorithm>

#include "format/ndjson/grouped.hpp"
#include "format/span_index.hpp"

namespace kelvane::format::ndjson {
namespace {

constexpr std::size_t kSampleLines = 200;
constexpr std::size_t kMinSampleLines = 10;
constexpr std::uint64_t kMaxMeanLength = 30;

}  // namespace

std::optional<std::size_t> find_discriminator_column(const RowTable& table) {
  std::vector<std::size_t> sample;
  for (std::size_t i = 0; i < table.size() && sample.size() < kSampleLines; ++i) {
    if (table.parsable(i)) sample.push_back(i);
  }
  const std::size_t lines = sample.size();
  if (lines < kMinSampleLines) return std::nullopt;
  std::size_t width = table.value_count(sample[0]);
  for (const std::size_t i : sample) width = std::min(width, table.value_count(i));

  std::optional<std::size_t> chosen;
  std::size_t fewest = 0;
  SpanIndex distinct(lines);
  for (std::size_t c = 0; c < width; ++c) {
    std::uint64_t total = 0;
    for (const std::size_t i : sample) total += table.value(i, c).size();
    if (total / lines > kMaxMeanLength) continue;
    distinct.clear();
    for (const std::size_t i : sample) distinct.intern(table.value(i, c));
    const std::size_t d = distinct.size();
    if (d >= 2 && d < lines / 3 && (!chosen || d < fewest)) {
      chosen = c;
      fewest = d;
    }
  }
  return chosen;
}

}  // namespace kelvane::format::ndjson
