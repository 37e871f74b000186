// The memory watch: limits computed once at the first tick, the resident
// memory reading taken once a second, and the text of the memory alarm. The
// episode rules themselves are DvrCore::checkMemory.
//
// Readings and limits are 64-bit on every target, so a process above 4 GiB
// on a 64-bit machine still reads as large.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace km::core {

// The limit when the machine has less than 512 MiB of RAM, or sysinfo fails.
inline constexpr uint64_t kDefaultThrottlingLimit = 199'229'440;  // 190 MiB
// A check at least this long after the last low reading ends an episode.
inline constexpr int64_t kRecoveryNs = 60'000'000'000;
// lowMemorySince while no episode is open.
inline constexpr int64_t kNoEpisode = INT64_MAX;

// Set once by the first tick (I/O thread) and never changed afterwards.
extern uint64_t throttlingLimit;  // resident bytes above which memory is low
extern uint64_t stackLimit;       // soft RLIMIT_STACK, only ever displayed

// The limit for a machine with `totalRam` bytes (nothing when unknown): 80 %
// of it from 512 MiB up, the division first; the default below.
uint64_t throttlingLimitFor(std::optional<uint64_t> totalRam) noexcept;
// Total RAM as sysinfo reports it, in 64 bits; nothing when sysinfo fails.
std::optional<uint64_t> totalRam() noexcept;
// The soft stack limit (RLIM_INFINITY as the largest value); 0 when getrlimit fails.
uint64_t stackSoftLimit() noexcept;

// Resident pages times the page size, from a file laid out like
// /proc/self/statm; 0 when it cannot be opened or does not start with two
// numbers.
uint64_t readResidentBytes(const char* statmPath) noexcept;
// The core's resident memory in bytes, from /proc/self/statm.
uint64_t getHeapAlloc() noexcept;

// Seams for tests; set before the tick runs. The clock of the episodes and
// the alarm's time stamps, and the source of the once-a-second reading.
using MemoryClock = std::chrono::steady_clock::time_point (*)();
extern MemoryClock memoryClock;
using MemoryReader = uint64_t (*)();
extern MemoryReader memoryReader;

// The memory alarm's compact XML document, for the current throttling state
// and a steady-clock time in nanoseconds.
std::string memoryAlarmText(bool throttling, int64_t steadyNs);

}  // namespace km::core
