// The memory watch and the statistics line of the real executable, on a
// machine made to look small: a preloaded library makes sysinfo report
// 256 MiB of RAM, and a test plug-in makes the core's resident memory grow
// past the 190 MiB limit and shrink again on command.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "CoreHarness.h"
#include "TestPaths.h"

using namespace dvrtest;
namespace fs = std::filesystem;

namespace {

constexpr uint64_t MiB = 1024 * 1024;
constexpr uint32_t kMem = 5;  // the test plug-in's id
const std::string kLow = "available system memory is low, throttling audio/video";
const std::string kOk = "available system memory ok, not throttling audio/video";

class MemoryThrottling : public ::testing::Test {
 protected:
  InstallTree tree;
  std::unique_ptr<CoreProcess> core;
  int tags = 0;

  void SetUp() override {
    tree.addPlugin("tp_basic", "mem.so", {{"id", "0x50000"}, {"alarm", "0x2000000"}, {"fullPayload", "1"}});
  }
  void start(std::vector<std::string> environment, std::optional<uint64_t> stack = 8 * MiB) {
    CoreProcess::Options options;
    options.environment = std::move(environment);
    options.environment.push_back(preloadEntry(memoryShim()));
    options.stackLimit = stack;
    core = std::make_unique<CoreProcess>(tree, options);
  }
  // Runs a command in the plug-in (on the core's I/O thread) and waits for
  // the journal line that starts with `done`.
  void run(const std::string& command, const std::string& done) {
    const size_t before = tree.journalLines({"mem.so " + done}).size();
    core->sendPacket(kMem, 100, command);
    ASSERT_TRUE(eventually([&] { return tree.journalLines({"mem.so " + done}).size() > before; }))
        << command << "\n" << core->output();
  }
  // Posts one event from the plug-in; the core's answer.
  std::string answer(const std::string& event) {
    const std::string tag = "t" + std::to_string(++tags);
    run("post " + event + " tag=" + tag, "posted tag=" + tag + " ");
    const auto lines = tree.journalLines({"mem.so posted tag=" + tag + " "});
    return lines.empty() ? "none" : lines[0].substr(lines[0].find("results=") + 8);
  }
  // The memory alarms the plug-in received, as their Throttling values.
  std::string alarmsSeen() {
    std::string states;
    for (const std::string& line : tree.journalLines({"mem.so OnEvent type=0x4 ", "<Memory "})) {
      static const std::regex alarm(
          R"re(payload='<\?xml\?><kDVR><Memory ID="-2147483648" Throttling="([01])" Time="(\d+)" mseTime="(\d+)"/></kDVR>'$)re");
      std::smatch match;
      if (!std::regex_search(line, match, alarm)) {
        ADD_FAILURE() << "malformed alarm: " << line;
        continue;
      }
      EXPECT_EQ(std::stoll(match[3]) / 1000, std::stoll(match[2])) << line;
      EXPECT_NE(line.find(" flags=0x1000010 source=0x80000000 req=0x0 param=0 "), std::string::npos) << line;
      states += match[1].str();
    }
    return states;
  }
  std::string console() const { return stripColours(core->output()); }
};

constexpr const char* kLiveVideoKey = "type=1 source=0x50000 kind=1";
constexpr const char* kLiveVideo = "type=1 source=0x50000";
constexpr const char* kLiveVideoOut = "type=1 source=0x50000 fflags=0x20";
constexpr const char* kLiveAudio = "type=2 source=0x50000";
constexpr const char* kStoredVideo = "type=1 source=0x50000 flags=0x4000000 kind=1";
constexpr const char* kLiveAlarm = "type=4 source=0x50000";

}  // namespace

// One whole episode: the start-up alarm, the alarm and refusals once memory
// is low (also in the camera's own report), admission again from the first
// reading under the limit.
TEST_F(MemoryThrottling, LowMemoryRefusesLiveAudioAndVideoUntilTheFirstReadingUnderTheLimit) {
  fs::copy_file(buildDir() / "plugins" / "camera.so", tree.pluginsDir() / "camera.so");
  start({"DVRTEST_TOTALRAM=268435456", "CAMERA_LOG_SECONDS=1"});
  ASSERT_TRUE(core->waitForOutput("memory limits, throttling:190MiB stack:8MiB")) << core->output();
  ASSERT_TRUE(eventually([&] { return alarmsSeen() == "0"; })) << "start-up alarm";
  EXPECT_EQ(answer(kLiveVideoKey), "0");

  run("grow mb=200", "grew mb=200");
  ASSERT_TRUE(core->waitForOutput(kLow)) << core->output();
  const auto lowSince = std::chrono::steady_clock::now();
  ASSERT_TRUE(eventually([&] { return alarmsSeen() == "01"; })) << alarmsSeen();
  EXPECT_EQ(answer(kLiveVideoKey), "5");
  EXPECT_EQ(answer(kLiveVideoOut), "5");
  EXPECT_EQ(answer(kLiveAudio), "5");
  EXPECT_EQ(answer(kStoredVideo), "0");
  EXPECT_EQ(answer(kLiveAlarm), "0");
  // The camera's once-a-second report shows its frames refused with code 5.
  EXPECT_TRUE(eventually([&] { return console().find(" camera sent in 1s: ") != std::string::npos &&
                                      std::regex_search(console(), std::regex(R"(camera sent in 1s: .*refused: [^\n]*\d+ with code 5)")); }))
      << console();

  run("shrink", "shrank");
  std::string audio;
  ASSERT_TRUE(eventually([&] { return (audio = answer(kLiveAudio)) == "0"; }, 20s)) << audio;
  EXPECT_EQ(answer(kLiveVideo), "3");  // video waits for its next key frame
  EXPECT_EQ(answer(kLiveVideoKey), "0");
  EXPECT_EQ(answer(kLiveVideo), "0");
  // The episode ends with a message only a minute after the last low reading.
  if (std::chrono::steady_clock::now() - lowSince < 50s) {
    EXPECT_EQ(console().find(kOk), std::string::npos);
    EXPECT_EQ(alarmsSeen(), "01");
  }
  EXPECT_EQ(linesWith(console(), kLow).size(), 1u);
  core->stop();
  EXPECT_EQ(core->wait(), 0) << core->errors();
}

// The first line comes as soon as the dispatch loop takes its first event.
TEST_F(MemoryThrottling, FirstStatisticsLineAtStartUp) {
  start({"DVRTEST_TOTALRAM=268435456"});
  ASSERT_TRUE(core->waitForOutput("top: ")) << core->output();
  static const std::regex line(
      "\x1b\\[32m\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d\x1b\\[36m core\x1b\\[0m "
      R"(InQ:[\d,]+ events:1 idle:0s throttled\[v:0 a:0\])"
      "\n"
      R"(ltm:0us ipc\[r:0 p:0 d:0\] srch\[r:0 c:0 p:0 d:0\])"
      "\n"
      R"(memory\[inuse:(0|[\d.]+[KMG]iB \+[\d.]+[KMG]iB)\] refblks:[1-9][\d,]*\([^)]+\) top: Core [1-9][\d,]*)"
      "\n");
  EXPECT_TRUE(std::regex_search(core->output(), line)) << core->output();
  core->stop();
  EXPECT_EQ(core->wait(), 0);
}

TEST_F(MemoryThrottling, LimitsLineShowsWhatTheMachineReports) {
  struct Row {
    std::vector<std::string> environment;
    std::optional<uint64_t> stack;
    std::string line;
  };
  const Row rows[] = {
      {{"DVRTEST_TOTALRAM=268435456"}, 8 * MiB, "memory limits, throttling:190MiB stack:8MiB"},
      {{"DVRTEST_TOTALRAM=1073741824", "DVRTEST_STACK=unlimited"}, {}, "memory limits, throttling:819.2MiB stack:-1"},
      {{"DVRTEST_TOTALRAM=fail", "DVRTEST_STACK=fail"}, 16 * MiB, "memory limits, throttling:190MiB stack:0"},
  };
  for (const Row& row : rows) {
    start(row.environment, row.stack);
    EXPECT_TRUE(core->waitForOutput(row.line)) << core->output();
    core->stop();
    EXPECT_EQ(core->wait(), 0);
    EXPECT_EQ(linesWith(console(), "memory limits").size(), 1u);
  }
}

// With Throttling="0" no alarm is ever queued and memory never refuses
// anything; the limits line is the only memory message.
TEST_F(MemoryThrottling, SwitchedOffInTheConfiguration) {
  tree.writeFile("work/core.xml", R"(<?xml version="1.0"?><kDVR><Memory ID="-2147483648" Throttling="0"/></kDVR>)");
  start({"DVRTEST_TOTALRAM=268435456"});
  ASSERT_TRUE(core->waitForOutput("memory limits, throttling:190MiB stack:8MiB")) << core->output();
  run("grow mb=200", "grew mb=200");
  // Readings come once a second: a few seconds of frames are all admitted.
  const auto until = std::chrono::steady_clock::now() + 3s;
  while (std::chrono::steady_clock::now() < until) {
    ASSERT_EQ(answer(kLiveVideoKey), "0");
    ASSERT_EQ(answer(kLiveAudio), "0");
  }
  run("shrink", "shrank");
  core->stop();
  EXPECT_EQ(core->wait(), 0);
  EXPECT_EQ(alarmsSeen(), "");
  EXPECT_EQ(console().find("available system memory"), std::string::npos) << console();
}

// Above the core's threshold of 25 the statistics line is not written.
TEST_F(MemoryThrottling, CoreThresholdAbove25SuppressesTheStatisticsLine) {
  tree.writeFile("work/core.xml",
                 R"(<?xml version="1.0"?><kDVR><Modules><Module ID="-2147483648" Name="Core">)"
                 R"(<Plugin ID="-2147483648" LogLevel="50"/></Module></Modules></kDVR>)");
  start({"DVRTEST_TOTALRAM=268435456"});
  // The statistics tick runs before the first event is delivered.
  ASSERT_TRUE(eventually([&] { return alarmsSeen() == "0"; })) << core->output();
  core->stop();
  EXPECT_EQ(core->wait(), 0);
  EXPECT_EQ(core->output().find("InQ:"), std::string::npos) << core->output();
  EXPECT_EQ(core->output().find("memory limits"), std::string::npos) << core->output();
}
