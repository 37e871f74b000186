// Seams of the dispatch loop for tests.
#pragma once

#include <chrono>

namespace km::core {

// The clock that times each delivery; steady_clock::now unless a test
// replaces it before the loop runs.
using DeliveryClock = std::chrono::steady_clock::time_point (*)();
extern DeliveryClock deliveryClock;

// A delivery strictly longer than this is reported.
inline constexpr std::chrono::nanoseconds kSlowDelivery{5'000'000};

}  // namespace km::core
