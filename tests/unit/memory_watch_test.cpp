// The memory watch: limits from the machine's RAM, readings of the resident
// memory, the episodes of throttling with their messages and alarms, and the
// memory alarm itself. Time and readings are injected; no test waits.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "InProcessCore.h"
#include "core/MemoryWatch.h"
#include "events/PayloadBlock.h"
#include "events/Statistics.h"

using namespace km::core;
using namespace dvrtest;
namespace fs = std::filesystem;

namespace {

constexpr uint64_t MiB = 1024 * 1024;
constexpr int64_t kSecond = 1'000'000'000;

int64_t fakeNow = 0;  // nanoseconds on the injected steady clock
std::chrono::steady_clock::time_point fakeClock() {
  return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(fakeNow));
}
uint64_t fakeReading = 0;
uint64_t fakeReader() { return fakeReading; }

const uint64_t pageSize = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));

// What one step of the watch made the core say and queue.
struct Said {
  std::vector<std::string> messages;  // core log lines
  std::vector<std::string> alarms;    // memory alarm documents
};

class MemoryWatch : public ::testing::Test {
 protected:
  InProcessCore core;
  const uint64_t savedLimit = throttlingLimit;
  const uint64_t savedStack = stackLimit;

  void SetUp() override {
    memoryClock = &fakeClock;
    memoryReader = &fakeReader;
    fakeNow = 1000 * kSecond;
  }
  void TearDown() override {
    memoryClock = &std::chrono::steady_clock::now;
    memoryReader = &getHeapAlloc;
    throttlingLimit = savedLimit;
    stackLimit = savedStack;
    memoryInUse = 0;
  }

  // The core's messages and alarms queued since the last call.
  Said said() {
    Said result;
    for (const QueuedEvent& queued : core.drainQueue()) {
      if (queued.record.type == DVR_TYPE_LOG) {
        result.messages.push_back(queued.payload);
      } else if (queued.record.type == DVR_TYPE_ALARM && queued.record.source == DVR_SOURCE_CORE) {
        result.alarms.push_back(queued.payload);
      }
    }
    return result;
  }
  // One check at `seconds` on the injected clock.
  Said checkAt(double seconds, bool low) {
    fakeNow = static_cast<int64_t>(seconds * kSecond);
    StdoutCapture console;
    core->checkMemory(low);
    return said();
  }
};

std::string throttlingOf(const std::string& alarm) {
  const auto at = alarm.find("Throttling=\"");
  return at == std::string::npos ? "?" : alarm.substr(at + 12, 1);
}

}  // namespace

// ---- limits -------------------------------------------------------------

TEST(MemoryLimits, EightyPercentOfRamFrom512MiBUpElse190MiB) {
  struct Row {
    std::optional<uint64_t> ram;
    uint64_t limit;
  };
  const Row rows[] = {
      {std::nullopt, 199'229'440},          // sysinfo failed
      {0, 199'229'440},
      {256 * MiB, 199'229'440},
      {511 * MiB, 199'229'440},
      {512 * MiB - 1, 199'229'440},
      {512 * MiB, 429'496'720},             // division first: 5,368,709 * 80
      {1024 * MiB, 858'993'440},
      {6 * 1024 * MiB, 5'153'960'720},      // above 4 GiB: no 32-bit wrap anywhere
      {std::numeric_limits<uint64_t>::max(), std::numeric_limits<uint64_t>::max() / 100 * 80},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(throttlingLimitFor(row.ram), row.limit) << (row.ram ? std::to_string(*row.ram) : "none");
  }
}

// ---- readings -----------------------------------------------------------

TEST(MemoryReading, ResidentPagesTimesPageSizeOrZero) {
  const fs::path dir = fs::temp_directory_path() / ("statm-" + std::to_string(getpid()));
  fs::create_directories(dir);
  struct Row {
    const char* name;
    const char* content;  // nullptr: no such file
    uint64_t bytes;
  };
  const Row rows[] = {
      {"typical", "6217 1645 1129 238 0 627 0\n", 1645 * pageSize},
      {"beyond 4 GiB", "9000000 1200000 1 1 0 1 0\n", 1'200'000 * pageSize},
      {"leading blanks", "  12 34", 34 * pageSize},
      {"empty", "", 0},
      {"one number", "6217", 0},
      {"not numbers", "abc def\n", 0},
      {"missing", nullptr, 0},
  };
  for (const Row& row : rows) {
    const fs::path file = dir / row.name;
    if (row.content) std::ofstream(file) << row.content;
    EXPECT_EQ(readResidentBytes(file.c_str()), row.bytes) << row.name;
  }
  // A path that opens but cannot be read.
  EXPECT_EQ(readResidentBytes(dir.c_str()), 0u);
  fs::remove_all(dir);
}

TEST_F(MemoryWatch, AReadingAboveTheLimitIsLowOneEqualToItIsNot) {
  throttlingLimit = 199'229'440;
  struct Row {
    uint64_t reading;
    bool low;
  };
  const Row rows[] = {
      {0, false},  // statm unreadable
      {199'229'439, false},
      {199'229'440, false},
      {199'229'441, true},
      {4'400'000'000, true},  // beyond 32 bits: still large, not wrapped to 105 MB
      {199'229'440, false},
  };
  for (const Row& row : rows) {
    fakeReading = row.reading;
    {
      StdoutCapture console;
      core->takeMemoryReading();
    }
    said();
    EXPECT_EQ(memoryInUse.load(), row.reading);
    EXPECT_EQ(core->throttling.load(), row.low) << row.reading;
  }
}

// ---- episodes -----------------------------------------------------------

namespace {

constexpr const char* kLowMessage = "available system memory is low, throttling audio/video";
constexpr const char* kOkMessage = "available system memory ok, not throttling audio/video";

// One check: when, the reading, and what must follow.
struct Check {
  double at;
  bool low;
  bool throttling;
  const char* message;  // nullptr: nothing said, no alarm
};

}  // namespace

TEST_F(MemoryWatch, EpisodesFollowTheTable) {
  struct Scenario {
    const char* name;
    std::vector<Check> checks;
  };
  const Scenario scenarios[] = {
      {"low for ten seconds, then recovery",
       {{100, true, true, kLowMessage},
        {101, true, true, nullptr},
        {109, true, true, nullptr},
        {110, false, false, nullptr},  // admitted again at once, no message yet
        {140, false, false, nullptr},
        {168.999999999, false, false, nullptr},
        {169, false, false, kOkMessage},  // 60 s after the last low reading
        {170, false, false, nullptr},
        {171, true, true, kLowMessage}}},  // a new episode
      {"low again 30 s into recovery",
       {{100, true, true, kLowMessage},
        {101, false, false, nullptr},
        {130, true, true, nullptr},  // refused again, no new message
        {131, false, false, nullptr},
        {189.5, false, false, nullptr},  // the minute started over at 130
        {190, false, false, kOkMessage}}},
      {"the clock jumps back during recovery",
       {{1000, true, true, kLowMessage},
        {500, false, false, nullptr},
        {1059, false, false, nullptr},
        {1060, false, false, kOkMessage}}},
      {"the clock jumps forward a day",
       {{1000, true, true, kLowMessage}, {1000 + 86400, false, false, kOkMessage}}},
      {"readings that are never low",
       {{100, false, false, nullptr}, {200, false, false, nullptr}}},
  };
  for (const Scenario& scenario : scenarios) {
    SCOPED_TRACE(scenario.name);
    core->throttling = false;
    core->lowMemorySince = kNoEpisode;
    for (const Check& check : scenario.checks) {
      SCOPED_TRACE(testing::Message() << "at " << check.at << (check.low ? " low" : " ok"));
      const Said out = checkAt(check.at, check.low);
      EXPECT_EQ(core->throttling.load(), check.throttling);
      if (check.message) {
        ASSERT_EQ(out.messages.size(), 1u);
        EXPECT_EQ(out.messages[0], check.message);
        ASSERT_EQ(out.alarms.size(), 1u);
        EXPECT_EQ(throttlingOf(out.alarms[0]), check.throttling ? "1" : "0");
      } else {
        EXPECT_TRUE(out.messages.empty()) << out.messages[0];
        EXPECT_TRUE(out.alarms.empty());
      }
    }
  }
}

TEST_F(MemoryWatch, SwitchedOffNothingHappensWhateverTheReading) {
  core->throttlingEnabled = false;
  throttlingLimit = 199'229'440;
  fakeReading = 300 * MiB;
  for (int second = 0; second < 3; ++second) {
    fakeNow += kSecond;
    StdoutCapture console;
    core->takeMemoryReading();
  }
  const Said out = said();
  EXPECT_TRUE(out.messages.empty());
  EXPECT_TRUE(out.alarms.empty());
  EXPECT_FALSE(core->throttling.load());
  EXPECT_EQ(core->lowMemorySince, kNoEpisode);
  EXPECT_EQ(memoryInUse.load(), 300 * MiB);  // the readings still feed the statistics
}

// ---- the alarm ----------------------------------------------------------

// Queued directly: neither the stop nor the admission checks apply to it.
TEST_F(MemoryWatch, AlarmIsACompactDocumentFromTheCore) {
  fakeNow = 1'234'567'890'123;
  core->Stop();
  for (const bool state : {false, true}) {
    core->throttling = state;
    core->memoryAlarm();
    const std::vector<QueuedEvent> queued = core.drainQueue();
    ASSERT_EQ(queued.size(), 1u);
    const EventParms& e = queued[0].record;
    EXPECT_EQ(queued[0].payload, std::string("<?xml?><kDVR><Memory ID=\"-2147483648\" Throttling=\"") +
                                     (state ? "1" : "0") + "\" Time=\"1234\" mseTime=\"1234567\"/></kDVR>");
    EXPECT_EQ(e.size, sizeof(EventParms));
    EXPECT_EQ(e.version, 1u);
    EXPECT_EQ(e.length, queued[0].payload.size());
    EXPECT_EQ(e.source, DVR_SOURCE_CORE);
    EXPECT_EQ(e.requestId, 0u);
    EXPECT_EQ(e.type, DVR_TYPE_ALARM);
    EXPECT_EQ(e.flags, 0x1000010u);
    EXPECT_EQ(e.paramsSize, 152u);
    EXPECT_EQ(e.paramsVersion, 1u);
    EXPECT_EQ(e.param, 0u);
  }
}

// An alarm queued after the dispatch loop returned stays queued: its block is
// reported when the core is destroyed and deliberately never freed (the leak
// checker of sanitizer builds is told so and stays quiet).
TEST(MemoryAlarmAfterTheLoop, ItsBlockIsReportedNotFreed) {
  const uint32_t blocksBefore = payloadBlockCount.load();
  auto core = std::make_unique<DvrCore>("/nonexistent/dvrcore");
  theCore = core.get();
  core->logLevels[0] = 0;
  core->Stop();
  {
    StdoutCapture quiet;
    core->dispatchLoop();
  }
  core->memoryAlarm();
  ASSERT_EQ(core->eventQueue.size(), 1u);
  StdoutCapture console;
  core.reset();
  theCore = nullptr;
  const std::string output = console.take();
  EXPECT_NE(output.find(" refblks: " + std::to_string(blocksBefore + 1) + "("), std::string::npos) << output;
  EXPECT_NE(output.find("Plugin 00:core unloaded holding "), std::string::npos) << output;
  EXPECT_EQ(payloadBlockCount.load(), blocksBefore + 1);
}
