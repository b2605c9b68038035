// The per-bit step of CMEngine: every model inlined into predict() and
// update(). Building the engine lives in engine_build.cpp, so the two
// compile side by side.
#include "model/engine.hpp"

namespace kelvane::model {

std::uint32_t CMEngine::predict() noexcept {
  const mixer::History& h = history_;
  order0_.predict(h, inputs_);
  order1_.predict(h, inputs_);
  order2_.predict(h, inputs_);
  order3_.predict(h, inputs_);
  order4_.predict(h, inputs_);
  order5_.predict(h, inputs_);
  order6_.predict(h, inputs_);
  order7_.predict(h, inputs_);
  order8_.predict(h, inputs_);
  order9_.predict(h, inputs_);
  match_.predict(h, inputs_);  // the byte-boundary lookup, then input 19
  word_.predict(h, inputs_);
  sparse_.predict(h, inputs_);
  byte_run_.predict(h, inputs_);
  json_.predict(h, inputs_);
  indirect_.predict(h, inputs_);
  ppm_.predict(h, inputs_);
  dmc_.predict(h, inputs_);
  isse_.predict(h, inputs_);
  return final_stage_.predict(inputs_, h, match_.bucket());
}

namespace {
// The history once `bit` has been appended, for looking ahead only.
mixer::History after_bit(mixer::History h, std::uint32_t bit) noexcept {
  if (h.push_bit(bit)) h.end_byte(h.completed_byte());
  return h;
}
}  // namespace

void CMEngine::prefetch(const mixer::History& next, std::uint32_t bit) const noexcept {
  order1_.prefetch(next);
  order2_.prefetch(next);
  order3_.prefetch(next);
  order4_.prefetch(next);
  order5_.prefetch(next);
  order6_.prefetch(next);
  order7_.prefetch(next);
  order8_.prefetch(next);
  order9_.prefetch(next);
  match_.prefetch(next);
  word_.prefetch(next);
  sparse_.prefetch(next);
  byte_run_.prefetch(next);
  json_.prefetch(next);
  indirect_.prefetch(next);
  if (next.bp == 0) ppm_.prefetch_after(next.c1);
  dmc_.prefetch(bit);
  isse_.prefetch(next);
  // A hint only: the match bucket of the next bit is not known yet.
  final_stage_.prefetch(next, match_.bucket());
}

void CMEngine::update(std::uint32_t bit) noexcept {
  const mixer::History& h = history_;
  // The next bit's slots are known now; loading them while the mixer trains
  // hides most of their cache misses.
  prefetch(after_bit(history_, bit), bit);
  final_stage_.update(bit);
  // Every model trains with the state of this bit's prediction: h still
  // holds the c0 and bp of the bit.
  order0_.update(h, bit);
  order1_.update(h, bit);
  order2_.update(h, bit);
  order3_.update(h, bit);
  order4_.update(h, bit);
  order5_.update(h, bit);
  order6_.update(h, bit);
  order7_.update(h, bit);
  order8_.update(h, bit);
  order9_.update(h, bit);
  match_.update(h, bit);
  word_.update(h, bit);
  sparse_.update(h, bit);
  byte_run_.update(h, bit);
  json_.update(h, bit);
  indirect_.update(h, bit);
  dmc_.update(bit);
  isse_.update(h, bit);
  if (history_.push_bit(bit)) {
    const std::uint8_t b = history_.completed_byte();
    history_.count_byte(b);
    ppm_.update_byte(b);  // counts b under the contexts before it
    history_.shift_byte(b);
  }
}

}  // namespace kelvane::model
