// The "fast" race: up to six zstd and brotli encodings of the transformed
// bytes, the raw input and the embedded-metadata block run side by side on
// the worker pool, and the smallest container wins.
#pragma once

#include <cstdint>
#include <optional>

#include "kvn/bytes.hpp"
#include "kvn/error.hpp"

namespace kelvane::codec {

struct CandidateResult {
  kvn::Bytes payload;
  std::uint64_t total = 0;  // the container this candidate would make, in bytes
  bool dict = false;        // payload is a DictPayload
  bool raw = false;         // made from the input: no metadata section
  bool brotli = false;      // payload is one brotli stream
  bool embedded = false;    // made from the embedded-metadata block: no metadata section
};

// What every task reads, prepared before any of them starts.
struct RaceInputs {
  kvn::ByteSpan transformed;
  kvn::ByteSpan input;
  std::optional<std::int32_t> level;
  int level_t = 0;
  int level_r = 0;
  std::uint64_t est = 0;        // metadata_estimate of the chain bytes
  kvn::Bytes block;             // u32 |M|, M, T; empty without M or past the capacity
  std::uint64_t capacity = 0;   // the most a reader will decode for this input
  bool transformed_readable = false;  // |T| fits the capacity
  bool block_readable = false;        // a block exists and fits the capacity
};

RaceInputs prepare_race(kvn::ByteSpan transformed, kvn::ByteSpan input, kvn::ByteSpan metadata,
                        std::optional<std::int32_t> level);

// Brotli quality for the raw input: 11 up to 1 MiB, 10 up to 16 MiB, else 9.
std::uint32_t default_brotli_quality(std::uint64_t n) noexcept;

// The candidate tasks, in spawn order. Each gives nothing when its coder
// fails or it does not apply.
std::optional<CandidateResult> candidate_zstd_transformed(const RaceInputs& in);
std::optional<CandidateResult> candidate_zstd_raw(const RaceInputs& in);
std::optional<CandidateResult> candidate_brotli_raw(const RaceInputs& in);
std::optional<CandidateResult> candidate_brotli_transformed(const RaceInputs& in);
std::optional<CandidateResult> candidate_brotli_embedded(const RaceInputs& in);
std::optional<CandidateResult> candidate_zstd_embedded(const RaceInputs& in);

// Runs the candidates on the worker pool and returns the smallest; among
// equal totals the earliest in spawn order. Other "all compression paths
// failed" when none succeeded.
kvn::Result<CandidateResult> fast_race(kvn::ByteSpan transformed, kvn::ByteSpan input,
                                       kvn::ByteSpan metadata,
                                       std::optional<std::int32_t> level);

}  // namespace kelvane::codec
