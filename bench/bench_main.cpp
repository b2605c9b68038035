// kelvane_bench [--repeat N] [--only CASE[,CASE...]] FILE...
// Runs every registered bench case (or only the named ones) on each file and
// prints one table per file, row by row as the measurements are taken. The
// cases that generate their own input run once, before the files, in a
// table of their own; when --only names nothing else, no file is needed.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bench.hpp"

namespace bench = kelvane::bench;

namespace {

struct Options {
  int repeat = 3;
  std::vector<std::string> only;  // empty: every case
  std::vector<std::string> files;
};

void print_usage(std::FILE* out, const char* program) {
  std::fprintf(out,
               "usage: %s [--repeat N] [--only CASE[,CASE...]] FILE...\n"
               "Measures kelvane on each FILE next to zstd -19 and brotli -11, and prints one\n"
               "table per file, each row as soon as it is measured. The generated cases make\n"
               "their own input and run once; with --only naming just those, give no FILE.\n"
               "\n"
               "  --repeat N     runs per measurement, the fastest one reported (default 3);\n"
               "                 the slow cases run once whatever N is\n"
               "  --only CASES   run only these cases (comma-separated), in their usual order\n"
               "  -h, --help     print this text\n"
               "\n"
               "cases:",
               program);
  for (const auto& c : bench::bench_cases()) {
    const bool slow = c.pace == bench::Pace::slow;
    const bool generated = c.source == bench::Source::generated;
    std::fprintf(out, " %s%s", c.name,
                 slow && generated ? " (slow, generated)"
                 : slow            ? " (slow)"
                 : generated       ? " (generated)"
                                   : "");
  }
  std::fprintf(out, "\n");
}

bool is_case(std::string_view name) {
  for (const auto& c : bench::bench_cases()) {
    if (name == c.name) return true;
  }
  return false;
}

std::vector<std::string> split_commas(const std::string& list) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= list.size()) {
    const std::size_t end = std::min(list.find(',', start), list.size());
    parts.push_back(list.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

// Reads the command line into `opts`; on a mistake says what is wrong on
// standard error and returns false.
bool parse(int argc, char** argv, Options& opts) {
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (options_done || arg.empty() || arg[0] != '-' || arg == "-") {
      opts.files.emplace_back(arg);
    } else if (arg == "--") {
      options_done = true;
    } else if (arg == "--repeat" || arg == "--only") {
      if (i + 1 == argc) {
        std::fprintf(stderr, "%s: %s needs a value\n", argv[0], argv[i]);
        return false;
      }
      const char* value = argv[++i];
      if (arg == "--repeat") {
        char* end = nullptr;
        errno = 0;
        const long n = std::strtol(value, &end, 10);
        if (errno != 0 || end == value || *end != '\0' || n < 1 || n > 1000) {
          std::fprintf(stderr, "%s: --repeat takes a whole number from 1 to 1000, not \"%s\"\n",
                       argv[0], value);
          return false;
        }
        opts.repeat = static_cast<int>(n);
      } else {
        for (const auto& name : split_commas(value)) {
          if (!is_case(name)) {
            std::fprintf(stderr, "%s: no bench case \"%s\" (see --help)\n", argv[0], name.c_str());
            return false;
          }
          opts.only.push_back(name);
        }
      }
    } else {
      std::fprintf(stderr, "%s: unknown option %s (see --help)\n", argv[0], argv[i]);
      return false;
    }
  }
  const bool only_generated =
      !opts.only.empty() && std::all_of(opts.only.begin(), opts.only.end(), [](const std::string& name) {
        for (const auto& c : bench::bench_cases()) {
          if (name == c.name) return c.source == bench::Source::generated;
        }
        return false;
      });
  if (opts.files.empty() && !only_generated) {
    std::fprintf(stderr, "%s: no input file (see --help)\n", argv[0]);
    return false;
  }
  return true;
}

bool wanted(const Options& opts, const bench::BenchCase& c) {
  if (opts.only.empty()) return true;
  for (const auto& name : opts.only) {
    if (name == c.name) return true;
  }
  return false;
}

// How the wanted cases of one source are timed: the fastest of N runs, or
// once for the slow ones.
std::string runs_of(const Options& opts, bench::Source source) {
  bool fast = false;
  bool slow = false;
  for (const auto& c : bench::bench_cases()) {
    if (c.source != source || !wanted(opts, c)) continue;
    (c.pace == bench::Pace::slow ? slow : fast) = true;
  }
  const std::string best_of = "best of " + std::to_string(opts.repeat);
  if (opts.repeat == 1 || !fast) return "one run each";
  return slow ? best_of + ", the slow cases one run" : best_of;
}

// Runs the wanted cases of one source on `input`, under one report.
void run_cases(const Options& opts, bench::Source source, const bench::BenchInput& input,
               const std::string& title) {
  std::optional<bench::Report> report;
  for (const auto& c : bench::bench_cases()) {
    if (c.source != source || !wanted(opts, c)) continue;
    if (!report) report.emplace(title);
    if (c.pace == bench::Pace::slow) {
      std::fprintf(stderr, "kelvane_bench: \"%s\" on %s is slow; its rows come as they are measured\n",
                   c.name, input.path.c_str());
    }
    c.run(input, *report);
  }
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--") break;
    if (arg == "-h" || arg == "--help") {
      print_usage(stdout, argv[0]);
      return 0;
    }
  }
  Options opts;
  if (!parse(argc, argv, opts)) return 2;
  // Every file is checked before the first measurement, so that a wrong
  // name does not surface only after minutes of work on the others.
  for (const auto& path : opts.files) {
    if (!std::ifstream(path, std::ios::binary)) {
      std::fprintf(stderr, "%s: cannot read %s\n", argv[0], path.c_str());
      return 1;
    }
  }
  bench::BenchInput generated;
  generated.path = "generated inputs";
  generated.repeat = opts.repeat;
  run_cases(opts, bench::Source::generated, generated,
            "generated inputs (" + runs_of(opts, bench::Source::generated) + ")");
  for (const auto& path : opts.files) {
    std::ifstream in(path, std::ios::binary);
    bench::BenchInput input;
    input.path = path;
    input.data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    input.repeat = opts.repeat;
    run_cases(opts, bench::Source::file, input,
              path + " (" + std::to_string(input.data.size()) + " bytes, " +
                  runs_of(opts, bench::Source::file) + ")");
  }
  return 0;
}
