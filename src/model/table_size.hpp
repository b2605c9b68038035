// Checks on the table sizes a CMConfig hands to the models: every hashed
// table is indexed by masking, so its size must be a power of two.
#pragma once

#include <bit>
#include <cstdint>
#include <string>

#include "kvn/error.hpp"

namespace kelvane::model {

inline kvn::Status check_table_size(std::uint32_t size, std::uint32_t minimum, const char* what) {
  KVN_RETURN_ERROR_IF(!std::has_single_bit(size) || size < minimum, Other,
                      std::string("invalid CMConfig: ") + what + " size " + std::to_string(size) +
                          " is not a power of two of at least " + std::to_string(minimum));
  return {};
}

}  // namespace kelvane::model
