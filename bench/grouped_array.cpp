// The JSON-array Grouped layout on arrays made of many small groups, each
// group of elements with a key set of its own:
//   [{"key_000000_…":0},{"key_000000_…":1},{"key_000000_…":2},{"key_000001_…":0},…]
// with keys of 60 bytes. Such an array has as many groups as a third (or a
// twentieth) of its elements, which is where a per-group cost in the
// reverse shows: the rows give 15,000 and 60,000 groups of 3 members and
// 15,000 groups of 20, so a reverse that grows faster than its input stands
// out between the first two. The inputs are generated in memory.
//   "grouped-array":     the transform alone, forward and reverse.
//   "grouped-array-max": "max" containers of 15,000 and 60,000 groups of 3,
//                        compressed and decompressed through the driver and
//                        the reader, with their CPU times (two full-size
//                        engines per input, one after the other).
#include <time.h>

#include <cstdio>
#include <optional>
#include <string>
#include <tuple>

#include "bench.hpp"
#include "codec/codec.hpp"
#include "format/json_array/json_array.hpp"
#include "kvn/container.hpp"

namespace kelvane::bench {
namespace {

constexpr const char* kGroup = "grouped JSON array";
constexpr std::size_t kKeyLength = 60;

struct Shape {
  std::size_t groups;
  std::size_t members;
};

std::string shape_name(const Shape& shape) {
  return std::to_string(shape.groups) + " groups x " + std::to_string(shape.members);
}

// The array of `shape.groups` groups of `shape.members` elements, the
// elements of group g keyed by key g.
kvn::Bytes grouped_array(const Shape& shape) {
  std::string out = "[";
  for (std::size_t g = 0; g < shape.groups; ++g) {
    char number[32];
    std::snprintf(number, sizeof number, "key_%06zu_", g);
    std::string key = number;
    while (key.size() < kKeyLength) key += static_cast<char>('a' + key.size() % 26);
    for (std::size_t m = 0; m < shape.members; ++m) {
      if (out.size() > 1) out += ',';
      out += "{\"";
      out += key;
      out += "\":" + std::to_string(m) + "}";
    }
  }
  out += "]";
  return kvn::Bytes(out.begin(), out.end());
}

std::string rate_note(const char* what, std::size_t bytes, double seconds) {
  char note[96];
  std::snprintf(note, sizeof note, "%s%.0f MB/s of the array", what,
                seconds > 0 ? static_cast<double>(bytes) / 1e6 / seconds : 0.0);
  return note;
}

void transform_rows(const BenchInput& in, Report& report, const Shape& shape) {
  const kvn::Bytes array = grouped_array(shape);
  const std::string name = shape_name(shape);
  auto [fseconds, layout] = time_best(in.repeat, [&] { return format::json_array::preprocess(array); });
  if (!layout || layout->metadata.empty() ||
      layout->metadata[0] != static_cast<std::uint8_t>(format::ndjson::ColumnarLayout::Grouped)) {
    report.add({kGroup, name + ", forward", array.size(), std::nullopt, fseconds, "NOT GROUPED"});
    return;
  }
  report.add({kGroup, name + ", forward", array.size(), layout->text.size() + layout->metadata.size(),
              fseconds, rate_note("", array.size(), fseconds)});
  auto [rseconds, back] = time_best(in.repeat, [&] {
    return format::json_array::reverse(layout->text, layout->metadata, array.size());
  });
  report.add({kGroup, name + ", reverse", layout->text.size() + layout->metadata.size(), back.size(),
              rseconds, back == array ? rate_note("round trip ok, ", array.size(), rseconds)
                                      : "ROUND TRIP FAILED"});
}

void grouped_array_transform(const BenchInput& in, Report& report) {
  for (const Shape shape : {Shape{15000, 3}, Shape{60000, 3}, Shape{15000, 20}}) {
    transform_rows(in, report, shape);
  }
}

double cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Runs `f` once; gives its result and its wall and CPU seconds.
template <class F>
auto timed_once(F&& f) {
  const double cpu = cpu_seconds();
  auto [wall, result] = time_best(1, f);
  return std::tuple(wall, cpu_seconds() - cpu, std::move(result));
}

std::string cpu_note(double cpu, const std::string& more) {
  char note[48];
  std::snprintf(note, sizeof note, "cpu %.2f s", cpu);
  return note + more;
}

void grouped_array_max(const BenchInput&, Report& report) {
  constexpr std::uint8_t kMax = static_cast<std::uint8_t>(kvn::CompressionMode::Max);
  constexpr auto kJson = static_cast<std::uint8_t>(kvn::FormatHint::Json);
  for (const Shape shape : {Shape{15000, 3}, Shape{60000, 3}}) {
    const kvn::Bytes array = grouped_array(shape);
    const std::string name = shape_name(shape) + ", max";
    auto [wall, cpu, packed] = timed_once([&]() -> std::optional<kvn::Bytes> {
      kvn::Bytes out;
      if (!codec::compress_with_all_options(array, kMax, kJson, std::nullopt, false, out).ok()) {
        return std::nullopt;
      }
      return out;
    });
    if (!packed) {
      report.add({kGroup, name, array.size(), std::nullopt, wall, "compression failed"});
      continue;
    }
    report.add({kGroup, name, array.size(), packed->size(), wall, cpu_note(cpu, "")});
    auto [dwall, dcpu, restored] = timed_once([&] { return codec::decompress_from_slice(*packed); });
    char ratio[64];
    std::snprintf(ratio, sizeof ratio, ", %.2fx the compress cpu", cpu > 0 ? dcpu / cpu : 0.0);
    const bool same = restored.ok() && *restored == array;
    report.add({kGroup, name + " decode", array.size(), std::nullopt, dwall,
                same ? cpu_note(dcpu, ratio) : "ROUND TRIP FAILED"});
  }
}

}  // namespace

KELVANE_GENERATED_BENCH_CASE("grouped-array", grouped_array_transform);
KELVANE_SLOW_GENERATED_BENCH_CASE("grouped-array-max", grouped_array_max);

}  // namespace kelvane::bench
