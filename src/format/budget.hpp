// What the reverse of a transform chain may write. Two limits hold at once:
// each step's result stays within the step's own budget (what its forward
// could have been handed), and all the steps together, with every copy of
// a text they give back and every buffer of a grouped rebuild, stay within
// the chain's work allowance. The first keeps each text in proportion to
// the declared size; the second keeps a chain of many records, each
// rewriting the whole text, from costing that many times as much.
#pragma once

#include <algorithm>
#include <cstdint>

#include "kvn/bytes.hpp"

namespace kelvane::format {

// The bytes the steps of one chain may still write. Once a write is
// refused the allowance is spent and stays so: the chain ends there.
class ChainWork {
 public:
  explicit ChainWork(std::uint64_t allowance) noexcept : allowance_(allowance), left_(allowance) {}

  std::uint64_t allowance() const noexcept { return allowance_; }
  std::uint64_t left() const noexcept { return left_; }
  bool spent() const noexcept { return spent_; }

  // Takes `n` bytes before they are written; false when fewer are left.
  bool take(std::uint64_t n) noexcept {
    if (spent_ || n > left_) {
      spend();
      return false;
    }
    left_ -= n;
    return true;
  }
  void spend() noexcept {
    spent_ = true;
    left_ = 0;
  }

 private:
  std::uint64_t allowance_;
  std::uint64_t left_;
  bool spent_ = false;
};

// The budget of one reverse step: its result holds at most `output()`
// bytes, and every buffer it fills (result, copy or intermediate text) is
// taken from the chain's work first, when there is one. A step on its own
// (a plain number) has no chain to answer to. Copies share the chain's
// work, so a Budget is passed by value.
class Budget {
 public:
  Budget(std::uint64_t output) noexcept : output_(output) {}  // implicit: a step on its own
  Budget(std::uint64_t output, ChainWork& work) noexcept : output_(output), work_(&work) {}

  std::uint64_t output() const noexcept { return output_; }

  // The most the step may still write into one buffer: its output bound,
  // or what the chain has left when that is less.
  std::uint64_t room() const noexcept {
    return work_ == nullptr ? output_ : std::min(output_, work_->left());
  }

  // Takes `n` bytes of the chain's work before they are written; false
  // when the chain has fewer left (the step must then write nothing more).
  bool take(std::uint64_t n) noexcept { return work_ == nullptr || work_->take(n); }

  // A write would have passed room(): when that was the chain's limit and
  // not the step's own bound, the chain is spent.
  void overran() noexcept {
    if (work_ != nullptr && work_->left() < output_) work_->spend();
  }

  // The same chain's work, under another output bound (a group of a
  // grouped layout, an intermediate text).
  Budget with_output(std::uint64_t output) const noexcept {
    Budget b(output);
    b.work_ = work_;
    return b;
  }

  // `text` given back as it is, when the chain can afford the copy;
  // nothing is copied when it cannot. A copy longer than the output bound
  // is not taken from the chain's work: no record before this one can undo
  // such a text, so it ends the chain, and the bounds of the records only
  // shrink from the last to the first, so a chain makes few such copies.
  kvn::Bytes copy_of(kvn::ByteSpan text) {
    if (text.size() <= output_ && !take(text.size())) return {};
    return kvn::Bytes(text.begin(), text.end());
  }

 private:
  std::uint64_t output_;
  ChainWork* work_ = nullptr;
};

}  // namespace kelvane::format
