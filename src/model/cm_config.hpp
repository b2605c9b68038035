// CMConfig: the table sizes of one context-mixing engine. "max" uses
// CM_CONFIG_MAX; "balanced" halves the first fifteen sizes.
#pragma once

#include <array>
#include <cstdint>

namespace kelvane::model {

struct CMConfig {
  std::array<std::uint32_t, 9> cm_sizes;   // context-model table bytes, orders 1..9
  std::uint32_t match_history_size;        // MatchModel history bytes
  std::uint32_t match_table_entries;       // MatchModel position table entries (u32 each)
  std::uint32_t word_table_size;
  std::uint32_t sparse_table_size;         // bytes of each of the two SparseModel tables
  std::uint32_t run_table_size;
  std::uint32_t json_table_size;
  std::array<std::uint32_t, 13> ppm_entries;  // PpmEntry counts, orders 0..12
};

namespace cm_config_detail {
inline constexpr std::uint32_t Ki = 1u << 10;
inline constexpr std::uint32_t Mi = 1u << 20;

constexpr CMConfig halve_hashed_tables(CMConfig c) {
  for (auto& size : c.cm_sizes) size /= 2;
  c.match_history_size /= 2;
  c.match_table_entries /= 2;
  c.word_table_size /= 2;
  c.sparse_table_size /= 2;
  c.run_table_size /= 2;
  c.json_table_size /= 2;
  return c;
}
}  // namespace cm_config_detail

inline constexpr CMConfig CM_CONFIG_MAX = [] {
  using namespace cm_config_detail;
  return CMConfig{
      {64 * Mi, 32 * Mi, 64 * Mi, 64 * Mi, 64 * Mi, 32 * Mi, 64 * Mi, 64 * Mi, 32 * Mi},
      32 * Mi,
      16 * Mi,
      32 * Mi,
      16 * Mi,
      8 * Mi,
      16 * Mi,
      {1, 256, 64 * Ki, 1 * Mi, 2 * Mi, 2 * Mi, 2 * Mi, 1 * Mi, 1 * Mi, 512 * Ki, 512 * Ki,
       256 * Ki, 256 * Ki},
  };
}();

inline constexpr CMConfig CM_CONFIG_BALANCED = cm_config_detail::halve_hashed_tables(CM_CONFIG_MAX);

}  // namespace kelvane::model
