// What the benchmarks measure on their threads: the receiving side's CPU
// time per item, and a count of items done that the sending thread waits for.
#pragma once

#include <benchmark/benchmark.h>

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cstdint>
#include <span>
#include <string>
#include <thread>
#include <utility>

namespace bench {

// CPU time a thread has used so far.
inline int64_t cpuNs(std::thread& thread) {
  clockid_t clock;
  timespec used{};
  if (pthread_getcpuclockid(thread.native_handle(), &clock) != 0 || clock_gettime(clock, &used) != 0) return 0;
  return int64_t{used.tv_sec} * 1'000'000'000 + used.tv_nsec;
}

// CPU time of the receiving threads per item, summed over them: load on the
// machine stretches the wall-clock figures, much less this one.
class ReceiverCpu {
 public:
  explicit ReceiverCpu(std::thread& thread, std::string counter = "recv_cpu_ns")
      : ReceiverCpu(std::span<std::thread>(&thread, 1), std::move(counter)) {}
  explicit ReceiverCpu(std::span<std::thread> threads, std::string counter = "recv_cpu_ns")
      : threads(threads), counter(std::move(counter)), start(used()) {}
  void report(benchmark::State& state, int64_t items) {
    if (items > 0) state.counters[counter] = static_cast<double>(used() - start) / static_cast<double>(items);
  }

 private:
  int64_t used() {
    int64_t sum = 0;
    for (std::thread& thread : threads) sum += cpuNs(thread);
    return sum;
  }

  std::span<std::thread> threads;
  std::string counter;
  int64_t start;
};

// Work done on the receiving threads, and a target the sending thread sleeps
// on (woken once per batch, so the waiting costs the receivers nothing).
class Progress {
 public:
  void reset() {
    done.store(0);
    target.store(0);
  }
  // Sequentially consistent on both sides: either the receiver sees the new
  // target or the sender sees the final count.
  void advance() {
    if (done.fetch_add(1) + 1 == target.load()) done.notify_all();
  }
  uint64_t count() const { return done.load(); }
  void waitFor(uint64_t until) {
    target.store(until);
    for (uint64_t seen = done.load(); seen < until; seen = done.load()) done.wait(seen);
  }

 private:
  std::atomic<uint64_t> done{0};
  std::atomic<uint64_t> target{0};
};

}  // namespace bench
