// What the memory watch costs per once-a-second reading, beside the bare
// system calls it cannot avoid, measured in the same run:
//
//   memory/reading       one reading as the tick takes it: /proc/self/statm
//                        read and parsed, memoryInUse stored, compared with the
//                        limit and handed to checkMemory (never low here)
//   memory/statm_read    open, read and close of /proc/self/statm into a stack
//                        buffer, nothing parsed: the kernel's share
//   memory/statm_stdio   fopen, fscanf("%lu %lu") and fclose: the same reading
//                        through buffered stdio
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "core/DvrCore.h"
#include "core/MemoryWatch.h"

namespace {

using namespace km::core;

void reading(benchmark::State& state) {
  auto core = std::make_unique<DvrCore>("/nonexistent/dvrcore");
  theCore = core.get();
  throttlingLimit = UINT64_MAX;
  for (auto _ : state) core->takeMemoryReading();
  benchmark::DoNotOptimize(memoryInUse.load());
  theCore = nullptr;
}
BENCHMARK(reading)->Name("memory/reading");

void statmRead(benchmark::State& state) {
  char text[256];
  for (auto _ : state) {
    const int fd = ::open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
    benchmark::DoNotOptimize(::read(fd, text, sizeof text));
    ::close(fd);
  }
}
BENCHMARK(statmRead)->Name("memory/statm_read");

void statmStdio(benchmark::State& state) {
  for (auto _ : state) {
    unsigned long pages = 0, resident = 0;
    if (FILE* file = std::fopen("/proc/self/statm", "r")) {
      benchmark::DoNotOptimize(std::fscanf(file, "%lu %lu", &pages, &resident));
      std::fclose(file);
    }
    benchmark::DoNotOptimize(resident);
  }
}
BENCHMARK(statmStdio)->Name("memory/statm_stdio");

}  // namespace

BENCHMARK_MAIN();
