// How long the race takes next to its slowest single candidate. Each
// candidate's coding is timed alone, on the calling thread, with the
// qualities and levels the race picks for these sizes; an ideal race lasts
// as long as the transforms plus the slowest of them.
#include <algorithm>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "bench.hpp"
#include "codec/brotli_coder.hpp"
#include "codec/codec.hpp"
#include "codec/dict_coder.hpp"
#include "codec/zstd_util.hpp"
#include "format/format.hpp"
#include "kvn/container.hpp"

namespace kelvane::bench {
namespace {

constexpr std::size_t MiB = 1u << 20;

// The race's choice of zstd level and brotli qualities by size.
int zstd_level_for(std::size_t n) { return n <= 16 * MiB ? 19 : n <= 64 * MiB ? 16 : 9; }
std::uint32_t raw_brotli_quality(std::size_t n) { return n <= MiB ? 11 : n <= 16 * MiB ? 10 : 9; }
std::vector<std::uint32_t> transformed_brotli_qualities(std::size_t n) {
  if (n <= MiB) return {11, 10};
  return {n <= 16 * MiB ? 10u : 9u};
}

std::optional<std::size_t> zstd_task(const kvn::Bytes& data, bool try_dict) {
  auto p = codec::zstd_compress(data, zstd_level_for(data.size()));
  if (!p.ok()) return std::nullopt;
  std::size_t size = p->size();
  if (try_dict && data.size() >= 8192) {
    if (auto d = codec::try_dict_compress(data, zstd_level_for(data.size()), size)) size = d->size();
  }
  return size;
}

std::optional<std::size_t> brotli_task(const kvn::Bytes& data, const std::vector<std::uint32_t>& qualities,
                                       std::uint32_t mode) {
  std::optional<std::size_t> best;
  for (std::uint32_t q : qualities) {
    auto r = codec::brotli_compress(data, q, mode);
    if (r.ok() && (!best || r->size() < *best)) best = r->size();
  }
  return best;
}

void race_vs_candidates(const BenchInput& in, Report& report) {
  const char* group = "race vs slowest candidate";
  const auto hint = static_cast<std::uint8_t>(codec::auto_detect_format(in.data));
  auto [ps, pre] = time_best(in.repeat, [&] { return format::preprocess(in.data, hint, 2); });
  report.add({group, "transforms", in.data.size(), pre.data.size(), ps,
              std::to_string(pre.chain.records.size()) + " records"});
  const kvn::Bytes& t = pre.data;
  const kvn::Bytes meta = pre.chain.empty() ? kvn::Bytes{} : pre.chain.serialize();

  struct Task {
    std::string name;
    std::size_t bytes;
    std::function<std::optional<std::size_t>()> run;
  };
  std::vector<Task> tasks;
  auto q_list = [](const std::vector<std::uint32_t>& qs) {
    std::string s;
    for (auto q : qs) s += (s.empty() ? "q" : "+q") + std::to_string(q);
    return s;
  };
  tasks.push_back({"zstd transformed -" + std::to_string(zstd_level_for(t.size())) + " (+dict)", t.size(),
                   [&] { return zstd_task(t, true); }});
  tasks.push_back({"zstd raw -" + std::to_string(zstd_level_for(in.data.size())), in.data.size(),
                   [&] { return zstd_task(in.data, false); }});
  tasks.push_back({"brotli raw text q" + std::to_string(raw_brotli_quality(in.data.size())), in.data.size(),
                   [&] { return brotli_task(in.data, {raw_brotli_quality(in.data.size())}, codec::BROTLI_MODE_TEXT); }});
  tasks.push_back({"brotli transformed " + q_list(transformed_brotli_qualities(t.size())), t.size(),
                   [&] { return brotli_task(t, transformed_brotli_qualities(t.size()), codec::BROTLI_MODE_GENERIC); }});
  kvn::Bytes block;
  if (!meta.empty()) {
    block.reserve(4 + meta.size() + t.size());
    kvn::append_u32_le(block, static_cast<std::uint32_t>(meta.size()));
    kvn::append_bytes(block, meta);
    kvn::append_bytes(block, t);
    tasks.push_back({"brotli embedded " + q_list(transformed_brotli_qualities(block.size())), block.size(),
                     [&] { return brotli_task(block, transformed_brotli_qualities(block.size()), codec::BROTLI_MODE_GENERIC); }});
    tasks.push_back({"zstd embedded -" + std::to_string(zstd_level_for(block.size())), block.size(),
                     [&] { return zstd_task(block, false); }});
  }

  double slowest = 0;
  for (const auto& task : tasks) {
    auto [s, size] = time_best(in.repeat, task.run);
    slowest = std::max(slowest, s);
    report.add({group, task.name, task.bytes, size, s, "alone"});
  }

  auto [rs, ok] = time_best(in.repeat, [&] {
    kvn::Bytes out;
    return codec::compress_with_all_options(in.data, 2, kvn::FORMAT_AUTO, std::nullopt, false, out).ok();
  });
  const double ideal = ps + slowest;
  char note[96];
  std::snprintf(note, sizeof(note), "%s; %.2fx of transforms + slowest (%.1f ms)",
                ok ? "whole call" : "FAILED", ideal > 0 ? rs / ideal : 0.0, ideal * 1e3);
  report.add({group, "race (" + std::to_string(tasks.size()) + " tasks)", in.data.size(), std::nullopt, rs, note});
}

}  // namespace

KELVANE_BENCH_CASE("race", race_vs_candidates);

}  // namespace kelvane::bench
