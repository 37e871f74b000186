// The dispatch loop with real plug-in libraries: who gets what and in which
// order, payload references and "keep", re-entrant posting, and the report
// of slow deliveries.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "InProcessCore.h"
#include "events/DeliveryTimer.h"
#include "events/DispatchLoop.h"
#include "events/PayloadBlock.h"

using namespace km::core;
using namespace dvrtest;

namespace {

constexpr uint32_t kLive = DVR_FLAG_LIVE;
constexpr const char* kInterested = "0x2000000";

class Dispatch : public ::testing::Test {
 protected:
  InstallTree tree;
  InProcessCore core;
  const uint32_t blocks0 = payloadBlockCount.load();
  const uint32_t bytes0 = payloadBlockBytes.load();

  std::vector<std::string> receivedBy(const std::string& fileName) {
    std::vector<std::string> payloads;
    for (const std::string& line : tree.journalLines({fileName + " OnEvent "})) {
      payloads.push_back(line.substr(line.find(" payload=") + 9));
    }
    return payloads;
  }
  // Posts an event with `text` as payload and returns the queued block.
  const void* postQueued(uint32_t type, uint32_t source, const std::string& text) {
    EventParms e = makeEvent(type, kLive, source, text);
    EXPECT_EQ(post(&e), 0);
    std::lock_guard guard(core->queueMutex);
    return core->eventQueue.back().payload;
  }
  int32_t decref(const void* payload, uint32_t source) {
    EventParms e = makeEvent(DVR_TYPE_DECREF, 0, source);
    e.payload = const_cast<void*>(payload);
    return post(&e);
  }
};

// A clock that advances by `clockStep` at every read, so every delivery
// takes exactly one step.
std::atomic<int64_t> clockStep{0};
std::atomic<int64_t> clockNow{0};
std::chrono::steady_clock::time_point steppingClock() {
  return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(clockNow += clockStep));
}

class SlowDelivery : public Dispatch {
 protected:
  void SetUp() override {
    core.addPlugin(tree, "tp_basic", "cam.so", {{"id", "0x50000"}});
    core.addPlugin(tree, "tp_basic", "slow.so", {{"id", "0x60000"}, {"alarm", kInterested}, {"log", kInterested},
                                                 {"video", kInterested}});
    deliveryClock = &steppingClock;
  }
  void TearDown() override { deliveryClock = &std::chrono::steady_clock::now; }

  // Delivers one event whose delivery takes `nanoseconds`; the core's
  // messages it caused, as (level, text).
  std::vector<std::pair<uint32_t, std::string>> deliverTaking(int64_t nanoseconds, EventParms e) {
    clockStep = nanoseconds;
    StdoutCapture console;
    core->deliverToPlugins(e, statistics);
    consoleText += console.take();
    std::vector<std::pair<uint32_t, std::string>> messages;
    for (const QueuedEvent& queued : core.drainQueue()) {
      EXPECT_EQ(queued.record.type, DVR_TYPE_LOG);
      EXPECT_EQ(queued.record.flags, DVR_FLAG_LIVE | DVR_FLAG_TEXT);
      EXPECT_EQ(queued.record.source, DVR_SOURCE_CORE);
      messages.emplace_back(queued.record.param, queued.payload);
    }
    return messages;
  }

  DispatchStatistics statistics;
  std::string consoleText;
};

using Messages = std::vector<std::pair<uint32_t, std::string>>;

}  // namespace

TEST_F(Dispatch, EveryEventReachesThePluginsThatWantItOnceAndInListOrder) {
  core.addPlugin(tree, "tp_basic", "a.so", {{"id", "0x50000"}, {"alarm", kInterested}});
  core.addPlugin(tree, "tp_basic", "b.so", {{"id", "0x60000"}});
  core.addPlugin(tree, "tp_full", "c.so", {{"id", "0x70000"}, {"alarm", kInterested}, {"ptz", kInterested}});
  core.addPlugin(tree, "tp_basic", "d.so", {{"id", "none"}, {"alarm", kInterested}});
  const std::string first = "first", second = "second";
  postQueued(DVR_TYPE_ALARM, 0x00090000, first);
  postQueued(DVR_TYPE_PTZ, 0x00090000, second);
  core.deliverQueued();

  std::vector<std::string> order;
  for (const std::string& line : tree.journalLines({" OnEvent "})) order.push_back(line.substr(0, line.find(' ')));
  EXPECT_EQ(order, (std::vector<std::string>{"a.so", "c.so", "d.so", "c.so"}));
  EXPECT_EQ(receivedBy("c.so"), (std::vector<std::string>{"'first'", "'second'"}));
  EXPECT_EQ(tree.journalLines({"c.so OnEvent type=0x4 flags=0x1000000 source=0x90000 req=0x0 param=0 length=5"}).size(), 1u);
  // Every reference is given back once the event has been offered to all.
  EXPECT_EQ(payloadBlockCount.load(), blocks0);
  EXPECT_EQ(payloadBlockBytes.load(), bytes0);
  EXPECT_EQ(core->eventQueue.size(), 0u);
}

TEST_F(Dispatch, EventsWithoutClassOrInterestReachNobody) {
  core.addPlugin(tree, "tp_basic", "all.so", {{"id", "0x50000"}, {"alarm", "0xffffffff"}, {"video", "0xffffffff"},
                                              {"log", "0xffffffff"}, {"analytic", "0xffffffff"}});
  core.addPlugin(tree, "tp_basic", "anon.so", {{"id", "none"}, {"alarm", "0xffffffff"}});
  const std::string text = "nobody";
  for (uint32_t type : {0u, 128u, 0x4000u, 0x20000u}) postQueued(type, 0x00090000, text);
  core.deliverQueued();
  EXPECT_TRUE(tree.journalLines({" OnEvent "}).empty());
  EXPECT_EQ(payloadBlockCount.load(), blocks0);
}

TEST_F(Dispatch, AnEventWhosePayloadCouldNotBeCopiedArrivesWithoutPayload) {
  core.addPlugin(tree, "tp_basic", "rec.so", {{"id", "0x50000"}, {"alarm", kInterested}});
  const BlockAllocator normal = blockAllocator;
  blockAllocator = [](std::size_t) -> void* { return nullptr; };
  const std::string text = "0123456789";
  postQueued(DVR_TYPE_ALARM, 0x00090000, text);
  blockAllocator = normal;
  core.deliverQueued();
  EXPECT_EQ(tree.journalLines({"rec.so OnEvent type=0x4", "length=10", "payload=null"}).size(), 1u);
}

TEST_F(Dispatch, AKeptPayloadStaysAliveUntilItsHoldersDecref) {
  core.addPlugin(tree, "tp_basic", "keeper.so", {{"id", "0x50000"}, {"alarm", kInterested}, {"keep", "1"}});
  core.addPlugin(tree, "tp_basic", "other.so", {{"id", "0x60000"}, {"alarm", kInterested}, {"ptz", kInterested},
                                                {"keep", "1"}});
  core.addPlugin(tree, "tp_write", "writer.so", {{"id", "0x70000"}, {"alarm", kInterested}, {"acceptsWrite", "1"}});
  const uint32_t held5 = heldReferences[5].load(), held6 = heldReferences[6].load();
  const uint32_t held7 = heldReferences[7].load(), held0 = heldReferences[0].load();

  const std::string alarmText = "kept by two", ptzText = "kept by one";
  const void* alarm = postQueued(DVR_TYPE_ALARM, 0x00090000, alarmText);
  const void* ptz = postQueued(DVR_TYPE_PTZ, 0x00090000, ptzText);
  core.deliverQueued();

  EXPECT_EQ(payloadBlockCount.load(), blocks0 + 2);
  EXPECT_EQ(referenceCount(alarm), 2u);
  EXPECT_EQ(referenceCount(ptz), 1u);
  EXPECT_EQ(heldReferences[5].load(), held5 + 1);
  EXPECT_EQ(heldReferences[6].load(), held6 + 2);
  EXPECT_EQ(heldReferences[7].load(), held7);
  EXPECT_EQ(heldReferences[0].load(), held0);

  // A decref for a block the poster does not hold changes nothing.
  EXPECT_EQ(decref(ptz, 0x00050000), 0);
  EXPECT_EQ(decref(ptz, DVR_SOURCE_CORE), 0);
  EXPECT_EQ(decref(ptz, 0x00070000), 0);
  EXPECT_EQ(referenceCount(ptz), 1u);
  EXPECT_EQ(heldReferences[5].load(), held5 + 1);

  EXPECT_EQ(decref(alarm, 0x00050001), 0);  // sub-id bits do not matter
  EXPECT_EQ(decref(alarm, 0x00050000), 0);  // a second decref is ignored
  EXPECT_EQ(referenceCount(alarm), 1u);
  EXPECT_EQ(decref(alarm, 0x00060000), 0);
  EXPECT_EQ(decref(ptz, 0x00060000), 0);
  EXPECT_EQ(payloadBlockCount.load(), blocks0);
  EXPECT_EQ(payloadBlockBytes.load(), bytes0);
  EXPECT_EQ(heldReferences[5].load(), held5);
  EXPECT_EQ(heldReferences[6].load(), held6);
  EXPECT_EQ(decref(alarm, 0x00060000), 0);  // freed: nothing left to give back
  EXPECT_EQ(heldReferences[6].load(), held6);
}

TEST_F(Dispatch, ADecrefPostedBeforeTheEventCallReturnsIsHonouredOnce) {
  core.addPlugin(tree, "tp_basic", "keeper.so",
                 {{"id", "0x50000"}, {"alarm", kInterested}, {"keep", "1"}, {"decrefInCall", "1"}});
  core.addPlugin(tree, "tp_basic", "giver.so", {{"id", "0x60000"}, {"alarm", kInterested}, {"decrefInCall", "1"}});
  const uint32_t held5 = heldReferences[5].load(), held6 = heldReferences[6].load();
  const std::string text = "given back early";
  const void* alarm = postQueued(DVR_TYPE_ALARM, 0x00090000, text);
  core.deliverQueued();

  EXPECT_EQ(tree.journalLines({"decref-in-call result=0"}).size(), 2u);
  EXPECT_EQ(payloadBlockCount.load(), blocks0);
  EXPECT_EQ(payloadBlockBytes.load(), bytes0);
  EXPECT_EQ(heldReferences[5].load(), held5);
  EXPECT_EQ(heldReferences[6].load(), held6);
  EXPECT_EQ(decref(alarm, 0x00050000), 0);  // the keeper's late decref finds nothing to give back
  EXPECT_EQ(heldReferences[5].load(), held5);
}

TEST_F(Dispatch, APluginMayPostFromInsideItsEventCall) {
  core.addPlugin(tree, "tp_basic", "relay.so", {{"id", "0x50000"}, {"alarm", kInterested},
                                                {"onEventType", "4"}, {"onEvent", "post type=8 source=0x50000 tag=relayed"}});
  core.addPlugin(tree, "tp_basic", "sink.so", {{"id", "0x60000"}, {"ptz", kInterested}});
  std::thread dispatcher([&] { core->dispatchLoop(); });
  const std::string text = "trigger";
  postQueued(DVR_TYPE_ALARM, 0x00090000, text);
  EXPECT_TRUE(eventually([&] { return !receivedBy("sink.so").empty(); }));
  core->Stop();
  dispatcher.join();

  EXPECT_EQ(tree.journalLines({"relay.so posted tag=relayed thread=0 results=0"}).size(), 1u);
  EXPECT_EQ(receivedBy("sink.so"), std::vector<std::string>{"'relayed:0:0'"});
  EXPECT_EQ(payloadBlockCount.load(), blocks0);
}

TEST_F(SlowDelivery, IsReportedAtLevelZeroWhenItTakesMoreThanFiveMilliseconds) {
  core->logLevels[0] = 0;
  EventParms alarm = makeEvent(DVR_TYPE_ALARM, kLive, 0x00050000);
  alarm.length = 1234567;  // travels without payload, as after a failed copy
  EXPECT_EQ(deliverTaking(5'000'000, alarm), Messages{});
  EXPECT_EQ(deliverTaking(5'000'001, alarm), (Messages{{0, "slow took 5ms for alarm event from cam [1,234,567]"}}));
  EXPECT_EQ(deliverTaking(2'999'999'999, alarm), (Messages{{0, "slow took 2999ms for alarm event from cam [1,234,567]"}}));

  // The origin as the message names it.
  alarm.length = 0;
  alarm.source = DVR_SOURCE_CORE;
  EXPECT_EQ(deliverTaking(6'000'000, alarm), (Messages{{0, "slow took 6ms for alarm event from Core [0]"}}));
  alarm.source = 0x00000009;  // plug-in id 0
  EXPECT_EQ(deliverTaking(6'000'000, alarm), (Messages{{0, "slow took 6ms for alarm event from Core [0]"}}));
  alarm.source = 0x00120000;  // no such plug-in
  EXPECT_EQ(deliverTaking(6'000'000, alarm), (Messages{{0, "slow took 6ms for alarm event from unknown [0]"}}));
  EventParms video = makeEvent(0x4001, kLive, 0x00050000);
  EXPECT_EQ(deliverTaking(6'000'000, video), (Messages{{0, "slow took 6ms for video event from cam [0]"}}));
  EventParms answer = makeEvent(128, DVR_FLAG_STORED, 0x00050000);
  answer.requestId = 0x00060001;
  EXPECT_EQ(deliverTaking(6'000'000, answer), (Messages{{0, "slow took 6ms for unknown event from cam [0]"}}));

  // Each receiver is timed on its own.
  core.addPlugin(tree, "tp_basic", "slower.so", {{"id", "0x70000"}, {"alarm", kInterested}});
  alarm.source = 0x00070000;
  EXPECT_EQ(deliverTaking(5'000'001, alarm), (Messages{{0, "slow took 5ms for alarm event from slower [0]"},
                                                       {0, "slower took 5ms for alarm event from slower [0]"}}));
  EXPECT_EQ(deliverTaking(5'000'000, alarm), Messages{});

  // The console line of a level-0 message.
  EXPECT_NE(consoleText.find("\x1b[36m core\x1b[0m slow took 5ms for alarm event from cam [1,234,567]\n"),
            std::string::npos);
  EXPECT_EQ(consoleText.rfind("\x1b[38;5;248m", 0), 0u);
}

TEST_F(SlowDelivery, IsHiddenAtTheDefaultThreshold) {
  const EventParms alarm = makeEvent(DVR_TYPE_ALARM, kLive, 0x00050000);
  EXPECT_EQ(deliverTaking(50'000'000, alarm), Messages{});
  EXPECT_EQ(consoleText, "");
}

TEST_F(SlowDelivery, LogEventsAreNeverReportedButTheirLiveDeliveryTimeIsSummed) {
  core->logLevels[0] = 0;
  const std::string text = "a log line";
  EventParms log = makeEvent(DVR_TYPE_LOG, kLive | DVR_FLAG_TEXT, 0x00050000);
  log.param = 50;
  EXPECT_EQ(deliverTaking(7'000'999, log), Messages{});
  EXPECT_EQ(deliverTaking(1'500, log), Messages{});
  EXPECT_EQ(statistics.logDeliveryMicros, 7'000u + 1u);
  log.flags = 0;  // not live: neither reported nor summed
  EXPECT_EQ(deliverTaking(9'000'000, log), Messages{});
  EXPECT_EQ(statistics.logDeliveryMicros, 7'001u);
  // With the modifier bit a log event is timed like any other.
  log.type = 0x4040;
  log.flags = kLive;
  EXPECT_EQ(deliverTaking(9'000'000, log), (Messages{{0, "slow took 9ms for log event from cam [0]"}}));
  EXPECT_EQ(statistics.logDeliveryMicros, 7'001u);
}

TEST(DeliveryTimer, MeasuresOnTheClockUntilCalibratedAndAlikeOnTheCounterAfter) {
  using namespace std::chrono;
  DeliveryTimer timer;
  // The first reads come from the clock; a read 20 ms after the first one
  // measures the counter's rate (where there is one).
  const int64_t first = timer.now();
  std::this_thread::sleep_for(25ms);
  const int64_t calibrated = timer.now();
  EXPECT_GE(calibrated - first, 25'000'000);
#if defined(__x86_64__)
  EXPECT_TRUE(timer.onCounter()) << "x86-64 machines here have a constant-rate counter";
#else
  EXPECT_FALSE(timer.onCounter());
#endif
  // Whichever source: a 30 ms sleep reads as at least 30 ms (within the
  // counter's rate error) and stays on the steady clock's timeline.
  const int64_t before = timer.now();
  std::this_thread::sleep_for(30ms);
  const int64_t after = timer.now();
  EXPECT_GE(after - before, 29'900'000);
  EXPECT_LT(after - before, 10'000'000'000);
  const int64_t steady = duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
  EXPECT_LT(std::abs(steady - after), 1'000'000'000);
}
