// The structured-data transforms on their own: forward (preprocess) and
// reverse (reverse_preprocess) throughput for the detected format, with the
// columnar layout taken and the size of the chain's metadata (which a
// grouped layout's line indices make large), and the "fast" container with
// the transforms and without them (format generic).
//
// Run once as is and once with GLIBC_TUNABLES=glibc.malloc.hugetlb=1 to see
// what transparent huge pages do for the transforms' large buffers.
//
// "typed": what the typed column stream costs and earns. It measures the
// file itself when its chain holds the stream; for an NDJSON file that no
// uniform layout fits it measures the lines that share the file's most
// common shape instead, with the reference coders on those lines too. Rows:
// the pipeline both ways, the stream alone both ways, and "fast" containers
// of the chain with the stream and without it (the chain "max" builds: the
// same steps less the stream).
#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "bench.hpp"
#include "codec/codec.hpp"
#include "codec/crc32.hpp"
#include "codec/driver.hpp"
#include "format/format.hpp"
#include "format/ndjson/ndjson.hpp"
#include "format/typed_encoding/typed_encoding.hpp"
#include "kvn/container.hpp"

namespace kelvane::bench {
namespace {

constexpr std::uint8_t kFast = static_cast<std::uint8_t>(kvn::CompressionMode::Fast);
constexpr std::uint8_t kMax = static_cast<std::uint8_t>(kvn::CompressionMode::Max);
constexpr auto kTypedKind = static_cast<std::uint8_t>(format::transform::TransformKind::TypedEncoding);

std::string chain_note(const format::transform::TransformChain& chain) {
  if (chain.empty()) return "declined";
  std::string note = "chain [";
  std::size_t metadata = 0;
  for (std::size_t i = 0; i < chain.records.size(); ++i) {
    note += (i ? ", " : "") + std::to_string(chain.records[i].kind);
    metadata += chain.records[i].metadata.size();
  }
  note += "]";
  const auto& first = chain.records[0].metadata;
  if (!first.empty() && first[0] >= 1 && first[0] <= 3) {
    static constexpr const char* kLayouts[] = {"", "uniform", "grouped", "selective"};
    note += std::string(", ") + kLayouts[first[0]];
  }
  return note + ", metadata " + std::to_string(metadata) + " bytes";
}

// Reverse rows count their input, the shorter transformed bytes; the note
// gives the rate over the bytes restored as well.
std::string round_trip_note(bool same, std::size_t restored, double seconds) {
  if (!same) return "ROUND TRIP FAILED";
  char note[64];
  std::snprintf(note, sizeof note, "round trip ok, %.0f MB/s restored",
                seconds > 0 ? static_cast<double>(restored) / 1e6 / seconds : 0.0);
  return note;
}

void fast_container(const BenchInput& in, Report& report, std::uint8_t format, const char* name) {
  auto [seconds, size] = time_best(1, [&]() -> std::optional<std::size_t> {
    kvn::Bytes out;
    if (!codec::compress_with_all_options(in.data, kFast, format, std::nullopt, false, out).ok()) {
      return std::nullopt;
    }
    return out.size();
  });
  report.add({"transforms", name, in.data.size(), size, seconds, ""});
}

void transforms(const BenchInput& in, Report& report) {
  const kvn::FormatHint detected = codec::auto_detect_format(in.data);
  const auto hint = static_cast<std::uint8_t>(detected);
  auto [fseconds, pre] = time_best(in.repeat, [&] { return format::preprocess(in.data, hint, kFast); });
  report.add({"transforms", "forward, hint " + std::string(kvn::format_name(detected)), in.data.size(),
              pre.data.size(), fseconds, chain_note(pre.chain)});

  auto [rseconds, back] = time_best(in.repeat, [&] {
    return format::reverse_preprocess(pre.data, pre.chain, in.data.size()).value();
  });
  report.add({"transforms", "reverse", pre.data.size(), back.size(), rseconds,
              round_trip_note(back == in.data, back.size(), rseconds)});

  fast_container(in, report, kvn::FORMAT_AUTO, "fast container, transforms");
  fast_container(in, report, static_cast<std::uint8_t>(kvn::FormatHint::Generic),
                 "fast container, no transforms");
}

// ---- the typed column stream ----

constexpr const char* kTyped = "typed stream";

bool holds_typed_stream(const format::transform::TransformChain& chain) {
  return std::any_of(chain.records.begin(), chain.records.end(),
                     [](const auto& r) { return r.kind == kTypedKind; });
}

// The lines of `data` whose object has the most common skeleton (keys and
// the bytes around the values), each with its line feed.
kvn::Bytes dominant_shape_lines(const kvn::Bytes& data, std::size_t& lines, std::size_t& kept) {
  std::unordered_map<std::string, std::size_t> counts;
  std::vector<std::pair<kvn::ByteSpan, const std::string*>> shaped;
  format::ndjson::ParsedLine parsed;
  std::size_t start = 0;
  lines = 0;
  while (start < data.size()) {
    const auto newline = std::find(data.begin() + static_cast<std::ptrdiff_t>(start), data.end(), '\n');
    const std::size_t end = static_cast<std::size_t>(newline - data.begin());
    const kvn::ByteSpan line(data.data() + start, end - start);
    ++lines;
    if (format::ndjson::parse_line_into(line, parsed)) {
      std::string shape;
      for (const kvn::ByteSpan piece : parsed.pieces) {
        shape.append(reinterpret_cast<const char*>(piece.data()), piece.size()).push_back('\0');
      }
      const auto it = counts.try_emplace(std::move(shape), 0).first;
      ++it->second;
      shaped.emplace_back(line, &it->first);
    }
    start = end + 1;
  }
  const auto top = std::max_element(counts.begin(), counts.end(),
                                    [](const auto& a, const auto& b) { return a.second < b.second; });
  kvn::Bytes out;
  kept = 0;
  if (top == counts.end()) return out;
  for (const auto& [line, shape] : shaped) {
    if (shape != &top->first) continue;
    out.insert(out.end(), line.begin(), line.end());
    out.push_back('\n');
    ++kept;
  }
  return out;
}

void typed_container(const BenchInput& in, Report& report, std::uint8_t hint,
                     const format::Preprocessed& pre, const std::string& name) {
  auto [seconds, size] = time_best(1, [&]() -> std::optional<std::size_t> {
    kvn::Bytes out;
    if (!codec::compress_preprocessed(in.data, kFast, hint, codec::crc32(in.data), pre, std::nullopt,
                                      false, out)
             .ok()) {
      return std::nullopt;
    }
    return out.size();
  });
  report.add({kTyped, name, in.data.size(), size, seconds, chain_note(pre.chain)});
}

void measure_typed(const BenchInput& in, Report& report, std::uint8_t hint, const format::Preprocessed& pre) {
  auto [rseconds, back] = time_best(in.repeat, [&] {
    return format::reverse_preprocess(pre.data, pre.chain, in.data.size()).value();
  });
  report.add({kTyped, "pipeline reverse", pre.data.size(), back.size(), rseconds,
              round_trip_note(back == in.data, back.size(), rseconds)});

  // The stream alone, on the text the pipeline handed it.
  const auto& records = pre.chain.records;
  const auto typed = std::find_if(records.begin(), records.end(),
                                  [](const auto& r) { return r.kind == kTypedKind; });
  format::transform::TransformChain from_typed, after_typed;
  from_typed.records.assign(typed, records.end());
  after_typed.records.assign(typed + 1, records.end());
  const kvn::Bytes text = format::reverse_preprocess(pre.data, from_typed, UINT64_MAX).value();
  const kvn::Bytes stream = format::reverse_preprocess(pre.data, after_typed, UINT64_MAX).value();
  auto [fseconds, encoded] = time_best(in.repeat, [&] { return format::typed_encoding::preprocess(text); });
  report.add({kTyped, "stream forward", text.size(), encoded ? std::optional(encoded->size()) : std::nullopt,
              fseconds, encoded && *encoded == stream ? "" : "STREAM DIFFERS"});
  auto [sseconds, restored] = time_best(in.repeat, [&] { return format::typed_encoding::reverse(stream, text.size()); });
  report.add({kTyped, "stream reverse", stream.size(), restored.size(), sseconds,
              round_trip_note(restored == text, restored.size(), sseconds)});

  typed_container(in, report, hint, pre, "fast container, with the stream");
  typed_container(in, report, hint, format::preprocess(in.data, hint, kMax), "fast container, without it");
}

void typed_stream(const BenchInput& in, Report& report) {
  const auto hint = static_cast<std::uint8_t>(codec::auto_detect_format(in.data));
  auto [seconds, pre] = time_best(in.repeat, [&] { return format::preprocess(in.data, hint, kFast); });
  if (holds_typed_stream(pre.chain)) {
    report.add({kTyped, "pipeline forward", in.data.size(), pre.data.size(), seconds, chain_note(pre.chain)});
    return measure_typed(in, report, hint, pre);
  }
  if (hint != static_cast<std::uint8_t>(kvn::FormatHint::Ndjson)) {
    report.add({kTyped, "pipeline forward", in.data.size(), pre.data.size(), seconds,
                chain_note(pre.chain) + ": no typed stream"});
    return;
  }
  BenchInput sample;
  std::size_t lines = 0, kept = 0;
  sample.data = dominant_shape_lines(in.data, lines, kept);
  sample.repeat = in.repeat;
  auto [sseconds, spre] = time_best(in.repeat, [&] { return format::preprocess(sample.data, hint, kFast); });
  report.add({kTyped, "pipeline forward, lines of the main shape", sample.data.size(), spre.data.size(),
              sseconds, std::to_string(kept) + " of " + std::to_string(lines) + " lines, " + chain_note(spre.chain)});
  if (!holds_typed_stream(spre.chain)) return;
  measure_typed(sample, report, hint, spre);
  for (const auto& c : bench_cases()) {
    if (std::string_view(c.name) == "reference") c.run(sample, report);
  }
}

}  // namespace

KELVANE_BENCH_CASE("transforms", transforms);
KELVANE_BENCH_CASE("typed", typed_stream);

}  // namespace kelvane::bench
