// What crafted containers cost to decode, next to an honest one: each is
// decoded in a child process of its own, so that its CPU time and its peak
// resident memory are its own. The honest row compresses the file in
// "fast" and decodes the container; every crafted row declares its S and
// gives its CPU time per declared MB as a multiple of the honest one.
// KELVANE_HOSTILE_ONLY=TEXT in the environment keeps the shapes whose name
// holds TEXT.
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>

#include "bench.hpp"
#include "codec/codec.hpp"
#include "hostile_containers.hpp"

namespace kelvane::bench {
namespace {

constexpr const char* kGroup = "hostile containers";

struct Cost {
  double cpu = 0;            // seconds
  double peak = 0;           // bytes above the child's resident size at its start
  char message[200] = {};    // "ok" or the error
};

std::uint64_t status_kib(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::size_t n = std::strlen(field);
  while (std::getline(in, line)) {
    if (line.compare(0, n, field) == 0) return std::stoull(line.substr(n + 1));
  }
  return 0;
}

double cpu_now() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Decodes `container` in a child process and reports what it cost there.
std::optional<Cost> decode_in_child(const kvn::Bytes& container) {
  int fds[2];
  if (pipe(fds) != 0) return std::nullopt;
  const pid_t pid = fork();
  if (pid < 0) return std::nullopt;
  if (pid == 0) {
    close(fds[0]);
    Cost cost;
    const std::uint64_t start_kib = status_kib("VmRSS:");
    const double start = cpu_now();
    auto result = codec::decompress_from_slice(container);
    cost.cpu = cpu_now() - start;
    cost.peak = static_cast<double>(status_kib("VmHWM:") - start_kib) * 1024;
    std::snprintf(cost.message, sizeof cost.message, "%s",
                  result.ok() ? "ok" : result.error().message.c_str());
    const ssize_t n = write(fds[1], &cost, sizeof cost);
    _exit(n == static_cast<ssize_t>(sizeof cost) ? 0 : 1);
  }
  close(fds[1]);
  Cost cost;
  const ssize_t n = read(fds[0], &cost, sizeof cost);
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (n != static_cast<ssize_t>(sizeof cost)) return std::nullopt;
  return cost;
}

void measure(const BenchInput& in, Report& report, bool slow) {
  kvn::Bytes honest;
  if (!codec::compress_with_all_options(in.data, 2, kvn::FORMAT_AUTO, std::nullopt, false, honest)
           .ok()) {
    report.add({kGroup, "honest fast", in.data.size(), std::nullopt, 0, "compression failed"});
    return;
  }
  const auto base = decode_in_child(honest);
  if (!base) return;
  const double honest_per_mb = base->cpu / (static_cast<double>(in.data.size()) / 1e6);
  char note[256];
  std::snprintf(note, sizeof note, "%.1f ms/MB, peak %.1f x S, %s", honest_per_mb * 1e3,
                base->peak / static_cast<double>(in.data.size()), base->message);
  report.add({kGroup, "honest fast", in.data.size(), honest.size(), base->cpu, note});

  const char* only = std::getenv("KELVANE_HOSTILE_ONLY");  // a part of the shapes' names
  for (const hostile::Shape& shape : hostile::shapes()) {
    if (shape.slow != slow) continue;
    if (only != nullptr && std::strstr(shape.name, only) == nullptr) continue;
    for (const std::uint64_t s : shape.sizes) {
      const kvn::Bytes container = shape.build(s);
      const auto cost = decode_in_child(container);
      if (!cost) continue;
      const double per_mb = cost->cpu / (static_cast<double>(s) / 1e6);
      std::snprintf(note, sizeof note, "S %.0f MB: %.2f s/MB = %.0f x honest, peak %.1f x S; %s",
                    static_cast<double>(s) / 1e6, per_mb, per_mb / honest_per_mb,
                    cost->peak / static_cast<double>(s), cost->message);
      report.add({kGroup, shape.name, static_cast<std::size_t>(s), container.size(), cost->cpu,
                  note});
    }
  }
}

void hostile(const BenchInput& in, Report& report) { measure(in, report, false); }
void hostile_cm(const BenchInput& in, Report& report) { measure(in, report, true); }

}  // namespace

KELVANE_BENCH_CASE("hostile", hostile);
KELVANE_SLOW_BENCH_CASE("hostile-cm", hostile_cm);

}  // namespace kelvane::bench
