// DmcModel: dynamic Markov compression. A graph of bit nodes, each with the
// counts of the 0 and 1 bits coded there and the node reached after each, is
// walked one edge per coded bit; a successor reached often from one edge,
// and more often from elsewhere, is cloned so that the edge gets a state of
// its own. When the graph is full it is wiped and rebuilt from the initial
// 2048 nodes (256 groups of eight, one node per bit position).
// Memory: 0x400000 nodes of 16 bytes (64 MiB) per instance, zeroed; the
// engine runs one instance in both modes.
// Input: MixerInput 26.
// Per bit: predict() reads the counts of the current node; update(bit) counts
// the bit, may clone the successor, and moves to it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kvn/error.hpp"
#include "mixer/history.hpp"
#include "mixer/logistic.hpp"
#include "mixer/mixer_input.hpp"
#include "state/zeroed_table.hpp"

namespace kelvane::model {

struct DmcNode {
  std::uint32_t count[2];  // bits 0 and 1 coded at this node
  std::uint32_t next[2];   // node reached after a 0 and after a 1
};
static_assert(sizeof(DmcNode) == 16);

class DmcInstance {
 public:
  static constexpr std::uint32_t DEFAULT_CAPACITY = 0x400000;
  static constexpr std::uint32_t INITIAL_NODES = 2048;
  static constexpr std::uint32_t CLONE_THRESHOLD = 2;
  static constexpr std::uint32_t HALVE_ABOVE = 8192;

  DmcInstance() = default;

  // An instance of `capacity` nodes (at least the 2048 initial ones), built.
  static kvn::Result<DmcInstance> create(std::uint32_t capacity = DEFAULT_CAPACITY);

  // Lays out the initial graph in the (zeroed) nodes; current = 0.
  void init_states() noexcept;

  // The probability (1..4095) that the coming bit is 1; 2048 at a node with
  // no counts.
  std::uint32_t p() const noexcept {
    const DmcNode& node = nodes_[current_];
    const std::uint64_t total = std::uint64_t{node.count[0]} + node.count[1];
    if (total == 0) return 2048;
    std::uint64_t q = (std::uint64_t{node.count[1]} * 4096) / total;
    if (q > 4095) q = 4095;
    if (q == 0) q = 1;
    return static_cast<std::uint32_t>(q);
  }

  void update(std::uint32_t bit) noexcept {
    DmcNode& node = nodes_[current_];
    if (node.count[bit] != 0xFFFFFFFFu) ++node.count[bit];
    if (node.count[0] + node.count[1] > HALVE_ABOVE) {
      node.count[0] = node.count[0] >> 1 > 1 ? node.count[0] >> 1 : 1;
      node.count[1] = node.count[1] >> 1 > 1 ? node.count[1] >> 1 : 1;
    }
    const std::uint32_t n = node.count[bit];
    const std::uint32_t t = node.next[bit];
    if (n >= CLONE_THRESHOLD && nodes_used_ < capacity_ &&
        nodes_[t].count[0] + nodes_[t].count[1] > n + CLONE_THRESHOLD) {
      current_ = clone(current_, bit, n);
    } else {
      current_ = t;
    }
    if (nodes_used_ == capacity_) rebuild();
  }

  // Starts loading the node the walk reaches after `bit` (unless a clone
  // takes its place). Changes nothing.
  void prefetch(std::uint32_t bit) const noexcept {
    __builtin_prefetch(&nodes_[nodes_[current_].next[bit]]);
  }

  std::uint32_t current() const noexcept { return current_; }
  std::uint32_t nodes_used() const noexcept { return nodes_used_; }
  std::uint32_t capacity() const noexcept { return capacity_; }
  const DmcNode& node(std::uint32_t i) const noexcept { return nodes_[i]; }

 private:
  // Gives the edge `bit` of node `from` a copy of its successor that takes
  // the share n / T of the successor's counts; returns the copy.
  std::uint32_t clone(std::uint32_t from, std::uint32_t bit, std::uint32_t n) noexcept;
  // Wipes every node and lays out the initial graph again.
  void rebuild() noexcept;

  state::ZeroedTable<DmcNode> nodes_;
  std::uint32_t current_ = 0;
  std::uint32_t nodes_used_ = 0;
  std::uint32_t capacity_ = 0;
};

class DmcModel {
 public:
  static constexpr std::size_t INPUT = mixer::MixerInput::DMC;

  DmcModel() = default;

  // A model of `instances` instances of `capacity` nodes each.
  static kvn::Result<DmcModel> create(std::size_t instances = 1,
                                      std::uint32_t capacity = DmcInstance::DEFAULT_CAPACITY);

  // The mean of the instances' predictions, kept in 1..4095.
  std::uint32_t p() const noexcept {
    if (instances_.size() == 1) return instances_[0].p();
    std::uint64_t sum = 0;
    for (const DmcInstance& d : instances_) sum += d.p();
    std::uint64_t q = sum / instances_.size();
    if (q > 4095) q = 4095;
    if (q == 0) q = 1;
    return static_cast<std::uint32_t>(q);
  }

  void predict(const mixer::History&, mixer::MixerInput& in) noexcept {
    in[INPUT] = mixer::stretch(p());
  }

  void update(std::uint32_t bit) noexcept {
    for (DmcInstance& d : instances_) d.update(bit);
  }

  void prefetch(std::uint32_t bit) const noexcept {
    for (const DmcInstance& d : instances_) d.prefetch(bit);
  }

  const DmcInstance& instance(std::size_t i) const noexcept { return instances_[i]; }

 private:
  std::vector<DmcInstance> instances_;
};

}  // namespace kelvane::model
