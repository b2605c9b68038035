// The zstd operations the container needs, written once: one-shot
// compression at a level, and decompression of concatenated frames into a
// buffer that grows as output arrives, never past a hard limit.
#pragma once

#include <cstdint>
#include <string>

#include <zstd.h>
#include <zstd_errors.h>

#include "kvn/bytes.hpp"
#include "kvn/error.hpp"

namespace kelvane::codec {

// One zstd frame of `data` at `level` (handed to the library unchanged). The
// error's message is zstd's error text.
kvn::Result<kvn::Bytes> zstd_compress(kvn::ByteSpan data, int level);

// Decodes every frame of `src` with `dctx` (which may hold a dictionary) and
// appends the output to `out`, appending at most `limit` bytes. Output is
// never reserved from what a frame header declares beyond a small multiple of
// the input; the buffer grows as it fills. The decoder's window stays within
// zstd's default limit (128 MiB), which the frames of every level respect.
// Returns the empty string on success, else zstd's error text
// (dstSize_tooSmall's text when the output would pass `limit`,
// srcSize_wrong's when `src` ends inside a frame). On failure `out` keeps
// only what it held before the call.
std::string zstd_decompress_into(ZSTD_DCtx* dctx, kvn::ByteSpan src, std::uint64_t limit,
                                 kvn::Bytes& out);

// The number of bytes every frame of `src` decodes to, counted through a
// small scratch buffer (nothing of the size of the output is reserved).
// Fails as zstd_decompress_into does: dstSize_tooSmall's text past `limit`,
// srcSize_wrong's when `src` ends inside a frame, else zstd's error text.
std::string zstd_decoded_length(ZSTD_DCtx* dctx, kvn::ByteSpan src, std::uint64_t limit,
                                std::uint64_t& length);

// Decodes all frames of `src` into at most `limit` bytes; a failure is
// InvalidData with zstd's error text.
kvn::Result<kvn::Bytes> zstd_decompress_bounded(kvn::ByteSpan src, std::uint64_t limit);

// zstd's text for an error code.
inline std::string zstd_error_text(ZSTD_ErrorCode code) {
  return ZSTD_getErrorString(code);
}

}  // namespace kelvane::codec
