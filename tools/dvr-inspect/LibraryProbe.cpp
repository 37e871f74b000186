#include "LibraryProbe.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "core/DeviceIdentity.h"
#include "plugins/Plugin.h"

namespace dvrinspect {

namespace {

constexpr size_t kMaxRecorded = 50;
constexpr size_t kMaxText = 200;

// What the stub `post` saw; it may be called from any thread the plug-in starts.
struct PostRecorder {
  std::mutex lock;  // guards everything below
  std::vector<PostedEvent> events;
  uint32_t uncounted = 0;
  bool loadReturned = false;
};
PostRecorder recorder;

std::string textOf(const km::core::EventParms& e) {
  const bool textual = km::core::baseType(e.type) == DVR_TYPE_LOG || (e.flags & DVR_FLAG_TEXT);
  if (!textual || !e.payload) return {};
  const auto* bytes = static_cast<const char*>(e.payload);
  std::string text(bytes, std::min<size_t>(e.length, kMaxText));
  while (!text.empty() && (text.back() == '\0' || text.back() == '\n')) text.pop_back();
  return text;
}

// The stub service: records the event and accepts it. A log query gets the
// default threshold, as the core answers before any configuration.
int32_t recordingPost(km::core::EventParms* e) {
  if (!e) return 1;
  if (!e->payload) e->length = 0;
  std::lock_guard guard(recorder.lock);
  if (recorder.events.size() < kMaxRecorded) {
    PostedEvent posted;
    posted.size = e->size;
    posted.version = e->version;
    posted.type = e->type;
    posted.flags = e->flags;
    posted.source = e->source;
    posted.requestId = e->requestId;
    posted.param = e->param;
    posted.length = e->length;
    posted.duringLoad = !recorder.loadReturned;
    posted.text = textOf(*e);
    recorder.events.push_back(std::move(posted));
  } else {
    ++recorder.uncounted;
  }
  const bool logQuery = km::core::baseType(e->type) == DVR_TYPE_LOG && (e->flags & DVR_FLAG_QUERY);
  return logQuery ? DVR_LOG_INFO : 0;
}

}  // namespace

bool ProbeResult::exportsEntry(const char* name) const {
  for (size_t i = 0; i < kEntryPoints.size(); ++i) {
    if (std::strcmp(kEntryPoints[i], name) == 0) return (exports & (1u << i)) != 0;
  }
  return false;
}

const char* stageName(ProbeStage stage) {
  switch (stage) {
    case ProbeStage::Open: return "dlopen";
    case ProbeStage::Load: return "Load";
    case ProbeStage::Unload: return "Unload";
    case ProbeStage::Done: break;
  }
  return "done";
}

ProbeResult probeLibrary(const std::filesystem::path& library, const std::function<void(ProbeStage)>& entering) {
  ProbeResult result;
  entering(ProbeStage::Open);
  // A second handle of our own, so the entry points can be listed whatever
  // loadPlugin does with its own; dlopen counts the references.
  dlerror();
  const km::core::LibraryHandle listing(dlopen(library.c_str(), RTLD_NOW));
  result.opened = static_cast<bool>(listing);
  for (size_t i = 0; i < kEntryPoints.size(); ++i) {
    if (listing.symbol(kEntryPoints[i])) result.exports |= 1u << i;
  }
  result.loadCalled = result.opened && result.exportsEntry(DVR_ENTRY_LOAD) && result.exportsEntry(DVR_ENTRY_UNLOAD);

  if (result.loadCalled) entering(ProbeStage::Load);
  const std::string identity = km::core::readDeviceIdentity();
  const km::core::PluginPtr plugin = km::core::Plugin::loadPlugin(library, &recordingPost, identity);
  {
    std::lock_guard guard(recorder.lock);
    recorder.loadReturned = true;
  }
  result.declaration = plugin->declaration;
  result.loadCode = plugin->loadCode;
  result.errorText = plugin->errorText;
  result.loadTimeNs = plugin->loadTime;

  if (plugin->loadSucceeded()) {
    entering(ProbeStage::Unload);
    plugin->unloadPlugin();
    result.unloadCalled = true;
  }
  entering(ProbeStage::Done);
  std::lock_guard guard(recorder.lock);
  result.posted = recorder.events;
  result.postedUncounted = recorder.uncounted;
  return result;
}

}  // namespace dvrinspect
