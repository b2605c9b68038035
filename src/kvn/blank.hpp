// The blank bytes skipped by format detection and by every JSON and NDJSON
// transform: TAB, LF, FF, CR and SP. VT (0x0B) is not blank.
#pragma once

#include <cstdint>

namespace kelvane::kvn {

constexpr bool is_blank(std::uint8_t c) noexcept {
  return c == 0x09 || c == 0x0A || c == 0x0C || c == 0x0D || c == 0x20;
}

}  // namespace kelvane::kvn
