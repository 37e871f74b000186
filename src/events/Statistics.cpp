#include "events/Statistics.h"

namespace km::core {

std::atomic<uint32_t> throttledVideo{0};
std::atomic<uint32_t> throttledAudio{0};
std::atomic<uint32_t> searchRequests{0};
std::atomic<uint32_t> searchCancels{0};
std::atomic<uint32_t> searchResults{0};
std::atomic<uint32_t> searchResultBytes{0};
std::atomic<uint32_t> ipcSent{0};
std::atomic<uint32_t> ipcDelivered{0};
std::atomic<uint32_t> ipcDeliveredBytes{0};
std::atomic<uint64_t> memoryInUse{0};
std::atomic<uint64_t> memoryInUseAtLastReport{0};
StatisticsClock statisticsClock = &std::chrono::steady_clock::now;

}  // namespace km::core
