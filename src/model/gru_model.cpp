// GruModel: initial draws, the recurrent step, the output layer and the
// online training step. This translation unit is compiled with floating-point
// contraction off and without fast-math (see CMakeLists.txt): the rounding of
// every operation here is part of the "balanced" stream.
//
// The per-byte loops (gru_kernels.inc) are written once, on vectors of the
// compiler's vector extension, and built three times: with 4-float vectors
// for the baseline instruction set, 8-float ones for AVX2 and 16-float ones
// for AVX-512. An operation on a vector is the same operation on each lane,
// so every build gives the same bits; GruModel::create takes the widest the
// processor runs.
#include "model/gru_model.hpp"

#include <math.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>

#include "model/default_float_environment.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#ifdef __FAST_MATH__
#error "the GRU predictor must be compiled without fast-math: its rounding is part of the format"
#endif
static_assert(FLT_EVAL_METHOD == 0, "binary32 operations must round to binary32");
static_assert(std::numeric_limits<float>::is_iec559);

namespace kelvane::model {

namespace {

constexpr std::size_t V = GruModel::VOCAB;
constexpr std::size_t E = GruModel::EMBED;
constexpr std::size_t H = GruModel::HIDDEN;
constexpr std::uint32_t L = GruModel::GRU_HISTORY_LEN;

// Every vector of the model's block: the public fields first, in their
// order, then the scratch of a training step.
enum Slot : std::uint8_t {
  Dh = GRU_FIELD_COUNT,  // gradient at the hidden state, 128
  Nd,        // the next step's gradient while it is summed, 128
  DRh,       // column sums of u_n, 128
  OutError,  // clamped output error of each byte, 256
  StepDz, StepDr, StepDn, StepV,  // per history step: dz, dr, dn and r * dn, 10 x 128 each
  StepX, StepHp,                  // per history step: input 10 x 32, previous hidden 10 x 128
  SLOT_COUNT
};

constexpr std::array<std::size_t, SLOT_COUNT> kSlotSize = {
    V * E,                  // Embedding
    H * E, H * H, H,        // WZ UZ BZ
    H * E, H * H, H,        // WR UR BR
    H * E, H * H, H,        // WN UN BN
    V * H, V,               // WOut BOut
    H, E, H,                // Hidden Input PrevHidden
    H, H, H,                // ZGate RGate Candidate
    V,                      // OutputProbs
    L * E, L * H, L * H, L * H, L * H,  // the rings
    H, H, H, V,             // Dh Nd DRh OutError
    L * H, L * H, L * H, L * H,  // StepDz StepDr StepDn StepV
    L * E, L * H,                // StepX StepHp
};

constexpr std::array<std::size_t, SLOT_COUNT + 1> kSlotOffset = [] {
  std::array<std::size_t, SLOT_COUNT + 1> offset{};
  for (std::size_t i = 0; i < SLOT_COUNT; ++i) offset[i + 1] = offset[i] + kSlotSize[i];
  return offset;
}();

// Every size is a multiple of 16 floats, so every vector starts on a
// 64-byte line when the block does.
static_assert([] {
  for (std::size_t size : kSlotSize) {
    if (size % 16 != 0) return false;
  }
  return true;
}());
constexpr std::size_t kAlignFloats = 16;
constexpr std::size_t kBlockFloats = kSlotOffset[SLOT_COUNT];

constexpr const char* kFieldNames[GRU_FIELD_COUNT] = {
    "embedding", "w_z", "u_z", "b_z", "w_r", "u_r", "b_r", "w_n", "u_n", "b_n",
    "w_out", "b_out", "hidden", "input", "prev_hidden", "z_gate", "r_gate", "candidate",
    "output_probs", "hist_input", "hist_prev_hidden", "hist_z", "hist_r", "hist_candidate",
};

constexpr float kGateRate = -0.01f;  // gate and embedding updates: p + c5(g) * -0.01
constexpr float kOutputRate = 0.01f;
constexpr float kSkipError = 1e-7f;
constexpr float kMinProb = 1e-8f;
constexpr float kSoftmaxGuard = 1e-30f;
static_assert(std::bit_cast<std::uint32_t>(kGateRate) == 0xBC23D70Au);
static_assert(std::bit_cast<std::uint32_t>(kOutputRate) == 0x3C23D70Au);
static_assert(std::bit_cast<std::uint32_t>(kSkipError) == 0x33D6BF95u);
static_assert(std::bit_cast<std::uint32_t>(kMinProb) == 0x322BCC77u);
static_assert(std::bit_cast<std::uint32_t>(kSoftmaxGuard) == 0x0DA24260u);

// ---------------------------------------------------------------------------
// Scalar pieces.

float clamp(float x, float limit) noexcept { return x < -limit ? -limit : (x > limit ? limit : x); }
float c5(float x) noexcept { return clamp(x, 5.0f); }


// ---------------------------------------------------------------------------
// The model's block, seen through its slots.

struct Block {
  float* base;
  float* operator[](std::size_t slot) const noexcept { return base + kSlotOffset[slot]; }
  float* operator()(GruField f) const noexcept { return (*this)[static_cast<std::size_t>(f)]; }
};

// The three gate matrices that read the same input vectors, with the gate
// errors that train them.
struct GateWeights {
  float* z;
  float* r;
  float* n;
  const float* coef_z;
  const float* coef_r;
  const float* coef_n;
};

// The vectors of one stored step, s = 0 being the newest.
struct PastStep {
  const float* x;
  const float* hp;
  const float* z;
  const float* r;
  const float* n;
};

PastStep past_step(const Block& m, std::uint32_t hist_pos, std::uint32_t s) noexcept {
  const std::uint32_t q = (hist_pos + L - 1 - s) % L;
  return {m(GruField::HistInput) + q * E, m(GruField::HistPrevHidden) + q * H,
          m(GruField::HistZ) + q * H, m(GruField::HistR) + q * H,
          m(GruField::HistCandidate) + q * H};
}

// Copies the step just taken into ring slot `slot`.
void push_step(const Block& m, std::uint32_t slot) noexcept {
  std::memcpy(m(GruField::HistInput) + slot * E, m(GruField::Input), E * sizeof(float));
  std::memcpy(m(GruField::HistPrevHidden) + slot * H, m(GruField::PrevHidden), H * sizeof(float));
  std::memcpy(m(GruField::HistZ) + slot * H, m(GruField::ZGate), H * sizeof(float));
  std::memcpy(m(GruField::HistR) + slot * H, m(GruField::RGate), H * sizeof(float));
  std::memcpy(m(GruField::HistCandidate) + slot * H, m(GruField::Candidate), H * sizeof(float));
}

// Turns the logits in `probs` into probabilities: exponentials relative to
// the largest logit, summed in order, scaled by one reciprocal, floored at
// 1e-8 and not renormalised.
void softmax(float* probs) noexcept {
  float max = -std::numeric_limits<float>::infinity();
  for (std::size_t k = 0; k < V; ++k) {
    if (probs[k] > max) max = probs[k];
  }
  float sum = 0.0f;
  for (std::size_t k = 0; k < V; ++k) {
    const float e = expf(probs[k] - max);
    probs[k] = e;
    sum = sum + e;
  }
  const float rr = 1.0f / (sum + kSoftmaxGuard);
  for (std::size_t k = 0; k < V; ++k) {
    const float p = rr * probs[k];
    probs[k] = p < kMinProb ? kMinProb : p;
  }
}

// A byte whose output error is this small leaves its output row alone.
bool skips_output_row(float e) noexcept { return std::fabs(e) < kSkipError; }

// The clamped output error of every byte value into OutError, and the
// output biases moved by it.
void output_errors(const Block& m, std::uint8_t target) noexcept {
  const float* probs = m(GruField::OutputProbs);
  float* b_out = m(GruField::BOut);
  float* error = m[OutError];
  for (std::size_t k = 0; k < V; ++k) {
    const float e = c5(probs[k] - (k == target ? 1.0f : 0.0f));
    error[k] = e;
    if (!skips_output_row(e)) b_out[k] = b_out[k] - e * kOutputRate;
  }
}

// ---------------------------------------------------------------------------
// The per-byte loops, built for the baseline instruction set, AVX2 and
// AVX-512.

namespace portable {
constexpr std::size_t kLanes = 4;
using FloatVec = float __attribute__((vector_size(kLanes * sizeof(float))));
#include "model/gru_kernels.inc"
}  // namespace portable

#if defined(__x86_64__)
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
namespace avx2 {
constexpr std::size_t kLanes = 8;
using FloatVec = float __attribute__((vector_size(kLanes * sizeof(float))));
#include "model/gru_kernels.inc"
}  // namespace avx2
#if defined(__clang__)
#pragma clang attribute pop
#pragma clang attribute push(__attribute__((target("avx512f"))), apply_to = function)
#else
#pragma GCC pop_options
#pragma GCC push_options
#pragma GCC target("avx512f")
#endif
namespace avx512 {
constexpr std::size_t kLanes = 16;
using FloatVec = float __attribute__((vector_size(kLanes * sizeof(float))));
#include "model/gru_kernels.inc"
}  // namespace avx512
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#define KELVANE_GRU_WIDE_BUILDS 1
#endif

// Draws the initial weights of `out` (count values) from the generator.
void draw_weights(std::uint64_t& x, float* out, std::size_t count, std::uint32_t scale_bits) {
  const float scale = std::bit_cast<float>(scale_bits);
  for (std::size_t i = 0; i < count; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    float f = gru_detail::u64_to_binary32(x);
    f = f * 0x1p-64f;
    f = f + f;
    f = f + -1.0f;
    out[i] = f * scale;
  }
}

}  // namespace

namespace gru_detail {

float u64_to_binary32(std::uint64_t x) noexcept {
  if (x == 0) return 0.0f;
  const int top = 63 - std::countl_zero(x);  // the highest set bit
  std::uint64_t mantissa;                    // 24 bits, the top one set
  int exponent = top;
  if (top <= 23) {
    mantissa = x << (23 - top);
  } else {
    const int drop = top - 23;
    mantissa = x >> drop;
    const std::uint64_t rest = x & ((std::uint64_t{1} << drop) - 1);
    const std::uint64_t half = std::uint64_t{1} << (drop - 1);
    if (rest > half || (rest == half && (mantissa & 1) != 0)) ++mantissa;
    if (mantissa == (std::uint64_t{1} << 24)) {
      mantissa >>= 1;
      ++exponent;
    }
  }
  const auto bits = static_cast<std::uint32_t>(((exponent + 127) << 23) |
                                               (mantissa & 0x7FFFFFu));
  return std::bit_cast<float>(bits);
}

float sigmoid(float x) noexcept {
  if (x > 15.0f) return std::bit_cast<float>(0x3F7FFFFAu);
  const float t = x < -15.0f ? -15.0f : x;
  const float e = expf(-t);
  return 1.0f / (e + 1.0f);
}

float tanh(float x) noexcept {
  const float c = clamp(x, 7.5f);
  const float y = c + c;
  const float e = expf(-y);
  float s = 1.0f / (e + 1.0f);
  s = s + s;
  return s + -1.0f;
}

}  // namespace gru_detail

GruKernels best_gru_kernels() noexcept {
#ifdef KELVANE_GRU_WIDE_BUILDS
  if (__builtin_cpu_supports("avx512f")) return GruKernels::Avx512;
  if (__builtin_cpu_supports("avx2")) return GruKernels::Avx2;
#endif
  return GruKernels::Portable;
}

kvn::Result<GruModel> GruModel::create(GruKernels kernels) {
  KVN_ASSIGN_OR_RETURN(auto memory, state::ZeroedTable<float>::allocate(kBlockFloats + kAlignFloats));
  GruModel model;
  constexpr std::size_t kAlignBytes = kAlignFloats * sizeof(float);
  const std::size_t misalign = reinterpret_cast<std::uintptr_t>(memory.data()) % kAlignBytes;
  model.base_ = memory.data() + (misalign == 0 ? 0 : (kAlignBytes - misalign) / sizeof(float));
  model.memory_ = std::move(memory);
  // Never a build the processor cannot run.
  model.kernels_ = std::min(kernels, best_gru_kernels());

  const DefaultFloatEnvironment environment;
  std::uint64_t x = 0xDEADBEEFCAFE1234u;
  const auto f = [&](GruField field) { return model.field(field).data(); };
  draw_weights(x, f(GruField::Embedding), V * E, 0x3DAAAAABu);
  for (GruField w : {GruField::WZ, GruField::WR, GruField::WN}) draw_weights(x, f(w), H * E, 0x3DE4F92Eu);
  for (GruField u : {GruField::UZ, GruField::UR, GruField::UN}) draw_weights(x, f(u), H * H, 0x3DB504F3u);
  draw_weights(x, f(GruField::WOut), V * H, 0x3D93CD3Au);
  for (float& b : model.field(GruField::BZ)) b = 1.0f;
  for (float& p : model.field(GruField::OutputProbs)) p = std::bit_cast<float>(0x3B800000u);
  return model;
}

void GruModel::forward(std::uint8_t byte) noexcept {
  const DefaultFloatEnvironment environment;
  const Block m{base_};
  switch (kernels_) {
#ifdef KELVANE_GRU_WIDE_BUILDS
    case GruKernels::Avx512:
      avx512::forward_step(m, hist_pos_, byte);
      break;
    case GruKernels::Avx2:
      avx2::forward_step(m, hist_pos_, byte);
      break;
#endif
    default:
      portable::forward_step(m, hist_pos_, byte);
  }
  hist_len_ = hist_len_ < L ? hist_len_ + 1 : L;
  hist_pos_ = (hist_pos_ + 1) % L;
  has_prediction_ = true;
}

void GruModel::compute_output_probs() noexcept {
  const DefaultFloatEnvironment environment;
  const Block m{base_};
  switch (kernels_) {
#ifdef KELVANE_GRU_WIDE_BUILDS
    case GruKernels::Avx512:
      return avx512::output_step(m);
    case GruKernels::Avx2:
      return avx2::output_step(m);
#endif
    default:
      return portable::output_step(m);
  }
}

void GruModel::train(std::uint8_t target) noexcept {
  if (!has_prediction_) return;
  const DefaultFloatEnvironment environment;
  const Block m{base_};
  switch (kernels_) {
#ifdef KELVANE_GRU_WIDE_BUILDS
    case GruKernels::Avx512:
      return avx512::train_step(m, hist_pos_, hist_len_, target);
    case GruKernels::Avx2:
      return avx2::train_step(m, hist_pos_, hist_len_, target);
#endif
    default:
      return portable::train_step(m, hist_pos_, hist_len_, target);
  }
}

std::span<float> GruModel::field(GruField f) noexcept {
  const auto slot = static_cast<std::size_t>(f);
  return {base_ + kSlotOffset[slot], kSlotSize[slot]};
}

std::span<const float> GruModel::field(GruField f) const noexcept {
  const auto slot = static_cast<std::size_t>(f);
  return {base_ + kSlotOffset[slot], kSlotSize[slot]};
}

const char* GruModel::field_name(GruField f) noexcept {
  return kFieldNames[static_cast<std::size_t>(f)];
}

}  // namespace kelvane::model
