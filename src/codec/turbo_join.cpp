// "fast" with turbo: two zstd frames, of the transformed bytes (A) and of
// the raw input (B), made side by side at one level; A wins ties.
#include <string>

#include "codec/driver.hpp"
#include "codec/worker_pool.hpp"
#include "codec/zstd_util.hpp"
#include "kvn/container.hpp"

namespace kelvane::codec {

namespace {

constexpr int kTurboLevel = 3;

kvn::Result<kvn::Bytes> storable(kvn::Result<kvn::Bytes> frame) {
  if (frame.ok() && frame->size() > kMaxFieldValue) {
    return kvn::other_error("payload of " + std::to_string(frame->size()) +
                            " bytes does not fit a .kvn container");
  }
  return frame;
}

kvn::Result<kvn::Bytes> lost(const char* what) {
  return kvn::other_error(std::string(what) + " failed");
}

}  // namespace

kvn::Result<CandidateResult> turbo_join(kvn::ByteSpan transformed, kvn::ByteSpan input,
                                        kvn::ByteSpan metadata,
                                        std::optional<std::int32_t> level) {
  const int l = level ? *level : kTurboLevel;
  // The reader decodes no more than the capacity; transformed bytes longer
  // than that are not offered.
  const bool transformed_readable = transformed.size() <= decode_capacity_for(input.size());
  auto code_t = [&]() -> kvn::Result<kvn::Bytes> {
    if (!transformed_readable) {
      return kvn::other_error("transformed bytes exceed what the container can declare");
    }
    return storable(zstd_compress(transformed, l));
  };
  auto code_r = [&]() -> kvn::Result<kvn::Bytes> { return storable(zstd_compress(input, l)); };
  auto joined = WorkerPool::global().join(code_t, code_r);
  kvn::Result<kvn::Bytes> a = joined.first ? std::move(*joined.first) : lost("transformed coder");
  kvn::Result<kvn::Bytes> b = joined.second ? std::move(*joined.second) : lost("raw coder");

  if (!a.ok() && !b.ok()) {
    return kvn::other_error("turbo compression failed: " + a.error().message);
  }
  const std::uint64_t est = metadata_estimate(metadata);
  CandidateResult winner;
  if (a.ok() && (!b.ok() || b->size() + kvn::HEADER_SIZE >= a->size() + est + kvn::HEADER_SIZE)) {
    winner.total = a->size() + est + kvn::HEADER_SIZE;
    winner.payload = std::move(a).value();
  } else {
    winner.total = b->size() + kvn::HEADER_SIZE;
    winner.payload = std::move(b).value();
    winner.raw = true;
  }
  return winner;
}

}  // namespace kelvane::codec
