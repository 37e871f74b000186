#include "LibraryInspection.h"

#include <string.h>

#include <fmt/format.h>

#include "events/EventModel.h"
#include "events/Wants.h"
#include "plugins/Plugin.h"
#include "plugins/PluginDiscovery.h"
#include "plugins/PluginLifecycle.h"

namespace dvrinspect {

namespace {

using km::core::EventParms;
using km::core::LoadOut;

struct InterestField {
  const char* type;
  uint32_t code;
  uint32_t LoadOut::*word;
};
constexpr InterestField kInterestFields[] = {
    {"video", DVR_TYPE_VIDEO, &LoadOut::videoInterest},   {"audio", DVR_TYPE_AUDIO, &LoadOut::audioInterest},
    {"alarm", DVR_TYPE_ALARM, &LoadOut::alarmInterest},   {"ptz", DVR_TYPE_PTZ, &LoadOut::ptzInterest},
    {"serial", DVR_TYPE_SERIAL, &LoadOut::serialInterest}, {"log", DVR_TYPE_LOG, &LoadOut::logInterest},
    {"pos", DVR_TYPE_POS, &LoadOut::posInterest},         {"analytic", DVR_TYPE_ANALYTIC, &LoadOut::analyticInterest},
};
// Every type the dispatch loop may deliver, in code order.
constexpr uint32_t kDeliveredTypes[] = {DVR_TYPE_VIDEO,    DVR_TYPE_AUDIO, DVR_TYPE_ALARM,  DVR_TYPE_PTZ,
                                        DVR_TYPE_SERIAL,   DVR_TYPE_WATCHDOG, DVR_TYPE_LOG, DVR_TYPE_CONFIG,
                                        DVR_TYPE_POS,      DVR_TYPE_ANALYTIC};

EventParms sample(uint32_t type, uint32_t source) {
  EventParms e = km::core::makeCoreEvent(type, DVR_FLAG_LIVE, 0, nullptr, 0);
  e.source = source;
  return e;
}

// Asks the core's own routing rule, with one made-up event per origin.
Reach reachOf(const LoadOut& d, uint32_t type) {
  const uint32_t own = d.idWord == km::core::kCoreId ? km::core::kCoreId : d.idWord;
  const uint32_t ownId = d.idWord == km::core::kCoreId ? 0x100 : km::core::pluginIdOf(d.idWord);
  const uint32_t other = DVR_SOURCE_PLUGIN(ownId == 1 ? 2 : 1);
  Reach reach{std::string(km::core::typeName(type)), type};
  reach.fromCore = km::core::wants(d, sample(type, km::core::kCoreId));
  reach.fromOthers = km::core::wants(d, sample(type, other));
  reach.fromItself = km::core::wants(d, sample(type, own));
  if (!reach.fromItself) {
    EventParms output = sample(type, own);
    output.frameFlags = DVR_FRAME_FLAG_OUTPUT;
    EventParms withParam = sample(type, own);
    withParam.param = 1;
    if (km::core::wants(d, output)) reach.itselfOnlyWhen = "as output frames (frameFlags 0x20)";
    if (km::core::wants(d, withParam)) reach.itselfOnlyWhen = "with a non-zero param";
  }
  return reach;
}

std::vector<Behaviour::Call> callsOf(const Behaviour& b) {
  std::vector<Behaviour::Call> calls;
  calls.push_back({"Load, Unload", "the main thread, at start-up and at shutdown"});
  if (b.opens) calls.push_back({"Open, Close", "the main thread; Close before Unload"});
  if (b.worker) {
    calls.push_back({"IOCTL code 1", "its own worker thread, started once every library is loaded (before Open); "
                                     "the core waits for it to return before Unload"});
  }
  if (b.reader) {
    calls.push_back({"Read (empty ReadIn)", "its own reader thread, started right after Open; the core waits for it "
                                            "to return before Unload"});
  }
  if (b.eventEntry) calls.push_back({b.eventEntry, "the dispatch thread (the main thread), one event at a time"});
  if (b.configEntry && std::string_view(b.configEntry) == DVR_ENTRY_IOCTL) {
    calls.push_back({"IOCTL code 2", "the dispatch thread, for config events (also once closed)"});
  }
  if (b.searchEntry) {
    calls.push_back({std::string(b.searchEntry) + " (a search request)",
                     "a new search thread per request, alongside the event calls; must return once closed"});
  }
  if (b.packetEntry) {
    calls.push_back({std::string(b.packetEntry) + (std::string_view(b.packetEntry) == DVR_ENTRY_IOCTL ? " code 4" : ""),
                     "the I/O thread, for daemon packets"});
  }
  return calls;
}

Behaviour behaviourOf(const std::string& fileName, const ProbeResult& probe) {
  const LoadOut& d = probe.declaration;
  // The core's own record of it, for the names and id rules.
  const km::core::PluginPtr plugin = km::core::Plugin::standIn(fileName, d, 0, {});
  Behaviour b;
  b.hasId = plugin->hasId();
  b.pluginId = plugin->pluginId();
  b.name = fmt::format("{:02x}:{}", plugin->pluginId(), plugin->displayName());
  // The log plug-in gets no module name of its own: its slot prints as "PIxx".
  b.logPluginName = fileName == km::core::kLogPluginFileName;
  b.moduleName = !b.logPluginName ? km::core::moduleNameOf(fileName)
                 : b.pluginId == 0 ? std::string("core")
                                   : fmt::format("PI{:02x}", b.pluginId);
  b.opens = probe.exportsEntry(DVR_ENTRY_OPEN) && probe.exportsEntry(DVR_ENTRY_CLOSE);
  const bool onEvent = b.opens && probe.exportsEntry(DVR_ENTRY_ON_EVENT);
  const bool write = b.opens && probe.exportsEntry(DVR_ENTRY_WRITE) && d.acceptsWrite;
  const bool ioctl = probe.exportsEntry(DVR_ENTRY_IOCTL);
  b.eventEntry = onEvent ? DVR_ENTRY_ON_EVENT : write ? DVR_ENTRY_WRITE : nullptr;
  b.configEntry = onEvent ? DVR_ENTRY_ON_EVENT : ioctl ? DVR_ENTRY_IOCTL : nullptr;
  if (b.hasId) {
    b.packetEntry = probe.exportsEntry(DVR_ENTRY_ON_IPC_RESULT) ? DVR_ENTRY_ON_IPC_RESULT : ioctl ? DVR_ENTRY_IOCTL : nullptr;
  }
  const bool onSearch = b.opens && probe.exportsEntry(DVR_ENTRY_ON_SEARCH);
  const bool read = b.opens && probe.exportsEntry(DVR_ENTRY_READ);
  if (km::core::servesSearches(d, onSearch, read)) b.searchEntry = onSearch ? DVR_ENTRY_ON_SEARCH : DVR_ENTRY_READ;
  b.worker = ioctl && d.wantsWorkerThread;
  b.reader = read && d.wantsAsyncReader;
  for (const uint32_t type : kDeliveredTypes) {
    const Reach reach = reachOf(d, type);
    if (reach.fromCore || reach.fromOthers || reach.fromItself || reach.itselfOnlyWhen) b.receives.push_back(reach);
  }
  b.withheld = km::core::isWithheld(*plugin);
  b.first = b.hasId && b.pluginId == 6;
  b.calls = callsOf(b);
  return b;
}

// The stored bit of the interest words the core reads for searches.
std::string storedTypes(const LoadOut& d, bool readByCore) {
  std::string types;
  for (const InterestField& field : kInterestFields) {
    const bool read = field.code != DVR_TYPE_PTZ && field.code != DVR_TYPE_SERIAL;
    if (read == readByCore && (d.*field.word & DVR_INTEREST_STORED)) types += (types.empty() ? "" : ", ") + std::string(field.type);
  }
  return types;
}

std::string liveTypes(const LoadOut& d) {
  std::string types;
  for (const InterestField& field : kInterestFields) {
    if (d.*field.word & DVR_INTEREST_LIVE) types += (types.empty() ? "" : ", ") + std::string(field.type);
  }
  return types;
}

void warnAboutLoading(LibraryInspection& in) {
  const ProbeResult& probe = *in.probe;
  auto warn = [&](const char* code, std::string text) { in.warnings.push_back({code, std::move(text)}); };
  if (!probe.opened) {
    const auto problem = elfProblem(in.elf);
    warn("not-loadable", fmt::format("the dynamic loader refuses it ({}){}", probe.errorText,
                                     problem ? ": " + *problem : std::string()));
    return;
  }
  if (!probe.loadCalled) {
    warn("missing-load-unload",
         fmt::format("it exports no {}: the core refuses it without calling Load (a C++ entry point needs "
                     "extern \"C\", and hidden visibility needs DVR_PLUGIN_EXPORT)",
                     probe.exportsEntry(DVR_ENTRY_LOAD) ? "Unload" : probe.exportsEntry(DVR_ENTRY_UNLOAD) ? "Load" : "Load nor Unload"));
    return;
  }
  if (probe.loadCode != 0) {
    warn("load-failed", fmt::format("Load returned {}: the core keeps it out and never calls Unload", probe.loadCode));
  }
}

void warnAboutDeclaration(LibraryInspection& in) {
  const ProbeResult& probe = *in.probe;
  const LoadOut& d = probe.declaration;
  const Behaviour& b = *in.behaviour;
  auto warn = [&](const char* code, std::string text) { in.warnings.push_back({code, std::move(text)}); };

  if (!b.opens) {
    warn("missing-open-close",
         fmt::format("it exports no {}: the core loads it but never opens it, so no event, search or reader "
                     "call ever reaches it (only config events and daemon packets through IOCTL/OnIpcResult, "
                     "and Unload)",
                     probe.exportsEntry(DVR_ENTRY_OPEN) ? "Close" : probe.exportsEntry(DVR_ENTRY_CLOSE) ? "Open" : "Open nor Close"));
  }
  if (d.idWord == km::core::kCoreId) {
    warn("no-id", "it declares no id (idWord 0x80000000): its module name takes the core's slot, so console lines of "
                  "the core are printed under its name and it shares the core's log threshold; it shares the core's "
                  "origin too (no core log lines reach it), gets no daemon packets, and a second plug-in without id "
                  "is refused");
  } else if (b.pluginId == 0) {
    warn("id-zero", fmt::format("idWord 0x{:08x} carries plug-in id 00 (Load left the zero the core presets?): its "
                                "module name takes the core's slot in console lines, and any other plug-in with id "
                                "00 is refused; set idWord to DVR_SOURCE_PLUGIN(id)",
                                d.idWord));
  }
  if (b.withheld && !b.logPluginName) {
    warn("log-id", "id 8 is the log plug-in's: the close step takes it out of the list and, as nothing else holds "
                   "it, closes and unloads it before any other plug-in is closed");
  }
  if (d.wantsAsyncReader && !probe.exportsEntry(DVR_ENTRY_READ)) {
    warn("reader-without-read", "wantsAsyncReader is set but it exports no Read: no reader thread starts and no "
                                "search comes through Read");
  }
  if (d.wantsWorkerThread && !probe.exportsEntry(DVR_ENTRY_IOCTL)) {
    warn("worker-without-ioctl", "wantsWorkerThread is set but it exports no IOCTL: no worker thread starts");
  }
  const std::string stored = storedTypes(d, true);
  if (!stored.empty() && !b.searchEntry) {
    warn("stored-without-search",
         fmt::format("it declares stored {} events (0x4000000) but has no way to serve searches: export OnSearch, "
                     "or Read with wantsAsyncReader set",
                     stored));
  }
  const std::string ignoredStored = storedTypes(d, false);
  if (!ignoredStored.empty()) {
    warn("stored-ignored", fmt::format("the core does not read the stored bit of the {} interest word", ignoredStored));
  }
  const std::string live = liveTypes(d);
  if (!live.empty() && !b.eventEntry) {
    warn("events-undelivered",
         fmt::format("it asks for live {} events but has no {}: they are never delivered", live,
                     b.opens ? "OnEvent, nor Write with acceptsWrite set" : "Open/Close, so it is never opened"));
  }
  if (probe.exportsEntry(DVR_ENTRY_WRITE)) {
    if (probe.exportsEntry(DVR_ENTRY_ON_EVENT)) {
      warn("write-unused", "it exports OnEvent and Write: OnEvent takes every event, Write is never called");
    } else if (!d.acceptsWrite) {
      warn("write-unused", "it exports Write but acceptsWrite is 0: Write is never called");
    }
  } else if (d.acceptsWrite && !probe.exportsEntry(DVR_ENTRY_ON_EVENT)) {
    warn("write-missing", "acceptsWrite is set but it exports no Write");
  }
  if (d.size != sizeof(LoadOut) || d.version != DVR_LOAD_OUT_VERSION) {
    warn("record-size", fmt::format("Load wrote size {} and version {} into LoadOut; the core presets {} and {} and "
                                    "reads its own layout whatever Load leaves there: built against another header?",
                                    d.size, d.version, sizeof(LoadOut), DVR_LOAD_OUT_VERSION));
  }
  for (const PostedEvent& e : probe.posted) {
    const uint32_t type = km::core::baseType(e.type);
    const bool answersOrAsks = type == DVR_TYPE_CANCEL || type == DVR_TYPE_CRYPTO || (e.flags & DVR_FLAG_QUERY);
    if (b.hasId && !answersOrAsks && !km::core::sameOrigin(d.idWord, e.source)) {
      warn("foreign-source", fmt::format("it posted a {} event with source 0x{:08x}, not its own id {:02x}: the core "
                                         "takes it as {} (a log line is printed under that name and filtered by "
                                         "that threshold; a decref gives back that module's reference)",
                                         km::core::typeName(e.type), e.source, b.pluginId,
                                         e.source == km::core::kCoreId ? std::string("the core's")
                                                                        : fmt::format("plug-in {:02x}'s", km::core::pluginIdOf(e.source))));
      break;
    }
  }
  for (const PostedEvent& e : probe.posted) {
    if (e.size != sizeof(EventParms) || e.version != DVR_EVENT_VERSION) {
      warn("record-size", fmt::format("it posted a {} event with size {} and version {}; the core expects {} and {} "
                                      "and reads a whole record from the pointer",
                                      km::core::typeName(e.type), e.size, e.version, sizeof(EventParms),
                                      DVR_EVENT_VERSION));
      break;
    }
  }
}

void warnAboutName(LibraryInspection& in) {
  if (!km::core::isPluginFileName(in.fileName)) {
    in.warnings.push_back({"not-so-name", fmt::format("the core loads only files whose name ends exactly in \".so\"; "
                                                      "as {} it is skipped", in.fileName)});
  }
}

}  // namespace

std::string idText(uint32_t idWord) {
  return fmt::format("{:02x}", idWord == km::core::kCoreId ? 0u : km::core::pluginIdOf(idWord));
}

std::string LibraryInspection::abortText() const {
  const std::string where = stage.empty() ? "while it was being opened"
                            : stage == "dlopen" ? "while the dynamic loader ran its initialisation code"
                            : "in " + stage;
  switch (end) {
    case ChildOutcome::End::TimedOut:
      return fmt::format("did not return{} within the time limit of {} ms", stage.empty() ? "" : " from " + stage,
                         limit.count());
    case ChildOutcome::End::Signalled:
      return fmt::format("crashed {}: signal {} ({})", where, signal, strsignal(signal));
    case ChildOutcome::End::Exited:
      return fmt::format("ended the inspecting process {} with exit code {}", where, exitCode);
    case ChildOutcome::End::NotStarted: return "could not be inspected: " + childFailure;
    case ChildOutcome::End::Finished: break;
  }
  return {};
}

LibraryInspection inspectLibrary(const std::filesystem::path& library, std::chrono::milliseconds limit) {
  LibraryInspection in;
  in.path = library;
  in.fileName = library.filename().string();
  in.elf = identifyElf(library);
  in.limit = limit;
  in.logPlugin = in.fileName == km::core::kLogPluginFileName;
  ChildOutcome outcome = probeInChild(library, limit);
  in.end = outcome.end;
  in.signal = outcome.signal;
  in.exitCode = outcome.exitCode;
  in.stage = outcome.report.lastStage;
  in.childFailure = outcome.failure;
  warnAboutName(in);
  if (!in.finished()) {
    in.loadCode = -1;
    in.errorText = in.abortText();
    const bool hung = in.end == ChildOutcome::End::TimedOut;
    in.warnings.insert(in.warnings.begin(), {hung ? "hang" : "crash", fmt::format("the library {}", in.abortText())});
    return in;
  }
  in.probe = std::move(outcome.report.result);
  const ProbeResult& probe = *in.probe;
  in.loadCode = probe.loadCode;
  in.errorText = probe.errorText;
  in.loads = probe.loadCode == 0;
  warnAboutLoading(in);
  if (!in.loads) {
    if (!in.logPlugin) in.coreMessage = fmt::format("Failed to load plugin {}: {}", in.fileName, in.errorText);
    return in;
  }
  in.behaviour = behaviourOf(in.fileName, probe);
  if (!in.logPlugin) in.coreMessage = fmt::format("Loaded plugin {}", in.behaviour->name);
  warnAboutDeclaration(in);
  return in;
}

}  // namespace dvrinspect
