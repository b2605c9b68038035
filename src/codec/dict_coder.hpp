// Dictionary-trained zstd for "fast" containers. The bytes (ideally
// ColumnarText, one training sample per column) train a small dictionary;
// they are then cut into fixed-size chunks, each compressed independently as
// one zstd frame with that dictionary.
//
// DictPayload, little-endian: u32 dict_size D, D dictionary bytes,
// u32 num_chunks N, then N records of u32 frame length F and F frame bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "kvn/bytes.hpp"
#include "kvn/error.hpp"

namespace kelvane::codec {

struct DictChunking {
  std::size_t chunk_size;
  std::size_t dict_capacity;
};

// Chunk size and dictionary capacity for `length` bytes of input.
DictChunking dict_chunking(std::size_t length) noexcept;

struct TrainingSample {
  std::size_t start;
  std::size_t length;
  friend bool operator==(const TrainingSample&, const TrainingSample&) = default;
};

// The pieces between 0x00 bytes when there are at least five of them and the
// non-empty ones average 8 bytes or more; otherwise slices of `chunk` bytes.
std::vector<TrainingSample> generate_training_samples(kvn::ByteSpan data, std::size_t chunk);

// A DictPayload of `data` at zstd `level`, only when it is strictly smaller
// than `budget` bytes; nothing on any failure.
std::optional<kvn::Bytes> try_dict_compress(kvn::ByteSpan data, int level,
                                            std::uint64_t budget) noexcept;

// Decodes a DictPayload into at most `capacity` bytes in all. Errors are
// InvalidData with the messages of each check.
kvn::Result<kvn::Bytes> decompress_with_dict(kvn::ByteSpan payload, std::uint64_t capacity);

}  // namespace kelvane::codec
