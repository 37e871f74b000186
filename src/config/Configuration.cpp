// The configuration: product identity and core settings read once at
// start-up, and log thresholds changed at run time by delta documents that
// plug-ins post as config events.
#include <algorithm>
#include <array>
#include <atomic>
#include <exception>
#include <limits>
#include <optional>
#include <string_view>

#include "config/AtomicFiles.h"
#include "config/Xml.h"
#include "core/DvrCore.h"
#include "events/EventModel.h"
#include "log/CoreLog.h"

namespace km::core {

namespace {

constexpr int32_t kCoreIdValue = std::numeric_limits<int32_t>::min();

// The logLevels slot an `ID` addresses: 0 for the core, else bits 16-23 of
// the id word; the plug-in ids 0 and 1 address nothing.
std::optional<uint32_t> configSlotOf(int32_t id) noexcept {
  if (id == kCoreIdValue) return 0u;
  const uint32_t slot = pluginIdOf(static_cast<uint32_t>(id));
  if (slot <= 1) return std::nullopt;
  return slot;
}

// Stores the thresholds of every Plugin entry of every Module; true when
// one of them changed.
bool applyModuleEntries(const XmlDocument& doc, std::array<std::atomic<int32_t>, 256>& logLevels) {
  bool changed = false;
  for (XmlNode module = findXmlPath(doc, "kDVR/Modules/Module"); module; module = module.nextSameNamed()) {
    for (XmlNode plugin = module.child("Plugin"); plugin; plugin = plugin.nextSameNamed()) {
      const auto id = getIntAttribute(plugin, "ID");
      const auto slot = id ? configSlotOf(*id) : std::nullopt;
      if (!slot) continue;
      const auto level = getIntAttribute(plugin, "LogLevel");
      if (!level) continue;
      const int32_t clamped = std::clamp(*level, -1, 100);
      if (logLevels[*slot].exchange(clamped, std::memory_order_relaxed) != clamped) changed = true;
    }
  }
  return changed;
}

// Whether `needle` lies entirely inside payload[from, from + length).
bool foundWithin(std::string_view payload, std::size_t from, std::size_t length, std::string_view needle) noexcept {
  if (from > payload.size()) return false;
  return payload.substr(from, length).find(needle) != std::string_view::npos;
}

// A delta is recognised by its first bytes, without parsing: `Delta="1"`
// within the 100 bytes from byte 13, "<Modules" within the first 40.
bool looksLikeDelta(std::string_view payload) noexcept {
  const std::size_t deltaWindow = std::min<std::size_t>(payload.size() - 13, 100);
  return foundWithin(payload, 13, deltaWindow, "Delta=\"1\"") &&
         foundWithin(payload, 0, std::min<std::size_t>(payload.size(), 40), "<Modules");
}

}  // namespace

void DvrCore::loadConfig() {
  try {
    XmlDocument product;
    product.parse(readXmlFile("product.xml"));
    if (const XmlNode identity = product.root().child("Product")) {
      productFamily = std::string(identity.attribute("Family").value_or(""));
      productVersion = std::string(identity.attribute("Version").value_or(""));
    }
  } catch (const std::exception&) {
    // Without a readable product.xml the built-in identity stands.
  }

  XmlDocument core;
  XmlNode memory;
  try {
    core.parse(readXmlFile("core.xml"));
    memory = findXmlPath(core, "kDVR/Memory");
  } catch (const std::exception& error) {
    coreLog(75, "{}\nConfig defaulted", error.what());
    return;
  }
  if (memory) throttlingEnabled = getBoolAttribute(memory, "Throttling", true);
  applyModuleEntries(core, logLevels);
}

bool DvrCore::applyModuleSettings(std::string_view text) {
  XmlDocument doc;
  try {
    doc.parse(text);
  } catch (const std::exception&) {
    return false;
  }
  return applyModuleEntries(doc, logLevels);
}

void DvrCore::onConfigEvent(const EventParms& e) {
  if (stopping() || e.source == kCoreId || e.type != DVR_TYPE_CONFIG || !(e.flags & DVR_FLAG_XML) ||
      e.length < 22 || !e.payload) {
    return;
  }
  const std::string_view payload(static_cast<const char*>(e.payload), e.length);
  if (!looksLikeDelta(payload)) return;
  if (applyModuleSettings(payload)) publishStatus();
}

}  // namespace km::core
