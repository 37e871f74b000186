// The once-a-minute statistics line: when it is written, its exact text, the
// reset of the counters, the memory growth figure and the list of the
// plug-ins holding the most payload references. The clock and the counters
// are injected; no test waits a minute.
#include <gtest/gtest.h>

#include <utility>

#include <array>
#include <atomic>
#include <cctype>
#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "InProcessCore.h"
#include "events/PayloadBlock.h"
#include "events/Statistics.h"

using namespace km::core;
using namespace dvrtest;
using namespace std::chrono_literals;

namespace {

std::chrono::steady_clock::time_point fakeNow{std::chrono::hours(1000)};
std::chrono::steady_clock::time_point fakeClock() { return fakeNow; }

void resetCounters() {
  for (auto* counter : {&throttledVideo, &throttledAudio, &searchRequests, &searchCancels, &searchResults,
                        &searchResultBytes, &ipcSent, &ipcDelivered, &ipcDeliveredBytes}) {
    counter->store(0);
  }
  memoryInUse = 0;
  memoryInUseAtLastReport = 0;
}

// Replaces the process-wide reference counts for the life of a test.
class HeldReferences {
 public:
  HeldReferences() {
    for (size_t id = 0; id < saved.size(); ++id) saved[id] = heldReferences[id].exchange(0);
  }
  ~HeldReferences() {
    for (size_t id = 0; id < saved.size(); ++id) heldReferences[id] = saved[id];
  }
  void set(uint32_t id, uint32_t count) { heldReferences[id] = count; }

 private:
  std::array<uint32_t, 256> saved{};
};

class StatisticsLine : public ::testing::Test {
 protected:
  InstallTree tree;
  InProcessCore core;
  DispatchStatistics stats;
  StatisticsClock savedClock = nullptr;

  void SetUp() override {
    savedClock = std::exchange(statisticsClock, &fakeClock);
    resetCounters();
    stats.lastReport = fakeNow - kStatisticsPeriod;  // as the dispatch loop starts
  }
  void TearDown() override {
    statisticsClock = savedClock;
    resetCounters();
  }

  // Runs one tick `after` the previous one; the statistics lines it posted.
  std::vector<std::string> tickAfter(std::chrono::nanoseconds after) {
    fakeNow += after;
    StdoutCapture console;
    core->statisticsTick(stats);
    std::vector<std::string> lines;
    for (const QueuedEvent& queued : core.drainQueue()) {
      if (queued.record.type == DVR_TYPE_LOG) lines.push_back(queued.payload);
    }
    return lines;
  }
  // The one line of the tick `after` the previous one.
  std::string lineAfter(std::chrono::nanoseconds after) {
    const std::vector<std::string> lines = tickAfter(after);
    EXPECT_EQ(lines.size(), 1u);
    return lines.empty() ? std::string() : lines[0];
  }
};

// The value printed after `label` in a line ("1,234" read as 1234).
uint64_t figure(const std::string& line, const std::string& label) {
  const auto at = line.find(label);
  if (at == std::string::npos) return UINT64_MAX;
  uint64_t value = 0;
  for (size_t i = at + label.size(); i < line.size() && (std::isdigit(line[i]) || line[i] == ','); ++i) {
    if (line[i] != ',') value = value * 10 + static_cast<uint64_t>(line[i] - '0');
  }
  return value;
}

std::string memoryPart(const std::string& line) {
  const auto from = line.find("memory[inuse:") + 13;
  return line.substr(from, line.find(']', from) - from);
}

}  // namespace

TEST_F(StatisticsLine, FirstTickReportsAtOnceThenOnceAMinute) {
  EXPECT_EQ(tickAfter(0ns).size(), 1u);  // the loop starts with lastReport a minute back
  EXPECT_EQ(tickAfter(1s).size(), 0u);
  EXPECT_EQ(tickAfter(58s + 999'999'999ns).size(), 0u);  // 59,999,999,999 ns since the line
  EXPECT_EQ(tickAfter(1ns).size(), 1u);                  // 60 s exactly
  EXPECT_EQ(tickAfter(59s).size(), 0u);
  EXPECT_EQ(tickAfter(2s).size(), 1u);  // late ticks count from the line, not the schedule
  EXPECT_EQ(tickAfter(59s).size(), 0u);
}

TEST_F(StatisticsLine, ShowsEveryFigureInItsPlace) {
  HeldReferences held;
  core.addPlugin(tree, "tp_basic", "cam.so", {{"id", "0x210000"}});
  held.set(0x21, 300);
  held.set(0, 2);
  stats.queueDepth = 1234;
  stats.eventsDispatched = 5678;
  stats.idleSeconds = 12345;
  stats.logDeliveryMicros = 1'234'567;
  throttledVideo = 1500;
  throttledAudio = 3000;
  ipcSent = 12;
  ipcDelivered = 3456;
  ipcDeliveredBytes = 1'572'864;
  searchRequests = 2;
  searchCancels = 1;
  searchResults = 1000;
  searchResultBytes = 4096;
  memoryInUse = 52'428'800;
  const uint32_t savedCount = payloadBlockCount.exchange(12345);
  const uint32_t savedBytes = payloadBlockBytes.exchange(1'234'567);
  const std::vector<std::string> lines = tickAfter(0ns);
  // The line's own block is freed by now: the counters are back where they were set.
  payloadBlockCount = savedCount;
  payloadBlockBytes = savedBytes;
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0],
            "InQ:1,234 events:5,678 idle:12345s throttled[v:1,500 a:3,000]\n"
            "ltm:1,234,567us ipc[r:12 p:3,456 d:1.5MiB] srch[r:2 c:1 p:1,000 d:4,096]\n"
            "memory[inuse:50MiB +50MiB] refblks:12,345(1.18MiB) top: cam 300, Core 2");
}

// Every line covers exactly the minute before it, whether or not the
// previous one was written.
TEST_F(StatisticsLine, AboveTheCoresThresholdNothingIsWrittenButCountersStillReset) {
  core->logLevels[0] = 50;
  searchRequests = 7;
  throttledAudio = 9;
  stats.eventsDispatched = 3;
  stats.idleSeconds = 4;
  stats.logDeliveryMicros = 5;
  stats.queueDepth = 6;
  memoryInUse = 4096;
  EXPECT_EQ(tickAfter(0ns).size(), 0u);
  core->logLevels[0] = 25;
  searchRequests += 1;
  const std::string line = lineAfter(60s);
  EXPECT_EQ(figure(line, "srch[r:"), 1u);
  EXPECT_EQ(figure(line, " a:"), 0u);
  EXPECT_EQ(figure(line, "events:"), 0u);
  EXPECT_EQ(figure(line, "idle:"), 0u);
  EXPECT_EQ(figure(line, "ltm:"), 0u);
  EXPECT_EQ(figure(line, "InQ:"), 6u);   // a level, not a count: kept
  EXPECT_EQ(memoryPart(line), "4,096");  // no growth: the silent tick took its reading
}

TEST_F(StatisticsLine, MemoryShowsItsChangeSinceThePreviousTick) {
  struct Row {
    uint64_t inUse;
    std::string text;
  };
  const Row rows[] = {
      {52'428'800, "50MiB +50MiB"},  // the first line shows all of it as growth
      {52'428'800, "50MiB"},
      {54'525'952, "52MiB +2MiB"},
      {54'521'856, "52MiB -4,096"},
      {0, "0 -52MiB"},
      {6'000'000'000, "5.59GiB +5.59GiB"},  // 64-bit readings
  };
  for (const Row& row : rows) {
    memoryInUse = row.inUse;
    EXPECT_EQ(memoryPart(lineAfter(60s)), row.text);
  }
}

TEST(TopList, CountDescendingLowerIdFirstAtMostFive) {
  struct Row {
    const char* name;
    std::vector<std::pair<uint32_t, uint32_t>> held;  // (id, count)
    TopList top;
  };
  const Row rows[] = {
      {"none", {}, {}},
      {"ties in id order", {{0, 3}, {7, 3}, {9, 10}}, {{9, 10}, {0, 3}, {7, 3}}},
      {"seven holders, five shown",
       {{1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}, {6, 6}, {7, 7}},
       {{7, 7}, {6, 6}, {5, 5}, {4, 4}, {3, 3}}},
      {"ties at the boundary keep the lower ids",
       {{10, 1}, {20, 9}, {30, 9}, {40, 2}, {50, 9}, {60, 9}, {70, 9}, {80, 9}},
       {{20, 9}, {30, 9}, {50, 9}, {60, 9}, {70, 9}}},
      {"a late large count moves to the front", {{1, 5}, {2, 5}, {3, 5}, {4, 5}, {5, 5}, {255, 6}},
       {{255, 6}, {1, 5}, {2, 5}, {3, 5}, {4, 5}}},
  };
  for (const Row& row : rows) {
    std::array<std::atomic<uint32_t>, 256> held{};
    for (const auto& [id, count] : row.held) held[id] = count;
    TopList top = {{99, 99}};  // rebuilt, not appended to
    rebuildTopList(top, held);
    EXPECT_EQ(top, row.top) << row.name;
  }
}

TEST_F(StatisticsLine, TopListNamesCoreThePluginOrUnknown) {
  HeldReferences held;
  core.addPlugin(tree, "tp_basic", "first.cam.so", {{"id", "0x50000"}});
  core.addPlugin(tree, "tp_basic", "second.so", {{"id", "0x50001"}});  // same plug-in id: the first wins
  core.addPlugin(tree, "tp_basic", "noid.so", {{"id", "none"}});       // never named by an id
  held.set(0, 3);
  held.set(5, 10);
  held.set(0x42, 1);
  const std::string line = lineAfter(0ns);
  EXPECT_EQ(line.substr(line.find("top: ")), "top: first 10, Core 3, unknown 1");
}

// A plug-in unloaded while it keeps 300 payloads: its references stay and
// are shown under "unknown".
TEST_F(StatisticsLine, UnloadedPluginHoldingPayloadsShowsAsUnknown) {
  const PluginPtr keeper = core.addPlugin(tree, "tp_basic", "keeper.so", {{"id", "0x70000"}, {"alarm", "0x2000000"}, {"keep", "1"}});
  const uint32_t held0 = heldReferences[7].load();
  std::vector<const void*> kept;
  for (int i = 0; i < 300; ++i) {
    const std::string text = "alarm " + std::to_string(i);
    EventParms e = makeEvent(DVR_TYPE_ALARM, DVR_FLAG_LIVE, DVR_SOURCE_PLUGIN(9), text);
    ASSERT_EQ(post(&e), 0);
    std::lock_guard guard(core->queueMutex);
    kept.push_back(core->eventQueue.back().payload);
  }
  {
    StdoutCapture quiet;
    core.deliverQueued();
  }
  ASSERT_EQ(heldReferences[7].load() - held0, 300u);
  core->plugins.clear();
  keeper->closePlugin();
  keeper->unloadPlugin();

  // Stopped now: the line is no longer queued but still printed.
  StdoutCapture console;
  core->statisticsTick(stats);
  const std::string output = console.take();
  EXPECT_NE(output.find("top: unknown 300\n"), std::string::npos) << output;
  for (const void* payload : kept) releaseKept(payload, 7);
  EXPECT_EQ(heldReferences[7].load(), held0);
}

// Other threads count while the tick reads and resets: nothing is torn or
// lost, and under the thread sanitizer nothing races.
TEST_F(StatisticsLine, CountsFromOtherThreadsAreNeverLost) {
  constexpr uint32_t kThreads = 4;
  constexpr uint32_t kEach = 50'000;
  std::atomic<bool> go{false};
  std::atomic<uint32_t> finished{0};
  std::vector<std::thread> counters;
  for (uint32_t t = 0; t < kThreads; ++t) {
    counters.emplace_back([&] {
      while (!go) std::this_thread::yield();
      for (uint32_t i = 0; i < kEach; ++i) {
        searchRequests.fetch_add(1, std::memory_order_relaxed);
        throttledVideo.fetch_add(1, std::memory_order_relaxed);
      }
      ++finished;
    });
  }
  go = true;
  uint64_t requests = 0, video = 0;
  uint32_t lines = 0;
  while (finished < kThreads) {
    const std::string line = lineAfter(60s);
    requests += figure(line, "srch[r:");
    video += figure(line, "throttled[v:");
    ++lines;
  }
  for (std::thread& counter : counters) counter.join();
  const std::string last = lineAfter(60s);
  requests += figure(last, "srch[r:");
  video += figure(last, "throttled[v:");
  EXPECT_EQ(requests, uint64_t{kThreads} * kEach);
  EXPECT_EQ(video, uint64_t{kThreads} * kEach);
  RecordProperty("ticks", static_cast<int>(lines));
}
