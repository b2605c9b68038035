// GruModel: a one-layer gated recurrent unit that predicts the distribution
// of the next byte and learns online, for the "balanced" coding loops.
//
// Memory: one zeroed block of about 0.45 MiB: the 103,040 parameters
// (embedding 256 x 32; three gates of 128 x 32 input weights, 128 x 128
// recurrent weights and 128 biases; output layer 256 x 128 and 256 biases),
// the state of the last step, rings of the last ten steps and the scratch of
// a training step. Nothing is allocated after create().
//
// Calls per coded byte b: train(b), then forward(b). Readers of the
// prediction use output_probs() and has_prediction() only.
//
// Every value is IEEE binary32, every product and every sum is rounded on
// its own (no fused multiply-add), and every sum runs in one fixed order,
// so that an encoder and a decoder that feed the same bytes hold the same
// bits at every step. The kernels vectorise only across independent sums
// (one lane per unit, byte value or column); the order of the terms within a
// sum never changes. The gradient accumulators of a training step live only
// in registers: each weight's gradient is summed over the stored steps in
// order and applied at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "kvn/error.hpp"
#include "state/zeroed_table.hpp"

namespace kelvane::model {

// The builds of the per-byte loops: 4-, 8- and 16-float vectors. They run the
// same operations in the same order and give bit-identical results; only the
// register width differs.
enum class GruKernels : std::uint8_t { Portable, Avx2, Avx512 };

// The widest build the processor can run.
GruKernels best_gru_kernels() noexcept;

// The vectors of a GruModel, in the order of its state. Matrices are
// row-major with one row per output unit.
enum class GruField : std::uint8_t {
  Embedding,       // 256 x 32
  WZ, UZ, BZ,      // update gate: 128 x 32, 128 x 128, 128
  WR, UR, BR,      // reset gate
  WN, UN, BN,      // candidate
  WOut, BOut,      // output layer: 256 x 128, 256
  Hidden,          // 128, after the last step
  Input,           // 32, the embedding row of the last step
  PrevHidden,      // 128, before the last step
  ZGate, RGate, Candidate,  // 128 each, activations of the last step
  OutputProbs,     // 256, the predicted distribution of the next byte
  HistInput,       // 10 x 32, ring of past inputs
  HistPrevHidden, HistZ, HistR, HistCandidate,  // 10 x 128 each
};
inline constexpr std::size_t GRU_FIELD_COUNT = 24;

class GruModel {
 public:
  static constexpr std::size_t VOCAB = 256;
  static constexpr std::size_t EMBED = 32;
  static constexpr std::size_t HIDDEN = 128;
  static constexpr std::uint32_t GRU_HISTORY_LEN = 10;

  // Allocates the model and draws its initial weights; its loops run the
  // given build, or the widest the processor has when that is narrower.
  // Fails with kind Other (kvn::kOutOfMemory) when the memory cannot be had.
  static kvn::Result<GruModel> create(GruKernels kernels = best_gru_kernels());

  // One recurrent step on `byte`, then the distribution of the next byte.
  void forward(std::uint8_t byte) noexcept;
  // The output layer and softmax from the hidden state.
  void compute_output_probs() noexcept;
  // One training step toward `target`, the byte just coded; nothing before
  // the first forward().
  void train(std::uint8_t target) noexcept;

  std::span<const float> output_probs() const noexcept { return field(GruField::OutputProbs); }
  bool has_prediction() const noexcept { return has_prediction_; }
  // The ring slot the next step writes (0..9) and the filled slots (0..10).
  std::uint32_t hist_pos() const noexcept { return hist_pos_; }
  std::uint32_t hist_len() const noexcept { return hist_len_; }
  GruKernels kernels() const noexcept { return kernels_; }

  std::span<float> field(GruField f) noexcept;
  std::span<const float> field(GruField f) const noexcept;
  static const char* field_name(GruField f) noexcept;

 private:
  GruModel() = default;

  state::ZeroedTable<float> memory_;
  float* base_ = nullptr;  // memory_ aligned to 64 bytes
  GruKernels kernels_ = GruKernels::Portable;
  std::uint32_t hist_pos_ = 0;
  std::uint32_t hist_len_ = 0;
  bool has_prediction_ = false;
};

namespace gru_detail {

// The xorshift64 draw as a binary32 value, rounded once from the integer
// (to nearest, ties to even), whatever the floating-point environment.
float u64_to_binary32(std::uint64_t x) noexcept;

// The activations exactly as the model computes them.
float sigmoid(float x) noexcept;
float tanh(float x) noexcept;

}  // namespace gru_detail

}  // namespace kelvane::model
