#include "codec/zstd_util.hpp"

#include <algorithm>
#include <memory>

namespace kelvane::codec {

namespace {

struct DCtxFree {
  void operator()(ZSTD_DCtx* dctx) const noexcept { ZSTD_freeDCtx(dctx); }
};

// The content size the first frame declares, 0 when it declares none.
std::uint64_t declared_size(kvn::ByteSpan src) noexcept {
  const unsigned long long declared = ZSTD_getFrameContentSize(src.data(), src.size());
  if (declared == ZSTD_CONTENTSIZE_UNKNOWN || declared == ZSTD_CONTENTSIZE_ERROR) return 0;
  return declared;
}

// The next buffer size. The first is the declared size when it is plausible
// for the input, else a small multiple of the input; then the buffer doubles,
// stopping once at the declared size so an honest frame is never
// over-allocated. Never more than `cap`.
std::uint64_t next_room(std::uint64_t room, bool first, kvn::ByteSpan src,
                        std::uint64_t declared, std::uint64_t cap) noexcept {
  std::uint64_t next;
  if (first) {
    const std::uint64_t plausible = static_cast<std::uint64_t>(src.size()) * 16 + 65536;
    next = declared != 0 ? std::min(declared, plausible)
                         : static_cast<std::uint64_t>(src.size()) * 4 + 4096;
  } else {
    next = std::max(room * 2, room + 4096);
    if (room < declared && next > declared) next = declared;
  }
  return std::min(next, cap);
}

}  // namespace

kvn::Result<kvn::Bytes> zstd_compress(kvn::ByteSpan data, int level) {
  kvn::Bytes out(ZSTD_compressBound(data.size()));
  const std::size_t n = ZSTD_compress(out.data(), out.size(), data.data(), data.size(), level);
  if (ZSTD_isError(n)) return kvn::other_error(ZSTD_getErrorName(n));
  out.resize(n);
  out.shrink_to_fit();
  return out;
}

std::string zstd_decompress_into(ZSTD_DCtx* dctx, kvn::ByteSpan src, std::uint64_t limit,
                                 kvn::Bytes& out) {
  const std::size_t base = out.size();
  auto fail = [&](std::string text) {
    out.resize(base);
    return text;
  };
  if (src.empty()) return {};

  const std::uint64_t hard_cap = limit == UINT64_MAX ? limit : limit + 1;
  ZSTD_inBuffer in{src.data(), src.size(), 0};
  std::uint64_t written = 0;
  std::size_t hint = 0;  // 0: between frames
  const std::uint64_t declared = declared_size(src);
  std::uint64_t room = 0;
  bool sized = false;
  while (in.pos < in.size || hint != 0) {
    if (!sized || written == room) {
      if (sized && room >= hard_cap) return fail(zstd_error_text(ZSTD_error_dstSize_tooSmall));
      room = next_room(room, !sized, src, declared, hard_cap);
      sized = true;
      // A buffer of its own is sized exactly (resize alone may double it);
      // appending to earlier output keeps the vector's geometric growth.
      if (base == 0) out.reserve(static_cast<std::size_t>(room));
      out.resize(base + static_cast<std::size_t>(room));
    }
    ZSTD_outBuffer ob{out.data() + base, static_cast<std::size_t>(room),
                      static_cast<std::size_t>(written)};
    hint = ZSTD_decompressStream(dctx, &ob, &in);
    if (ZSTD_isError(hint)) return fail(ZSTD_getErrorName(hint));
    written = ob.pos;
    if (written > limit) return fail(zstd_error_text(ZSTD_error_dstSize_tooSmall));
    if (in.pos == in.size && hint != 0 && ob.pos < ob.size) {
      return fail(zstd_error_text(ZSTD_error_srcSize_wrong));  // input ends inside a frame
    }
  }
  out.resize(base + static_cast<std::size_t>(written));
  return {};
}

std::string zstd_decoded_length(ZSTD_DCtx* dctx, kvn::ByteSpan src, std::uint64_t limit,
                                std::uint64_t& length) {
  length = 0;
  if (src.empty()) return {};
  kvn::Bytes scratch(ZSTD_DStreamOutSize());
  ZSTD_inBuffer in{src.data(), src.size(), 0};
  std::size_t hint = 0;  // 0: between frames
  while (in.pos < in.size || hint != 0) {
    ZSTD_outBuffer ob{scratch.data(), scratch.size(), 0};
    hint = ZSTD_decompressStream(dctx, &ob, &in);
    if (ZSTD_isError(hint)) return ZSTD_getErrorName(hint);
    length += ob.pos;
    if (length > limit) return zstd_error_text(ZSTD_error_dstSize_tooSmall);
    if (in.pos == in.size && hint != 0 && ob.pos < ob.size) {
      return zstd_error_text(ZSTD_error_srcSize_wrong);  // input ends inside a frame
    }
  }
  return {};
}

kvn::Result<kvn::Bytes> zstd_decompress_bounded(kvn::ByteSpan src, std::uint64_t limit) {
  std::unique_ptr<ZSTD_DCtx, DCtxFree> dctx(ZSTD_createDCtx());
  if (!dctx) return kvn::invalid_data(zstd_error_text(ZSTD_error_memory_allocation));
  kvn::Bytes out;
  std::string error = zstd_decompress_into(dctx.get(), src, limit, out);
  if (!error.empty()) return kvn::invalid_data(std::move(error));
  return out;
}

}  // namespace kelvane::codec
