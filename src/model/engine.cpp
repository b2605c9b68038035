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
  KVN_ASSIGN_OR_RETURN(engine.match_,
                       MatchModel::create(config.match_history_size, config.match_table_entries));
  KVN_ASSIGN_OR_RETURN(engine.word_, WordModel::create(config.word_table_size));
  KVN_ASSIGN_OR_RETURN(engine.sparse_, SparseModel::with_size(config.sparse_table_size));
  KVN_ASSIGN_OR_RETURN(engine.byte_run_, ByteRunModel::create(config.run_table_size));
  KVN_ASSIGN_OR_RETURN(engine.json_, JsonModel::create(config.json_table_size));
  KVN_ASSIGN_OR_RETURN(engine.indirect_, IndirectModel::create());
  KVN_ASSIGN_OR_RETURN(engine.ppm_, PpmModel::with_config(config.ppm_entries));
  KVN_ASSIGN_OR_RETURN(engine.dmc_, DmcModel::create());
  KVN_ASSIGN_OR_RETURN(engine.final_stage_, mixer::FinalStage::create());
  KVN_ASSIGN_OR_RETURN(engine.isse_, mixer::IsseChain::create());
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
