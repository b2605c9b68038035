// The per-byte work of PpmModel: counting a coded byte and blending the
// orders into the next byte's distribution.
#include "model/ppm_model.hpp"

#include <algorithm>
#include <cstring>

#include "model/table_size.hpp"

namespace kelvane::model {

void PpmEntry::increment(std::uint8_t symbol) noexcept {
  for (std::uint32_t i = 0; i < len; ++i) {
    if (symbols[i] == symbol) {
      if (counts[i] < 65535) ++counts[i];
      if (total < 65535) ++total;
      return;
    }
  }
  if (len == CAPACITY) return;
  symbols[len] = symbol;
  counts[len] = 1;
  ++len;
  if (total < 65535) ++total;
}

void PpmEntry::halve() noexcept {
  std::uint32_t kept = 0;
  std::uint32_t sum = 0;
  for (std::uint32_t i = 0; i < len; ++i) {
    if (counts[i] < 2) continue;
    const auto halved = static_cast<std::uint16_t>(counts[i] >> 1);
    counts[kept] = halved;
    symbols[kept] = symbols[i];
    sum += halved;
    ++kept;
  }
  len = static_cast<std::uint8_t>(kept);
  total = static_cast<std::uint16_t>(sum < 65535 ? sum : 65535);
}

kvn::Result<PpmModel> PpmModel::with_config(const std::array<std::uint32_t, ORDERS>& entries) {
  PpmModel model;
  for (std::size_t k = 0; k < ORDERS; ++k) {
    KVN_RETURN_IF_ERROR(check_table_size(entries[k], 1, "PPM table"));
    KVN_ASSIGN_OR_RETURN(model.tables_[k], state::ZeroedTable<PpmEntry>::allocate(entries[k]));
    model.masks_[k] = entries[k] - 1;
  }
  return model;
}

std::uint32_t PpmModel::contexts(const std::uint8_t* history,
                                 std::array<Context, ORDERS>& out) const noexcept {
  const std::uint32_t top = bytes_seen_ < MAX_ORDER ? bytes_seen_ : MAX_ORDER;
  out[0] = {0, 1};
  std::uint32_t h = FNV_BASIS;
  for (std::uint32_t k = 1; k <= top; ++k) {
    h = fnv_step(h, history[k - 1]);
    out[k] = {h & masks_[k], static_cast<std::uint16_t>((h >> 16) | 1u)};
  }
  return top + 1;
}

void PpmModel::update_byte(std::uint8_t b) noexcept {
  std::array<Context, ORDERS> ctx;
  const std::uint32_t count = contexts(history_.data(), ctx);
  for (std::uint32_t k = 0; k < count; ++k) {
    PpmEntry& e = tables_[k][ctx[k].index];
    if (e.check == 0 || e.check == ctx[k].check) {
      e.check = ctx[k].check;
      e.increment(b);
      if (e.total > PpmEntry::HALVE_ABOVE) e.halve();
    } else if (e.total <= 3) {
      // A weak entry of another context is taken over.
      std::memset(static_cast<void*>(&e), 0, sizeof e);
      e.check = ctx[k].check;
      e.increment(b);
    }
  }
  for (std::size_t i = MAX_ORDER - 1; i > 0; --i) history_[i] = history_[i - 1];
  history_[0] = b;
  ready_ = false;
  ++bytes_seen_;
}

void PpmModel::compute_byte_probs() noexcept {
  std::array<Context, ORDERS> ctx;
  const std::uint32_t count = contexts(history_.data(), ctx);
  // Masses never exceed 2^20, so they are summed in 32 bits; the products
  // behind them are 64-bit.
  std::uint32_t* mass = tree_.data() + 256;
  std::fill_n(mass, 256, 0u);
  std::array<bool, 256> excluded{};
  std::uint32_t excluded_count = 0;
  std::uint64_t left = SCALE;
  for (std::uint32_t k = count; k-- > 0;) {
    const PpmEntry& e = tables_[k][ctx[k].index];
    if (e.check != ctx[k].check || e.total == 0 || e.len == 0) continue;
    std::uint64_t symbols = 0;
    std::uint64_t g = 0;
    for (std::uint32_t j = 0; j < e.len; ++j) {
      if (excluded[e.symbols[j]]) continue;
      ++symbols;
      g += e.counts[j];
    }
    if (symbols == 0 || g == 0) continue;
    // The escape weighs ceil(symbols / 2) counts.
    const std::uint64_t d = g + (symbols >> 1) + (symbols & 1);
    const std::uint64_t share = left * g / d;
    left -= share;
    for (std::uint32_t j = 0; j < e.len; ++j) {
      const std::uint8_t s = e.symbols[j];
      if (excluded[s]) continue;
      excluded[s] = true;
      ++excluded_count;
      mass[s] += static_cast<std::uint32_t>(share * e.counts[j] / g);
    }
  }
  // What is left goes to the bytes no order has seen, evenly, the remainder
  // one by one from the lowest byte value.
  const std::uint32_t unseen = 256 - excluded_count;
  if (unseen > 0) {
    const auto q = static_cast<std::uint32_t>(left / unseen);
    std::uint32_t r = static_cast<std::uint32_t>(left % unseen);
    for (std::uint32_t v = 0; v < 256; ++v) mass[v] += excluded[v] ? 0u : q;
    // r < unseen, so this stops within the unseen values.
    for (std::uint32_t v = 0; r > 0; ++v) {
      if (excluded[v]) continue;
      ++mass[v];
      --r;
    }
  }
  // The partial sums, one level of the tree at a time.
  for (std::uint32_t width = 128; width >= 1; width >>= 1) {
    for (std::uint32_t i = width; i < 2 * width; ++i) tree_[i] = tree_[2 * i] + tree_[2 * i + 1];
  }
}

void PpmModel::prefetch_after(std::uint8_t b) const noexcept {
  std::array<std::uint8_t, MAX_ORDER> next{};
  next[0] = b;
  for (std::size_t i = 1; i < MAX_ORDER; ++i) next[i] = history_[i - 1];
  const std::uint32_t top = bytes_seen_ + 1 < MAX_ORDER ? bytes_seen_ + 1 : MAX_ORDER;
  std::uint32_t h = FNV_BASIS;
  for (std::uint32_t k = 1; k <= top; ++k) {
    h = fnv_step(h, next[k - 1]);
    // The first 64 bytes: the check, the symbols and the first counts.
    const char* e = reinterpret_cast<const char*>(&tables_[k][h & masks_[k]]);
    __builtin_prefetch(e);
    __builtin_prefetch(e + 63);
  }
}

}  // namespace kelvane::model
