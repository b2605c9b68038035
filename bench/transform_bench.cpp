// The structured-data transforms on their own: forward (preprocess) and
// reverse (reverse_preprocess) throughput for the detected format, with the
// columnar layout taken and the size of the chain's metadata (which a
// grouped layout's line indices make large), and the "fast" container with
// the transforms and without them (format generic).
//
// Run once as is and once with GLIBC_TUNABLES=glibc.malloc.hugetlb=1 to see
// what transparent huge pages do for the transforms' large buffers.
#include <optional>
#include <string>

#include "bench.hpp"
#include "codec/codec.hpp"
#include "format/format.hpp"
#include "kvn/container.hpp"

namespace kelvane::bench {
namespace {

constexpr std::uint8_t kFast = static_cast<std::uint8_t>(kvn::CompressionMode::Fast);

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
    return format::reverse_preprocess(pre.data, pre.chain, in.data.size());
  });
  report.add({"transforms", "reverse", pre.data.size(), back.size(), rseconds,
              back == in.data ? "round trip ok" : "ROUND TRIP FAILED"});

  fast_container(in, report, kvn::FORMAT_AUTO, "fast container, transforms");
  fast_container(in, report, static_cast<std::uint8_t>(kvn::FormatHint::Generic),
                 "fast container, no transforms");
}

}  // namespace

KELVANE_BENCH_CASE("transforms", transforms);

}  // namespace kelvane::bench
