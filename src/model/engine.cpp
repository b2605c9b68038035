#include "model/engine.hpp"

#include <utility>

namespace kelvane::model {

kvn::Result<CMEngine> CMEngine::with_config(const CMConfig& config) {
  CMEngine engine;
  const auto& sizes = config.cm_sizes;
  KVN_ASSIGN_OR_RETURN(engine.order1_, ContextModel<1>::create(sizes[0]));
  KVN_ASSIGN_OR_RETURN(engine.order2_, ContextModel<2>::create(sizes[1]));
  KVN_ASSIGN_OR_RETURN(engine.order3_, ChecksumContextModel<3>::create(sizes[2]));
  KVN_ASSIGN_OR_RETURN(engine.order4_, ChecksumContextModel<4>::create(sizes[3]));
  KVN_ASSIGN_OR_RETURN(engine.order5_, AssociativeContextModel<5>::create(sizes[4]));
  KVN_ASSIGN_OR_RETURN(engine.order6_, AssociativeContextModel<6>::create(sizes[5]));
  KVN_ASSIGN_OR_RETURN(engine.order7_, AssociativeContextModel<7>::create(sizes[6]));
  KVN_ASSIGN_OR_RETURN(engine.order8_, AssociativeContextModel<8>::create(sizes[7]));
  KVN_ASSIGN_OR_RETURN(engine.order9_, AssociativeContextModel<9>::create(sizes[8]));
  KVN_ASSIGN_OR_RETURN(engine.word_, WordModel::create(config.word_table_size));
  KVN_ASSIGN_OR_RETURN(engine.sparse_, SparseModel::with_size(config.sparse_table_size));
  KVN_ASSIGN_OR_RETURN(engine.byte_run_, ByteRunModel::create(config.run_table_size));
  KVN_ASSIGN_OR_RETURN(engine.final_stage_, mixer::FinalStage::create());
  return engine;
}

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
  word_.predict(h, inputs_);
  sparse_.predict(h, inputs_);
  byte_run_.predict(h, inputs_);
  const std::uint32_t match_bucket = 0;
  return final_stage_.predict(inputs_, h, match_bucket);
}

namespace {
// The history once `bit` has been appended, for looking ahead only.
mixer::History after_bit(mixer::History h, std::uint32_t bit) noexcept {
  if (h.push_bit(bit)) h.end_byte(h.completed_byte());
  return h;
}
}  // namespace

void CMEngine::prefetch(const mixer::History& next) const noexcept {
  order1_.prefetch(next);
  order2_.prefetch(next);
  order3_.prefetch(next);
  order4_.prefetch(next);
  order5_.prefetch(next);
  order6_.prefetch(next);
  order7_.prefetch(next);
  order8_.prefetch(next);
  order9_.prefetch(next);
  word_.prefetch(next);
  sparse_.prefetch(next);
  byte_run_.prefetch(next);
  // A hint only: the match bucket of the next bit is not known yet.
  final_stage_.prefetch(next, 0);
}

void CMEngine::update(std::uint32_t bit) noexcept {
  const mixer::History& h = history_;
  // The next bit's slots are known now; loading them while the mixer trains
  // hides most of their cache misses.
  prefetch(after_bit(history_, bit));
  final_stage_.update(bit);
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
  word_.update(h, bit);
  sparse_.update(h, bit);
  byte_run_.update(h, bit);
  if (history_.push_bit(bit)) {
    const std::uint8_t b = history_.completed_byte();
    history_.count_byte(b);
    // Byte-level model updates that must still see the old c1..c9 go here.
    history_.shift_byte(b);
  }
}

}  // namespace kelvane::model
