// The report table and the case registry of kelvane_bench.
#include <algorithm>
#include <cstdio>

#include "bench.hpp"

namespace kelvane::bench {

std::vector<BenchCase>& bench_cases() {
  static std::vector<BenchCase> cases;
  return cases;
}

void Report::print(const std::string& title) const {
  std::size_t width = 4;
  for (const auto& r : rows_) width = std::max(width, r.name.size());
  std::printf("\n%s\n", title.c_str());
  std::printf("%-*s %12s %12s %8s %10s %9s  %s\n", static_cast<int>(width), "what", "input",
              "output", "ratio", "wall ms", "MB/s", "note");
  std::string last_group;
  for (const auto& r : rows_) {
    if (r.group != last_group) {
      std::printf("-- %s\n", r.group.c_str());
      last_group = r.group;
    }
    const double mbps = r.seconds > 0 ? static_cast<double>(r.input_bytes) / 1e6 / r.seconds : 0;
    if (r.output_bytes) {
      const double ratio = *r.output_bytes > 0
                               ? static_cast<double>(r.input_bytes) / static_cast<double>(*r.output_bytes)
                               : 0;
      std::printf("%-*s %12zu %12zu %8.3f %10.1f %9.2f  %s\n", static_cast<int>(width),
                  r.name.c_str(), r.input_bytes, *r.output_bytes, ratio, r.seconds * 1e3, mbps,
                  r.note.c_str());
    } else {
      std::printf("%-*s %12zu %12s %8s %10.1f %9.2f  %s\n", static_cast<int>(width),
                  r.name.c_str(), r.input_bytes, "-", "-", r.seconds * 1e3, mbps, r.note.c_str());
    }
  }
}

}  // namespace kelvane::bench
