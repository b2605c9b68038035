#include "kvn/container.hpp"

#include <array>
#include <string>

namespace kelvane::kvn {

namespace {
constexpr std::array<std::string_view, 3> kModeNames = {"max", "balanced", "fast"};
constexpr std::array<std::string_view, 11> kFormatNames = {
    "generic", "json", "markdown", "ndjson", "csv", "code",
    "log",     "logfmt", "prometheus", "yaml", "xml"};
}  // namespace

std::string_view mode_name(std::uint8_t mode) noexcept {
  return mode < kModeNames.size() ? kModeNames[mode] : std::string_view{};
}

Result<FormatHint> format_hint_from_u8(std::uint8_t value) {
  if (value >= kFormatNames.size()) {
    return invalid_data("unknown format: " + std::to_string(value));
  }
  return static_cast<FormatHint>(value);
}

std::string_view format_name(FormatHint hint) noexcept {
  return kFormatNames[static_cast<std::uint8_t>(hint)];
}

}  // namespace kelvane::kvn
