// kelvane_bench [--repeat N] [--only CASE[,CASE...]] FILE...
// Runs every registered bench case (or only the named ones) on each file and
// prints one table per file.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench.hpp"

namespace bench = kelvane::bench;

int main(int argc, char** argv) {
  int repeat = 3;
  std::string only;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc) {
      repeat = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
      only = argv[++i];
    } else {
      files.emplace_back(argv[i]);
    }
  }
  if (files.empty()) {
    std::fprintf(stderr, "usage: %s [--repeat N] [--only CASE[,CASE...]] FILE...\ncases:", argv[0]);
    for (const auto& c : bench::bench_cases()) std::fprintf(stderr, " %s", c.name);
    std::fprintf(stderr, "\n");
    return 2;
  }
  for (const auto& path : files) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "cannot read %s\n", path.c_str());
      return 1;
    }
    bench::BenchInput input;
    input.path = path;
    input.data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    input.repeat = repeat;
    bench::Report report;
    for (const auto& c : bench::bench_cases()) {
      if (only.empty() || ("," + only + ",").find("," + std::string(c.name) + ",") != std::string::npos) {
        c.run(input, report);
      }
    }
    report.print(path + " (" + std::to_string(input.data.size()) + " bytes, best of " +
                 std::to_string(repeat < 1 ? 1 : repeat) + ")");
  }
  return 0;
}
