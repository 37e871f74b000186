// The log path of the real executable: console lines byte for byte, the log
// plug-in's file, thresholds as plug-ins see them, and a console nobody reads.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
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

const std::string kTime = "[0-2][0-9]:[0-5][0-9]:[0-6][0-9]\\.[0-9]{3}";

// A whole console line: colour, time, module and text, nothing else.
std::string linePattern(const std::string& colour, const std::string& module, const std::string& text) {
  static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
  auto escape = [](const std::string& raw) { return std::regex_replace(raw, special, R"(\$&)"); };
  return escape(colour) + kTime + escape("\x1b[36m " + module + "\x1b[0m " + text);
}

size_t countLines(const std::string& output, const std::string& pattern) {
  const std::regex whole(pattern);
  size_t count = 0;
  for (const std::string& line : linesWith(output, "")) count += std::regex_match(line, whole) ? 1 : 0;
  return count;
}

std::string fileText(const std::filesystem::path& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class Logging : public ::testing::Test {
 protected:
  InstallTree tree;
  std::unique_ptr<CoreProcess> core;

  void SetUp() override {
    tree.addLogPlugin();
    tree.addPlugin("tp_basic", "Cam.so", {{"id", "0x50000"}});
  }
  void runInCamera(const std::string& script) { core->sendPacket(5, 100, script); }
  void stopAndExpectCleanExit() {
    core->stop();
    EXPECT_EQ(core->wait(), 0);
  }
  std::string logFile() const { return fileText(tree.workDir() / "dvrcore.log"); }
  // dvrcore.log lines: "YYYY-MM-DD HH:MM:SS.mmm <level> <module> <text>".
  size_t logFileLines(const std::string& levelModuleText) const {
    static const std::string stamp = "[0-9]{4}-[0-9]{2}-[0-9]{2} " + kTime + " ";
    const std::regex whole(stamp + std::regex_replace(levelModuleText, std::regex(R"([.()\[\]])"), R"(\$&)"));
    size_t count = 0;
    for (const std::string& line : linesWith(logFile(), "")) count += std::regex_match(line, whole) ? 1 : 0;
    return count;
  }
};

}  // namespace

TEST_F(Logging, ConsoleLinesShowLevelColourLocalTimeModuleAndTrimmedText) {
  tree.addPlugin("tp_basic", "rec.so", {{"id", "0x60000"}, {"log", "0x2000000"}});
  // A configuration, so that no "Config defaulted" message spans two lines.
  tree.writeFile("work/core.xml", "<?xml?><kDVR/>");
  core = std::make_unique<CoreProcess>(tree);
  ASSERT_TRUE(core->waitForOutput("Opening 06:rec"));
  const auto before = std::chrono::system_clock::now();
  std::string script;
  for (int level : {25, 49, 50, 74, 75, 99}) {
    script += "post type=64 flags=0x1000002 source=0x50000 param=" + std::to_string(level) + " text=band " +
              std::to_string(level) + "\n";
  }
  script +=
      "post type=64 flags=0x1000002 source=0x50000 param=50 hex=6469736b2066756c6c0d0a00\n"
      "post type=64 flags=0x1000002 source=0x50000 param=50 hex=0a0a0a\n"
      "post type=64 flags=0x1000002 source=0x120003 param=25 text=nobody's slot\n"
      "post type=64 flags=0x1000002 source=0x50000 param=24 text=too quiet\n"
      "post type=64 flags=0x1000000 source=0x50000 param=50 text=no text flag\n"
      "post type=64 flags=0x4000002 source=0x50000 param=50 text=stored line\n"
      "query type=64 source=0x120000\n"
      "post type=64 flags=0x1000002 source=0x50000 param=25 text=last line\n";
  runInCamera(script);
  ASSERT_TRUE(core->waitForOutput("last line\n"));
  const auto after = std::chrono::system_clock::now();
  stopAndExpectCleanExit();

  const std::string output = core->output();
  const std::vector<std::pair<int, std::string>> bands = {{25, "\x1b[32m"},        {49, "\x1b[32m"},
                                                          {50, "\x1b[38;5;227m"}, {74, "\x1b[38;5;227m"},
                                                          {75, "\x1b[38;5;196m"}, {99, "\x1b[38;5;196m"}};
  for (const auto& [level, colour] : bands) {
    EXPECT_EQ(countLines(output, linePattern(colour, "cam", "band " + std::to_string(level))), 1u) << level;
  }
  EXPECT_EQ(countLines(output, linePattern("\x1b[38;5;227m", "cam", "disk full")), 1u);
  EXPECT_EQ(countLines(output, linePattern("\x1b[32m", "PI12", "nobody's slot")), 1u);
  EXPECT_EQ(countLines(output, linePattern("\x1b[32m", "core", "Loaded plugin 05:Cam")), 1u);
  for (const char* absent : {"too quiet", "no text flag", "stored line"}) {
    EXPECT_EQ(output.find(absent), std::string::npos) << absent;
  }
  // Nothing but whole console lines, each stamped with the local time it was written.
  const auto valid = consoleTimesBetween(before, after);
  const std::regex form("(\x1b\\[[0-9;]*m)+(" + kTime + ")\x1b\\[36m [^\x1b]+\x1b\\[0m .*");
  size_t cameraLines = 0;
  for (const std::string& line : linesWith(output, "")) {
    // The statistics message carries two line feeds of its own.
    if (line.starts_with("ltm:") || line.starts_with("memory[inuse:")) continue;
    std::smatch parts;
    ASSERT_TRUE(std::regex_match(line, parts, form)) << line;
    if (line.find("core\x1b[0m") != std::string::npos) continue;
    ++cameraLines;
    EXPECT_TRUE(valid.contains(parts[2])) << line;
  }
  EXPECT_EQ(cameraLines, bands.size() + 3);
  // The console trims line ends; the event travels as it was posted.
  EXPECT_EQ(tree.journalLines({"rec.so OnEvent type=0x40 ", "payload=x6469736b2066756c6c0d0a00"}).size(), 1u);
  EXPECT_EQ(tree.journalLines({"rec.so OnEvent type=0x40 ", "payload=x0a0a0a"}).size(), 1u);
  EXPECT_EQ(tree.journalLines({"Cam.so query result=25"}).size(), 1u);
}

TEST_F(Logging, TheLogPluginWritesEveryKeptLineToItsFile) {
  core = std::make_unique<CoreProcess>(tree);
  runInCamera(
      "post type=64 flags=0x1000002 source=0x50000 param=30 text=recording started\n"
      "post type=64 flags=0x1000000 source=0x50000 param=60 text=not echoed but logged\n"
      "post type=64 flags=0x1000002 source=0x50000 param=10 text=below the threshold\n");
  stopAndExpectCleanExit();

  EXPECT_EQ(logFileLines("25 core Loaded plugin 05:Cam"), 1u);
  EXPECT_EQ(logFileLines("25 core Opening 05:Cam"), 1u);
  EXPECT_EQ(logFileLines("30 05 recording started"), 1u);
  EXPECT_EQ(logFileLines("60 05 not echoed but logged"), 1u);
  EXPECT_EQ(logFile().find("below the threshold"), std::string::npos);
  // After the dispatch loop has ended, lines reach the log plug-in directly.
  EXPECT_EQ(logFileLines("25 core Closing 05:Cam"), 1u);
  EXPECT_EQ(logFileLines("25 core Unloading 05:Cam"), 1u);
}

TEST_F(Logging, AConsoleNobodyReadsNeitherStopsTheCoreNorTheLogPlugin) {
  CoreProcess::Options options;
  options.consoleWithoutReader = true;
  core = std::make_unique<CoreProcess>(tree, options);
  runInCamera(
      "post type=64 flags=0x1000002 source=0x50000 param=50 text=nobody reads this\n"
      "post type=4 source=0x50000 tag=still-posting");
  stopAndExpectCleanExit();

  EXPECT_EQ(tree.journalLines({"Cam.so posted tag=still-posting thread=0 results=0"}).size(), 1u);
  EXPECT_EQ(logFileLines("50 05 nobody reads this"), 1u);
  EXPECT_EQ(logFileLines("25 core Unloading 05:Cam"), 1u);
}
