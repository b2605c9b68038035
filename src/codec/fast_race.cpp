#include "codec/fast_race.hpp"

#include <array>
#include <functional>
#include <vector>

#include "codec/brotli_coder.hpp"
#include "codec/dict_coder.hpp"
#include "codec/driver.hpp"
#include "codec/worker_pool.hpp"
#include "codec/zstd_util.hpp"
#include "kvn/container.hpp"

namespace kelvane::codec {

namespace {

constexpr std::uint64_t kMiB = 1048576;
constexpr std::size_t kDictMinBytes = 8192;

// Qualities tried for transformed bytes and the block, best kept.
std::vector<std::uint32_t> transformed_qualities(std::uint64_t n) {
  if (n <= kMiB) return {11, 10};
  if (n <= 16 * kMiB) return {10};
  return {9};
}

// A payload the container's 32-bit length field can hold.
bool storable(const kvn::Bytes& payload) noexcept { return payload.size() <= kMaxFieldValue; }

std::optional<CandidateResult> make(kvn::Bytes payload, std::uint64_t extra) {
  if (!storable(payload)) return std::nullopt;
  CandidateResult c;
  c.total = payload.size() + kvn::HEADER_SIZE + extra;
  c.payload = std::move(payload);
  return c;
}

// Brotli at each quality in turn; a later one replaces the best only when
// strictly smaller.
std::optional<CandidateResult> brotli_best(kvn::ByteSpan bytes, std::uint64_t extra) {
  std::optional<CandidateResult> best;
  for (const std::uint32_t q : transformed_qualities(bytes.size())) {
    auto coded = brotli_compress(bytes, q, BROTLI_MODE_GENERIC);
    if (!coded.ok()) continue;
    auto c = make(std::move(coded).value(), extra);
    if (c && (!best || c->total < best->total)) best = std::move(c);
  }
  if (best) best->brotli = true;
  return best;
}

}  // namespace

std::uint32_t default_brotli_quality(std::uint64_t n) noexcept {
  if (n <= kMiB) return 11;
  if (n <= 16 * kMiB) return 10;
  return 9;
}

RaceInputs prepare_race(kvn::ByteSpan transformed, kvn::ByteSpan input, kvn::ByteSpan metadata,
                        std::optional<std::int32_t> level) {
  RaceInputs in;
  in.transformed = transformed;
  in.input = input;
  in.level = level;
  in.level_t = level ? *level : default_zstd_level(transformed.size());
  in.level_r = level ? *level : default_zstd_level(input.size());
  in.est = metadata.empty() ? 0 : metadata_estimate(metadata);
  in.capacity = decode_capacity_for(input.size());
  // A candidate the reader would refuse to decode is never offered.
  in.transformed_readable = transformed.size() <= in.capacity;
  if (!metadata.empty() && metadata.size() <= kMaxFieldValue &&
      metadata.size() + 4 + transformed.size() <= in.capacity) {
    in.block = embedded_block(metadata, transformed);
    in.block_readable = true;
  }
  return in;
}

std::optional<CandidateResult> candidate_zstd_transformed(const RaceInputs& in) {
  if (!in.transformed_readable) return std::nullopt;
  auto frame = zstd_compress(in.transformed, in.level_t);
  if (!frame.ok()) return std::nullopt;
  kvn::Bytes payload = std::move(frame).value();
  bool dict = false;
  if (in.transformed.size() >= kDictMinBytes) {
    if (auto packed = try_dict_compress(in.transformed, in.level_t, payload.size())) {
      payload = std::move(*packed);
      dict = true;
    }
  }
  auto c = make(std::move(payload), in.est);
  if (c) c->dict = dict;
  return c;
}

std::optional<CandidateResult> candidate_zstd_raw(const RaceInputs& in) {
  auto frame = zstd_compress(in.input, in.level_r);
  if (!frame.ok()) return std::nullopt;
  auto c = make(std::move(frame).value(), 0);
  if (c) c->raw = true;
  return c;
}

std::optional<CandidateResult> candidate_brotli_raw(const RaceInputs& in) {
  auto coded = brotli_compress(in.input, default_brotli_quality(in.input.size()), BROTLI_MODE_TEXT);
  if (!coded.ok()) return std::nullopt;
  auto c = make(std::move(coded).value(), 0);
  if (c) c->raw = c->brotli = true;
  return c;
}

std::optional<CandidateResult> candidate_brotli_transformed(const RaceInputs& in) {
  if (!in.transformed_readable) return std::nullopt;
  return brotli_best(in.transformed, in.est);
}

std::optional<CandidateResult> candidate_brotli_embedded(const RaceInputs& in) {
  if (!in.block_readable) return std::nullopt;
  auto c = brotli_best(in.block, 0);
  if (c) c->embedded = true;
  return c;
}

std::optional<CandidateResult> candidate_zstd_embedded(const RaceInputs& in) {
  if (!in.block_readable) return std::nullopt;
  auto frame = zstd_compress(in.block, in.level ? *in.level : default_zstd_level(in.block.size()));
  if (!frame.ok()) return std::nullopt;
  auto c = make(std::move(frame).value(), 0);
  if (c) c->embedded = true;
  return c;
}

kvn::Result<CandidateResult> fast_race(kvn::ByteSpan transformed, kvn::ByteSpan input,
                                       kvn::ByteSpan metadata,
                                       std::optional<std::int32_t> level) {
  using Candidate = std::optional<CandidateResult> (*)(const RaceInputs&);
  static constexpr std::array<Candidate, 6> kTasks = {
      candidate_zstd_transformed,   candidate_zstd_raw,        candidate_brotli_raw,
      candidate_brotli_transformed, candidate_brotli_embedded, candidate_zstd_embedded};

  const RaceInputs in = prepare_race(transformed, input, metadata, level);
  const std::size_t spawned = in.block.empty() ? 4 : kTasks.size();
  // One slot per task, so the winner does not depend on finishing order.
  std::array<std::optional<CandidateResult>, kTasks.size()> slots;
  WorkerPool::global().scope([&](Scope& scope) {
    for (std::size_t i = 0; i < spawned; ++i) {
      scope.spawn([&, i] {
        try {
          slots[i] = kTasks[i](in);
        } catch (...) {
          slots[i].reset();  // a task that throws is a failed candidate
        }
      });
    }
  });

  std::optional<CandidateResult> winner;
  for (auto& slot : slots) {
    if (slot && (!winner || slot->total < winner->total)) winner = std::move(slot);
  }
  if (!winner) return kvn::other_error("all compression paths failed");
  return std::move(*winner);
}

}  // namespace kelvane::codec
