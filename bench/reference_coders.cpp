// The yardsticks: zstd -19 and brotli -q 11 -w 22 (text mode) of the same
// bytes, straight through the two libraries.
#include <brotli/encode.h>
#include <zstd.h>

#include "bench.hpp"

namespace kelvane::bench {
namespace {

std::optional<std::size_t> zstd_size(const kvn::Bytes& data, int level) {
  kvn::Bytes out(ZSTD_compressBound(data.size()));
  const std::size_t n = ZSTD_compress(out.data(), out.size(), data.data(), data.size(), level);
  if (ZSTD_isError(n)) return std::nullopt;
  return n;
}

std::optional<std::size_t> brotli_size(const kvn::Bytes& data, int quality, int window) {
  std::size_t n = BrotliEncoderMaxCompressedSize(data.size());
  kvn::Bytes out(n == 0 ? data.size() + 1024 : n);
  n = out.size();
  if (!BrotliEncoderCompress(quality, window, BROTLI_MODE_TEXT, data.size(), data.data(), &n,
                             out.data())) {
    return std::nullopt;
  }
  return n;
}

void reference_coders(const BenchInput& in, Report& report) {
  auto [zs, zsize] = time_best(in.repeat, [&] { return zstd_size(in.data, 19); });
  report.add({"reference coders", "zstd -19", in.data.size(), zsize, zs, ""});
  auto [bs, bsize] = time_best(in.repeat, [&] { return brotli_size(in.data, 11, 22); });
  report.add({"reference coders", "brotli -q 11 -w 22 text", in.data.size(), bsize, bs, ""});
}

}  // namespace

KELVANE_BENCH_CASE("reference", reference_coders);

}  // namespace kelvane::bench
