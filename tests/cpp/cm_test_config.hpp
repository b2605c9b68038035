// A context-mixing engine with every table a few KiB: the same code paths as
// the full-size engine, with collisions far more frequent, cheap enough to
// build for every test case.
#pragma once

#include "model/cm_config.hpp"

namespace kelvane::testing {

inline constexpr model::CMConfig kTinyConfig = [] {
  model::CMConfig c = model::CM_CONFIG_MAX;
  for (auto& size : c.cm_sizes) size = 1u << 12;
  c.cm_sizes[0] = 1u << 16;  // order 1 sees every (c1, c0) without collisions
  c.match_history_size = 1u << 12;
  c.match_table_entries = 1u << 10;
  c.word_table_size = 1u << 12;
  c.sparse_table_size = 1u << 12;
  c.run_table_size = 1u << 10;
  c.json_table_size = 1u << 12;
  for (auto& entries : c.ppm_entries) entries = 1u << 10;
  c.ppm_entries[0] = 1;
  return c;
}();

}  // namespace kelvane::testing
