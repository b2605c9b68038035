#include "mixer/isse.hpp"

namespace kelvane::mixer {

kvn::Result<IsseChain> IsseChain::create() {
  IsseChain chain;
  KVN_ASSIGN_OR_RETURN(chain.table0_, state::ZeroedTable<std::uint8_t>::allocate(TABLE_SIZE));
  for (Stage* stage : {&chain.stage1_, &chain.stage2_}) {
    KVN_ASSIGN_OR_RETURN(stage->table, state::ZeroedTable<std::uint8_t>::allocate(TABLE_SIZE));
    // A fresh pair passes the input through and adds a quarter of the
    // state's initial stretch.
    for (std::size_t s = 0; s < state::STATE_COUNT; ++s) {
      stage->weights[s] = {65536, stretch(state::TABLE[s].p0) * 256};
    }
  }
  return chain;
}

}  // namespace kelvane::mixer
