// Searches between real plug-ins in the real executable: who serves a
// request and on which thread, where the answers go, cancels, the one
// payload a provider may run ahead, and searches at shutdown.
#include <gtest/gtest.h>

#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "CoreHarness.h"

using namespace dvrtest;

namespace {

const std::string kLive = "0x2000000";
const std::string kStored = "0x4000000";
const std::map<std::string, std::string> kEveryInterest = {
    {"video", kLive}, {"audio", kLive}, {"alarm", kLive}, {"ptz", kLive},
    {"serial", kLive}, {"log", kLive}, {"pos", kLive}, {"analytic", kLive}};

std::map<std::string, std::string> with(std::map<std::string, std::string> settings,
                                        const std::map<std::string, std::string>& more) {
  for (const auto& [key, value] : more) settings[key] = value;
  return settings;
}

// A command script as the hex payload of a post, so that its separators
// survive the script that carries it.
std::string hexOf(const std::string& text) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : text) {
    hex += digits[c >> 4];
    hex += digits[c & 0xF];
  }
  return hex;
}

// What a provider posts as one stored video answer to the request it serves.
std::string answer(const std::string& source, const std::string& tag, const std::string& more = "") {
  return "post type=1 flags=0x4000000 source=" + source + " req=search kind=1 tag=" + tag + (more.empty() ? "" : " " + more);
}

class Search : public ::testing::Test {
 protected:
  InstallTree tree;
  std::unique_ptr<CoreProcess> core;

  // The requester: plug-in 5, with no interest in live events unless told.
  void addRequester(const std::map<std::string, std::string>& more = {}) {
    tree.addPlugin("tp_basic", "req.so", with({{"id", "0x50000"}}, more));
  }
  void start() { core = std::make_unique<CoreProcess>(tree); }
  void run(uint32_t pluginId, const std::string& script) { core->sendPacket(pluginId, 100, script); }
  // Plug-in 5 posts a search request whose payload is `script`, which
  // providers with searchRunsPayload=1 run on their search thread.
  void request(const std::string& requestId, const std::string& script, const std::string& tag = "request") {
    run(5, "post type=1 flags=0x4000000 source=0x0 req=" + requestId + " hex=" + hexOf(script) + " tag=" + tag);
  }
  bool journalHas(const std::vector<std::string>& parts, size_t count = 1) {
    return eventually([&] { return tree.journalLines(parts).size() >= count; });
  }
  // The answers of the posts made under `tag`, as "0,0,1,...".
  std::string answers(const std::string& tag) {
    const auto lines = tree.journalLines({" posted tag=" + tag + " thread=0 "});
    if (lines.size() != 1) return "<" + std::to_string(lines.size()) + " lines>";
    return lines[0].substr(lines[0].find("results=") + 8);
  }
  // The plug-ins (by file name) whose OnEvent saw the payload.
  std::set<std::string> receiversOf(const std::string& payload) {
    std::set<std::string> receivers;
    for (const std::string& line : tree.journalLines({" OnEvent ", " payload='" + payload + "'"})) {
      receivers.insert(line.substr(0, line.find(' ')));
    }
    return receivers;
  }
  std::string field(const std::string& line, const std::string& name) {
    const auto at = line.find(" " + name + "=");
    if (at == std::string::npos) return "";
    const auto begin = at + name.size() + 2;
    return line.substr(begin, line.find(' ', begin) - begin);
  }
  void TearDown() override {
    if (HasFailure()) {
      for (const std::string& line : tree.journal()) std::cerr << line << "\n";
    }
  }
  void stopAndExpectCleanExit() {
    core->stop();
    EXPECT_EQ(core->wait(), 0);
  }
};

using Receivers = std::set<std::string>;

}  // namespace

TEST_F(Search, ARequestReachesEveryProviderOnItsOwnThreadAndItsAnswersOnlyTheRequester) {
  addRequester(kEveryInterest);
  tree.addPlugin("tp_full", "p6.so", {{"id", "0x60000"}, {"onSearch", answer("0x60000", "ans6")}});
  tree.addPlugin("tp_read", "p7.so",
                 {{"id", "0x70000"}, {"reader", "1"}, {"audio", kStored}, {"onSearch", answer("0x70000", "ans7")}});
  // Reads asynchronously but declares no stored events: not a provider.
  tree.addPlugin("tp_read", "live.so", {{"id", "0x80000"}, {"reader", "1"}, {"video", kLive}});
  // Wants everything, live and stored, but is not the requester.
  tree.addPlugin("tp_basic", "watch.so",
                 with(kEveryInterest, {{"id", "0x90000"}, {"video", "0x6000000"}, {"audio", "0x6000000"}}));
  start();
  run(5, "post type=1 flags=0x4000000 source=0x0 req=0x00050001 tag=request text=find");
  ASSERT_TRUE(journalHas({"search-return req=0x50001"}, 2));
  ASSERT_TRUE(journalHas({"req.so OnEvent ", "payload='ans"}, 2));
  // Posted from any thread that is not a running search thread, an answer is refused.
  run(5,
      "post type=1 flags=0x4000000 source=0x30000 req=0x00050001 tag=stray\n"
      "post type=1 flags=0x4000000 source=0x80000000 req=0x00050001 tag=corestray\n"
      "post type=1 flags=0x4000000 source=0x0 req=0x00050002 nopayload=1 tag=empty\n");
  ASSERT_TRUE(journalHas({"posted tag=empty "}));
  stopAndExpectCleanExit();

  EXPECT_EQ(answers("request"), "0");
  EXPECT_EQ(answers("ans6"), "0");
  EXPECT_EQ(answers("ans7"), "0");
  EXPECT_EQ(answers("stray"), "1");
  EXPECT_EQ(answers("corestray"), "1");
  EXPECT_EQ(answers("empty"), "0");

  // OnSearch with the request record; Read with its length, payload and id.
  const auto onSearch = tree.journalLines({"p6.so OnSearch ", "req=0x50001"});
  ASSERT_EQ(onSearch.size(), 1u);
  EXPECT_EQ(field(onSearch[0], "source"), "0x0");
  EXPECT_EQ(field(onSearch[0], "type"), "0x1");
  EXPECT_EQ(field(onSearch[0], "flags"), "0x4000000");
  EXPECT_EQ(field(onSearch[0], "thread"), "other");
  EXPECT_NE(onSearch[0].find("length=4 "), std::string::npos);
  EXPECT_NE(onSearch[0].find("payload='find'"), std::string::npos);
  const auto read = tree.journalLines({"p7.so Read ", "req=0x50001"});
  ASSERT_EQ(read.size(), 1u);
  EXPECT_NE(read[0].find("mode=1 length=4 payload='find' req=0x50001 second=null thread=other"), std::string::npos);
  // Each provider on a thread of its own.
  const auto p6Return = tree.journalLines({"p6.so search-return req=0x50001"});
  const auto p7Return = tree.journalLines({"p7.so search-return req=0x50001"});
  ASSERT_EQ(p6Return.size(), 1u);
  ASSERT_EQ(p7Return.size(), 1u);
  EXPECT_EQ(field(p6Return[0], "tid"), field(onSearch[0], "tid"));
  EXPECT_NE(field(p6Return[0], "tid"), field(p7Return[0], "tid"));
  EXPECT_EQ(tree.journalLines({"live.so Read ", "req=0x50001"}).size(), 0u);
  EXPECT_EQ(tree.journalLines({"Read ", "req=0x50002"}).size(), 0u);
  EXPECT_EQ(tree.journalLines({"OnSearch ", "req=0x50002"}).size(), 0u);

  // The answers reach plug-in 5 only, as stored events with their request id.
  EXPECT_EQ(receiversOf("ans6:0:0"), Receivers{"req.so"});
  EXPECT_EQ(receiversOf("ans7:0:0"), Receivers{"req.so"});
  const auto delivered = tree.journalLines({"req.so OnEvent ", "payload='ans6:0:0'"});
  ASSERT_EQ(delivered.size(), 1u);
  EXPECT_EQ(field(delivered[0], "req"), "0x50001");
  EXPECT_EQ(field(delivered[0], "source"), "0x60000");
  EXPECT_EQ(field(delivered[0], "flags"), "0x4000000");
  // The request itself is not an event anybody receives.
  EXPECT_EQ(receiversOf("find"), Receivers{});
}

TEST_F(Search, ACancelRefusesTheAnswersUntilTheIdIsUsedAgain) {
  addRequester();
  tree.addPlugin("tp_full", "p6.so", {{"id", "0x60000"}, {"searchRunsPayload", "1"}});
  start();
  request("0x00050001",
          "journal text=searching;waitfor ms=60000 file=go-on;" + answer("0x60000", "late") +
              ";query type=0x1000 req=search;journal text=first-done");
  ASSERT_TRUE(journalHas({"p6.so note searching"}));
  run(5,
      "query type=0x1000 req=0x00050001\n"
      "post type=0x1000 flags=0 req=0x00050001 nopayload=1 tag=cancel\n"
      "query type=0x1000 req=0x00050001\n"
      "query type=0x1000 req=0x00050009\n"
      "journal text=cancelled\n");
  ASSERT_TRUE(journalHas({"req.so note cancelled"}));
  tree.writeFile("work/go-on", "");
  ASSERT_TRUE(journalHas({"p6.so note first-done"}));
  EXPECT_EQ(answers("cancel"), "0");
  EXPECT_EQ(answers("late"), "1");

  // Used again, the id starts uncancelled.
  request("0x00050001", answer("0x60000", "again") + ";query type=0x1000 req=search", "again-request");
  ASSERT_TRUE(journalHas({"req.so OnEvent ", "payload='again:0:0'"}));
  stopAndExpectCleanExit();

  EXPECT_EQ(answers("again"), "0");
  std::vector<std::string> queries;
  for (const std::string& line : tree.journalLines({" query result="})) {
    queries.push_back(line.substr(0, line.find(' ')) + " " + field(line, "result"));
  }
  // Before the cancel, after it, an id never cancelled; the provider asking
  // after the cancel, and after the id was used again.
  EXPECT_EQ(queries, (std::vector<std::string>{"req.so 0", "req.so 1", "req.so 0", "p6.so 1", "p6.so 0"}));
  EXPECT_TRUE(tree.journalLines({"OnEvent ", "payload='late:0:0'"}).empty());
}

TEST_F(Search, AnswersWithAPayloadWaitForThePreviousOneWhileAnswersWithoutPayloadGoOn) {
  addRequester({{"keep", "1"}, {"keepType", "1"}});
  tree.addPlugin("tp_full", "p6.so", {{"id", "0x60000"}, {"searchRunsPayload", "1"}});
  tree.addPlugin("tp_basic", "other.so", {{"id", "0x70000"}});
  start();
  request("0x00050001", answer("0x60000", "first") + ";" + answer("0x60000", "bare", "nopayload=1 count=3") +
                            ";journal text=bare-returned;" + answer("0x60000", "second") +
                            ";journal text=second-returned");
  // The receiver keeps the first payload; answers without payload pass it.
  ASSERT_TRUE(journalHas({"p6.so note bare-returned"}));
  ASSERT_TRUE(journalHas({"req.so OnEvent ", "req=0x50001", "length=0 "}, 3));
  ASSERT_TRUE(journalHas({"req.so OnEvent ", "payload='first:0:0'"}));
  // Nothing else stalls: a live event goes through the dispatch loop.
  run(7, "post type=32 flags=0 source=0x70000 tag=alive");
  ASSERT_TRUE(journalHas({"other.so OnEvent ", "payload='alive:0:0'"}));
  EXPECT_TRUE(tree.journalLines({"p6.so note second-returned"}).empty());
  EXPECT_TRUE(tree.journalLines({"OnEvent ", "payload='second:0:0'"}).empty());

  // Given back, the first payload lets the second answer through.
  run(5, "decref");
  ASSERT_TRUE(journalHas({"req.so OnEvent ", "payload='second:0:0'"}));
  ASSERT_TRUE(journalHas({"p6.so note second-returned"}));
  // (The receiver journals the command before it runs it.)
  EXPECT_LT(tree.journalPosition({"req.so ipc ", "payload='decref'"}),
            tree.journalPosition({"p6.so note second-returned"}));
  EXPECT_EQ(answers("first"), "0");
  EXPECT_EQ(answers("bare"), "0,0,0");
  EXPECT_EQ(answers("second"), "0");
  run(5, "decref");
  ASSERT_TRUE(journalHas({"req.so decref count=1 "}, 2));
  stopAndExpectCleanExit();
}

TEST_F(Search, AProviderWaitingForAKeptPayloadHoldsUpNothingElseAndIsReleasedByACancelOrTheStop) {
  addRequester({{"keep", "1"}});  // keeps every answer and never gives one back
  tree.addPlugin("tp_full", "p6.so", {{"id", "0x60000"}, {"searchRunsPayload", "1"}});
  start();
  auto script = [](const std::string& name) {
    return answer("0x60000", name + "-first") + ";journal text=waiting-" + name + ";" +
           answer("0x60000", name + "-second") + ";journal text=returned-" + name;
  };
  request("0x00050001", script("a"), "request-a");
  ASSERT_TRUE(journalHas({"req.so OnEvent ", "payload='a-first:0:0'"}));
  ASSERT_TRUE(journalHas({"p6.so note waiting-a"}));
  // While that provider waits, another search goes on.
  request("0x00050002", script("b"), "request-b");
  ASSERT_TRUE(journalHas({"req.so OnEvent ", "payload='b-first:0:0'"}));
  ASSERT_TRUE(journalHas({"p6.so note waiting-b"}));

  run(5, "post type=0x1000 flags=0 req=0x00050001 nopayload=1 tag=cancel");
  ASSERT_TRUE(journalHas({"p6.so note returned-a"}));
  EXPECT_EQ(answers("a-second"), "1");
  EXPECT_TRUE(tree.journalLines({"p6.so note returned-b"}).empty());

  // The stop ends the other wait.
  stopAndExpectCleanExit();
  EXPECT_EQ(answers("b-second"), "1");
  EXPECT_TRUE(tree.journalLines({"OnEvent ", "-second:0:0'"}).empty());
  EXPECT_LT(tree.journalPosition({"search-return req=0x50002"}), tree.journalPosition({"p6.so Unload "}));
}

TEST_F(Search, OnlyTheSearchThreadItselfMayAnswerAndItsOwnRequestsStartNothing) {
  addRequester();
  tree.addPlugin("tp_full", "p6.so", {{"id", "0x60000"}, {"searchRunsPayload", "1"}});
  start();
  request("0x00050001",
          "background post type=1 flags=0x4000000 source=0x60000 req=0x00050001 kind=1 tag=elsewhere;"
          "waitfor ms=60000 text=posted tag=elsewhere;"
              "post type=1 flags=0x4000000 source=0x0 req=0x00050003 tag=nested text=nested;" +
              answer("0x60000", "own"));
  ASSERT_TRUE(journalHas({"search-return req=0x50001"}));
  ASSERT_TRUE(journalHas({"req.so OnEvent ", "payload='own:0:0'"}));
  stopAndExpectCleanExit();
  EXPECT_EQ(answers("elsewhere"), "1");
  EXPECT_EQ(answers("nested"), "0");
  EXPECT_EQ(answers("own"), "0");
  EXPECT_TRUE(tree.journalLines({"OnSearch ", "req=0x50003"}).empty());
  EXPECT_TRUE(tree.journalLines({"OnEvent ", "payload='nested'"}).empty());
}

TEST_F(Search, ClosingAProviderEndsItsSearchBeforeTheLibraryIsUnloaded) {
  addRequester();
  tree.addPlugin("tp_full", "p6.so", {{"id", "0x60000"}, {"searchUntilClosed", "1"}});
  tree.addPlugin("tp_read", "p7.so", {{"id", "0x70000"}, {"reader", "1"}, {"log", kStored}, {"searchUntilClosed", "1"}});
  start();
  run(5, "post type=64 flags=0x4000000 source=0x0 req=0x00050001 tag=request text=lines");
  ASSERT_TRUE(journalHas({"p6.so OnSearch ", "req=0x50001"}));
  ASSERT_TRUE(journalHas({"p7.so Read ", "req=0x50001"}));
  stopAndExpectCleanExit();
  for (const std::string plugin : {"p6.so", "p7.so"}) {
    const long closed = tree.journalPosition({plugin + " Close "});
    const long ended = tree.journalPosition({plugin + " search-return req=0x50001"});
    const long unloaded = tree.journalPosition({plugin + " Unload "});
    ASSERT_GE(closed, 0) << plugin;
    EXPECT_LT(closed, ended) << plugin;
    EXPECT_LT(ended, unloaded) << plugin;
  }
}
