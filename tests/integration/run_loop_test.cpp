// The running core: stop signals, shutdown order, nothing lost on the way out.
#include <gtest/gtest.h>
#include <signal.h>

#include <map>

#include "CoreHarness.h"

using namespace dvrtest;

namespace {

class RunLoop : public ::testing::Test {
 protected:
  void SetUp() override {
    tree.addPlugin("tp_full", "worker.so", {{"id", "0x120000"}, {"worker", "1"}, {"reader", "1"}});
    tree.addPlugin("tp_basic", "sink.so", {{"id", "0x130000"}, {"alarm", "0x2000000"}});
  }

  InstallTree tree;
};

// The shutdown lines for both plug-ins, in the close order, after the loop.
void expectCleanShutdown(const InstallTree& tree, const std::string& console) {
  const std::string text = stripColours(console);
  const auto closing = text.find("core Closing 12:worker");
  const auto unloading = text.find("core Unloading 13:sink");
  EXPECT_NE(closing, std::string::npos) << text;
  EXPECT_NE(unloading, std::string::npos) << text;
  EXPECT_LT(closing, unloading);
  // Threads are joined before Unload: the worker and reader end first.
  const auto journal = tree.journal();
  auto position = [&](const std::string& part) {
    for (size_t i = 0; i < journal.size(); ++i) {
      if (journal[i].find(part) != std::string::npos) return static_cast<long>(i);
    }
    return -1L;
  };
  EXPECT_GE(position("worker.so worker-end"), 0);
  EXPECT_GE(position("worker.so reader-end"), 0);
  EXPECT_LT(position("worker.so worker-end"), position("worker.so Unload"));
  EXPECT_LT(position("worker.so reader-end"), position("worker.so Unload"));
}

}  // namespace

TEST_F(RunLoop, EachStopSignalEndsWithExitZeroAfterClosingAndUnloading) {
  for (int signalNumber : {SIGTERM, SIGINT, SIGQUIT}) {
    std::filesystem::remove(tree.journalPath());
    CoreProcess core(tree);
    ASSERT_TRUE(core.waitForOutput("Opening 13:sink"));
    core.signal(signalNumber);
    EXPECT_EQ(core.wait(), 0) << "signal " << signalNumber;
    expectCleanShutdown(tree, core.output());
  }
}

TEST_F(RunLoop, ASecondSignalDuringShutdownChangesNothing) {
  // The sink takes its time with the last events, so the second signal
  // arrives while the core is still draining and closing.
  tree.addPlugin("tp_basic", "slow.so",
                 {{"id", "0x140000"}, {"alarm", "0x2000000"}, {"eventDelayMs", "20"},
                  {"onOpen", "post type=4 source=0x140000 count=20 tag=slow"}});
  CoreProcess core(tree);
  ASSERT_TRUE(eventually([&] { return !tree.journalLines({"slow.so posted tag=slow"}).empty(); }));
  core.signal(SIGINT);
  core.signal(SIGINT);
  core.signal(SIGTERM);
  EXPECT_EQ(core.wait(), 0);
  expectCleanShutdown(tree, core.output());
  EXPECT_EQ(tree.journalLines({"sink.so OnEvent", "payload='slow:"}).size(), 20u);
}

TEST_F(RunLoop, EveryEventAcceptedBeforeTheStopIsDelivered) {
  // Four threads post alarms as fast as they can while SIGTERM arrives.
  CoreProcess core(tree);
  ASSERT_TRUE(core.waitForOutput("Opening 13:sink"));
  core.sendPacket(0x12, 100, "background post type=4 source=0x120000 threads=4 count=3000 tag=f");
  ASSERT_TRUE(eventually([&] { return tree.journalLines({"sink.so OnEvent"}).size() > 100; }));
  core.signal(SIGTERM);
  EXPECT_EQ(core.wait(), 0);

  std::map<std::string, int> accepted;
  for (const std::string& line : tree.journalLines({"worker.so posted tag=f"})) {
    const auto thread = line.substr(line.find("thread=") + 7, 1);
    const std::string results = line.substr(line.find("results=") + 8);
    // Accepted answers come first; once the stop is seen every answer is 1.
    int zeros = 0;
    bool refused = false;
    for (size_t at = 0; at < results.size(); at += 2) {
      if (results[at] == '0') {
        EXPECT_FALSE(refused) << "accepted after a refusal: " << line.substr(0, 80);
        ++zeros;
      } else {
        refused = true;
      }
    }
    // A thread may have been too late for any of its events to be accepted.
    if (zeros > 0) accepted["f:" + thread] = zeros;
  }
  EXPECT_EQ(tree.journalLines({"worker.so posted tag=f"}).size(), 4u);

  std::map<std::string, int> delivered;
  for (const std::string& line : tree.journalLines({"sink.so OnEvent", "payload='f:"})) {
    const auto start = line.find("payload='") + 9;
    const std::string payload = line.substr(start, line.size() - start - 1);
    const std::string thread = payload.substr(0, payload.rfind(':'));
    EXPECT_EQ(std::stoi(payload.substr(payload.rfind(':') + 1)), delivered[thread]++) << "out of order";
  }
  EXPECT_EQ(delivered, accepted);
}

TEST_F(RunLoop, WithoutPipeStartUpCompletesThenTheCoreStops) {
  CoreProcess::Options options;
  options.withPipe = false;
  CoreProcess core(tree, options);
  EXPECT_EQ(core.wait(), 0);
  const std::string text = stripColours(core.output());
  EXPECT_NE(text.find("core korvod ipc pipe disconnected"), std::string::npos);
  EXPECT_NE(text.find("core Opening 13:sink"), std::string::npos);
  expectCleanShutdown(tree, core.output());
}
