// "max" mode: the context-mixing engine at full size, once straight through
// the coding loops (the engine's own throughput on the raw bytes) and once
// through the public driver and reader (with the transforms). One run each:
// every run builds a 2.4 GiB engine.
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

void engine_loops(const BenchInput& in, Report& report) {
  auto [seconds, coded] =
      time_best(1, [&] { return codec::cm_compress(in.data, model::CM_CONFIG_MAX); });
  if (!coded.ok()) {
    report.add({"max mode", "cm_compress", in.data.size(), std::nullopt, seconds,
                coded.error().message});
    return;
  }
  report.add({"max mode", "cm_compress", in.data.size(), coded->size(), seconds, "raw bytes"});
  const auto out_len = static_cast<std::uint32_t>(in.data.size());
  auto [dseconds, decoded] = time_best(1, [&] {
    return codec::cm_decompress(*coded, out_len, model::CM_CONFIG_MAX);
  });
  const bool same = decoded.ok() && *decoded == in.data;
  report.add({"max mode", "cm_decompress", in.data.size(), std::nullopt, dseconds,
              same ? "round trip ok" : "ROUND TRIP FAILED"});
}

void container(const BenchInput& in, Report& report) {
  auto [seconds, result] = time_best(1, [&] {
    kvn::Bytes out;
    auto status = codec::compress_with_all_options(in.data, 0, kvn::FORMAT_AUTO, std::nullopt,
                                                   false, out);
    return status.ok() ? std::optional<kvn::Bytes>(std::move(out)) : std::nullopt;
  });
  if (!result) {
    report.add({"max mode", "max", in.data.size(), std::nullopt, seconds, "compression failed"});
    return;
  }
  const kvn::Bytes packed = std::move(*result);
  report.add({"max mode", "max", in.data.size(), packed.size(), seconds, "container"});
  auto [dseconds, restored] = time_best(1, [&] { return codec::decompress_from_slice(packed); });
  const bool same = restored.ok() && *restored == in.data;
  report.add({"max mode", "max decode", in.data.size(), std::nullopt, dseconds,
              same ? "round trip ok" : "ROUND TRIP FAILED"});
}

void max_mode(const BenchInput& in, Report& report) {
  engine_loops(in, report);
  container(in, report);
}

}  // namespace

KELVANE_SLOW_BENCH_CASE("max", max_mode);

}  // namespace kelvane::bench
