// "fast" mode as a caller sees it: the race and the turbo join, each
// compressed through the public driver, then decoded and compared.
#include <cstdio>
#include <optional>
#include <string>

#include "bench.hpp"
#include "codec/codec.hpp"
#include "kvn/container.hpp"

namespace kelvane::bench {
namespace {

void measure(const BenchInput& in, Report& report, bool turbo) {
  const std::string name = turbo ? "fast turbo" : "fast";
  auto [seconds, result] = time_best(in.repeat, [&] {
    kvn::Bytes out;
    auto status = codec::compress_with_all_options(in.data, 2, kvn::FORMAT_AUTO, std::nullopt,
                                                   turbo, out);
    return status.ok() ? std::optional<kvn::Bytes>(std::move(out)) : std::nullopt;
  });
  if (!result) {
    report.add({"fast mode", name, in.data.size(), std::nullopt, seconds, "compression failed"});
    return;
  }
  const kvn::Bytes container = std::move(*result);
  auto header = codec::read_header(container);
  std::string note = "flags 0x";
  if (header.ok()) {
    char hex[8];
    std::snprintf(hex, sizeof(hex), "%02X", header->flags);
    note += hex;
  }
  report.add({"fast mode", name, in.data.size(), container.size(), seconds, note});

  auto [dseconds, restored] = time_best(in.repeat, [&] { return codec::decompress_from_slice(container); });
  const bool same = restored.ok() && *restored == in.data;
  report.add({"fast mode", name + " decode", in.data.size(), std::nullopt, dseconds,
              same ? "round trip ok" : "ROUND TRIP FAILED"});
}

void fast_mode(const BenchInput& in, Report& report) {
  measure(in, report, false);
  measure(in, report, true);
}

}  // namespace

KELVANE_BENCH_CASE("fast", fast_mode);

}  // namespace kelvane::bench
