// Shared pieces of kelvane_bench: the input, the timing loop, the report
// table and the registry of bench cases.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kvn/bytes.hpp"

namespace kelvane::bench {

struct BenchInput {
  std::string path;
  kvn::Bytes data;
  int repeat = 3;  // runs per measurement; the fastest one is reported
};

// One row of the report: what was coded, how big it came out, how long the
// fastest run took.
struct Measurement {
  std::string group;  // the bench case
  std::string name;
  std::size_t input_bytes = 0;
  std::optional<std::size_t> output_bytes;  // none for a failure or a pure timing
  double seconds = 0;
  std::string note;
};

class Report {
 public:
  void add(Measurement m) { rows_.push_back(std::move(m)); }
  // Prints every row as one aligned table to standard output.
  void print(const std::string& title) const;
  const std::vector<Measurement>& rows() const { return rows_; }

 private:
  std::vector<Measurement> rows_;
};

// Runs `f` `repeat` times (at least once) and returns the wall time of the
// fastest run in seconds, together with the last run's result.
template <class F>
auto time_best(int repeat, F&& f) -> std::pair<double, decltype(f())> {
  using clock = std::chrono::steady_clock;
  double best = 0;
  std::optional<decltype(f())> last;
  for (int i = 0; i < (repeat < 1 ? 1 : repeat); ++i) {
    const auto start = clock::now();
    last.emplace(f());
    const double s = std::chrono::duration<double>(clock::now() - start).count();
    if (i == 0 || s < best) best = s;
  }
  return {best, std::move(*last)};
}

using BenchFn = void (*)(const BenchInput&, Report&);

struct BenchCase {
  const char* name;
  BenchFn run;
};

// Every case linked into the program, in registration order.
std::vector<BenchCase>& bench_cases();

struct BenchRegistrar {
  BenchRegistrar(const char* name, BenchFn run) { bench_cases().push_back({name, run}); }
};

#define KELVANE_BENCH_CASE(name, fn) \
  static const ::kelvane::bench::BenchRegistrar kelvane_bench_registrar_##fn(name, fn)

}  // namespace kelvane::bench
