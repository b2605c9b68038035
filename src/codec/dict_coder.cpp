#include "codec/dict_coder.hpp"

#include <cstring>
#include <memory>
#include <string>

#include <zdict.h>
#include <zstd.h>

#include "codec/zstd_util.hpp"

namespace kelvane::codec {

namespace {

constexpr std::size_t kMinSamples = 5;
constexpr std::size_t kMinMeanColumn = 8;

struct CCtxFree {
  void operator()(ZSTD_CCtx* c) const noexcept { ZSTD_freeCCtx(c); }
};
struct DCtxFree {
  void operator()(ZSTD_DCtx* d) const noexcept { ZSTD_freeDCtx(d); }
};

void store_u32_le(std::uint8_t* p, std::uint32_t v) noexcept {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::vector<TrainingSample> slices(std::size_t size, std::size_t chunk) {
  std::vector<TrainingSample> out;
  for (std::size_t start = 0; start < size; start += chunk) {
    out.push_back({start, std::min(chunk, size - start)});
  }
  return out;
}

std::optional<kvn::Bytes> dict_compress(kvn::ByteSpan data, int level, std::uint64_t budget) {
  const DictChunking plan = dict_chunking(data.size());
  const std::vector<TrainingSample> samples = generate_training_samples(data, plan.chunk_size);
  if (samples.size() < kMinSamples) return std::nullopt;

  kvn::Bytes joined;
  std::vector<std::size_t> sizes;
  sizes.reserve(samples.size());
  for (const TrainingSample& s : samples) {
    kvn::append_bytes(joined, data.subspan(s.start, s.length));
    sizes.push_back(s.length);
  }
  kvn::Bytes dict(plan.dict_capacity);
  const std::size_t dict_size = ZDICT_trainFromBuffer(dict.data(), dict.size(), joined.data(),
                                                      sizes.data(),
                                                      static_cast<unsigned>(sizes.size()));
  if (ZDICT_isError(dict_size) || dict_size == 0) return std::nullopt;
  dict.resize(dict_size);
  joined = kvn::Bytes();

  std::unique_ptr<ZSTD_CCtx, CCtxFree> cctx(ZSTD_createCCtx());
  if (!cctx) return std::nullopt;
  if (ZSTD_isError(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_compressionLevel, level)) ||
      ZSTD_isError(ZSTD_CCtx_loadDictionary(cctx.get(), dict.data(), dict.size()))) {
    return std::nullopt;
  }

  const std::size_t num_chunks = (data.size() + plan.chunk_size - 1) / plan.chunk_size;
  kvn::Bytes payload(8 + dict.size());
  store_u32_le(payload.data(), static_cast<std::uint32_t>(dict.size()));
  std::memcpy(payload.data() + 4, dict.data(), dict.size());
  store_u32_le(payload.data() + 4 + dict.size(), static_cast<std::uint32_t>(num_chunks));
  kvn::Bytes frame(ZSTD_compressBound(plan.chunk_size));
  for (std::size_t start = 0; start < data.size(); start += plan.chunk_size) {
    const std::size_t len = std::min(plan.chunk_size, data.size() - start);
    const std::size_t f =
        ZSTD_compress2(cctx.get(), frame.data(), frame.size(), data.data() + start, len);
    if (ZSTD_isError(f)) return std::nullopt;
    kvn::append_u32_le(payload, static_cast<std::uint32_t>(f));
    payload.insert(payload.end(), frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(f));
    // The total only grows: stop as soon as it can no longer beat the budget.
    if (payload.size() >= budget) return std::nullopt;
  }
  if (payload.size() >= budget) return std::nullopt;
  return payload;
}

}  // namespace

DictChunking dict_chunking(std::size_t length) noexcept {
  if (length <= 262144) return {16384, 4096};
  if (length <= 1048576) return {32768, 4096};
  if (length <= 4194304) return {65536, 8192};
  return {131072, 16384};
}

std::vector<TrainingSample> generate_training_samples(kvn::ByteSpan data, std::size_t chunk) {
  // First count, so that input full of 0x00 bytes never builds a list of
  // empty pieces.
  std::size_t pieces = 1;
  std::size_t non_empty = 0;
  std::size_t piece_len = 0;
  for (const std::uint8_t b : data) {
    if (b == 0x00) {
      ++pieces;
      non_empty += piece_len != 0;
      piece_len = 0;
    } else {
      ++piece_len;
    }
  }
  non_empty += piece_len != 0;
  const std::size_t total = data.size() - (pieces - 1);  // bytes outside the separators
  if (pieces < kMinSamples || non_empty == 0 || total / non_empty < kMinMeanColumn) {
    return slices(data.size(), chunk);
  }
  std::vector<TrainingSample> kept;
  kept.reserve(non_empty);
  std::size_t start = 0;
  for (std::size_t i = 0; i <= data.size(); ++i) {
    if (i == data.size() || data[i] == 0x00) {
      if (i > start) kept.push_back({start, i - start});
      start = i + 1;
    }
  }
  return kept;
}

std::optional<kvn::Bytes> try_dict_compress(kvn::ByteSpan data, int level,
                                            std::uint64_t budget) noexcept {
  try {
    return dict_compress(data, level, budget);
  } catch (...) {
    return std::nullopt;
  }
}

kvn::Result<kvn::Bytes> decompress_with_dict(kvn::ByteSpan payload, std::uint64_t capacity) {
  return kvn::guard_alloc([&]() -> kvn::Result<kvn::Bytes> {
    kvn::ByteReader in(payload);
    std::uint32_t dict_size = 0;
    KVN_RETURN_ERROR_IF(!in.read_u32(dict_size), InvalidData, "dict payload too short for dict_size");
    kvn::ByteSpan dict;
    KVN_RETURN_ERROR_IF(!in.read_bytes(dict_size, dict), InvalidData,
                        "dict payload truncated: dictionary bytes");
    std::uint32_t num_chunks = 0;
    KVN_RETURN_ERROR_IF(!in.read_u32(num_chunks), InvalidData, "dict payload truncated: num_chunks");

    std::unique_ptr<ZSTD_DCtx, DCtxFree> dctx(ZSTD_createDCtx());
    KVN_RETURN_ERROR_IF(!dctx, InvalidData, zstd_error_text(ZSTD_error_memory_allocation));
    const std::size_t loaded = ZSTD_DCtx_loadDictionary(dctx.get(), dict.data(), dict.size());
    KVN_RETURN_ERROR_IF(ZSTD_isError(loaded), InvalidData, ZSTD_getErrorName(loaded));

    kvn::Bytes out;
    for (std::uint32_t i = 0; i < num_chunks; ++i) {
      const std::string chunk = std::to_string(i);
      std::uint32_t frame_len = 0;
      KVN_RETURN_ERROR_IF(!in.read_u32(frame_len), InvalidData,
                          "dict payload truncated: chunk " + chunk + " size");
      kvn::ByteSpan frame;
      KVN_RETURN_ERROR_IF(!in.read_bytes(frame_len, frame), InvalidData,
                          "dict payload truncated: chunk " + chunk + " data");
      const std::uint64_t room = out.size() < capacity ? capacity - out.size() : 0;
      // Each chunk starts a fresh session; the loaded dictionary stays.
      ZSTD_DCtx_reset(dctx.get(), ZSTD_reset_session_only);
      const std::string error = zstd_decompress_into(dctx.get(), frame, room, out);
      KVN_RETURN_ERROR_IF(!error.empty(), InvalidData,
                          "chunk " + chunk + " decompress failed: " + error);
    }
    return out;
  });
}

}  // namespace kelvane::codec
