// "balanced" mode: the context-mixing engine at full size blended with the
// GRU predictor, once straight through the coding loops (their own
// throughput on the raw bytes) and once through the public driver and reader
// (with the transforms). One run each: every run builds a 2 GiB engine, and
// the GRU makes each byte far dearer than in "max".
#include <optional>
#include <string>
#include <utility>

#include "bench.hpp"
#include "codec/cm_codec.hpp"
#include "codec/codec.hpp"
#include "kvn/container.hpp"
#include "model/cm_config.hpp"

namespace kelvane::bench {
namespace {

constexpr std::uint8_t kBalanced = static_cast<std::uint8_t>(kvn::CompressionMode::Balanced);

void engine_loops(const BenchInput& in, Report& report) {
  auto [seconds, coded] =
      time_best(1, [&] { return codec::gru_compress(in.data, model::CM_CONFIG_BALANCED); });
  if (!coded.ok()) {
    report.add({"balanced mode", "gru_compress", in.data.size(), std::nullopt, seconds,
                coded.error().message});
    return;
  }
  report.add({"balanced mode", "gru_compress", in.data.size(), coded->size(), seconds, "raw bytes"});
  const auto out_len = static_cast<std::uint32_t>(in.data.size());
  auto [dseconds, decoded] = time_best(1, [&] {
    return codec::gru_decompress(*coded, out_len, model::CM_CONFIG_BALANCED);
  });
  const bool same = decoded.ok() && *decoded == in.data;
  report.add({"balanced mode", "gru_decompress", in.data.size(), std::nullopt, dseconds,
              same ? "round trip ok" : "ROUND TRIP FAILED"});
}

void container(const BenchInput& in, Report& report) {
  auto [seconds, result] = time_best(1, [&] {
    kvn::Bytes out;
    auto status = codec::compress_with_all_options(in.data, kBalanced, kvn::FORMAT_AUTO,
                                                   std::nullopt, false, out);
    return status.ok() ? std::optional<kvn::Bytes>(std::move(out)) : std::nullopt;
  });
  if (!result) {
    report.add({"balanced mode", "balanced", in.data.size(), std::nullopt, seconds,
                "compression failed"});
    return;
  }
  const kvn::Bytes packed = std::move(*result);
  report.add({"balanced mode", "balanced", in.data.size(), packed.size(), seconds, "container"});
  auto [dseconds, restored] = time_best(1, [&] { return codec::decompress_from_slice(packed); });
  const bool same = restored.ok() && *restored == in.data;
  report.add({"balanced mode", "balanced decode", in.data.size(), std::nullopt, dseconds,
              same ? "round trip ok" : "ROUND TRIP FAILED"});
}

void balanced_mode(const BenchInput& in, Report& report) {
  engine_loops(in, report);
  container(in, report);
}

}  // namespace

KELVANE_SLOW_BENCH_CASE("balanced", balanced_mode);

}  // namespace kelvane::bench
