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

TEST(RunLoopUnderLoad, EveryEventAcceptedBeforeTheStopIsDeliveredExactlyOnceInOrder) {
  // Four threads post 100,000 alarms each as fast as they can while SIGTERM
  // arrives; the receiver checks every payload's thread and sequence number.
  InstallTree tree;
  tree.addPlugin("tp_basic", "poster.so", {{"id", "0x120000"}});
  tree.addPlugin("tp_basic", "count.so", {{"id", "0x130000"}, {"alarm", "0x2000000"}, {"sequence", "1"}, {"quiet", "1"},
                                       {"progressAt", "2000"}});
  CoreProcess core(tree);
  ASSERT_TRUE(core.waitForOutput("Opening 13:count"));
  core.sendPacket(0x12, 100, "background post type=4 source=0x120000 threads=4 count=100000 tag=f summary=1");
  // Well into the posting (the posters outpace the receiver), the stop.
  ASSERT_TRUE(eventually([&] { return !tree.journalLines({"count.so progress delivered=2000"}).empty(); }, 120s));
  core.signal(SIGTERM);
  EXPECT_EQ(core.wait(), 0);

  const auto posted = tree.journalLines({"poster.so posted tag=f"});
  ASSERT_EQ(posted.size(), 4u);
  long total = 0;
  for (const std::string& line : posted) {
    const std::string thread = line.substr(line.find("thread=") + 7, 1);
    SCOPED_TRACE(line);
    // Accepted answers come first; once the stop is seen every answer is 1.
    EXPECT_NE(line.find(" acceptedAfterRefusal=0"), std::string::npos);
    const long accepted = std::stol(line.substr(line.find("accepted=") + 9));
    total += accepted;
    const auto delivered = tree.journalLines({"count.so sequence key=f:" + thread + " "});
    if (accepted == 0) {
      EXPECT_TRUE(delivered.empty());
      continue;
    }
    // Delivered once each, in order: every payload was the next one, and the
    // last was the last accepted.
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_NE(delivered[0].find(" next=" + std::to_string(accepted) + " errors=0"), std::string::npos) << delivered[0];
  }
  RecordProperty("accepted_before_the_stop", std::to_string(total));
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
