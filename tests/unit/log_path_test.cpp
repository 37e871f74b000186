// The log path inside the process: thresholds and the live log filter, the
// core's own messages, console lines of concurrent threads, the console
// switches, the hand-over to the log plug-in while the core stops, and a
// console write that fails. Console lines as the daemon sees them are tested
// on the real executable.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "InProcessCore.h"
#include "log/CoreLog.h"

using namespace km::core;
using namespace dvrtest;

namespace {

constexpr uint32_t kLiveText = DVR_FLAG_LIVE | DVR_FLAG_TEXT;
constexpr uint32_t kCam = 0x00050000;

const std::string kGrey = "\x1b[38;5;248m", kGreen = "\x1b[32m", kYellow = "\x1b[38;5;227m";

std::string line(const std::string& colour, const std::string& module, const std::string& text) {
  return colour + "<time>\x1b[36m " + module + "\x1b[0m " + text + "\n";
}

// A text that a plug-in posts as a log event, kept alive for the call.
int32_t postLog(uint32_t source, int32_t level, const std::string& text, uint32_t flags = kLiveText,
                uint32_t type = DVR_TYPE_LOG) {
  EventParms e = makeEvent(type, flags, source, text);
  e.param = static_cast<uint32_t>(level);
  return post(&e);
}

// Counts how often it was formatted.
struct Counted {};
std::atomic<int> timesFormatted{0};

// Puts `fd` in place of standard output until destroyed.
class StdoutRedirect {
 public:
  explicit StdoutRedirect(int fd) : saved(::dup(STDOUT_FILENO)) {
    std::fflush(stdout);
    ::dup2(fd, STDOUT_FILENO);
  }
  ~StdoutRedirect() {
    std::fflush(stdout);
    std::clearerr(stdout);
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
  }

 private:
  int saved;
};

class LogPath : public ::testing::Test {
 protected:
  InstallTree tree;
  InProcessCore core;

  void SetUp() override {
    std::lock_guard guard(core->logMutex);
    core->moduleNames[5] = "cam";
  }

  // Runs `action` with standard output captured; the console text with each
  // time stamp checked against the clock and replaced by "<time>".
  template <typename Action>
  std::string console(Action action) {
    const auto before = std::chrono::system_clock::now();
    StdoutCapture capture;
    action();
    std::string text = capture.take();
    const auto valid = consoleTimesBetween(before, std::chrono::system_clock::now());
    static const std::regex stamp("[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}(?=\x1b\\[36m | )");
    std::string checked;
    std::sregex_iterator match(text.begin(), text.end(), stamp), end;
    size_t at = 0;
    for (; match != end; ++match) {
      EXPECT_TRUE(valid.contains(match->str())) << match->str();
      checked += text.substr(at, static_cast<size_t>(match->position()) - at) + "<time>";
      at = static_cast<size_t>(match->position() + match->length());
    }
    return checked + text.substr(at);
  }

  void useLogPlugin() {
    core->logPlugin = loadTestPlugin(tree, "tp_basic", "LogPI.so", {{"id", "0x80000"}, {"log", "0x2000000"}});
  }
  std::vector<std::string> handedToLogPlugin() {
    std::vector<std::string> texts;
    for (const std::string& entry : tree.journalLines({"LogPI.so OnEvent type=0x40 "})) {
      texts.push_back(entry.substr(entry.find(" payload=") + 9));
    }
    return texts;
  }
};

}  // namespace

template <>
struct fmt::formatter<Counted> : fmt::formatter<std::string_view> {
  template <typename Context>
  auto format(const Counted&, Context& context) const {
    ++timesFormatted;
    return fmt::formatter<std::string_view>::format("counted", context);
  }
};

TEST_F(LogPath, WithoutColourOrInTheBackgroundTheLineChanges) {
  core->consoleColour = false;
  EXPECT_EQ(console([] { postLog(kCam, 75, "plain"); }), "<time> cam plain\n");
  core->consoleColour = true;
  core->background = true;
  EXPECT_EQ(console([] { EXPECT_EQ(postLog(kCam, 75, "hidden"), 0); }), "");
  EXPECT_EQ(core.drainQueue().size(), 2u);  // the log plug-in still gets both
}

TEST_F(LogPath, MessagesBelowTheThresholdOfTheirSlotAreDropped) {
  EXPECT_EQ(console([] {
              EXPECT_EQ(postLog(kCam, 24, "below the default"), 0);
              EXPECT_EQ(postLog(kCam, 25, "at the default"), 0);
            }),
            line(kGreen, "cam", "at the default"));
  core->logLevels[5] = 50;
  EXPECT_EQ(console([] {
              EXPECT_EQ(postLog(kCam, 30, "below fifty"), 0);
              EXPECT_EQ(postLog(kCam, 50, "at fifty"), 0);
              EXPECT_EQ(postLog(0x00060000, 30, "other slot"), 0);
            }),
            line(kYellow, "cam", "at fifty") + line(kGreen, "PI06", "other slot"));
  // Only type 64 exactly carries its level in param; otherwise the level is 0.
  EXPECT_EQ(console([] { EXPECT_EQ(postLog(kCam, 99, "modified", kLiveText, 0x4040), 0); }), "");
  core->logLevels[5] = 0;
  EXPECT_EQ(console([] { EXPECT_EQ(postLog(kCam, 99, "modified", kLiveText, 0x4040), 0); }),
            line(kGrey, "cam", "modified"));
  // An empty live log event is dropped whatever its level.
  EXPECT_EQ(postLog(kCam, 100, ""), 0);

  std::vector<std::string> texts;
  for (const QueuedEvent& event : core.drainQueue()) texts.push_back(event.payload);
  EXPECT_EQ(texts, (std::vector<std::string>{"at the default", "at fifty", "other slot", "modified"}));
}

TEST_F(LogPath, TheLogQueryAnswersTheThresholdOfTheSlot) {
  EventParms query = makeEvent(DVR_TYPE_LOG, DVR_FLAG_QUERY, 0x00120000);
  EXPECT_EQ(post(&query), 25);
  core->logLevels[0x12] = 100;
  EXPECT_EQ(post(&query), 100);
  EXPECT_EQ(core->logThreshold(0x12), 100);
  EXPECT_EQ(core->logThreshold(0x13), 25);
  core->logLevels[0x13] = -1;
  EXPECT_EQ(core->logThreshold(0x13), 25);
}

TEST_F(LogPath, CoreMessagesAreFormattedOnlyWhenTheirLevelPasses) {
  timesFormatted = 0;
  const std::string printed = console([] {
    coreLog(0, "{}", Counted{});
    coreLog(24, "{}", Counted{});
    coreLog(25, "{} {:L} frames, {:L} bytes", Counted{}, 1234567, 999u);
    coreLog(100, "{}", "");  // empty: nothing posted
  });
  EXPECT_EQ(timesFormatted.load(), 1);
  EXPECT_EQ(printed, line(kGreen, "core", "counted 1,234,567 frames, 999 bytes"));

  const auto queued = core.drainQueue();
  ASSERT_EQ(queued.size(), 1u);
  const std::string text = "counted 1,234,567 frames, 999 bytes";
  EXPECT_EQ(queued[0].payload, text);
  EventParms expected = makeEventRecord(DVR_TYPE_LOG, DVR_FLAG_LIVE | DVR_FLAG_TEXT);
  expected.source = DVR_SOURCE_CORE;
  expected.param = 25;
  expected.length = static_cast<uint32_t>(text.size());
  expected.payload = queued[0].record.payload;
  EXPECT_EQ(std::memcmp(&queued[0].record, &expected, sizeof expected), 0);

  core->logLevels[0] = 75;
  console([] {
    coreLog(50, "{}", Counted{});
    coreLog(75, "{}", std::string(5000, 'x'));
  });
  EXPECT_EQ(timesFormatted.load(), 1);
  const auto later = core.drainQueue();
  ASSERT_EQ(later.size(), 1u);
  EXPECT_EQ(later[0].payload, std::string(5000, 'x'));
  EXPECT_EQ(later[0].record.param, 75u);
}

TEST_F(LogPath, ConsoleLinesOfConcurrentThreadsNeverInterleave) {
  constexpr int kThreads = 4, kEach = 200;
  const std::string printed = console([] {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([t] {
        for (int i = 0; i < kEach; ++i) {
          coreLog(50, "thread {} message {} {}", t, i, std::string(static_cast<size_t>(i % 7) * 100, '.'));
        }
      });
    }
    for (auto& thread : threads) thread.join();
  });
  const std::regex whole("\x1b\\[38;5;227m<time>\x1b\\[36m core\x1b\\[0m thread [0-3] message [0-9]+ \\.*");
  std::istringstream lines(printed);
  std::string entry;
  int count = 0;
  while (std::getline(lines, entry)) {
    EXPECT_TRUE(std::regex_match(entry, whole)) << entry.substr(0, 80);
    ++count;
  }
  EXPECT_EQ(count, kThreads * kEach);
}

TEST_F(LogPath, OnceStoppingLogEventsGoStraightToTheLogPlugin) {
  useLogPlugin();
  console([] { coreLog(25, "while running"); });
  EXPECT_TRUE(handedToLogPlugin().empty());  // queued, not handed over
  core.drainQueue();

  core->Stop();
  console([] {
    coreLog(25, "closing down");
    EXPECT_EQ(postLog(kCam, 30, "camera says bye"), 1);
    EXPECT_EQ(postLog(kCam, 10, "too quiet"), 1);
    EXPECT_EQ(postLog(0x00080000, 50, "the log plug-in's own line"), 1);
    EXPECT_EQ(postLog(kCam, 50, "not live", DVR_FLAG_TEXT), 1);
  });
  EXPECT_EQ(handedToLogPlugin(), (std::vector<std::string>{"'closing down'", "'camera says bye'"}));
  EXPECT_EQ(tree.journalLines({"LogPI.so OnEvent", "thread=main"}).size(), 2u);
  EXPECT_TRUE(core.drainQueue().empty());
}

TEST_F(LogPath, AFullConsolePipeLosesLinesButTheNextLineIsWhole) {
  int pipeFds[2];
  ASSERT_EQ(::pipe2(pipeFds, O_NONBLOCK), 0);
  const std::string filler(65536, 'f');
  while (::write(pipeFds[1], filler.data(), filler.size()) > 0) {
  }
  while (::write(pipeFds[1], filler.data(), 1) > 0) {
  }
  std::string received;
  {
    StdoutRedirect redirect(pipeFds[1]);
    EXPECT_EQ(postLog(kCam, 50, "lost in a full pipe"), 0);
    char buffer[65536];
    while (::read(pipeFds[0], buffer, sizeof buffer) > 0) {
    }
    EXPECT_EQ(postLog(kCam, 50, "after draining"), 0);
    ssize_t n;
    while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0) received.append(buffer, static_cast<size_t>(n));
  }
  ::close(pipeFds[0]);
  ::close(pipeFds[1]);
  EXPECT_EQ(received.substr(0, kYellow.size()), kYellow);
  EXPECT_NE(received.find("\x1b[36m cam\x1b[0m after draining\n"), std::string::npos);
  EXPECT_EQ(received.find("lost"), std::string::npos);
  EXPECT_EQ(core.drainQueue().size(), 2u);
}
