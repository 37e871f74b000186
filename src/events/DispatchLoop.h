// Seams of the dispatch loop for tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace km::core {

class Plugin;

// The clock that times each delivery; steady_clock::now unless a test
// replaces it before the loop runs.
using DeliveryClock = std::chrono::steady_clock::time_point (*)();
extern DeliveryClock deliveryClock;

// A delivery strictly longer than this is reported.
inline constexpr std::chrono::nanoseconds kSlowDelivery{5'000'000};

// How messages name the module of a plug-in id: "Core" for 0, else the
// display name of the first plug-in in `plugins` that declares that id, else
// "unknown" (e.g. a plug-in unloaded since).
std::string_view moduleNameOf(const std::vector<std::shared_ptr<Plugin>>& plugins, uint32_t pluginId);

}  // namespace km::core
