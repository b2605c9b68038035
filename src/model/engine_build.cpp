// Building a CMEngine: every model, the mixer, the Apm chain and the ISSE
// chain, in the engine's declaration order, with the sizes of a CMConfig.
#include <utility>

#include "model/engine.hpp"

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

}  // namespace kelvane::model
