// Process identity and capabilities.
#pragma once

#include <cstdint>

namespace km::core {

inline constexpr uint32_t kCapNetAdmin = 1u << 12;
inline constexpr uint32_t kCapNetRaw = 1u << 13;
inline constexpr uint32_t kCapSysRawio = 1u << 17;
// Kept after start-up, then narrowed once every plug-in is open.
inline constexpr uint32_t kStartupCapabilities = kCapNetAdmin | kCapNetRaw | kCapSysRawio;  // 0x23000
inline constexpr uint32_t kRunningCapabilities = kCapNetAdmin | kCapNetRaw;                 // 0x3000

// The real user id of the parent process, from "/proc/<ppid>/status"; 0 when
// it cannot be found.
uint32_t parentProcessUid();

// Replaces the effective and permitted sets of the lower 32 capabilities
// with `mask` (inheritable and the upper sets empty) through the raw capset
// call, version 3. False with errno set on failure.
bool setCapabilities(uint32_t mask) noexcept;

}  // namespace km::core
