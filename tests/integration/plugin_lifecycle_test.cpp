// A plug-in's whole life in the real executable: opening in list order,
// closing and unloading by close rank, plug-ins with id 8 kept to the end,
// the log plug-in from start-up to destruction, plug-in threads, which entry
// point an event takes, and when daemon packets reach a plug-in.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "CoreHarness.h"
#include "plugin_api.h"

using namespace dvrtest;
namespace fs = std::filesystem;

namespace {

using Strings = std::vector<std::string>;

// A log event a test plug-in posts: "post" arguments for a live text line.
std::string postLog(const std::string& idWord, const std::string& text) {
  return "post type=0x40 flags=0x1000002 param=50 source=" + idWord + " text=" + text;
}

class PluginLifecycle : public ::testing::Test {
 protected:
  // Starts the core, waits until `ready` holds (the journal shows the run got
  // where the test needs it), stops it and returns the raw console output.
  std::string runUntil(const std::function<bool()>& ready) {
    CoreProcess core(tree);
    EXPECT_TRUE(eventually(ready)) << stripColours(core.output());
    core.stop();
    EXPECT_EQ(core.wait(), 0) << core.output();
    return core.output();
  }

  std::string runThrough() {
    return runUntil([] { return true; });
  }

  // Journal lines of one plug-in's `call` (not lines that merely quote it).
  Strings callsOf(const std::string& fileName, const std::string& call) const {
    Strings found;
    for (const std::string& line : tree.journal()) {
      if (line.rfind(fileName + " " + call, 0) == 0) found.push_back(line);
    }
    return found;
  }

  bool journalHas(const std::vector<std::string>& parts) const { return tree.journalPosition(parts) >= 0; }
  long at(const std::vector<std::string>& parts) const { return tree.journalPosition(parts); }

  // File names in the order the plug-ins journaled `call`.
  Strings callOrder(const std::string& call) const {
    Strings names;
    for (const std::string& line : tree.journalLines({" " + call + " "})) {
      const std::string name = line.substr(0, line.find(' '));
      if (line.compare(name.size(), call.size() + 2, " " + call + " ") == 0) names.push_back(name);
    }
    return names;
  }

  InstallTree tree;
};

Strings textsStarting(const std::string& output, const std::string& prefix) {
  Strings found;
  for (const ConsoleLine& line : consoleLines(output)) {
    if (line.text.rfind(prefix, 0) == 0) found.push_back(line.text);
  }
  return found;
}

long consoleIndex(const std::string& output, const std::string& prefix) {
  const auto lines = consoleLines(output);
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].text.rfind(prefix, 0) == 0) return static_cast<long>(i);
  }
  return -1;
}

}  // namespace

TEST_F(PluginLifecycle, PluginsCloseAndUnloadByRankThenNameAfterOpeningInListOrder) {
  tree.addPlugin("tp_basic", "a.so", {{"id", "0x10000"}, {"closeRank", "1"}});
  tree.addPlugin("tp_basic", "D.so", {{"id", "0x20000"}, {"closeRank", "5"}});
  tree.addPlugin("tp_basic", "b.so", {{"id", "0x30000"}, {"closeRank", "5"}});
  // Unopenable: still opened, closed and unloaded by name, only Unload is called.
  tree.addPlugin("tp_no_open", "x.so", {{"id", "0x40000"}, {"closeRank", "3"}});
  // The largest rank closes first: ranks compare unsigned.
  tree.addPlugin("tp_basic", "top.so", {{"id", "0x50000"}, {"closeRank", "0xFFFFFFFF"}});

  const std::string output = runThrough();
  EXPECT_EQ(textsStarting(output, "Opening"),
            (Strings{"Opening 01:a", "Opening 03:b", "Opening 02:D", "Opening 05:top", "Opening 04:x"}));
  // There is no LogPI.so: its record (id 00, rank 0) joined the list all the same.
  EXPECT_EQ(textsStarting(output, "Closing"), (Strings{"Closing 05:top", "Closing 03:b", "Closing 02:D",
                                                       "Closing 04:x", "Closing 01:a", "Closing 00:LogPI"}));
  EXPECT_EQ(textsStarting(output, "Unloading"),
            (Strings{"Unloading 05:top", "Unloading 03:b", "Unloading 02:D", "Unloading 04:x", "Unloading 01:a",
                     "Unloading 00:LogPI"}));
  for (const char* text : {"Opening 01:a", "Closing 01:a", "Unloading 01:a"}) {
    EXPECT_EQ(consoleLines(output)[static_cast<size_t>(consoleIndex(output, text))].colour, levelColour(25));
  }
  EXPECT_EQ(callOrder("Open"), (Strings{"a.so", "b.so", "D.so", "top.so"}));
  EXPECT_EQ(callOrder("Close"), (Strings{"top.so", "b.so", "D.so", "a.so"}));
  EXPECT_EQ(callOrder("Unload"), (Strings{"top.so", "b.so", "D.so", "x.so", "a.so"}));
  // Every Load got the device identity: the first line of /etc/machine-id.
  std::string identity;
  std::getline(std::ifstream("/etc/machine-id"), identity);
  EXPECT_EQ(tree.journalLines({" Load size=" + std::to_string(sizeof(km::core::LoadIn)) + " version=4 outsize=68 outversion=3 idword=0x0 identity=" + identity +
                               " post=set thread=main"})
                .size(),
            5u);
  // Every plug-in is closed before the first is unloaded, all on the main thread.
  EXPECT_LT(at({"a.so Close "}), at({"top.so Unload "}));
  for (const std::string& line : tree.journal()) {
    if (line.find(" Unload ") != std::string::npos || line.find(" Close ") != std::string::npos ||
        line.find(" Open ") != std::string::npos || line.find(" Load ") != std::string::npos) {
      EXPECT_NE(line.find("thread=main"), std::string::npos) << line;
    }
  }
}

TEST_F(PluginLifecycle, PluginsWithId8AreTakenOutBeforeTheCloseStepAndTheLogPluginStaysToTheEnd) {
  // A plug-in with id 8 that is not the log plug-in is destroyed first; its
  // Unload logs a line, which must come before the first "Closing".
  tree.addPlugin("tp_basic", "e8.so",
                 {{"id", "0x80000"}, {"closeRank", "9"}, {"onUnload", postLog("0x80000", "e8-unloaded")}});
  tree.addPlugin("tp_basic", "r.so", {{"id", "0x10000"}});
  tree.addPlugin("tp_basic", "LogPI.so", {{"id", "0x80000"}, {"log", "0x2000000"}});

  const std::string output = runThrough();
  const long gone = consoleIndex(output, "e8-unloaded");
  ASSERT_GE(gone, 0) << stripColours(output);
  EXPECT_LT(gone, consoleIndex(output, "Closing"));
  EXPECT_EQ(textsStarting(output, "Closing"), (Strings{"Closing 01:r"}));
  EXPECT_EQ(textsStarting(output, "Unloading"), (Strings{"Unloading 01:r"}));

  EXPECT_EQ(callOrder("Close"), (Strings{"e8.so", "r.so", "LogPI.so"}));
  EXPECT_EQ(callOrder("Unload"), (Strings{"e8.so", "r.so", "LogPI.so"}));
  EXPECT_LT(at({"e8.so Unload ", "thread=main"}), at({"r.so Close "}));
  // The log plug-in, still open, got the lines of the close and unload steps
  // straight from the logging thread.
  EXPECT_LT(at({"LogPI.so OnEvent type=0x40 ", "payload='Unloading 01:r'"}), at({"LogPI.so Close "}));
}

TEST_F(PluginLifecycle, TheLogPluginIsOpenedAtStartUpAndJoinsTheListLastAfterTheOpenStep) {
  tree.addPlugin("tp_full", "LogPI.so",
                 {{"id", "0x80000"}, {"log", "0x2000000"}, {"alarm", "0x2000000"}, {"worker", "1"}, {"reader", "1"},
                  {"onOpen", postLog("0x80000", "log-plugin-open")}});
  tree.addPlugin("tp_basic", "p.so",
                 {{"id", "0x10000"}, {"alarm", "0x2000000"}, {"onOpen", "post type=4 source=0x10000 text=alarm-1"}});
  tree.addPlugin("tp_basic", "q.so", {{"id", "0x20000"}, {"alarm", "0x2000000"}});

  const std::string output =
      runUntil([&] { return journalHas({"LogPI.so OnEvent type=0x4 ", "payload='alarm-1'"}); });
  // Loaded and opened before any other plug-in, without messages of its own.
  const Strings journal = tree.journal();
  ASSERT_GE(journal.size(), 2u);
  EXPECT_EQ(journal[0].rfind("LogPI.so Load ", 0), 0u) << journal[0];
  EXPECT_EQ(journal[1].rfind("LogPI.so Open ", 0), 0u) << journal[1];
  EXPECT_LT(at({"LogPI.so Open "}), at({"p.so Load "}));
  EXPECT_EQ(textsStarting(output, "Loaded plugin"), (Strings{"Loaded plugin 01:p", "Loaded plugin 02:q"}));
  EXPECT_EQ(textsStarting(output, "Opening"), (Strings{"Opening 01:p", "Opening 02:q"}));
  // Its own lines carry no module name but its id.
  ASSERT_GE(consoleIndex(output, "log-plugin-open"), 0);
  EXPECT_EQ(consoleLines(output)[static_cast<size_t>(consoleIndex(output, "log-plugin-open"))].module, "PI08");
  // A reader thread, but never a worker thread.
  EXPECT_EQ(tree.journalLines({"LogPI.so Read ", "req=0x0"}).size(), 1u);
  EXPECT_TRUE(tree.journalLines({"LogPI.so IOCTL code=1"}).empty());

  // Nothing reaches it before the open step has ended; then it comes last.
  const long firstEvent = at({"LogPI.so OnEvent"});
  EXPECT_GT(firstEvent, at({"q.so Open "}));
  EXPECT_TRUE(journalHas({"LogPI.so OnEvent type=0x40 ", "payload='Loaded plugin 01:p'"}));
  EXPECT_LT(at({"p.so OnEvent type=0x4 ", "alarm-1"}), at({"q.so OnEvent type=0x4 ", "alarm-1"}));
  EXPECT_LT(at({"q.so OnEvent type=0x4 ", "alarm-1"}), at({"LogPI.so OnEvent type=0x4 ", "alarm-1"}));
  // With id 8 it outlives the close and unload steps.
  EXPECT_TRUE(textsStarting(output, "Closing 08").empty());
  EXPECT_EQ(callOrder("Close"), (Strings{"p.so", "q.so", "LogPI.so"}));
  EXPECT_LT(at({"LogPI.so reader-end"}), at({"LogPI.so Unload "}));
  EXPECT_LT(at({"q.so Unload "}), at({"LogPI.so Close "}));
}

TEST_F(PluginLifecycle, ALogPluginWithAnotherIdIsClosedAndUnloadedWithTheOthers) {
  tree.addPlugin("tp_basic", "LogPI.so", {{"id", "0x90000"}, {"log", "0x2000000"}});
  tree.addPlugin("tp_basic", "p.so", {{"id", "0x10000"}, {"closeRank", "1"}});
  const std::string output = runThrough();
  EXPECT_EQ(textsStarting(output, "Closing"), (Strings{"Closing 01:p", "Closing 09:LogPI"}));
  EXPECT_EQ(textsStarting(output, "Unloading"), (Strings{"Unloading 01:p", "Unloading 09:LogPI"}));
  EXPECT_EQ(callOrder("Close"), (Strings{"p.so", "LogPI.so"}));
  EXPECT_EQ(tree.journalLines({"LogPI.so Close "}).size(), 1u);
  EXPECT_EQ(tree.journalLines({"LogPI.so Unload "}).size(), 1u);
}

TEST_F(PluginLifecycle, AMissingOrBrokenLogPluginNeverStopsStartUp) {
  tree.addPlugin("tp_basic", "p.so", {{"id", "0x10000"}});
  const fs::path logPlugin = tree.pluginsDir() / "LogPI.so";
  auto expectStartUp = [&](const std::string& what) {
    fs::remove(tree.journalPath());
    const std::string output = runThrough();
    EXPECT_EQ(textsStarting(output, "Opening"), (Strings{"Opening 01:p"})) << what;
    EXPECT_TRUE(textsStarting(output, "Failed to load").empty()) << what << ": its errors stay on its record";
    EXPECT_EQ(tree.journalLines({"p.so Unload "}).size(), 1u) << what;
    return output;
  };

  for (const char* what : {"missing", "no library", "refusing Load", "no Unload"}) {
    const std::string name = what;
    fs::remove(logPlugin);
    if (name == "no library") tree.writeFile("bin/plugins/LogPI.so", "not a library");
    if (name == "refusing Load") tree.addPlugin("tp_basic", "LogPI.so", {{"id", "0x80000"}, {"loadResult", "7"}});
    if (name == "no Unload") tree.addPlugin("tp_no_unload", "LogPI.so", {{"id", "0x80000"}});
    const std::string output = expectStartUp(name);
    EXPECT_TRUE(tree.journalLines({"LogPI.so Unload "}).empty()) << name;
    if (name == "refusing Load") {
      // The declaration its Load wrote is kept: id 8, so it is withheld.
      EXPECT_EQ(tree.journalLines({"LogPI.so Load "}).size(), 1u);
      EXPECT_EQ(textsStarting(output, "Closing"), (Strings{"Closing 01:p"}));
      continue;
    }
    // The failed record keeps the preset id 00: closed and unloaded like any
    // other (by name: "LogPI.so" before "p.so").
    EXPECT_EQ(textsStarting(output, "Closing"), (Strings{"Closing 00:LogPI", "Closing 01:p"})) << name;
    EXPECT_EQ(textsStarting(output, "Unloading"), (Strings{"Unloading 00:LogPI", "Unloading 01:p"})) << name;
    EXPECT_TRUE(tree.journalLines({"LogPI.so Load "}).empty()) << name;
  }

  // A log plug-in without Open stays loaded and is unloaded when the core goes.
  fs::remove(logPlugin);
  tree.addPlugin("tp_no_open", "LogPI.so", {{"id", "0x80000"}});
  expectStartUp("no Open");
  EXPECT_TRUE(tree.journalLines({"LogPI.so Open "}).empty());
  EXPECT_EQ(tree.journalLines({"LogPI.so Unload "}).size(), 1u);
  EXPECT_GT(tree.journalPosition({"LogPI.so Unload "}), tree.journalPosition({"p.so Unload "}));
}

TEST_F(PluginLifecycle, TheRealLogPluginWritesEveryLineUntilTheEnd) {
  tree.addLogPlugin();
  tree.addPlugin("tp_basic", "p.so", {{"id", "0x50000"}});
  const fs::path logFile = tree.workDir() / "dvrcore.log";
  auto logText = [&] {
    std::ifstream in(logFile);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  };
  const std::string output = runUntil([&] { return logText().find("Opening 05:p") != std::string::npos; });
  EXPECT_TRUE(textsStarting(output, "Closing 08").empty()) << "id 8: not closed with the others";
  const std::string text = logText();
  EXPECT_NE(text.find(" 25 core Loaded plugin 05:p\n"), std::string::npos) << text;
  EXPECT_NE(text.find(" 25 core Unloading 05:p\n"), std::string::npos) << text;
}

TEST_F(PluginLifecycle, WorkerThreadsStartBeforeTheOpenStepAndThreadsEndBeforeUnload) {
  tree.addPlugin("tp_full", "w.so", {{"id", "0x20000"}, {"worker", "1"}, {"reader", "1"}});
  // Opened first (id 6); waits for the worker of w.so, which must already run.
  tree.addPlugin("tp_basic", "first.so", {{"id", "0x60000"}, {"onOpen", "waitfor ms=10000 text=w.so IOCTL code=1"}});
  runThrough();
  EXPECT_TRUE(journalHas({"first.so waited found=1"}));
  const auto worker = callsOf("w.so", "IOCTL code=1 ");
  ASSERT_EQ(worker.size(), 1u);
  EXPECT_NE(worker[0].find("thread=other"), std::string::npos);
  const auto reader = callsOf("w.so", "Read ");
  ASSERT_EQ(reader.size(), 1u);
  EXPECT_NE(reader[0].find("mode=1 length=0 payload=null req=0x0 second=null thread=other"), std::string::npos);
  EXPECT_GT(at({"w.so Read "}), at({"w.so Open "}));
  EXPECT_LT(at({"w.so worker-end"}), at({"w.so Unload "}));
  EXPECT_LT(at({"w.so reader-end"}), at({"w.so Unload "}));
}

TEST_F(PluginLifecycle, EventsTakeOnEventBeforeWriteAndConfigEventsTakeIoctlWithoutOnEvent) {
  tree.addPlugin("tp_basic", "poster.so",
                 {{"id", "0x10000"},
                  {"onOpen", "post type=4 source=0x10000 text=alarm-1;post type=0x100 flags=0x1000010 source=0x10000 "
                             "text=<Config/>"}});
  tree.addPlugin("tp_full", "full.so", {{"id", "0x20000"}, {"alarm", "0x2000000"}, {"acceptsWrite", "1"}});
  tree.addPlugin("tp_write", "wr.so", {{"id", "0x30000"}, {"alarm", "0x2000000"}, {"acceptsWrite", "1"}});
  tree.addPlugin("tp_write", "nw.so", {{"id", "0x40000"}, {"alarm", "0x2000000"}});
  tree.addPlugin("tp_no_open", "no.so", {{"id", "0x50000"}, {"alarm", "0x2000000"}});

  runUntil([&] { return journalHas({"no.so IOCTL code=2"}) && journalHas({"nw.so IOCTL code=2"}); });
  EXPECT_EQ(tree.journalLines({"full.so OnEvent type=0x4 ", "payload='alarm-1'"}).size(), 1u);
  EXPECT_EQ(tree.journalLines({"full.so OnEvent type=0x100 ", "payload='<Config/>'"}).size(), 1u);
  EXPECT_TRUE(tree.journalLines({"full.so Write"}).empty());
  EXPECT_TRUE(tree.journalLines({"full.so IOCTL code=2"}).empty());

  const auto written = tree.journalLines({"wr.so Write ", "type=0x4 ", "source=0x10000 "});
  ASSERT_EQ(written.size(), 1u);
  EXPECT_NE(written[0].find("Write outsize=24 "), std::string::npos) << written[0];
  EXPECT_NE(written[0].find("source=0x10000 "), std::string::npos) << written[0];
  EXPECT_NE(written[0].find("payload='alarm-1'"), std::string::npos) << written[0];
  EXPECT_NE(written[0].find(" size=" + std::to_string(sizeof(km::core::WriteIn)) + " "), std::string::npos);
  EXPECT_TRUE(tree.journalLines({"wr.so Write ", "type=0x100 "}).empty());
  EXPECT_EQ(tree.journalLines({"wr.so IOCTL code=2 ", "outcode=2 length=9 thread=main"}).size(), 1u);

  EXPECT_TRUE(tree.journalLines({"nw.so Write"}).empty()) << "Write only with acceptsWrite";
  EXPECT_EQ(tree.journalLines({"nw.so IOCTL code=2 ", "length=9"}).size(), 1u);
  // Unopenable: no events, but config events through IOCTL all the same.
  EXPECT_TRUE(tree.journalLines({"no.so OnEvent"}).empty());
  EXPECT_EQ(tree.journalLines({"no.so IOCTL code=2 ", "length=9 thread=main"}).size(), 1u);
}

TEST_F(PluginLifecycle, DaemonPacketsReachPluginsFromTheOpenStepUntilTheUnloadStep) {
  // s.so takes its time in Load: a packet sent then waits for the open step.
  tree.addPlugin("tp_basic", "s.so", {{"id", "0x10000"}, {"onLoad", "sleep ms=300"}});
  tree.addPlugin("tp_basic", "t.so", {{"id", "0x40000"}});
  // a.so closes first; c.so's Close waits until a.so, closed, got a packet.
  tree.addPlugin("tp_basic", "a.so", {{"id", "0x20000"}, {"closeRank", "2"}});
  tree.addPlugin("tp_basic", "c.so", {{"id", "0x30000"}, {"closeRank", "1"}, {"onClose", "waitfor text=a.so note late-a"}});
  // v.so unloads first and takes its time; packets sent then reach nobody.
  tree.addPlugin("tp_basic", "v.so", {{"id", "0x50000"}, {"closeRank", "3"}, {"onUnload", "sleep ms=300"}});

  CoreProcess core(tree);
  ASSERT_TRUE(eventually([&] { return journalHas({"s.so Load "}); }));
  core.sendPacket(0x1, 100, "journal text=early");
  ASSERT_TRUE(eventually([&] { return journalHas({"s.so note early"}); }));
  for (const char* name : {"a.so", "c.so", "s.so", "t.so", "v.so"}) {
    EXPECT_GT(at({"s.so note early"}), at({std::string(name) + " Open "})) << "delivered before " << name << " was open";
  }
  EXPECT_NE(tree.journalLines({"s.so ipc "})[0].find("thread=other"), std::string::npos);

  core.stop();
  ASSERT_TRUE(eventually([&] { return journalHas({"a.so Close "}); }));
  core.sendPacket(0x2, 100, "journal text=late-a");
  ASSERT_TRUE(eventually([&] { return journalHas({"v.so Unload "}); }));
  core.sendPacket(0x3, 100, "journal text=too-late");
  core.sendPacket(0x2, 100, "journal text=too-late");
  EXPECT_EQ(core.wait(), 0);

  EXPECT_TRUE(journalHas({"c.so waited found=1"})) << "a closed plug-in still gets packets";
  EXPECT_GT(at({"a.so note late-a"}), at({"a.so Close "}));
  EXPECT_LT(at({"a.so note late-a"}), at({"a.so Unload "}));
  EXPECT_TRUE(tree.journalLines({"too-late"}).empty()) << "a packet reached a plug-in in the unload step";
}
