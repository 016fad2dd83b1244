// SPDX-License-Identifier: MIT
// Benchmarks: the encoder per command kind, a tavrc call against the bare system
// calls it makes, and heap allocations per call.
//   qelmar_bench                       all of them, with the ratio and the counts
//   qelmar_bench --check-allocations   only the counts; fails unless all are 0
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <thread>

#include "bench/bare_tavrc.h"
#include "encoder/interpreter.h"
#include "qelmar.h"
#include "qelmar/host.h"

// Every heap allocation of the process passes here (operator new included).
extern "C" void* __libc_malloc(std::size_t);
extern "C" void* __libc_calloc(std::size_t, std::size_t);
extern "C" void* __libc_realloc(void*, std::size_t);
namespace {
std::atomic<long> allocations{0};
}
extern "C" void* malloc(std::size_t n) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(n);
}
extern "C" void* calloc(std::size_t n, std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(n, size);
}
extern "C" void* realloc(void* p, std::size_t n) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(p, n);
}

namespace {

constexpr int port = 7;

// A pseudo-terminal as port 7, with a thread that keeps reading its master so
// that the line never fills up.
class Line {
 public:
  Line() {
    char tmpl[] = "/tmp/qelmar-bench-XXXXXX";
    dir_ = ::mkdtemp(tmpl);
    char name[256];
    ::openpty(&master_, &slave_, name, nullptr, nullptr);
    std::filesystem::create_symlink(name, dir_ + "/com7");
    ::setenv("QELMAR_DEVICE_DIR", dir_.c_str(), 1);
    reader_ = std::thread([this] {
      char buffer[4096];
      while (!stop_) {
        pollfd ready{master_, POLLIN, 0};
        if (::poll(&ready, 1, 50) > 0 && ::read(master_, buffer, sizeof buffer) <= 0) break;
      }
    });
  }
  ~Line() {
    stop_ = true;
    reader_.join();
    ::close(slave_);
    ::close(master_);
    std::filesystem::remove_all(dir_);
  }

 private:
  std::string dir_;
  int master_ = -1, slave_ = -1;
  std::atomic<bool> stop_{false};
  std::thread reader_;
};

Line& line() {
  static Line instance;
  return instance;
}

void BM_Encode(benchmark::State& state, const char* text) {
  for (auto _ : state) benchmark::DoNotOptimize(qelmar::encode(text));
}
BENCHMARK_CAPTURE(BM_Encode, number, "12.5H");
BENCHMARK_CAPTURE(BM_Encode, key, "D");
BENCHMARK_CAPTURE(BM_Encode, control, "@123456@");
BENCHMARK_CAPTURE(BM_Encode, text, "#\xD7\xDC\xBC\xC6 12.50#");
BENCHMARK_CAPTURE(BM_Encode, nothing, "-12");

void BM_TavrcCall(benchmark::State& state) {
  line();
  for (auto _ : state) tavrc(port, 0x41, 0x42);
}
BENCHMARK(BM_TavrcCall);

void BM_BareSequence(benchmark::State& state) {
  line();
  for (auto _ : state) bare_tavrc(port);
}
BENCHMARK(BM_BareSequence);

// Heap allocations per call, once each call has been made before (the first call
// on a port sets up its lock).
struct Counts {
  double tavdll, tavrc, host;  // host: a send, an rc and a describe of the host library
};
Counts count_allocations() {
  line();
  constexpr int calls = 1000;
  tavdll(port, "12.5H");
  tavrc(port, 1, 2);
  long before = allocations.load();
  for (int i = 0; i < calls; ++i) tavdll(port, i % 2 ? "12.5H" : "#AB#");
  const double per_tavdll = static_cast<double>(allocations.load() - before) / calls;
  before = allocations.load();
  for (int i = 0; i < calls; ++i) tavrc(port, i, i);
  const double per_tavrc = static_cast<double>(allocations.load() - before) / calls;
  qelmar_status status;
  QELMAR_STATUS_INIT(status);
  char words[256];
  qelmar_send(port, "12.5H", &status);
  before = allocations.load();
  for (int i = 0; i < calls; ++i) {
    qelmar_send(port, i % 2 ? "12.5H" : "@12", &status);
    qelmar_send_rc(port, i, i, &status);
    qelmar_describe(&status, words, sizeof words);
  }
  const double per_host = static_cast<double>(allocations.load() - before) / calls;
  return {per_tavdll, per_tavrc, per_host};
}

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    // With repetitions, the median stands for the benchmark.
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration || run.aggregate_name == "median") {
        times[run.run_name.function_name] = run.GetAdjustedRealTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--check-allocations") == 0) {
    const Counts counts = count_allocations();
    std::printf("heap allocations per call: tavdll %.3f, tavrc %.3f, host send+rc+describe %.3f\n",
                counts.tavdll, counts.tavrc, counts.host);
    return counts.tavdll == 0 && counts.tavrc == 0 && counts.host == 0 ? 0 : 1;
  }
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  const auto call = reporter.times.find("BM_TavrcCall");
  const auto bare = reporter.times.find("BM_BareSequence");
  if (call != reporter.times.end() && bare != reporter.times.end()) {
    std::printf("\ntavrc call / bare system calls: %.3f (target at most 1.2)\n",
                call->second / bare->second);
  }
  const Counts counts = count_allocations();
  std::printf("heap allocations per call: tavdll %.3f, tavrc %.3f, host %.3f (target 0)\n",
              counts.tavdll, counts.tavrc, counts.host);
  return 0;
}
