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

// The report of one input: a title line, then each row printed the moment it
// is added (a long run shows its progress), under a line naming its case
// whenever the case changes. Columns have fixed widths for that reason.
class Report {
 public:
  // Prints the title and the column heads to standard output.
  explicit Report(const std::string& title);
  void add(Measurement m);
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

// A slow case is announced on standard error when it starts, since its rows
// take minutes to come.
enum class Pace { quick, slow };

// A case measures the files it is given, or inputs it generates itself: the
// latter runs once per call, with an empty BenchInput (only its repeat set),
// and needs no file.
enum class Source { file, generated };

struct BenchCase {
  const char* name;
  BenchFn run;
  Pace pace;
  Source source;
};

// Every case linked into the program, in registration order.
std::vector<BenchCase>& bench_cases();

struct BenchRegistrar {
  BenchRegistrar(const char* name, BenchFn run, Pace pace, Source source) {
    bench_cases().push_back({name, run, pace, source});
  }
};

// KELVANE_BENCH_CASE("name", fn) registers a case; a case whose rows take
// minutes (it builds a context-mixing engine) registers with
// KELVANE_SLOW_BENCH_CASE instead. The GENERATED forms register a case that
// makes its own input.
#define KELVANE_BENCH_CASE_AS(name, fn, pace, source)                         \
  static const ::kelvane::bench::BenchRegistrar kelvane_bench_registrar_##fn( \
      name, fn, ::kelvane::bench::Pace::pace, ::kelvane::bench::Source::source)
#define KELVANE_BENCH_CASE(name, fn) KELVANE_BENCH_CASE_AS(name, fn, quick, file)
#define KELVANE_SLOW_BENCH_CASE(name, fn) KELVANE_BENCH_CASE_AS(name, fn, slow, file)
#define KELVANE_GENERATED_BENCH_CASE(name, fn) KELVANE_BENCH_CASE_AS(name, fn, quick, generated)
#define KELVANE_SLOW_GENERATED_BENCH_CASE(name, fn) KELVANE_BENCH_CASE_AS(name, fn, slow, generated)

}  // namespace kelvane::bench
