#include "mixer/multi_set_mixer.hpp"

#include <cstring>

#include <cassert>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "mixer/logistic.hpp"

namespace kelvane::mixer {

namespace {

constexpr std::size_t STRIDE = MixerSet::ROW_STRIDE;

// sum(w[i] * x[i]) over one padded row. Two 32-bit partial sums per lane, of
// four products each, cannot overflow (4 * 32768 * 16383 < 2^31); they are
// added in 64 bits.
std::int64_t dot(const std::int16_t* w, const std::int16_t* x) noexcept {
#if defined(__SSE2__)
  const auto* wv = reinterpret_cast<const __m128i*>(w);
  const auto* xv = reinterpret_cast<const __m128i*>(x);
  const __m128i low = _mm_add_epi32(_mm_madd_epi16(_mm_load_si128(wv), _mm_load_si128(xv)),
                                    _mm_madd_epi16(_mm_load_si128(wv + 1), _mm_load_si128(xv + 1)));
  const __m128i high =
      _mm_add_epi32(_mm_madd_epi16(_mm_load_si128(wv + 2), _mm_load_si128(xv + 2)),
                    _mm_madd_epi16(_mm_load_si128(wv + 3), _mm_load_si128(xv + 3)));
  alignas(16) std::int32_t lanes[8];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), low);
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes + 4), high);
  std::int64_t sum = 0;
  for (std::int32_t lane : lanes) sum += lane;
  return sum;
#else
  std::int64_t sum = 0;
  for (std::size_t i = 0; i < STRIDE; ++i) sum += std::int32_t{w[i]} * x[i];
  return sum;
#endif
}

// w[i] = clamp(w[i] + ((x[i] * e3) >> 16), -32768, 32767), the shift
// arithmetic. |e3| <= 3 * 4063 fits 16 bits, so the high half of the 16 x 16
// product is exactly the shifted value, and a saturating add is the clamp.
void train(std::int16_t* w, const std::int16_t* x, std::int32_t e3) noexcept {
#if defined(__SSE2__)
  const __m128i e = _mm_set1_epi16(static_cast<std::int16_t>(e3));
  auto* wv = reinterpret_cast<__m128i*>(w);
  const auto* xv = reinterpret_cast<const __m128i*>(x);
  for (std::size_t v = 0; v < STRIDE / 8; ++v) {
    const __m128i step = _mm_mulhi_epi16(_mm_load_si128(xv + v), e);
    _mm_store_si128(wv + v, _mm_adds_epi16(_mm_load_si128(wv + v), step));
  }
#else
  for (std::size_t i = 0; i < STRIDE; ++i) {
    std::int32_t v = w[i] + ((std::int32_t{x[i]} * e3) >> 16);
    if (v < -32768) v = -32768;
    if (v > 32767) v = 32767;
    w[i] = static_cast<std::int16_t>(v);
  }
#endif
}

}  // namespace

std::uint32_t final_blend(const std::array<std::int32_t, 7>& outputs) noexcept {
  std::int64_t total = 0;
  for (std::size_t j = 0; j < outputs.size(); ++j) total += FINAL_BLEND[j] * outputs[j];
  const std::int64_t d = total / 16;  // truncates toward zero
  // Clamp before narrowing; squash clamps to the same range.
  const auto x = static_cast<std::int32_t>(d < -8192 ? -8192 : (d > 8191 ? 8191 : d));
  std::uint32_t p = squash(x);
  if (p > 4095) p = 4095;
  if (p == 0) p = 1;
  return p;
}

kvn::Result<MultiSetMixer> MultiSetMixer::create() {
  MultiSetMixer mixer;
  for (std::size_t j = 0; j < SET_COUNT; ++j) {
    MixerSet& set = mixer.sets_[j];
    // One spare row leaves room to start the rows on a 64-byte boundary.
    KVN_ASSIGN_OR_RETURN(set.storage, state::ZeroedTable<std::int16_t>::allocate(
                                          (std::size_t{SET_ROWS[j]} + 1) * STRIDE));
    const auto address = reinterpret_cast<std::uintptr_t>(set.storage.data());
    set.rows = set.storage.data() + ((64 - address % 64) % 64) / sizeof(std::int16_t);
    set.row_count = SET_ROWS[j];
    // Every row starts as one copy of the initial row (padding stays 0).
    std::array<std::int16_t, MixerInput::COUNT> initial{};
    for (std::size_t i = 0; i < MixerInput::COUNT; ++i) {
      initial[i] = static_cast<std::int16_t>(MIXER_INIT_WEIGHTS[i]);
    }
    for (std::uint32_t r = 0; r < set.row_count; ++r) {
      std::memcpy(set.weights(r), initial.data(), sizeof initial);
    }
  }
  return mixer;
}

std::array<std::uint32_t, MultiSetMixer::SET_COUNT> MultiSetMixer::set_contexts(
    const History& h, std::uint32_t match_bucket) noexcept {
  const std::uint32_t c0 = h.c0;
  const std::uint32_t c1 = h.c1;
  const std::uint32_t c2 = h.c2;
  const std::uint32_t bp = h.bp;
  const std::uint32_t class1 = byte_class(h.c1);
  return {
      (c0 << 3) | bp,
      (c1 << 3) | bp,
      ((c1 * 67 + (c2 >> 4)) * 67 + bp) & 0x1FFF,
      bp + class1 * 8 + match_bucket * 128,
      bp + class1 * 8,
      class1 * 32 + run_bucket(h.run) * 8 + bp,
      ((c1 * 67 + (c0 >> 4)) * 67 + bp) & 0xFFF,
  };
}

void MultiSetMixer::prefetch(const History& h, std::uint32_t match_bucket) const noexcept {
  const auto contexts = set_contexts(h, match_bucket);
  for (std::size_t j = 0; j < SET_COUNT; ++j) {
    __builtin_prefetch(sets_[j].weights(contexts[j] & (sets_[j].row_count - 1)));
  }
}

std::uint32_t MultiSetMixer::mix(const History& h, std::uint32_t match_bucket) noexcept {
  const auto contexts = set_contexts(h, match_bucket);
  for (std::size_t j = 0; j < SET_COUNT; ++j) {
    sets_[j].row = contexts[j] & (sets_[j].row_count - 1);
    __builtin_prefetch(sets_[j].weights(sets_[j].row));
  }
  for (std::size_t i = 0; i < MixerInput::COUNT; ++i) {
    assert(inputs.values[i] >= -8191 && inputs.values[i] <= 8191);
    narrow_inputs_[i] = static_cast<std::int16_t>(inputs.values[i]);
  }
  std::array<std::int32_t, SET_COUNT> outputs{};
  for (std::size_t j = 0; j < SET_COUNT; ++j) {
    MixerSet& set = sets_[j];
    const std::int64_t sum = dot(set.weights(set.row), narrow_inputs_.data());
    set.output = static_cast<std::int32_t>(sum / 4096);  // truncates toward zero
    outputs[j] = set.output;
  }
  return final_blend(outputs);
}

void MultiSetMixer::update(std::uint32_t bit) noexcept {
  for (MixerSet& set : sets_) {
    const std::int32_t err =
        static_cast<std::int32_t>(bit << 12) - static_cast<std::int32_t>(squash(set.output));
    train(set.weights(set.row), narrow_inputs_.data(), err * 3);
  }
}

}  // namespace kelvane::mixer
