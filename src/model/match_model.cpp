// The per-byte half of MatchModel: the candidate lookup and the stores at a
// byte's last bit. The per-bit prediction and following stay inline.
#include "model/match_model.hpp"

#include "model/table_size.hpp"

namespace kelvane::model {

kvn::Result<MatchModel> MatchModel::create(std::uint32_t history_size,
                                           std::uint32_t table_entries) {
  KVN_RETURN_IF_ERROR(check_table_size(history_size, 1, "match history"));
  KVN_RETURN_IF_ERROR(check_table_size(table_entries, 1, "match table"));
  MatchModel model;
  KVN_ASSIGN_OR_RETURN(model.history_, state::ZeroedTable<std::uint8_t>::allocate(history_size));
  KVN_ASSIGN_OR_RETURN(model.table_, state::ZeroedTable<std::uint32_t>::allocate(table_entries));
  model.ring_mask_ = history_size - 1;
  model.table_mask_ = table_entries - 1;
  return model;
}

void MatchModel::check_candidate(std::uint32_t candidate, std::uint8_t c1, std::uint8_t c2,
                                 std::uint8_t c3, std::int64_t& best_ptr,
                                 std::uint32_t& best_len) const noexcept {
  // Stored values against true bytes, as the ring holds them.
  if (ring(candidate) != c1 || ring(candidate - 1) != c2 || ring(candidate - 2) != c3) return;
  const std::uint32_t w = write_pos_;
  const std::uint32_t s = (candidate + 1) & ring_mask_;
  const std::uint32_t limit = bytes_seen_ < MAX_VERIFY ? bytes_seen_ : MAX_VERIFY;
  std::uint32_t e = 0;
  // Compares forward from the candidate with the ring from the write
  // position on (the oldest values, or zeros before the ring has wrapped).
  if (bytes_seen_ != 0) {
    for (;;) {
      const std::uint32_t a = (s + e) & ring_mask_;
      if (a == w || ring(a) != ring(w + e)) break;
      if (++e == limit) break;
    }
  }
  const std::uint32_t length = e + 3;
  if (length > best_len) {
    best_len = length;
    best_ptr = s;
  }
}

void MatchModel::find_match(std::uint8_t c1, std::uint8_t c2, std::uint8_t c3) noexcept {
  const std::uint32_t w = write_pos_;
  const std::uint32_t n = bytes_seen_;
  if (n <= 2) {
    match_ptr_ = -1;
    match_len_ = 0;
    return;
  }
  const std::uint8_t o = ring(w - 3);
  const std::uint8_t r = n >= 4 ? ring(w - 4) : 0;
  std::int64_t best_ptr = -1;
  std::uint32_t best_len = 0;
  if (n >= 5) check_candidate(slot(key(0, r, o, c3, c2, c1)), c1, c2, c3, best_ptr, best_len);
  check_candidate(slot(key(0, o, c3, c2, c1)), c1, c2, c3, best_ptr, best_len);
  check_candidate(slot(key(0, c3, c2, c1)), c1, c2, c3, best_ptr, best_len);
  check_candidate(slot(key(ALT_SEED, o, c3, c2, c1)), c1, c2, c3, best_ptr, best_len);
  if (best_len >= 2) {
    match_ptr_ = best_ptr;
    match_len_ = best_len;
    bit_index_ = 0;
  } else {
    match_ptr_ = -1;
    match_len_ = 0;
  }
}

void MatchModel::store(std::uint8_t v, std::uint8_t c1, std::uint8_t c2) noexcept {
  const std::uint32_t w = write_pos_;
  const std::uint32_t n = bytes_seen_;
  history_[w & ring_mask_] = v;
  const std::uint32_t first = n >= 3 ? key(0, ring(w - 3), c2, c1, v) : key(0, c2, c1, v);
  table_slot(first) = w;
  // Once four bytes have been seen, the short key keeps its first position.
  std::uint32_t& short_slot = table_slot(key(0, c2, c1, v));
  if (n < 4 || short_slot == 0) short_slot = w;
  if (n >= 4) table_slot(key(0, ring(w - 4), ring(w - 3), c2, c1, v)) = w;
  write_pos_ = (w + 1) & ring_mask_;
  bytes_seen_ = n + 1;
}

void MatchModel::prefetch(const mixer::History& next) const noexcept {
  if (next.bp != 0 || bytes_seen_ + 1 <= 2) return;
  // After this byte is stored, ring[w' - 3] and ring[w' - 4] are the values
  // now at w - 2 and w - 3.
  const std::uint32_t w = write_pos_;
  const std::uint8_t o = ring(w - 2);
  const std::uint8_t r = ring(w - 3);
  __builtin_prefetch(&table_[key(0, r, o, next.c3, next.c2, next.c1) & table_mask_]);
  __builtin_prefetch(&table_[key(0, o, next.c3, next.c2, next.c1) & table_mask_]);
  __builtin_prefetch(&table_[key(0, next.c3, next.c2, next.c1) & table_mask_]);
  __builtin_prefetch(&table_[key(ALT_SEED, o, next.c3, next.c2, next.c1) & table_mask_]);
}

}  // namespace kelvane::model
