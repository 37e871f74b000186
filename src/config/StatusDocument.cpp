// The module status document: published to the plug-ins as a config event
// and written as "core.xml", which is also what the next start reads back.
#include <exception>
#include <limits>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

#include "config/AtomicFiles.h"
#include "config/Xml.h"
#include "core/DvrCore.h"
#include "events/EventModel.h"
#include "log/CoreLog.h"
#include "plugins/Plugin.h"

namespace km::core {

namespace {

constexpr int64_t kCoreIdValue = std::numeric_limits<int32_t>::min();
constexpr int64_t kNanosPerMilli = 1'000'000;

// What the document says of a loaded plug-in's id: bits 16-23 of its id
// word, or the core id whole for a plug-in without one.
int64_t statusIdOf(const Plugin& plugin) noexcept {
  return plugin.hasId() ? static_cast<int32_t>(plugin.idWord() & 0x00FF0000u) : kCoreIdValue;
}

void appendModuleEntry(XmlNode parent, int64_t id, std::string_view fileName, int64_t loadMs, int64_t openMs,
                       int64_t openCode, int64_t logLevel) {
  XmlNode plugin = parent.appendChild("Plugin");
  plugin.appendAttribute("ID", id);
  plugin.appendAttribute("Filename", fileName);
  plugin.appendAttribute("Opened", "1");
  plugin.appendAttribute("LoadTimeMs", loadMs);
  plugin.appendAttribute("OpenTimeMs", openMs);
  plugin.appendAttribute("OpenCode", openCode);
  plugin.appendAttribute("LogLevel", logLevel);
  plugin.appendAttribute("LogLevelDefault", "-1");
}

}  // namespace

// Builds the whole tree, the event's Product element last; returns it so
// that the file can be printed without it.
XmlNode DvrCore::buildStatusDocument(XmlDocument& doc) const {
  doc.appendDeclaration();
  XmlNode root = doc.appendElement("kDVR");

  XmlNode memory = root.appendChild("Memory");
  memory.appendAttribute("ID", kCoreIdValue);
  memory.appendAttribute("Throttling", throttlingEnabled ? "1" : "0");

  XmlNode modules = root.appendChild("Modules");
  XmlNode coreModule = modules.appendChild("Module");
  coreModule.appendAttribute("ID", kCoreIdValue);
  coreModule.appendAttribute("Name", "Core");
  coreModule.appendAttribute("Version", productVersion);

  const std::string exeName = std::filesystem::path(exePath).filename().string();
  appendModuleEntry(coreModule, kCoreIdValue, exeName, 0, 0, 0, logLevels[0].load(std::memory_order_relaxed));

  int64_t totalLoadMs = 0;
  int64_t totalOpenMs = 0;
  for (const PluginPtr& plugin : plugins) {
    const int64_t loadMs = plugin->loadTime / kNanosPerMilli;
    const int64_t openMs = plugin->openTime / kNanosPerMilli;
    totalLoadMs += loadMs;
    totalOpenMs += openMs;
    appendModuleEntry(coreModule, statusIdOf(*plugin), plugin->fileName, loadMs, openMs, plugin->openCode,
                      logLevels[plugin->pluginId()].load(std::memory_order_relaxed));
  }
  modules.appendAttribute("TotalLoadTimeMs", totalLoadMs);
  modules.appendAttribute("TotalOpenTimeMs", totalOpenMs);

  if (const std::string version = daemonVersionCopy(); !version.empty()) {
    XmlNode library = coreModule.appendChild("Library");
    library.appendAttribute("Name", "korvod");
    library.appendAttribute("Filename", daemonFilenameCopy());
    library.appendAttribute("Version", version);
  }

  int64_t failedNumber = 0;
  for (const PluginPtr& plugin : failedPlugins) {
    appendModuleEntry(coreModule, ++failedNumber, plugin->fileName, 0, 0, plugin->loadCode, -1);
  }
  failedNumber = 0;
  for (const PluginPtr& plugin : failedPlugins) {
    XmlNode failed = modules.appendChild("Module");
    failed.appendAttribute("ID", ++failedNumber);
    failed.appendAttribute("Name", displayNameOf(plugin->fileName));
    failed.appendAttribute("Version", plugin->errorText);
  }

  XmlNode product = root.appendChild("Product");
  product.appendAttribute("Family", productFamily);
  product.appendAttribute("Version", productVersion);
  return product;
}

void DvrCore::publishStatus() {
  XmlDocument doc;
  const XmlNode product = buildStatusDocument(doc);

  // The compact form is never longer than the indented one: one allocation.
  std::string compact;
  compact.reserve(doc.printedLength(XmlDocument::Form::Indented));
  doc.print(compact, XmlDocument::Form::Compact);
  EventParms status = makeCoreEvent(DVR_TYPE_CONFIG, DVR_FLAG_LIVE | DVR_FLAG_XML, 0, compact.data(),
                                    static_cast<uint32_t>(compact.size()));
  queueEvent(status);
  compact = std::string();

  doc.root().removeChild(product);
  std::optional<std::string> failure;
  {
    // Nothing can be queued while the file is written.
    std::lock_guard guard(queueMutex);
    try {
      std::string indented;
      doc.print(indented, XmlDocument::Form::Indented);
      writeXmlFileAtomically("core.xml", indented);
    } catch (const std::exception& error) {
      failure = error.what();
    }
  }
  // Logged outside the lock: the message itself is queued.
  if (failure) coreLog(75, "{}", *failure);
}

}  // namespace km::core
