// The report table and the case registry of kelvane_bench.
#include <cstdio>

#include "bench.hpp"

namespace kelvane::bench {
namespace {

constexpr int kNameWidth = 30;  // longer names push the row's other columns right

}  // namespace

std::vector<BenchCase>& bench_cases() {
  static std::vector<BenchCase> cases;
  return cases;
}

Report::Report(const std::string& title) {
  std::printf("\n%s\n", title.c_str());
  std::printf("%-*s %12s %12s %8s %10s %9s  %s\n", kNameWidth, "what", "input", "output", "ratio",
              "wall ms", "KB/s", "note");
  std::fflush(stdout);
}

void Report::add(Measurement m) {
  if (rows_.empty() || rows_.back().group != m.group) std::printf("-- %s\n", m.group.c_str());
  const double kbps = m.seconds > 0 ? static_cast<double>(m.input_bytes) / 1e3 / m.seconds : 0;
  if (m.output_bytes) {
    const double ratio = *m.output_bytes > 0
                             ? static_cast<double>(m.input_bytes) / static_cast<double>(*m.output_bytes)
                             : 0;
    std::printf("%-*s %12zu %12zu %8.3f %10.1f %9.1f  %s\n", kNameWidth, m.name.c_str(),
                m.input_bytes, *m.output_bytes, ratio, m.seconds * 1e3, kbps, m.note.c_str());
  } else {
    std::printf("%-*s %12zu %12s %8s %10.1f %9.1f  %s\n", kNameWidth, m.name.c_str(), m.input_bytes,
                "-", "-", m.seconds * 1e3, kbps, m.note.c_str());
  }
  std::fflush(stdout);
  rows_.push_back(std::move(m));
}

}  // namespace kelvane::bench
