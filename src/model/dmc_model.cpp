// The rarer steps of DmcModel: building the graph, cloning a node and the
// rebuild of a full graph.
#include "model/dmc_model.hpp"

#include <cstring>
#include <string>

namespace kelvane::model {

kvn::Result<DmcInstance> DmcInstance::create(std::uint32_t capacity) {
  KVN_RETURN_ERROR_IF(capacity <= INITIAL_NODES, Other,
                      "invalid DMC capacity " + std::to_string(capacity));
  DmcInstance d;
  KVN_ASSIGN_OR_RETURN(d.nodes_, state::ZeroedTable<DmcNode>::allocate(capacity));
  d.capacity_ = capacity;
  d.init_states();
  return d;
}

void DmcInstance::init_states() noexcept {
  // 256 groups of eight nodes, one per bit position; the last node of a
  // group leads back to the group of its own 16-node block on a 0 bit and to
  // the block's other group on a 1 bit.
  for (std::uint32_t a = 0; a < INITIAL_NODES; a += 8) {
    for (std::uint32_t i = a; i < a + 8; ++i) {
      nodes_[i].count[0] = 1;
      nodes_[i].count[1] = 1;
      nodes_[i].next[0] = i + 1;
      nodes_[i].next[1] = i + 1;
    }
    nodes_[a + 7].next[0] = a & 0x7F0u;
    nodes_[a + 7].next[1] = a | 8u;
  }
  current_ = 0;
  nodes_used_ = INITIAL_NODES;
}

std::uint32_t DmcInstance::clone(std::uint32_t from, std::uint32_t bit, std::uint32_t n) noexcept {
  const std::uint32_t t = nodes_[from].next[bit];
  DmcNode& target = nodes_[t];
  const std::uint32_t total = target.count[0] + target.count[1];
  const std::uint32_t fresh = nodes_used_++;
  DmcNode& copy = nodes_[fresh];
  for (int i = 0; i < 2; ++i) {
    const std::uint64_t share = std::uint64_t{target.count[i]} * n / total;
    copy.count[i] = share > 1 ? static_cast<std::uint32_t>(share) : 1u;
  }
  copy.next[0] = target.next[0];
  copy.next[1] = target.next[1];
  for (int i = 0; i < 2; ++i) {
    const std::uint32_t taken = copy.count[i] - 1;
    target.count[i] = target.count[i] > taken ? target.count[i] - taken : 0;
  }
  nodes_[from].next[bit] = fresh;
  return fresh;
}

void DmcInstance::rebuild() noexcept {
  std::memset(static_cast<void*>(nodes_.data()), 0, std::size_t{capacity_} * sizeof(DmcNode));
  init_states();
}

kvn::Result<DmcModel> DmcModel::create(std::size_t instances, std::uint32_t capacity) {
  DmcModel model;
  // The coding loops run the engine's construction under kvn::guard_alloc,
  // which turns a failed reserve into the out-of-memory error.
  model.instances_.reserve(instances);
  for (std::size_t i = 0; i < instances; ++i) {
    KVN_ASSIGN_OR_RETURN(auto instance, DmcInstance::create(capacity));
    model.instances_.push_back(std::move(instance));
  }
  return model;
}

}  // namespace kelvane::model
