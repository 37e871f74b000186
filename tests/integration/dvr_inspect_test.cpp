// dvr-inspect run as a plug-in author runs it, on the real test plug-ins:
// what it reads from each declaration shape, each warning, libraries that
// crash, hang or are no library, and an install tree whose orders must be
// the ones the real core logs for the same tree.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "CoreHarness.h"
#include "Json.h"
#include "ProgramRun.h"
#include "TestPaths.h"

using namespace dvrtest;
namespace fs = std::filesystem;

namespace {

using Strings = std::vector<std::string>;
using Settings = std::map<std::string, std::string>;

class DvrInspect : public ::testing::Test {
 protected:
  ProgramRun inspect(const Strings& arguments) {
    Strings argv{DVR_INSPECT_EXECUTABLE};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return runProgram(argv, tree.workDir(), {"DVRTEST_JOURNAL=" + tree.journalPath().string()});
  }

  // The JSON report of one library; fails the test when it is no valid JSON.
  Json inspectJson(const fs::path& library, int expectedExit = 0) {
    const ProgramRun run = inspect({"--json", library.string()});
    EXPECT_EQ(run.exitCode, expectedExit) << run.out << run.err;
    try {
      return Json::parse(run.out);
    } catch (const std::exception& error) {
      ADD_FAILURE() << error.what() << "\n" << run.out;
      return Json::parse("{}");
    }
  }

  fs::path plugin(const std::string& variant, const std::string& fileName, const Settings& settings) {
    return tree.addPlugin(variant, fileName, settings);
  }

  InstallTree tree;
};

Strings strings(const Json& array) {
  Strings out;
  for (const Json& item : array.array()) out.push_back(item.string());
  return out;
}

Strings warningCodes(const Json& report) {
  Strings codes;
  for (const Json& warning : report["warnings"].array()) codes.push_back(warning["code"].string());
  return codes;
}

Strings names(const Json& entries) {
  Strings out;
  for (const Json& entry : entries.array()) out.push_back(entry["name"].string());
  return out;
}

// Console texts (any module) that begin with `prefix`, in order.
Strings consoleTextsStarting(const std::string& output, const std::string& prefix) {
  Strings found;
  for (const ConsoleLine& line : consoleLines(output)) {
    if (line.text.rfind(prefix, 0) == 0) found.push_back(line.text);
  }
  return found;
}

Strings prefixed(const std::string& prefix, const Strings& names) {
  Strings out;
  for (const std::string& name : names) out.push_back(prefix + name);
  return out;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST_F(DvrInspect, DeclarationShapesAreReadAsTheCoreReadsThem) {
  const struct {
    const char* variant;
    Settings settings;
    Strings exports;
    const char* name;
    const char* eventEntry;   // nullptr: JSON null
    const char* configEntry;
    const char* packetEntry;
    const char* searchEntry;
    bool worker, reader;
  } shapes[] = {
      {"tp_full",
       {{"id", "0x50000"}, {"video", "0x2000000"}, {"audio", "0x6000000"}, {"closeRank", "7"}, {"worker", "1"},
        {"reader", "1"}},
       {"Load", "Unload", "Open", "Close", "OnEvent", "OnSearch", "Read", "Write", "OnIpcResult", "IOCTL"},
       "05:full", "OnEvent", "OnEvent", "OnIpcResult", "OnSearch", true, true},
      {"tp_write",
       {{"id", "0x60000"}, {"alarm", "0x2000000"}, {"acceptsWrite", "1"}},
       {"Load", "Unload", "Open", "Close", "Write", "OnIpcResult", "IOCTL"},
       "06:write", "Write", "IOCTL", "OnIpcResult", nullptr, false, false},
      {"tp_ioctl",
       {{"id", "0x70000"}},
       {"Load", "Unload", "Open", "Close", "IOCTL"},
       "07:ioctl", nullptr, "IOCTL", "IOCTL", nullptr, false, false},
      {"tp_read",
       {{"id", "0x90000"}, {"reader", "1"}, {"video", "0x4000000"}},
       {"Load", "Unload", "Open", "Close", "Read", "OnIpcResult"},
       "09:read", nullptr, nullptr, "OnIpcResult", "Read", false, true},
      {"c_plugin", {}, {"Load", "Unload", "Open", "Close", "OnEvent"}, "31:c_plugin", "OnEvent", "OnEvent", nullptr,
       nullptr, false, false},
  };
  for (const auto& shape : shapes) {
    SCOPED_TRACE(shape.variant);
    const std::string fileName = std::string(shape.variant).substr(shape.variant[0] == 't' ? 3 : 0) + ".so";
    const Json report = inspectJson(plugin(shape.variant, fileName, shape.settings));
    EXPECT_TRUE(report["loads"].boolean());
    EXPECT_EQ(report["coreMessage"].string(), std::string("Loaded plugin ") + shape.name);
    EXPECT_EQ(strings(report["exports"]), shape.exports);
    const Json& core = report["core"];
    EXPECT_EQ(core["name"].string(), shape.name);
    auto entry = [](const Json& value) { return value.isNull() ? std::string("null") : value.string(); };
    EXPECT_EQ(entry(core["eventEntry"]), shape.eventEntry ? shape.eventEntry : "null");
    EXPECT_EQ(entry(core["configEntry"]), shape.configEntry ? shape.configEntry : "null");
    EXPECT_EQ(entry(core["packetEntry"]), shape.packetEntry ? shape.packetEntry : "null");
    EXPECT_EQ(entry(core["searchEntry"]), shape.searchEntry ? shape.searchEntry : "null");
    EXPECT_EQ(core["workerThread"].boolean(), shape.worker);
    EXPECT_EQ(core["readerThread"].boolean(), shape.reader);
    EXPECT_EQ(core["loadsFirst"].boolean(), std::string(shape.name).substr(0, 2) == "06");
  }

  // Load really ran, once, with the core's records; then Unload.
  EXPECT_EQ(tree.journalLines({"full.so Load size="}).size(), 1u);
  EXPECT_EQ(tree.journalLines({"full.so Unload"}).size(), 1u);

  // Interest words: the live and stored bits, and the close rank, as declared.
  const Json full = inspectJson(tree.pluginsDir() / "full.so");
  const Json& interests = full["declaration"]["interests"];
  EXPECT_TRUE(interests["video"]["live"].boolean());
  EXPECT_FALSE(interests["video"]["stored"].boolean());
  EXPECT_TRUE(interests["audio"]["live"].boolean());
  EXPECT_TRUE(interests["audio"]["stored"].boolean());
  EXPECT_FALSE(interests["alarm"]["live"].boolean());
  EXPECT_EQ(full["declaration"]["closeRank"].number(), 7);
  EXPECT_EQ(full["declaration"]["idWord"].string(), "0x00050000");
  // Which origins the core's routing lets through: own video only as output frames.
  const Json& video = full["core"]["receives"]["video"];
  EXPECT_TRUE(video["fromCore"].boolean());
  EXPECT_TRUE(video["fromOthers"].boolean());
  EXPECT_FALSE(video["fromItself"].boolean());
  EXPECT_EQ(video["itselfOnly"].string(), "as output frames (frameFlags 0x20)");
  EXPECT_FALSE(full["core"]["receives"].has("alarm"));
}

TEST_F(DvrInspect, TheExamplesAreDescribedAsTheCoreRunsThem) {
  const Json log = inspectJson(buildDir() / "plugins" / "LogPI.so");
  EXPECT_EQ(log["core"]["name"].string(), "08:LogPI");
  EXPECT_TRUE(log["coreMessage"].isNull()) << "start-up loads the log plug-in without a message";
  EXPECT_TRUE(log["core"]["logPlugin"].boolean());
  EXPECT_TRUE(log["core"]["withheldAtClose"].boolean());
  EXPECT_EQ(log["core"]["moduleName"].string(), "PI08");
  EXPECT_TRUE(log["declaration"]["interests"]["log"]["live"].boolean());
  EXPECT_TRUE(warningCodes(log).empty());

  const ProgramRun camera = inspect({(buildDir() / "plugins" / "camera.so").string()});
  EXPECT_EQ(camera.exitCode, 0) << camera.err;
  for (const char* line : {"Loaded plugin 21:camera", "exported  Load, Unload, Open, Close, OnIpcResult, IOCTL",
                           "wantsWorkerThread  1", "IOCTL code 1", "its own worker thread",
                           "route word carries 21 in bits 20-27", "No warnings"}) {
    EXPECT_TRUE(contains(camera.out, line)) << line << "\n" << camera.out;
  }
}

TEST_F(DvrInspect, WarningsNameWhatPluginAuthorsGetWrong) {
  const struct {
    const char* variant;
    Settings settings;
    const char* code;
    int exitCode;
  } cases[] = {
      {"tp_basic", {{"id", "0x10000"}, {"loadResult", "3"}}, "load-failed", 1},
      {"tp_no_unload", {{"id", "0x10000"}}, "missing-load-unload", 1},
      {"tp_no_load", {{"id", "0x10000"}}, "missing-load-unload", 1},
      {"tp_no_open", {{"id", "0x10000"}}, "missing-open-close", 0},
      {"tp_no_close", {{"id", "0x10000"}}, "missing-open-close", 0},
      {"tp_no_open", {{"id", "0x10000"}, {"alarm", "0x2000000"}}, "events-undelivered", 0},
      {"tp_basic", {{"id", "none"}}, "no-id", 0},
      {"tp_basic", {}, "id-zero", 0},
      {"tp_basic", {{"id", "0x80000"}}, "log-id", 0},
      {"tp_basic", {{"id", "0x10000"}, {"reader", "1"}}, "reader-without-read", 0},
      {"tp_basic", {{"id", "0x10000"}, {"worker", "1"}}, "worker-without-ioctl", 0},
      {"tp_basic", {{"id", "0x10000"}, {"video", "0x4000000"}}, "stored-without-search", 0},
      {"tp_read", {{"id", "0x10000"}, {"log", "0x4000000"}}, "stored-without-search", 0},  // Read without reader
      {"tp_basic", {{"id", "0x10000"}, {"ptz", "0x4000000"}}, "stored-ignored", 0},
      {"tp_full", {{"id", "0x10000"}}, "write-unused", 0},
      {"tp_basic", {{"id", "0x10000"}, {"declSize", "64"}}, "record-size", 0},
      {"tp_basic", {{"id", "0x10000"}, {"onLoad", "post type=4 size=100 source=0x10000"}}, "record-size", 0},
      {"tp_basic", {{"id", "0x10000"}, {"onLoad", "post type=64 param=50 text=mine"}}, "foreign-source", 0},
  };
  int number = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.variant) + " " + c.code);
    const std::string fileName = "w" + std::to_string(++number) + ".so";
    const Json report = inspectJson(plugin(c.variant, fileName, c.settings), c.exitCode);
    const Strings codes = warningCodes(report);
    EXPECT_NE(std::find(codes.begin(), codes.end(), c.code), codes.end()) << ::testing::PrintToString(codes);
  }
  // A plug-in that does everything right has nothing to be warned about.
  EXPECT_TRUE(warningCodes(inspectJson(tree.addPlugin("c_plugin", "clean.so"))).empty());

  // The failures read as the core's own messages, and Load is called exactly as the core calls it.
  const Json failed = inspectJson(tree.pluginsDir() / "w1.so", 1);
  EXPECT_EQ(failed["coreMessage"].string(), "Failed to load plugin w1.so: load code 3");
  EXPECT_EQ(failed["loadCode"].number(), 3);
  EXPECT_TRUE(tree.journalLines({"w1.so Unload"}).empty()) << "no Unload after a failed Load";
  const Json missing = inspectJson(tree.pluginsDir() / "w2.so", 1);
  EXPECT_EQ(missing["coreMessage"].string(), "Failed to load plugin w2.so: missing Load()/Unload()");
  EXPECT_FALSE(missing["loadCalled"].boolean());
  EXPECT_TRUE(tree.journalLines({"w2.so Load"}).empty()) << "Load is not called without Unload";
}

TEST_F(DvrInspect, WhatThePluginPostsDuringLoadIsShown) {
  const fs::path library = plugin("tp_basic", "talker.so",
                                  {{"id", "0x10000"}, {"onLoad", "post type=64 param=50 flags=0x1000002 text=hello"}});
  const Json report = inspectJson(library);
  ASSERT_EQ(report["posted"].array().size(), 1u);
  const Json& posted = report["posted"][0];
  EXPECT_EQ(posted["type"].string(), "log");
  EXPECT_EQ(posted["param"].number(), 50);
  EXPECT_EQ(posted["text"].string(), "hello");
  EXPECT_TRUE(posted["duringLoad"].boolean());
  EXPECT_TRUE(contains(tree.journalLines({"talker.so posted"}).at(0), "results=0")) << "the stub accepts";
}

TEST_F(DvrInspect, ALoadThatCrashesOrNeverReturnsEndsWithAClearMessageNotACoreDump) {
  const ProgramRun crash = inspect({plugin("tp_basic", "crash.so", {{"loadFault", "crash"}}).string()});
  EXPECT_EQ(crash.exitCode, 1) << crash.out << crash.err;
  EXPECT_TRUE(contains(crash.out, "Loads: no: the library crashed in Load: signal 11") ||
              contains(crash.out, "Loads: no: the library ended the inspecting process in Load"))
      << crash.out;
  EXPECT_TRUE(contains(crash.out, "the core itself would stop there")) << crash.out;
  for (const auto& entry : fs::directory_iterator(tree.workDir())) {
    EXPECT_EQ(entry.path().filename().string().rfind("core", 0), std::string::npos) << entry.path();
  }

  const ProgramRun hang =
      inspect({"--json", "--timeout", "0.3", plugin("tp_basic", "hang.so", {{"loadFault", "hang"}}).string()});
  EXPECT_EQ(hang.exitCode, 1) << hang.out << hang.err;
  const Json report = Json::parse(hang.out);
  EXPECT_EQ(report["inspection"].string(), "timeout");
  EXPECT_EQ(report["stage"].string(), "Load");
  EXPECT_EQ(report["problem"].string(), "did not return from Load within the time limit of 300 ms");
  EXPECT_TRUE(report["coreMessage"].isNull());
  EXPECT_EQ(warningCodes(report), Strings{"hang"});
}

TEST_F(DvrInspect, WhatIsNoLibraryForThisMachineIsRefusedWithTheReason) {
  const fs::path text = tree.writeFile("text.so", "just some text\n");
  const ProgramRun notElf = inspect({text.string()});
  EXPECT_EQ(notElf.exitCode, 1);
  EXPECT_TRUE(contains(notElf.out, "not a shared library: the file does not start with an ELF header")) << notElf.out;

  // A real library whose header says it was built for another machine.
  std::string bytes;
  {
    std::ifstream in(testPluginDir() / "c_plugin.so", std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  bytes[18] = static_cast<char>(sizeof(void*) == 8 ? 0xb7 : 0x3e);  // ARM64 on a 64-bit host, else x86-64
  bytes[19] = 0;
  const fs::path foreign = tree.writeFile("foreign.so", bytes);
  const Json report = inspectJson(foreign, 1);
  EXPECT_FALSE(report["loads"].boolean());
  EXPECT_EQ(report["loadCode"].number(), 79) << "what the core records when dlopen fails";
  ASSERT_EQ(warningCodes(report), Strings{"not-loadable"});
  EXPECT_TRUE(contains(report["warnings"][0]["text"].string(), "a library for ")) << report["warnings"][0]["text"].string();
}

TEST_F(DvrInspect, MissingOrEmptyPlacesAndBadCommandLinesEndWithStatus2) {
  fs::create_directories(tree.root() / "empty");
  const struct {
    Strings arguments;
    const char* message;
  } cases[] = {
      {{(tree.root() / "nothing-here.so").string()}, "No such file or directory"},
      {{(tree.root() / "empty").string()}, "not an install tree"},
      {{tree.binDir().string()}, "no plug-in library in"},
      {{}, "nothing to inspect"},
      {{"--frobnicate", "x.so"}, "unknown option \"--frobnicate\""},
      {{"--timeout", "never", "x.so"}, "--timeout wants seconds"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    const ProgramRun run = inspect(c.arguments);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_TRUE(contains(run.err, c.message)) << run.err;
  }
  const ProgramRun help = inspect({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  for (const char* part : {"--json", "--timeout", "Exit status", "LIBRARY.so", "DIR"}) {
    EXPECT_TRUE(contains(help.out, part)) << part;
  }
}

TEST_F(DvrInspect, AnInstallTreeListsTheOrdersTheRealCoreUses) {
  tree.addLogPlugin();
  tree.addPlugin("tp_basic", "Cam.so", {{"id", "0x210000"}, {"closeRank", "1"}}, tree.protectedDir());
  tree.addPlugin("tp_basic", "Cam.so", {{"id", "0x220000"}});           // hidden by the protected one
  tree.addPlugin("tp_basic", "b.so", {{"id", "0x30000"}, {"closeRank", "5"}});
  tree.addPlugin("tp_basic", "A.so", {{"id", "0x40000"}, {"closeRank", "5"}});
  tree.addPlugin("tp_basic", "m.so", {{"id", "0x60000"}});               // id 6: first in the list
  tree.addPlugin("tp_basic", "dup.so", {{"id", "0x40000"}});             // A.so has id 04
  tree.addPlugin("tp_basic", "bad.so", {{"id", "0x50000"}, {"loadResult", "3"}});
  tree.addPlugin("tp_basic", "eight.so", {{"id", "0x80000"}});           // closed at once
  tree.addPlugin("tp_no_open", "closed.so", {{"id", "0x70000"}, {"closeRank", "9"}});
  tree.addPlugin("tp_basic", "zdIDUvi.so", {{"id", "0x90000"}});         // loads first
  tree.addPlugin("tp_basic", "z.so.1", {{"id", "0x100000"}});

  const ProgramRun run = inspect({"--json", tree.binDir().string()});
  EXPECT_EQ(run.exitCode, 1) << "bad.so fails and dup.so is refused\n" << run.err;
  const Json report = Json::parse(run.out);

  CoreProcess core(tree);
  core.stop();
  ASSERT_EQ(core.wait(), 0) << core.output();
  const std::string console = core.output();

  EXPECT_EQ(prefixed("Loaded plugin ", names(report["loadOrder"])), consoleTextsStarting(console, "Loaded plugin "));
  EXPECT_EQ(prefixed("Opening ", names(report["openOrder"])), consoleTextsStarting(console, "Opening "));
  EXPECT_EQ(prefixed("Closing ", names(report["closeOrder"])), consoleTextsStarting(console, "Closing "));
  EXPECT_EQ(prefixed("Unloading ", names(report["closeOrder"])), consoleTextsStarting(console, "Unloading "));
  EXPECT_EQ(names(report["loadOrder"]),
            (Strings{"09:zdIDUvi", "04:A", "03:b", "21:Cam", "07:closed", "08:eight", "06:m"}));
  EXPECT_EQ(names(report["closedAtOnce"]), Strings{"08:eight"});
  EXPECT_EQ(names(report["keptToTheEnd"]), Strings{"08:LogPI"});

  ASSERT_EQ(report["refused"].array().size(), 1u);
  EXPECT_EQ(consoleTextsStarting(console, "pluginId "), Strings{report["refused"][0]["message"].string()});
  Strings failures;
  for (const Json& library : report["libraries"].array()) {
    if (!library["loads"].boolean()) failures.push_back(library["coreMessage"].string());
  }
  EXPECT_EQ(failures, consoleTextsStarting(console, "Failed to load plugin "));

  // The hidden library and the one the scan passes over are named, with why.
  Strings skipped;
  for (const Json& skip : report["skipped"].array()) {
    skipped.push_back(fs::path(skip["path"].string()).lexically_relative(tree.binDir()).string() + ": " +
                      skip["why"].string());
  }
  std::sort(skipped.begin(), skipped.end());
  EXPECT_EQ(skipped, (Strings{"plugins/Cam.so: hidden by protected-plugins/Cam.so (same file name)",
                              "plugins/z.so.1: not loaded: the name must end exactly in \".so\""}));
  const Strings treeWarnings = warningCodes(report);
  EXPECT_NE(std::find(treeWarnings.begin(), treeWarnings.end(), "shadowed"), treeWarnings.end());
}

TEST_F(DvrInspect, WithoutALogPluginItsEmptyRecordStillClosesLikeTheCoreSays) {
  tree.addPlugin("tp_basic", "one.so", {{"id", "0x10000"}, {"closeRank", "1"}});
  tree.addPlugin("tp_basic", "two.so", {{"id", "0x20000"}});
  const ProgramRun run = inspect({"--json", (tree.binDir() / "plugins").string()});  // a plug-in folder works too
  EXPECT_EQ(run.exitCode, 0) << run.err;
  const Json report = Json::parse(run.out);
  EXPECT_TRUE(report["logPlugin"].isNull());

  CoreProcess core(tree);
  core.stop();
  ASSERT_EQ(core.wait(), 0) << core.output();
  EXPECT_EQ(prefixed("Closing ", names(report["closeOrder"])), consoleTextsStarting(core.output(), "Closing "));
  EXPECT_EQ(names(report["closeOrder"]), (Strings{"01:one", "00:LogPI", "02:two"}));
  const Strings codes = warningCodes(report);
  EXPECT_NE(std::find(codes.begin(), codes.end(), "no-log-plugin"), codes.end());

  const ProgramRun text = inspect({tree.root().string()});  // the install prefix, with bin/ inside
  EXPECT_EQ(text.exitCode, 0) << text.err;
  EXPECT_TRUE(contains(text.out, "Load order (the core's \"Loaded plugin\" lines)\n   1. 01:one")) << text.out;
}

TEST_F(DvrInspect, SeveralPathsGiveAJsonArrayAndTheWorstStatus) {
  const fs::path good = plugin("c_plugin", "good.so", {});
  const fs::path bad = plugin("tp_basic", "bad.so", {{"loadResult", "2"}});
  const ProgramRun run = inspect({"--json", good.string(), bad.string()});
  EXPECT_EQ(run.exitCode, 1);
  const Json reports = Json::parse(run.out);
  ASSERT_EQ(reports.array().size(), 2u);
  EXPECT_TRUE(reports[0]["loads"].boolean());
  EXPECT_FALSE(reports[1]["loads"].boolean());
}
