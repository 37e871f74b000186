#include <fmt/format.h>

#include "Reports.h"
#include "events/EventModel.h"
#include "plugin_api.h"

namespace dvrinspect {

namespace {

using km::core::LoadOut;

const char* endName(ChildOutcome::End end) {
  switch (end) {
    case ChildOutcome::End::Finished: return "finished";
    case ChildOutcome::End::TimedOut: return "timeout";
    case ChildOutcome::End::Signalled: return "crashed";
    case ChildOutcome::End::Exited: return "aborted";
    case ChildOutcome::End::NotStarted: break;
  }
  return "not-inspected";
}

void writeWarnings(JsonWriter& json, const std::vector<Warning>& warnings) {
  json.beginArray();
  for (const Warning& w : warnings) json.beginObject().key("code").value(w.code).key("text").value(w.text).endObject();
  json.endArray();
}

void writeInterest(JsonWriter& json, const char* name, uint32_t word, bool storedRead) {
  json.key(name).beginObject();
  json.key("word").value(fmt::format("0x{:08x}", word));
  json.key("live").boolean((word & DVR_INTEREST_LIVE) != 0);
  json.key("stored").boolean(storedRead && (word & DVR_INTEREST_STORED) != 0);
  json.endObject();
}

void writeDeclaration(JsonWriter& json, const LoadOut& d) {
  json.beginObject();
  json.key("size").number(d.size).key("version").number(d.version);
  json.key("idWord").value(fmt::format("0x{:08x}", d.idWord));
  json.key("hasId").boolean(d.idWord != DVR_SOURCE_CORE);
  json.key("pluginId").value(idText(d.idWord));
  json.key("interests").beginObject();
  writeInterest(json, "video", d.videoInterest, true);
  writeInterest(json, "audio", d.audioInterest, true);
  writeInterest(json, "alarm", d.alarmInterest, true);
  writeInterest(json, "ptz", d.ptzInterest, false);
  writeInterest(json, "serial", d.serialInterest, false);
  writeInterest(json, "log", d.logInterest, true);
  writeInterest(json, "pos", d.posInterest, true);
  writeInterest(json, "analytic", d.analyticInterest, true);
  json.endObject();
  json.key("closeRank").number(d.closeRank);
  json.key("wantsWorkerThread").boolean(d.wantsWorkerThread != 0);
  json.key("wantsAsyncReader").boolean(d.wantsAsyncReader != 0);
  json.key("acceptsWrite").boolean(d.acceptsWrite != 0);
  json.endObject();
}

void writeBehaviour(JsonWriter& json, const Behaviour& b) {
  json.beginObject();
  json.key("name").value(b.name).key("moduleName").value(b.moduleName);
  json.key("opens").boolean(b.opens);
  json.key("eventEntry").value(b.eventEntry);
  json.key("configEntry").value(b.configEntry);
  json.key("packetEntry").value(b.packetEntry);
  json.key("searchEntry").value(b.searchEntry);
  json.key("servesSearches").boolean(b.searchEntry != nullptr);
  json.key("workerThread").boolean(b.worker);
  json.key("readerThread").boolean(b.reader);
  json.key("logPlugin").boolean(b.logPluginName);
  json.key("withheldAtClose").boolean(b.withheld);
  json.key("loadsFirst").boolean(b.first);
  json.key("receives").beginObject();
  for (const Reach& r : b.receives) {
    json.key(r.type).beginObject();
    json.key("fromCore").boolean(r.fromCore).key("fromOthers").boolean(r.fromOthers);
    json.key("fromItself").boolean(r.fromItself).key("itselfOnly").value(r.itselfOnlyWhen);
    json.endObject();
  }
  json.endObject();
  json.key("calls").beginArray();
  for (const Behaviour::Call& call : b.calls) {
    json.beginObject().key("entry").value(call.entry).key("thread").value(call.thread).endObject();
  }
  json.endArray();
  json.endObject();
}

void writeEntries(JsonWriter& json, const char* name, const std::vector<TreeInspection::Entry>& entries) {
  json.key(name).beginArray();
  for (const auto& e : entries) {
    json.beginObject().key("name").value(e.name).key("fileName").value(e.fileName);
    json.key("path").value(e.path.string()).key("closeRank").number(e.closeRank).endObject();
  }
  json.endArray();
}

}  // namespace

void writeJson(JsonWriter& json, const LibraryInspection& in) {
  json.beginObject();
  json.key("path").value(in.path.string());
  json.key("fileName").value(in.fileName);
  json.key("inspection").value(endName(in.end));
  if (!in.finished()) json.key("stage").value(in.stage).key("problem").value(in.abortText());
  json.key("loads").boolean(in.loads);
  json.key("loadCode").number(in.loadCode);
  json.key("errorText").value(in.errorText);
  json.key("coreMessage").value(in.coreMessage.empty() ? nullptr : in.coreMessage.c_str());
  if (in.probe) {
    json.key("exports").beginArray();
    for (const char* name : kEntryPoints) {
      if (in.probe->exportsEntry(name)) json.value(name);
    }
    json.endArray();
    json.key("loadCalled").boolean(in.probe->loadCalled);
    json.key("unloadCalled").boolean(in.probe->unloadCalled);
    if (in.probe->loadCalled) {
      json.key("loadTimeNs").number(in.probe->loadTimeNs);
      json.key("declaration");
      writeDeclaration(json, in.probe->declaration);
    }
    json.key("posted").beginArray();
    for (const PostedEvent& e : in.probe->posted) {
      json.beginObject().key("type").value(km::core::typeName(e.type)).key("typeCode").number(e.type);
      json.key("flags").number(e.flags).key("source").value(fmt::format("0x{:08x}", e.source));
      json.key("param").number(e.param).key("length").number(e.length).key("size").number(e.size);
      json.key("duringLoad").boolean(e.duringLoad).key("text").value(e.text).endObject();
    }
    json.endArray();
  }
  if (in.behaviour) {
    json.key("core");
    writeBehaviour(json, *in.behaviour);
  }
  json.key("warnings");
  writeWarnings(json, in.warnings);
  json.endObject();
}

void writeJson(JsonWriter& json, const TreeInspection& tree) {
  json.beginObject();
  json.key("tree").value(tree.exeDir.string());
  json.key("hasCore").boolean(tree.hasCore);
  json.key("fails").boolean(tree.fails());
  json.key("logPlugin");
  if (tree.logPluginPresent) {
    writeJson(json, tree.logPlugin);
  } else {
    json.null();
  }
  writeEntries(json, "loadOrder", tree.loadOrder);
  writeEntries(json, "openOrder", tree.openOrder);
  writeEntries(json, "closedAtOnce", tree.closedAtOnce);
  writeEntries(json, "closeOrder", tree.closeOrder);
  writeEntries(json, "keptToTheEnd", tree.keptToTheEnd);
  json.key("refused").beginArray();
  for (const auto& r : tree.refused) {
    json.beginObject().key("path").value(r.path.string()).key("message").value(r.message);
    json.key("takenBy").value(r.takenBy).endObject();
  }
  json.endArray();
  json.key("skipped").beginArray();
  for (const auto& s : tree.skipped) json.beginObject().key("path").value(s.path.string()).key("why").value(s.why).endObject();
  json.endArray();
  json.key("libraries").beginArray();
  for (const LibraryInspection& in : tree.libraries) writeJson(json, in);
  json.endArray();
  json.key("warnings");
  writeWarnings(json, tree.warnings);
  json.endObject();
}

}  // namespace dvrinspect
