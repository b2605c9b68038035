// DefaultFloatEnvironment: the GRU's arithmetic, and the bit probability
// read from it, round as the format says whatever the calling process has
// set. The guard holds the default environment for its lifetime.
#pragma once

#include <cfenv>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace kelvane::model {

// Restores the default floating-point environment (round to nearest, no
// flushing of subnormals) for the lifetime of the guard, whatever the calling
// process has set, and puts the caller's environment back afterwards. On
// x86-64 the GRU's float arithmetic is all SSE, governed by MXCSR alone;
// saving and loading just that register costs a fraction of the whole
// environment (the x87 part included), and "balanced" takes a guard for
// every bit it codes.
#if defined(__x86_64__)
class DefaultFloatEnvironment {
 public:
  // All exceptions masked, round to nearest, no flush-to-zero, no
  // denormals-are-zero, no exception flags.
  static constexpr unsigned kDefault = 0x1F80;

  DefaultFloatEnvironment() noexcept : saved_(_mm_getcsr()) { _mm_setcsr(kDefault); }
  ~DefaultFloatEnvironment() { _mm_setcsr(saved_); }
  DefaultFloatEnvironment(const DefaultFloatEnvironment&) = delete;
  DefaultFloatEnvironment& operator=(const DefaultFloatEnvironment&) = delete;

 private:
  unsigned saved_;
};
#else
class DefaultFloatEnvironment {
 public:
  DefaultFloatEnvironment() noexcept {
    std::fegetenv(&saved_);
    std::fesetenv(FE_DFL_ENV);
  }
  ~DefaultFloatEnvironment() { std::fesetenv(&saved_); }
  DefaultFloatEnvironment(const DefaultFloatEnvironment&) = delete;
  DefaultFloatEnvironment& operator=(const DefaultFloatEnvironment&) = delete;

 private:
  std::fenv_t saved_;
};
#endif

}  // namespace kelvane::model
