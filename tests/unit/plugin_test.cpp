// One plug-in library as the core holds it: loading with its codes and texts,
// opening and closing once, the threads, and which entry point receives an
// event, a search request or a daemon packet, with the exact records a
// plug-in author is promised. Real test plug-in libraries, loaded in process.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "CoreHarness.h"
#include "TestPaths.h"
#include "plugins/Plugin.h"

using namespace km::core;
using dvrtest::eventually;
namespace fs = std::filesystem;

namespace {

int32_t refusingPost(EventParms*) { return 1; }

const std::string kIdentity = "device-identity-42";

// A record as the journal's hex dump of it.
template <typename Record>
Record recordFromHex(const std::string& hex) {
  Record record;
  std::memset(&record, 0xEE, sizeof record);
  EXPECT_EQ(hex.size(), 2 * sizeof record) << "record size";
  for (size_t i = 0; i < sizeof record && 2 * i + 1 < hex.size(); ++i) {
    reinterpret_cast<unsigned char*>(&record)[i] = static_cast<unsigned char>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
  }
  return record;
}

template <typename Record>
Record zeroed() {
  Record record;
  std::memset(&record, 0, sizeof record);
  record.size = sizeof record;
  record.version = 1;
  return record;
}

template <typename Record>
void expectSameBytes(const Record& actual, const Record& expected, const char* what) {
  EXPECT_EQ(std::memcmp(&actual, &expected, sizeof actual), 0) << what << " differs from the documented record";
}

class PluginObject : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "dvrcore-plugin-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir = pattern;
    setenv("DVRTEST_JOURNAL", (dir / "journal.txt").c_str(), 1);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }

  // A private copy of a test plug-in variant, so every load gets fresh state.
  fs::path install(const std::string& variant, const std::string& fileName,
                   const std::map<std::string, std::string>& settings = {}) {
    const fs::path target = dir / fileName;
    fs::copy_file(dvrtest::testPluginDir() / (variant + ".so"), target, fs::copy_options::overwrite_existing);
    std::ofstream conf(target.string() + ".conf");
    for (const auto& [key, value] : settings) conf << key << "=" << value << "\n";
    return target;
  }

  PluginPtr load(const std::string& variant, const std::string& fileName,
                 const std::map<std::string, std::string>& settings = {}) {
    return Plugin::loadPlugin(install(variant, fileName, settings), &refusingPost, kIdentity);
  }

  // Journal lines containing every part.
  std::vector<std::string> lines(const std::vector<std::string>& parts = {}) const {
    std::vector<std::string> found;
    std::ifstream in(dir / "journal.txt");
    std::string line;
    while (std::getline(in, line)) {
      bool all = true;
      for (const auto& part : parts) all = all && line.find(part) != std::string::npos;
      if (all) found.push_back(line);
    }
    return found;
  }

  size_t count(const std::vector<std::string>& parts) const { return lines(parts).size(); }

  long position(const std::string& part) const {
    const auto all = lines();
    for (size_t i = 0; i < all.size(); ++i) {
      if (all[i].find(part) != std::string::npos) return static_cast<long>(i);
    }
    return -1;
  }

  // The in and out records of the last dumped call of `call`.
  std::pair<std::string, std::string> lastRecords(const std::string& call) const {
    const auto dumps = lines({"records call=" + call + " "});
    if (dumps.empty()) {
      ADD_FAILURE() << "no records dumped for " << call;
      return {};
    }
    const std::string& line = dumps.back();
    const auto in = line.find(" in=") + 4;
    const auto out = line.find(" out=");
    return {line.substr(in, out - in), line.substr(out + 5)};
  }

  fs::path dir;
};

EventParms alarmEvent(const char* text) {
  EventParms e = makeEventRecord(DVR_TYPE_ALARM, DVR_FLAG_LIVE | DVR_FLAG_TEXT);
  e.length = static_cast<uint32_t>(std::strlen(text));
  e.payload = const_cast<char*>(text);
  e.source = DVR_SOURCE_PLUGIN(0x21);
  e.param = 7;
  e.frameSeconds = 0x01020304;
  e.frameMillis = 0x0506;
  e.frameKind = 1;
  e.frameFlags = 0x20;
  for (size_t i = 0; i < sizeof e.typeSpecific; ++i) e.typeSpecific[i] = static_cast<uint8_t>(i + 1);
  return e;
}

EventParms configEvent(const char* text, uint32_t type = DVR_TYPE_CONFIG) {
  EventParms e = alarmEvent(text);
  e.type = type;
  e.flags = DVR_FLAG_LIVE | DVR_FLAG_XML;
  return e;
}

void expectEntryPoints(const Plugin& p, bool loaded, bool open) {
  EXPECT_EQ(p.Load != nullptr, loaded);
  EXPECT_EQ(p.Unload != nullptr, loaded);
  EXPECT_EQ(p.Open != nullptr, open);
  EXPECT_EQ(p.Close != nullptr, open);
}

}  // namespace

TEST_F(PluginObject, RecordSizesFollowTheNativeLayoutOn64BitBuilds) {
  if (sizeof(void*) != 8) GTEST_SKIP() << "the 32-bit sizes are asserted by the header itself";
  EXPECT_EQ(sizeof(LoadIn), 40u);
  EXPECT_EQ(sizeof(LoadOut), 68u);
  EXPECT_EQ(sizeof(EventParms), 192u);
  EXPECT_EQ(sizeof(WriteIn), 200u);
  EXPECT_EQ(sizeof(WriteOut), 24u);
  EXPECT_EQ(sizeof(IoctlIn), 32u);
  EXPECT_EQ(sizeof(ReadIn), 40u);
  EXPECT_EQ(sizeof(OpenIn), 16u);
  EXPECT_EQ(sizeof(CloseIn), 12u);
  EXPECT_EQ(sizeof(UnloadIn), 8u);
  EXPECT_EQ(sizeof(UnloadOut), 12u);
}

TEST_F(PluginObject, FailedLoadsKeepTheirCodeAndTextAndCloseTheLibrary) {
  // Not a library: the loader's own text.
  const fs::path junk = dir / "junk.so";
  std::ofstream(junk) << "not a library";
  ASSERT_EQ(dlopen(junk.c_str(), RTLD_NOW), nullptr);
  const std::string loaderText = dlerror();
  PluginPtr notLibrary = Plugin::loadPlugin(junk, &refusingPost, kIdentity);
  EXPECT_FALSE(notLibrary->handle);
  EXPECT_EQ(notLibrary->loadCode, 79);
  EXPECT_EQ(notLibrary->errorText, loaderText);
  EXPECT_EQ(notLibrary->fileName, "junk.so");

  PluginPtr absent = Plugin::loadPlugin(dir / "absent.so", &refusingPost, kIdentity);
  EXPECT_EQ(absent->loadCode, 79);
  EXPECT_NE(absent->errorText.find("absent.so"), std::string::npos) << absent->errorText;

  // Load without Unload and Unload without Load: Load is never called.
  for (const char* variant : {"tp_no_unload", "tp_no_load"}) {
    PluginPtr missing = load(variant, std::string(variant) + ".so");
    EXPECT_FALSE(missing->handle) << variant;
    EXPECT_EQ(missing->loadCode, -101) << variant;
    EXPECT_EQ(missing->errorText, "missing Load()/Unload()") << variant;
    expectEntryPoints(*missing, false, false);
    EXPECT_EQ(missing->IOCTL, nullptr);
  }
  EXPECT_EQ(count({" Load "}), 0u);

  // Load refusing: its code, no Unload, library closed.
  for (int32_t code : {3, -5}) {
    const std::string name = "refuses" + std::to_string(code) + ".so";
    PluginPtr refused = load("tp_full", name, {{"loadResult", std::to_string(code)}});
    EXPECT_FALSE(refused->handle);
    EXPECT_EQ(refused->loadCode, code);
    EXPECT_EQ(refused->errorText, "load code " + std::to_string(code));
    expectEntryPoints(*refused, false, false);
    EXPECT_EQ(refused->IOCTL, nullptr);
    EXPECT_EQ(refused->OnIpcResult, nullptr);
    refused.reset();
    EXPECT_EQ(count({name + " Load "}), 1u);
  }
  notLibrary.reset();
  absent.reset();
  EXPECT_EQ(count({"Unload"}), 0u);
}

TEST_F(PluginObject, LoadReceivesTheDocumentedRecordsAndItsDeclarationIsKept) {
  PluginPtr p = load("tp_full", "cam.so",
                     {{"dumpRecords", "1"}, {"id", "0x250000"}, {"video", "0x2000000"}, {"alarm", "0x6000000"},
                      {"closeRank", "9"}, {"worker", "1"}, {"reader", "1"}, {"acceptsWrite", "1"}});
  ASSERT_TRUE(p->handle);
  EXPECT_EQ(p->loadCode, 0);
  EXPECT_EQ(p->openCode, 0);
  EXPECT_EQ(p->errorText, "");
  EXPECT_EQ(p->fileName, "cam.so");
  EXPECT_GT(p->loadTime, 0);
  EXPECT_EQ(p->openTime, 0);

  const auto [inHex, outHex] = lastRecords("Load");
  const auto in = recordFromHex<LoadIn>(inHex);
  EXPECT_EQ(in.size, sizeof(LoadIn));
  EXPECT_EQ(in.version, 4u);
  EXPECT_EQ(in.reserved, 0u);
  EXPECT_EQ(in.post, &refusingPost);
  ASSERT_EQ(in.deviceIdentityLength, kIdentity.size());
  EXPECT_NE(in.deviceIdentity, nullptr);
  // The text itself, as the plug-in read it during the call.
  EXPECT_EQ(count({"cam.so Load ", "identity=" + kIdentity + " post=set thread=main"}), 1u);
  LoadOut preset;
  std::memset(&preset, 0, sizeof preset);
  preset.size = 68;
  preset.version = 3;
  expectSameBytes(recordFromHex<LoadOut>(outHex), preset, "LoadOut preset");

  EXPECT_EQ(p->declaration.idWord, 0x250000u);
  EXPECT_EQ(p->pluginId(), 0x25u);
  EXPECT_EQ(p->declaration.videoInterest, 0x2000000u);
  EXPECT_EQ(p->declaration.alarmInterest, 0x6000000u);
  EXPECT_EQ(p->declaration.closeRank, 9u);
  EXPECT_EQ(p->declaration.wantsWorkerThread, 1);
  EXPECT_EQ(p->declaration.wantsAsyncReader, 1);
  EXPECT_EQ(p->declaration.acceptsWrite, 1);

  // Only the entry points a loaded plug-in needs are looked up before Open.
  expectEntryPoints(*p, true, false);
  EXPECT_NE(p->IOCTL, nullptr);
  EXPECT_NE(p->OnIpcResult, nullptr);
  EXPECT_EQ(p->OnEvent, nullptr);
  EXPECT_EQ(p->OnSearch, nullptr);
  EXPECT_EQ(p->Read, nullptr);
  EXPECT_EQ(p->Write, nullptr);

  PluginPtr silent = load("tp_basic", "silent.so");
  EXPECT_EQ(silent->declaration.idWord, 0u) << "a plug-in that writes no id keeps the preset zero";
  EXPECT_TRUE(silent->hasId());
  EXPECT_EQ(silent->IOCTL, nullptr);
  PluginPtr anonymous = load("tp_basic", "anonymous.so", {{"id", "none"}});
  EXPECT_FALSE(anonymous->hasId());
  EXPECT_EQ(anonymous->pluginId(), 0u);
}

TEST_F(PluginObject, OpenCloseAndUnloadEachCallTheirEntryPointOnce) {
  PluginPtr p = load("tp_ioctl", "once.so", {{"dumpRecords", "1"}, {"id", "0x30000"}});
  p->openPlugin();
  p->openPlugin();
  EXPECT_EQ(count({"once.so Open "}), 1u);
  EXPECT_EQ(p->openCode, 0);
  expectEntryPoints(*p, true, true);
  auto [openIn, openOut] = lastRecords("Open");
  expectSameBytes(recordFromHex<OpenIn>(openIn), zeroed<OpenIn>(), "OpenIn");
  expectSameBytes(recordFromHex<OpenOut>(openOut), zeroed<OpenOut>(), "OpenOut");

  p->closePlugin();
  p->closePlugin();
  EXPECT_EQ(count({"once.so Close "}), 1u);
  auto [closeIn, closeOut] = lastRecords("Close");
  expectSameBytes(recordFromHex<CloseIn>(closeIn), zeroed<CloseIn>(), "CloseIn");
  expectSameBytes(recordFromHex<CloseOut>(closeOut), zeroed<CloseOut>(), "CloseOut");
  // Closed: what needs an open plug-in is forgotten, the rest stays.
  expectEntryPoints(*p, true, false);
  EXPECT_EQ(p->OnEvent, nullptr);
  EXPECT_EQ(p->Write, nullptr);
  EXPECT_NE(p->IOCTL, nullptr);
  EXPECT_TRUE(p->handle);

  p->unloadPlugin();
  p->unloadPlugin();
  EXPECT_EQ(count({"once.so Unload "}), 1u);
  auto [unloadIn, unloadOut] = lastRecords("Unload");
  expectSameBytes(recordFromHex<UnloadIn>(unloadIn), zeroed<UnloadIn>(), "UnloadIn");
  expectSameBytes(recordFromHex<UnloadOut>(unloadOut), zeroed<UnloadOut>(), "UnloadOut");
  EXPECT_FALSE(p->handle);
  expectEntryPoints(*p, false, false);
  EXPECT_EQ(p->IOCTL, nullptr);
  EXPECT_EQ(p->OnIpcResult, nullptr);

  p.reset();
  EXPECT_EQ(count({"once.so Close "}), 1u);
  EXPECT_EQ(count({"once.so Unload "}), 1u);
}

TEST_F(PluginObject, DestroyingTheLastOwnerClosesThenUnloads) {
  PluginPtr opened = load("tp_full", "opened.so", {{"worker", "1"}, {"reader", "1"}});
  opened->ProvideWorkerThreadIf();
  opened->openPlugin();
  ASSERT_TRUE(eventually([&] { return count({"opened.so Read "}) == 1 && count({"opened.so IOCTL code=1"}) == 1; }));
  opened.reset();
  EXPECT_EQ(count({"opened.so Close "}), 1u);
  EXPECT_EQ(count({"opened.so Unload "}), 1u);
  EXPECT_LT(position("opened.so Close "), position("opened.so Unload "));

  // Loaded but never opened: Unload only, as for a refused duplicate.
  PluginPtr loaded = load("tp_full", "loaded.so");
  loaded.reset();
  EXPECT_EQ(count({"loaded.so Close "}), 0u);
  EXPECT_EQ(count({"loaded.so Unload "}), 1u);
}

TEST_F(PluginObject, WithoutOpenOrCloseThePluginIsUnopenableButStaysLoaded) {
  for (const char* variant : {"tp_no_open", "tp_no_close"}) {
    const std::string name = std::string(variant) + ".so";
    PluginPtr p = load(variant, name, {{"id", "0x40000"}});
    p->openPlugin();
    EXPECT_EQ(p->openCode, -102) << variant;
    EXPECT_EQ(p->errorText, "missing Open()/Close()") << variant;
    EXPECT_TRUE(p->handle);
    expectEntryPoints(*p, true, false);
    EXPECT_EQ(count({name + " Open "}), 0u) << "Open is not called without Close";

    // No events but config events through IOCTL code 2, and daemon packets.
    const EventParms alarm = alarmEvent("a");
    EXPECT_FALSE(p->deliverEvent(alarm));
    const EventParms config = configEvent("<Config/>");
    EXPECT_FALSE(p->deliverEvent(config));
    EXPECT_EQ(count({name + " IOCTL code=2 ", "length=9"}), 1u) << variant;
    EXPECT_EQ(count({name + " OnEvent"}), 0u);

    p->closePlugin();
    p->unloadPlugin();
    EXPECT_EQ(count({name + " Close "}), 0u);
    EXPECT_EQ(count({name + " Unload "}), 1u);
  }

  // A record without library finds no Open either; the new text replaces the old.
  PluginPtr failed = Plugin::loadPlugin(dir / "absent.so", &refusingPost, kIdentity);
  failed->openPlugin();
  EXPECT_EQ(failed->loadCode, 79);
  EXPECT_EQ(failed->openCode, -102);
  EXPECT_EQ(failed->errorText, "missing Open()/Close()");
}

TEST_F(PluginObject, WorkerAndReaderThreadsStartOnceAndEndBeforeUnload) {
  PluginPtr p = load("tp_full", "threads.so", {{"dumpRecords", "1"}, {"worker", "1"}, {"reader", "1"}});
  p->ProvideWorkerThreadIf();
  p->ProvideWorkerThreadIf();
  p->openPlugin();
  p->StartAsyncReaderIf();
  p->ProvideWorkerThreadIf();
  ASSERT_TRUE(eventually([&] { return count({"threads.so Read "}) >= 1 && count({"threads.so IOCTL code=1"}) >= 1; }));

  const auto worker = lines({"threads.so IOCTL code=1"});
  ASSERT_EQ(worker.size(), 1u);
  EXPECT_NE(worker[0].find("outcode=1 length=0 thread=other version=1 outversion=1"), std::string::npos) << worker[0];
  auto [ioctlIn, ioctlOut] = lastRecords("IOCTL");
  IoctlIn expectedIoctl = zeroed<IoctlIn>();
  expectedIoctl.code = 1;
  IoctlOut expectedIoctlOut = zeroed<IoctlOut>();
  expectedIoctlOut.code = 1;
  expectSameBytes(recordFromHex<IoctlIn>(ioctlIn), expectedIoctl, "IoctlIn code 1");
  expectSameBytes(recordFromHex<IoctlOut>(ioctlOut), expectedIoctlOut, "IoctlOut code 1");

  const auto reader = lines({"threads.so Read "});
  ASSERT_EQ(reader.size(), 1u);
  EXPECT_NE(reader[0].find("mode=1 length=0 payload=null req=0x0 second=null thread=other"), std::string::npos)
      << reader[0];
  ReadIn expectedRead = zeroed<ReadIn>();
  expectedRead.mode = 1;
  expectSameBytes(recordFromHex<ReadIn>(lastRecords("Read").first), expectedRead, "ReadIn of the reader thread");

  p->closePlugin();
  p->unloadPlugin();
  EXPECT_EQ(count({"threads.so IOCTL code=1"}), 1u);
  EXPECT_EQ(count({"threads.so Read "}), 1u);
  ASSERT_GE(position("threads.so worker-end"), 0);
  ASSERT_GE(position("threads.so reader-end"), 0);
  EXPECT_LT(position("threads.so worker-end"), position("threads.so Unload "));
  EXPECT_LT(position("threads.so reader-end"), position("threads.so Unload "));

  // Without IOCTL or Read there is nothing to run; without the wish no thread.
  PluginPtr unable = load("tp_basic", "unable.so", {{"worker", "1"}, {"reader", "1"}});
  PluginPtr unwilling = load("tp_full", "unwilling.so");
  for (const PluginPtr& q : {unable, unwilling}) {
    q->ProvideWorkerThreadIf();
    q->openPlugin();
    EXPECT_FALSE(q->workerThread.joinable()) << q->fileName;
    EXPECT_FALSE(q->readerThread.joinable()) << q->fileName;
  }
}

TEST_F(PluginObject, EventsGoToOnEventElseConfigToIoctlElseToWrite) {
  const EventParms alarm = alarmEvent("alarm text");
  const EventParms config = configEvent("<Config/>");

  // OnEvent wins over Write and over IOCTL; its answer is the keep flag.
  PluginPtr both = load("tp_full", "both.so", {{"acceptsWrite", "1"}, {"keep", "1"}});
  both->openPlugin();
  EXPECT_TRUE(both->deliverEvent(alarm));
  EXPECT_TRUE(both->deliverEvent(config));
  EXPECT_EQ(count({"both.so OnEvent type=0x4 ", "payload='alarm text'"}), 1u);
  EXPECT_EQ(count({"both.so OnEvent type=0x100 "}), 1u);
  EXPECT_EQ(count({"both.so Write"}), 0u);
  EXPECT_EQ(count({"both.so IOCTL code=2"}), 0u);
  both->closePlugin();
  EXPECT_FALSE(both->deliverEvent(alarm)) << "a closed plug-in gets no events";
  EXPECT_EQ(count({"both.so OnEvent type=0x4 "}), 1u);

  // Without OnEvent: Write with a copy of the event, for every type but config.
  PluginPtr writer = load("tp_write", "writer.so", {{"acceptsWrite", "1"}, {"keep", "1"}, {"dumpRecords", "1"}});
  writer->openPlugin();
  EXPECT_TRUE(writer->deliverEvent(alarm));
  auto [writeIn, writeOut] = lastRecords("Write");
  WriteIn expectedWrite = zeroed<WriteIn>();
  std::memcpy(&expectedWrite.length, &alarm.length, sizeof(EventParms) - offsetof(EventParms, length));
  expectSameBytes(recordFromHex<WriteIn>(writeIn), expectedWrite, "WriteIn");
  expectSameBytes(recordFromHex<WriteOut>(writeOut), zeroed<WriteOut>(), "WriteOut");

  EXPECT_TRUE(writer->deliverEvent(config));
  EXPECT_EQ(count({"writer.so Write"}), 1u) << "a config event never falls through to Write";
  auto [configIn, configOut] = lastRecords("IOCTL");
  IoctlIn expectedConfig = zeroed<IoctlIn>();
  expectedConfig.code = 2;
  expectedConfig.argumentLength = config.length;
  expectedConfig.argument = config.payload;
  expectSameBytes(recordFromHex<IoctlIn>(configIn), expectedConfig, "IoctlIn code 2");
  IoctlOut expectedConfigOut = zeroed<IoctlOut>();
  expectedConfigOut.code = 2;
  expectSameBytes(recordFromHex<IoctlOut>(configOut), expectedConfigOut, "IoctlOut code 2");

  // Only the exact config type goes to IOCTL.
  const EventParms modifiedConfig = configEvent("<Config/>", DVR_TYPE_CONFIG | DVR_TYPE_MODIFIER);
  EXPECT_TRUE(writer->deliverEvent(modifiedConfig));
  EXPECT_EQ(count({"writer.so Write", "type=0x4100"}), 1u);

  // A closed plug-in keeps IOCTL: config events still reach it, others do not.
  writer->closePlugin();
  EXPECT_FALSE(writer->deliverEvent(alarm));
  EXPECT_TRUE(writer->deliverEvent(config));
  EXPECT_EQ(count({"writer.so Write"}), 2u);
  EXPECT_EQ(count({"writer.so IOCTL code=2"}), 2u);

  // Write without acceptsWrite is never called; the keep answer defaults to no.
  PluginPtr unwilling = load("tp_write", "unwilling.so");
  unwilling->openPlugin();
  EXPECT_FALSE(unwilling->deliverEvent(alarm));
  EXPECT_FALSE(unwilling->deliverEvent(config));
  EXPECT_EQ(count({"unwilling.so Write"}), 0u);
  EXPECT_EQ(count({"unwilling.so IOCTL code=2"}), 1u);

  // Neither OnEvent nor IOCTL: config events go nowhere.
  PluginPtr reader = load("tp_read", "reader.so");
  reader->openPlugin();
  EXPECT_FALSE(reader->deliverEvent(config));
  EXPECT_EQ(count({"reader.so IOCTL"}), 0u);
}

TEST_F(PluginObject, SearchRequestsGoToOnSearchElseToReadOfAnAsyncReader) {
  EventParms request = alarmEvent("find me");
  request.requestId = 0x250007;

  PluginPtr searcher = load("tp_full", "searcher.so", {{"reader", "1"}});
  searcher->openPlugin();
  searcher->deliverSearch(request);
  EXPECT_EQ(count({"searcher.so OnSearch ", "req=0x250007", "payload='find me'"}), 1u);
  EXPECT_EQ(count({"searcher.so Read ", "req=0x250007"}), 0u);

  PluginPtr reader = load("tp_read", "reader.so", {{"reader", "1"}, {"dumpRecords", "1"}});
  reader->openPlugin();
  ASSERT_TRUE(eventually([&] { return count({"reader.so Read ", "req=0x0"}) == 1; }));
  reader->deliverSearch(request);
  const auto searches = lines({"reader.so Read ", "req=0x250007"});
  ASSERT_EQ(searches.size(), 1u);
  EXPECT_NE(searches[0].find("mode=1 length=7 payload='find me' req=0x250007 second=null thread=main"),
            std::string::npos)
      << searches[0];
  ReadIn expected = zeroed<ReadIn>();
  expected.mode = 1;
  expected.length = request.length;
  expected.payload = request.payload;
  expected.requestId = request.requestId;
  expectSameBytes(recordFromHex<ReadIn>(lastRecords("Read").first), expected, "ReadIn of a search");

  // A closed plug-in takes no more searches.
  searcher->closePlugin();
  searcher->deliverSearch(request);
  EXPECT_EQ(count({"searcher.so OnSearch "}), 1u);

  // Read without the async reader wish takes no searches.
  PluginPtr plain = load("tp_read", "plain.so");
  plain->openPlugin();
  plain->deliverSearch(request);
  EXPECT_EQ(count({"plain.so Read"}), 0u);
}

TEST_F(PluginObject, ClosingWaitsForSearchesStillRunningAfterClose) {
  PluginPtr p = load("tp_full", "long.so", {{"searchUntilClosed", "1"}});
  p->openPlugin();
  const EventParms request = alarmEvent("long");
  std::thread search([p, &request] { p->deliverSearch(request); });
  ASSERT_TRUE(eventually([&] { return count({"long.so OnSearch "}) == 1; }));
  p->closePlugin();
  // When closePlugin returns no search thread is inside the library any more.
  EXPECT_GE(position("long.so search-end"), 0);
  EXPECT_GT(position("long.so search-end"), position("long.so Close "));
  search.join();
}

TEST_F(PluginObject, DaemonPacketsGoToOnIpcResultElseIoctlUntilUnload) {
  std::string packet(16, '\0');
  const uint32_t header[4] = {20, 0x300000, 50, 0};
  std::memcpy(packet.data(), header, sizeof header);
  packet += "ping";

  PluginPtr direct = load("tp_full", "direct.so");
  direct->openPlugin();
  direct->deliverIpcResult(20, packet.data());
  EXPECT_EQ(count({"direct.so ipc length=20 kind=50 thread=main payload='ping'"}), 1u);
  EXPECT_EQ(count({"direct.so IOCTL code=4"}), 0u);

  PluginPtr viaIoctl = load("tp_ioctl", "viaioctl.so", {{"dumpRecords", "1"}});
  viaIoctl->openPlugin();
  viaIoctl->deliverIpcResult(20, packet.data());
  EXPECT_EQ(count({"viaioctl.so IOCTL code=4 ", "length=20"}), 1u);
  IoctlIn expected = zeroed<IoctlIn>();
  expected.code = 4;
  expected.argumentLength = 20;
  expected.argument = packet.data();
  expectSameBytes(recordFromHex<IoctlIn>(lastRecords("IOCTL").first), expected, "IoctlIn code 4");

  // Closed plug-ins still receive packets; unloaded ones do not.
  for (const PluginPtr& p : {direct, viaIoctl}) p->closePlugin();
  direct->deliverIpcResult(20, packet.data());
  viaIoctl->deliverIpcResult(20, packet.data());
  EXPECT_EQ(count({"direct.so ipc "}), 2u);
  EXPECT_EQ(count({"viaioctl.so ipc "}), 2u);
  for (const PluginPtr& p : {direct, viaIoctl}) p->unloadPlugin();
  direct->deliverIpcResult(20, packet.data());
  viaIoctl->deliverIpcResult(20, packet.data());
  EXPECT_EQ(count({"direct.so ipc "}), 2u);
  EXPECT_EQ(count({"viaioctl.so ipc "}), 2u);
}
