// What the two dictionaries earn: the same input coded with the chain the
// pipeline builds and with that chain less its dictionary step, everything
// else equal.
//   "value-dict": "fast" containers with and without the value dictionary
//                 (kind 13, the last step after a uniform layout).
//   "key-dict":   "max" containers with and without the key dictionary
//                 (kind 1, "max" falls back to it where no columnar layout
//                 fits). Two full-size engines, one after the other.
// The dictionary step is taken off by undoing it alone, so the text the
// other coder sees is exactly what the pipeline had before that step.
#include <optional>
#include <string>

#include "bench.hpp"
#include "codec/codec.hpp"
#include "codec/crc32.hpp"
#include "codec/driver.hpp"
#include "format/format.hpp"
#include "kvn/container.hpp"

namespace kelvane::bench {
namespace {

using format::transform::TransformKind;

std::string kinds(const format::transform::TransformChain& chain) {
  std::string note = "[";
  for (std::size_t i = 0; i < chain.records.size(); ++i) {
    note += (i ? ", " : "") + std::to_string(chain.records[i].kind);
  }
  return note + "]";
}

// The pipeline's output with its last step undone.
format::Preprocessed without_last_step(const format::Preprocessed& pre, std::uint64_t budget) {
  format::transform::TransformChain last;
  last.records.push_back(pre.chain.records.back());
  format::Preprocessed out;
  out.data = format::reverse_preprocess(pre.data, last, budget).value();
  out.chain = pre.chain;
  out.chain.records.pop_back();
  return out;
}

// Codes `pre` into a container and checks that it reads back.
void container(const BenchInput& in, Report& report, const char* group, std::uint8_t mode,
               std::uint8_t hint, const format::Preprocessed& pre, const std::string& name) {
  auto [seconds, packed] = time_best(mode == 2 ? in.repeat : 1, [&]() -> std::optional<kvn::Bytes> {
    kvn::Bytes out;
    if (!codec::compress_preprocessed(in.data, mode, hint, codec::crc32(in.data), pre, std::nullopt,
                                      false, out)
             .ok()) {
      return std::nullopt;
    }
    return out;
  });
  if (!packed) {
    report.add({group, name, in.data.size(), std::nullopt, seconds, "compression failed"});
    return;
  }
  auto back = codec::decompress_from_slice(*packed);
  const bool same = back.ok() && *back == in.data;
  report.add({group, name, in.data.size(), packed->size(), seconds,
              "chain " + kinds(pre.chain) + " text " + std::to_string(pre.data.size()) +
                  (same ? "" : " ROUND TRIP FAILED")});
}

void compare(const BenchInput& in, Report& report, const char* group, std::uint8_t mode,
             TransformKind kind) {
  const auto hint = static_cast<std::uint8_t>(codec::auto_detect_format(in.data));
  auto [seconds, pre] = time_best(in.repeat, [&] { return format::preprocess(in.data, hint, mode); });
  const bool applied =
      !pre.chain.empty() && pre.chain.records.back().kind == static_cast<std::uint8_t>(kind);
  report.add({group, "transforms", in.data.size(), pre.data.size(), seconds,
              "chain " + kinds(pre.chain) + (applied ? "" : ": the dictionary declined")});
  if (!applied) return;
  const format::Preprocessed before = without_last_step(pre, in.data.size());
  container(in, report, group, mode, hint, pre, "with the dictionary");
  container(in, report, group, mode, hint, before, "without it");
}

void value_dict(const BenchInput& in, Report& report) {
  compare(in, report, "value dictionary, fast", 2, TransformKind::ValueDict);
}

void key_dict(const BenchInput& in, Report& report) {
  compare(in, report, "key dictionary, max", 0, TransformKind::Json);
}

}  // namespace

KELVANE_BENCH_CASE("value-dict", value_dict);
KELVANE_BENCH_CASE("key-dict", key_dict);

}  // namespace kelvane::bench
