// The event record as the core reads it: origins, type names and the typed
// view used by the admission rules. Pure functions; any thread.
#pragma once

#include <any>
#include <cstdint>
#include <string_view>

#include "plugin_events.hpp"

namespace km::core {

inline constexpr uint32_t kCoreId = DVR_SOURCE_CORE;

// Type with the modifier bit masked off; every switch on the type uses this.
constexpr uint32_t baseType(uint32_t type) noexcept { return type & ~DVR_TYPE_MODIFIER; }

// The 8-bit plug-in id carried in bits 16-23 of a source or id word.
constexpr uint32_t pluginIdOf(uint32_t word) noexcept { return (word >> 16) & 0xFFu; }

// Both the core id, or neither and the same plug-in id.
constexpr bool sameOrigin(uint32_t a, uint32_t b) noexcept {
  if (a == kCoreId || b == kCoreId) return a == b;
  return pluginIdOf(a) == pluginIdOf(b);
}

// Index into the per-module tables (logLevels, heldReferences): 0 for the core.
constexpr uint32_t moduleSlotOf(uint32_t source) noexcept {
  return source == kCoreId ? 0u : pluginIdOf(source);
}

constexpr bool isKeyFrame(const EventParms& e) noexcept {
  return (e.frameKind & DVR_FRAME_KIND_MASK) == DVR_FRAME_KIND_KEY;
}

// The name printed for a type in messages; "unknown" for unnamed codes.
std::string_view typeName(uint32_t type) noexcept;

// Type-erased pointer-to-const of the record's concrete class, or an empty
// value for types without a class.
std::any typedView(const EventParms& e);

// Live video that is not an output frame: what key-frame admission applies to.
bool isLiveVideoFrame(const EventParms& e);

// A record the core builds itself: header words, core origin, everything else zero.
EventParms makeCoreEvent(uint32_t type, uint32_t flags, uint32_t param, const void* payload,
                         uint32_t length) noexcept;

}  // namespace km::core
