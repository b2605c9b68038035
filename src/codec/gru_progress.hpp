// The progress lines of the "balanced" loops: on inputs of more than 100,000
// bytes, a line at every twentieth of the input ("\r", no newline, so each
// one overwrites the last) and a final line ending in a newline.
#pragma once

#include <cstdint>
#include <string>

namespace kelvane::codec {

inline constexpr std::uint64_t GRU_PROGRESS_MIN_LENGTH = 100000;

enum class GruDirection : std::uint8_t { Compress, Decompress };

// What to write to standard error once `done` (1..len) of `len` bytes are
// coded: nothing, a progress line, or at the last byte possibly both the
// progress line and the final line.
std::string gru_progress_text(GruDirection direction, std::uint64_t done, std::uint64_t len);

}  // namespace kelvane::codec
