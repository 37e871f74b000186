#include <fmt/format.h>

#include "Reports.h"
#include "events/EventModel.h"
#include "plugin_api.h"

namespace dvrinspect {

namespace {

using km::core::LoadOut;

struct InterestRow {
  const char* field;
  uint32_t LoadOut::*word;
  bool storedRead;
};
constexpr InterestRow kInterestRows[] = {
    {"videoInterest", &LoadOut::videoInterest, true},   {"audioInterest", &LoadOut::audioInterest, true},
    {"alarmInterest", &LoadOut::alarmInterest, true},   {"ptzInterest", &LoadOut::ptzInterest, false},
    {"serialInterest", &LoadOut::serialInterest, false}, {"logInterest", &LoadOut::logInterest, true},
    {"posInterest", &LoadOut::posInterest, true},       {"analyticInterest", &LoadOut::analyticInterest, true},
};

std::string entryPoints(const ProbeResult& probe, bool exported) {
  std::string names;
  for (const char* name : kEntryPoints) {
    if (probe.exportsEntry(name) == exported) names += (names.empty() ? "" : ", ") + std::string(name);
  }
  return names.empty() ? "-" : names;
}

// "the core and other plug-ins; itself only as output frames (frameFlags 0x20)"
std::string origins(const Reach& r, bool hasId) {
  std::vector<std::string> from;
  // Without an id the plug-in and the core are one origin.
  if (r.fromCore) from.push_back(hasId ? "the core" : "the core (its own origin: it has no id)");
  if (r.fromOthers) from.push_back("other plug-ins");
  if (r.fromItself && hasId) from.push_back("itself");
  std::string text;
  for (size_t i = 0; i < from.size(); ++i) text += (i == 0 ? "" : i + 1 == from.size() ? " and " : ", ") + from[i];
  if (r.itselfOnlyWhen) {
    text += fmt::format("{}{} only {}", text.empty() ? "" : "; ", hasId ? "itself" : "the core (its own origin)",
                        r.itselfOnlyWhen);
  }
  return text;
}

std::string declarationLines(const LoadOut& d) {
  std::string out = "Declaration (LoadOut as Load left it)\n";
  const std::string id = d.idWord == DVR_SOURCE_CORE ? "no id"
                         : DVR_PLUGIN_ID_OF(d.idWord) == 0 ? "plug-in id 00 (the zero the core presets?)"
                         : fmt::format("plug-in id {:02x}", DVR_PLUGIN_ID_OF(d.idWord));
  out += fmt::format("  {:<18} 0x{:08x}  {}\n", "idWord", d.idWord, id);
  for (const InterestRow& row : kInterestRows) {
    out += fmt::format("  {:<18} 0x{:08x}  {}\n", row.field, d.*row.word, interestInWords(d.*row.word, row.storedRead));
  }
  out += fmt::format("  {:<18} {:<10}  larger ranks close first\n", "closeRank", d.closeRank);
  out += fmt::format("  {:<18} {:<10}  {}\n", "wantsWorkerThread", unsigned(d.wantsWorkerThread),
                     d.wantsWorkerThread ? "yes: IOCTL code 1 on a thread of its own" : "no");
  out += fmt::format("  {:<18} {:<10}  {}\n", "wantsAsyncReader", unsigned(d.wantsAsyncReader),
                     d.wantsAsyncReader ? "yes: Read on a thread of its own, searches through Read" : "no");
  out += fmt::format("  {:<18} {:<10}  {}\n", "acceptsWrite", unsigned(d.acceptsWrite),
                     d.acceptsWrite ? "yes: events through Write when there is no OnEvent" : "no");
  return out;
}

std::string behaviourLines(const Behaviour& b) {
  std::string out = "What the core does with it\n";
  auto line = [&](const char* what, const std::string& text) { out += fmt::format("  {:<15} {}\n", what, text); };
  line("name", fmt::format("{} in the core's messages; console lines under \"{}\"{}", b.name, b.moduleName,
                           b.pluginId == 0 ? ", the core's own slot" : ""));
  if (b.logPluginName) {
    line("load order", "none: as plugins/LogPI.so it is loaded at start-up, before the load step");
    line("opened", b.opens ? "at start-up, right after loading; joins the end of the list after the open step"
                           : "never: it lacks Open or Close");
  } else {
    line("load order", b.first ? "first in the list, whatever its name (id 6)"
                               : "by file name without regard to case (names containing \"dIDUvi\" first)");
    line("opened", b.opens ? "yes, in list order" : "never: it lacks Open or Close");
  }
  const Reach* config = nullptr;
  for (const Reach& r : b.receives) {
    if (r.code == DVR_TYPE_CONFIG) config = &r;
  }
  if (b.eventEntry) {
    line("events", fmt::format("through {} on the dispatch thread:", b.eventEntry));
    for (const Reach& r : b.receives) out += fmt::format("    {:<11} from {}\n", r.type, origins(r, b.hasId));
  } else {
    line("events", b.opens ? "none: no OnEvent, nor Write with acceptsWrite set" : "none: it is never opened");
  }
  if (!b.configEntry || !config) {
    line("config events", "none: no OnEvent, no IOCTL");
  } else if (std::string_view(b.configEntry) == DVR_ENTRY_ON_EVENT) {
    line("config events", "through OnEvent, as above");
  } else {
    line("config events", fmt::format("through IOCTL code 2 on the dispatch thread (also once it is closed), "
                                      "from {}", origins(*config, b.hasId)));
  }
  if (!b.hasId) {
    line("daemon packets", "none: without an id no route word reaches it");
  } else if (!b.packetEntry) {
    line("daemon packets", "none: no OnIpcResult, no IOCTL");
  } else {
    line("daemon packets", fmt::format("through {} on the I/O thread, for packets whose route word carries {:02x} in "
                                       "bits 20-27, from the end of the open step on",
                                       std::string_view(b.packetEntry) == DVR_ENTRY_IOCTL ? "IOCTL code 4" : b.packetEntry,
                                       b.pluginId));
  }
  line("searches", b.searchEntry ? fmt::format("served through {}, one search thread per request; answers are "
                                               "stored events posted from that thread",
                                               b.searchEntry)
                                 : "not served");
  if (b.logPluginName) {
    line("log plug-in", fmt::format("yes, by its name: the core loads plugins/LogPI.so at start-up before any other "
                                    "plug-in and opens it at once; the scan skips this name. {}",
                                    b.withheld ? "With id 8 it is held back at the close step and stays open until "
                                                 "the core is destroyed, so it records everyone's shutdown"
                                               : "Without id 8 it is closed and unloaded with the others"));
  } else {
    line("log plug-in", b.withheld ? "no, but with id 8 the close step takes it out of the list: it is closed and "
                                     "unloaded at once, before every other plug-in"
                                   : "no");
  }
  out += "  threads\n";
  for (const Behaviour::Call& call : b.calls) out += fmt::format("    {:<27} {}\n", call.entry, call.thread);
  return out;
}

std::string postedLines(const ProbeResult& probe) {
  if (probe.posted.empty()) return {};
  std::string out = "Posted while inspected (the stub accepted each)\n";
  for (const PostedEvent& e : probe.posted) {
    out += fmt::format("  {} {} source 0x{:08x} flags 0x{:x} length {}{}{}\n", e.duringLoad ? "in Load:" : "later:  ",
                       km::core::typeName(e.type), e.source, e.flags, e.length,
                       km::core::baseType(e.type) == DVR_TYPE_LOG ? fmt::format(" level {}", e.param) : "",
                       e.text.empty() ? "" : fmt::format(" \"{}\"", e.text));
  }
  if (probe.postedUncounted) out += fmt::format("  and {} more\n", probe.postedUncounted);
  return out;
}

std::string warningLines(const std::vector<Warning>& warnings, const char* indent) {
  std::string out;
  for (const Warning& w : warnings) out += fmt::format("{}! [{}] {}\n", indent, w.code, w.text);
  return out;
}

std::string loadLine(const LibraryInspection& in) {
  if (!in.finished()) return fmt::format("Loads: no: the library {}; the core itself would stop there\n", in.abortText());
  if (in.logPlugin) {
    // Start-up brings the log plug-in up without a word, and goes on without one that fails.
    if (!in.loads) return fmt::format("Loads: no ({}): the core runs without a log plug-in\n", in.errorText);
    return fmt::format("Loads: yes, as the log plug-in at start-up (Load took {:.3f} ms; then the inspector called "
                       "Unload)\n",
                       static_cast<double>(in.probe->loadTimeNs) / 1e6);
  }
  if (!in.loads) return fmt::format("Loads: no: the core logs \"{}\"\n", in.coreMessage);
  return fmt::format("Loads: yes: the core logs \"{}\" (Load took {:.3f} ms; then the inspector called Unload)\n",
                     in.coreMessage, static_cast<double>(in.probe->loadTimeNs) / 1e6);
}

}  // namespace

std::string interestInWords(uint32_t word, bool storedRead) {
  std::vector<std::string> parts;
  if (word & DVR_INTEREST_LIVE) parts.push_back("live");
  if ((word & DVR_INTEREST_STORED) && storedRead) parts.push_back("stored");
  uint32_t unread = word & ~DVR_INTEREST_LIVE;
  if (storedRead) unread &= ~DVR_INTEREST_STORED;
  if (unread) parts.push_back(fmt::format("(bits 0x{:x} not read by the core)", unread));
  return parts.empty() ? "-" : fmt::format("{}", fmt::join(parts, ", "));
}

std::string textReport(const LibraryInspection& in) {
  std::string out = fmt::format("{}  ({})\n", in.fileName, in.path.string());
  out += loadLine(in);
  if (in.probe && in.probe->opened) {
    out += fmt::format("\nEntry points\n  exported  {}\n  missing   {}\n", entryPoints(*in.probe, true),
                       entryPoints(*in.probe, false));
  }
  if (in.probe && in.probe->loadCalled) out += "\n" + declarationLines(in.probe->declaration);
  if (in.behaviour) out += "\n" + behaviourLines(*in.behaviour);
  if (in.probe) {
    const std::string posted = postedLines(*in.probe);
    if (!posted.empty()) out += "\n" + posted;
  }
  out += in.warnings.empty() ? "\nNo warnings\n" : "\nWarnings\n" + warningLines(in.warnings, "  ");
  return out;
}

std::string textReport(const TreeInspection& tree) {
  auto where = [&](const std::filesystem::path& path) { return path.lexically_relative(tree.exeDir).string(); };
  std::string out = fmt::format("Install tree {}  ({})\n", tree.exeDir.string(),
                                tree.hasCore ? "dvrcore is here" : "no dvrcore here yet");

  out += "\nLog plug-in (loaded and opened at start-up, before the load step)\n";
  if (!tree.logPluginPresent) {
    out += "  none: no plugins/LogPI.so\n";
  } else {
    const LibraryInspection& log = tree.logPlugin;
    out += fmt::format("  plugins/LogPI.so  {}\n", log.loads ? log.behaviour->name
                                                  : log.finished() ? "fails: " + log.errorText
                                                                   : log.abortText());
  }

  out += "\nLoad order (the core's \"Loaded plugin\" lines)\n";
  for (size_t i = 0; i < tree.loadOrder.size(); ++i) {
    out += fmt::format("  {:>2}. {:<22} {}\n", i + 1, tree.loadOrder[i].name, where(tree.loadOrder[i].path));
  }
  if (tree.loadOrder.empty()) out += "  none\n";
  std::string failed;
  for (const LibraryInspection& in : tree.libraries) {
    if (in.fails()) failed += fmt::format("  {:<26} {}\n", where(in.path), in.finished() ? in.coreMessage : in.abortText());
  }
  if (!failed.empty()) out += "\nFailing (the core keeps them out, or stops at them)\n" + failed;
  if (!tree.refused.empty()) {
    out += "\nRefused (id already taken)\n";
    for (const auto& refusal : tree.refused) out += fmt::format("  {:<26} {}\n", where(refusal.path), refusal.message);
  }
  if (!tree.skipped.empty()) {
    out += "\nSkipped by the scan\n";
    for (const auto& skip : tree.skipped) out += fmt::format("  {:<26} {}\n", where(skip.path), skip.why);
  }

  out += "\nOpen order (the \"Opening\" lines; then the log plug-in joins the end of the list)\n";
  for (size_t i = 0; i < tree.openOrder.size(); ++i) out += fmt::format("  {:>2}. {}\n", i + 1, tree.openOrder[i].name);
  if (tree.openOrder.empty()) out += "  none\n";

  out += "\nClose order (the \"Closing\" lines, then the \"Unloading\" lines in the same order)\n";
  for (const auto& entry : tree.closedAtOnce) {
    out += fmt::format("   -  {:<22} id 8: closed and unloaded at the start of the close step\n", entry.name);
  }
  for (size_t i = 0; i < tree.closeOrder.size(); ++i) {
    out += fmt::format("  {:>2}. {:<22} closeRank {}\n", i + 1, tree.closeOrder[i].name, tree.closeOrder[i].closeRank);
  }
  for (const auto& entry : tree.keptToTheEnd) {
    out += fmt::format("   -  {:<22} the log plug-in with id 8: open until the core is destroyed\n", entry.name);
  }

  out += "\nLibraries\n";
  for (const LibraryInspection* in : [&] {
         std::vector<const LibraryInspection*> all;
         if (tree.logPluginPresent) all.push_back(&tree.logPlugin);
         for (const LibraryInspection& library : tree.libraries) all.push_back(&library);
         return all;
       }()) {
    out += fmt::format("  {:<26} {}\n", where(in->path), in->loads ? "loads" : "fails");
    out += warningLines(in->warnings, "      ");
  }
  out += tree.warnings.empty() ? "\nNo warnings about the tree\n" : "\nWarnings about the tree\n" + warningLines(tree.warnings, "  ");
  return out;
}

}  // namespace dvrinspect
