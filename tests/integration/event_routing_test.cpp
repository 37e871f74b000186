// Events between real plug-ins in the real executable: who receives what,
// the answers posters get, key-frame admission, re-entrant and concurrent
// posting, and posting once the core stops.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "CoreHarness.h"

using namespace dvrtest;

namespace {

const std::string kLive = "0x2000000";
const std::map<std::string, std::string> kEveryInterest = {
    {"video", kLive}, {"audio", kLive}, {"alarm", kLive}, {"ptz", kLive},
    {"serial", kLive}, {"log", kLive}, {"pos", kLive}, {"analytic", kLive}};

std::map<std::string, std::string> with(std::map<std::string, std::string> settings,
                                        const std::map<std::string, std::string>& more) {
  settings.insert(more.begin(), more.end());
  return settings;
}

class EventRouting : public ::testing::Test {
 protected:
  InstallTree tree;
  std::unique_ptr<CoreProcess> core;

  void start() { core = std::make_unique<CoreProcess>(tree); }
  // Runs a command script inside the plug-in with this id (on the I/O thread).
  void run(uint32_t pluginId, const std::string& script) { core->sendPacket(pluginId, 100, script); }
  // Stops the core once everything sent so far has been handled.
  void stopAndExpectCleanExit() {
    core->stop();
    EXPECT_EQ(core->wait(), 0);
  }
  // The answers of the posts made under `tag`, as "0,0,3,...".
  std::string answers(const std::string& tag, int thread = 0) {
    const auto lines = tree.journalLines({" posted tag=" + tag + " thread=" + std::to_string(thread) + " "});
    if (lines.size() != 1) return "<" + std::to_string(lines.size()) + " lines>";
    return lines[0].substr(lines[0].find("results=") + 8);
  }
  // The plug-ins (by file name) that received the payload "<tag>:0:0".
  std::set<std::string> receiversOf(const std::string& tag) {
    std::set<std::string> receivers;
    for (const std::string& line : tree.journalLines({" OnEvent ", " payload='" + tag + ":0:0'"})) {
      receivers.insert(line.substr(0, line.find(' ')));
    }
    return receivers;
  }
  // Payloads of the events a plug-in received, the core's own documents aside.
  std::vector<std::string> payloadsReceivedBy(const std::string& fileName) {
    std::vector<std::string> payloads;
    for (const std::string& line : tree.journalLines({fileName + " OnEvent "})) {
      // The core's own documents: the module status and the start-up memory alarm.
      if (line.find(" flags=0x1000010 source=0x80000000 ") != std::string::npos) continue;
      payloads.push_back(line.substr(line.find(" payload='") + 10, line.size() - line.find(" payload='") - 11));
    }
    return payloads;
  }
};

using Receivers = std::set<std::string>;

}  // namespace

TEST_F(EventRouting, EachTypeReachesThePluginsItsInterestAndOriginRulesName) {
  tree.addPlugin("tp_basic", "cam.so",
                 {{"id", "0x50000"}, {"video", kLive}, {"audio", kLive}, {"alarm", kLive}, {"log", kLive},
                  {"analytic", kLive}});
  tree.addPlugin("tp_basic", "rec.so", with(kEveryInterest, {{"id", "0x60000"}}));
  tree.addPlugin("tp_basic", "deaf.so", {{"id", "0x70000"}});
  tree.addPlugin("tp_basic", "zero.so", kEveryInterest);  // declares no id word: plug-in id 0
  tree.addPlugin("tp_basic", "anon.so", with(kEveryInterest, {{"id", "none"}}));
  start();
  const std::vector<std::pair<std::string, std::string>> posts = {
      {"alarm", "type=4 source=0x50000"},
      {"video", "type=1 source=0x50000 kind=1"},
      {"videoout", "type=1 source=0x50000 kind=1 fflags=0x20"},
      {"videomod", "type=0x4001 source=0x50000 kind=1"},
      {"corevideo", "type=1 source=0x80000000 kind=1"},
      {"corevideoout", "type=1 source=0x80000000 kind=1 fflags=0x20"},
      {"audio", "type=2 source=0x50000"},
      {"audioout", "type=2 source=0x50000 fflags=0x20"},
      {"audiomod", "type=0x4002 source=0x50000"},
      {"dog5", "type=32 flags=0 source=0x50000"},
      {"dog6", "type=32 flags=0 source=0x60003"},
      {"dogcore", "type=32 flags=0 source=0x80000000"},
      {"dogzero", "type=32 flags=0 source=0x0"},
      {"log", "type=64 flags=0x1000002 source=0x50000 param=50"},
      {"config0", "type=256 flags=0x1000010 source=0x50000"},
      {"config1", "type=256 flags=0x1000010 source=0x50000 param=1"},
      {"analytic0", "type=0x10000 flags=0x1000010 source=0x50000"},
      {"analytic1", "type=0x10000 flags=0x1000010 source=0x50000 param=1"},
      {"ptz", "type=8 source=0x50000"},
      {"serial", "type=16 source=0x50000"},
      {"pos", "type=1024 source=0x50000"},
      {"unspecified", "type=0 source=0x50000"},
      {"unknown", "type=0x80 source=0x50000"},
  };
  std::string script;
  for (const auto& [tag, words] : posts) script += "post " + words + " tag=" + tag + "\n";
  run(5, script);
  stopAndExpectCleanExit();

  for (const auto& [tag, words] : posts) EXPECT_EQ(answers(tag), "0") << tag;
  const Receivers all = {"cam.so", "rec.so", "zero.so", "anon.so"};
  const Receivers others = {"rec.so", "zero.so", "anon.so"};
  EXPECT_EQ(receiversOf("alarm"), all);
  EXPECT_EQ(receiversOf("video"), others);
  EXPECT_EQ(receiversOf("videoout"), all);
  EXPECT_EQ(receiversOf("videomod"), (Receivers{"cam.so", "rec.so", "anon.so"}));
  EXPECT_EQ(receiversOf("corevideo"), (Receivers{"cam.so", "rec.so", "zero.so"}));
  EXPECT_EQ(receiversOf("corevideoout"), all);
  EXPECT_EQ(receiversOf("audio"), others);
  EXPECT_EQ(receiversOf("audioout"), all);
  EXPECT_EQ(receiversOf("audiomod"), (Receivers{"cam.so", "rec.so", "anon.so"}));
  EXPECT_EQ(receiversOf("dog5"), Receivers{"cam.so"});
  EXPECT_EQ(receiversOf("dog6"), Receivers{"rec.so"});
  EXPECT_EQ(receiversOf("dogcore"), Receivers{"anon.so"});
  EXPECT_EQ(receiversOf("dogzero"), Receivers{"zero.so"});
  EXPECT_EQ(receiversOf("log"), others);
  EXPECT_EQ(receiversOf("config0"), (Receivers{"rec.so", "deaf.so", "zero.so", "anon.so"}));
  EXPECT_EQ(receiversOf("config1"), (Receivers{"cam.so", "rec.so", "deaf.so", "zero.so", "anon.so"}));
  EXPECT_EQ(receiversOf("analytic0"), others);
  EXPECT_EQ(receiversOf("analytic1"), all);
  EXPECT_EQ(receiversOf("ptz"), others);
  EXPECT_EQ(receiversOf("serial"), others);
  EXPECT_EQ(receiversOf("pos"), others);
  EXPECT_EQ(receiversOf("unspecified"), Receivers{});
  EXPECT_EQ(receiversOf("unknown"), Receivers{});
  // Delivery happens on the dispatch thread, which is the main thread.
  EXPECT_TRUE(tree.journalLines({" OnEvent ", "thread=other"}).empty());
}

TEST_F(EventRouting, LiveVideoIsAdmittedFromAKeyFrameAndCutFromThe765thFrameAfterIt) {
  tree.addPlugin("tp_basic", "cam.so", {{"id", "0x50000"}});
  tree.addPlugin("tp_basic", "rec.so", {{"id", "0x60000"}, {"video", kLive}});
  start();
  run(5,
      "post type=1 source=0x50000 kind=0 tag=waiting\n"
      "post type=1 source=0x50000 kind=1 tag=key\n"
      "post type=1 source=0x50000 kind=0 count=766 tag=frames\n"
      "post type=1 source=0x50000 kind=5 tag=key5\n"
      "post type=1 source=0x50000 kind=2 tag=kind2\n"
      "post type=1 source=0x50005 kind=3 tag=other\n");
  stopAndExpectCleanExit();

  EXPECT_EQ(answers("waiting"), "3");
  EXPECT_EQ(answers("key"), "0");
  std::string expected;
  for (int i = 0; i < 764; ++i) expected += "0,";
  EXPECT_EQ(answers("frames"), expected + "4,4");
  EXPECT_EQ(answers("key5"), "0");
  EXPECT_EQ(answers("kind2"), "0");
  EXPECT_EQ(answers("other"), "3");

  const auto received = payloadsReceivedBy("rec.so");
  ASSERT_EQ(received.size(), 1u + 764u + 2u);
  EXPECT_EQ(received.front(), "key:0:0");
  EXPECT_EQ(received[764], "frames:0:763");
  EXPECT_EQ(received[765], "key5:0:0");
  EXPECT_EQ(received.back(), "kind2:0:0");
}

TEST_F(EventRouting, APluginPostingFromInsideItsEventCallDoesNotBlockTheCore) {
  tree.addPlugin("tp_basic", "relay.so",
                 {{"id", "0x50000"}, {"alarm", kLive}, {"onEventType", "4"}, {"onEvent", "post type=8 source=0x50000 tag=relayed"}});
  tree.addPlugin("tp_basic", "sink.so", {{"id", "0x60000"}, {"ptz", kLive}});
  // Without the memory watch's start-up alarm, the trigger is the only alarm to relay.
  tree.writeFile("work/core.xml", R"(<?xml version="1.0"?><kDVR><Memory Throttling="0"/></kDVR>)");
  start();
  run(6, "post type=4 source=0x60000 tag=trigger");
  // Stopping earlier would refuse the relayed event.
  EXPECT_TRUE(eventually([&] { return !tree.journalLines({"sink.so OnEvent "}).empty(); }));
  stopAndExpectCleanExit();

  EXPECT_EQ(answers("relayed"), "0");
  EXPECT_EQ(tree.journalLines({"sink.so OnEvent type=0x8 ", "thread=main", "payload='relayed:0:0'"}).size(), 1u);
}

TEST_F(EventRouting, EventsPostedByFourThreadsAtOnceAllArriveInPerThreadOrder) {
  constexpr int kThreads = 4, kEach = 500;
  tree.addPlugin("tp_basic", "cam.so", {{"id", "0x50000"}});
  tree.addPlugin("tp_basic", "rec.so", {{"id", "0x60000"}, {"alarm", kLive}});
  start();
  run(5, "post type=4 source=0x50000 count=500 threads=4 tag=burst");
  stopAndExpectCleanExit();

  for (int t = 0; t < kThreads; ++t) {
    const std::string all = answers("burst", t);
    EXPECT_EQ(all.size(), 2u * kEach - 1) << t;
    EXPECT_EQ(all.find_first_not_of("0,"), std::string::npos) << t;
  }
  std::vector<int> next(kThreads, 0);
  for (const std::string& payload : payloadsReceivedBy("rec.so")) {
    const int t = std::stoi(payload.substr(6, 1));
    EXPECT_EQ(std::stoi(payload.substr(8)), next[t]) << payload;
    next[t]++;
  }
  EXPECT_EQ(next, std::vector<int>(kThreads, kEach));
}

TEST_F(EventRouting, OnceStoppingQueuedEventsAreRefusedWhileCancelAndQueriesAreStillAnswered) {
  tree.addLogPlugin();
  tree.addPlugin("tp_basic", "cam.so",
                 {{"id", "0x50000"},
                  {"onClose",
                   "post type=4 source=0x50000 tag=late;"
                   "post type=0x1000 flags=0 req=0x77 nopayload tag=cancel;"
                   "query type=0x1000 req=0x77;"
                   "query type=0x1000 req=0x78;"
                   "query type=64;"
                   "post type=64 flags=0x1000002 source=0x50000 param=50 tag=bye text=closing words"}});
  tree.addPlugin("tp_basic", "rec.so", {{"id", "0x60000"}, {"alarm", kLive}});
  start();
  stopAndExpectCleanExit();

  EXPECT_EQ(answers("late"), "1");
  EXPECT_EQ(answers("cancel"), "0");
  EXPECT_EQ(answers("bye"), "1");
  std::vector<std::string> queries;
  for (const std::string& line : tree.journalLines({"cam.so query result="})) queries.push_back(line.substr(20));
  EXPECT_EQ(queries, (std::vector<std::string>{"1", "0", "25"}));
  EXPECT_TRUE(payloadsReceivedBy("rec.so").empty());
  // The refused log line still reached the console and, directly, the log plug-in.
  EXPECT_EQ(linesWith(core->output(), "\x1b[36m cam\x1b[0m closing words").size(), 1u);
  std::ifstream logFile(tree.workDir() / "dvrcore.log");
  std::string contents((std::istreambuf_iterator<char>(logFile)), std::istreambuf_iterator<char>());
  EXPECT_EQ(linesWith(contents, " 50 05 closing words").size(), 1u);
}

TEST_F(EventRouting, EverySlowDeliveryIsReportedWithItsPluginAndNoQuickOneIs) {
  // The first slow deliveries are timed while the core still measures its
  // clock against the processor's counter; the others after. (The core's own
  // start-up alarm is slow for it too.)
  tree.addPlugin("tp_basic", "fast.so", {{"id", "0x50000"}, {"alarm", kLive}});
  tree.addPlugin("tp_basic", "slow.so",
                 {{"id", "0x60000"}, {"alarm", kLive}, {"onEventType", "4"}, {"onEvent", "sleep ms=30"}});
  // The report is at level 0: the core's console threshold must let it through.
  tree.writeFile("work/core.xml",
                 "<?xml?><kDVR><Modules><Module><Plugin ID=\"-2147483648\" LogLevel=\"0\"/></Module></Modules></kDVR>");
  start();
  run(5, "post type=4 source=0x50005 count=4 text=abc\n");
  ASSERT_TRUE(core->waitForOutput("alarm event from fast", 20s));
  stopAndExpectCleanExit();

  const std::string output = core->output();
  const std::regex slow(R"(slow took (\d+)ms for alarm event from fast \[3\])");
  int reports = 0;
  for (auto it = std::sregex_iterator(output.begin(), output.end(), slow); it != std::sregex_iterator(); ++it) {
    ++reports;
    const int ms = std::stoi((*it)[1]);
    EXPECT_GE(ms, 30);
    EXPECT_LT(ms, 10'000);
  }
  EXPECT_EQ(reports, 4) << output;
  EXPECT_EQ(output.find("fast took"), std::string::npos) << output;
}
