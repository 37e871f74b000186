// Faults on the real executable, each with what a user needs to be true
// afterwards: the core killed at random points of its start-up, the daemon
// vanishing mid-transfer, stop signals at every stage of start-up and during
// shutdown, and large allocations that fail.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>

#include "CoreHarness.h"

using namespace dvrtest;
namespace fs = std::filesystem;

namespace {

std::string readText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeText(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// A line of the test's own in the journal, which plug-ins waiting with
// "waitfor" see.
void journalNote(const InstallTree& tree, const std::string& text) {
  const int fd = ::open(tree.journalPath().c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  ASSERT_GE(fd, 0);
  const std::string line = "test " + text + "\n";
  EXPECT_EQ(::write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
  ::close(fd);
}

// Whether the process's main thread waits in the open of a FIFO for the
// other end.
bool waitsOnFifo(pid_t pid) {
  const std::string where = readText("/proc/" + std::to_string(pid) + "/wchan");
  return where.find("wait_for_partner") != std::string::npos || where.find("fifo") != std::string::npos;
}

std::string word(uint32_t value) { return std::string(reinterpret_cast<const char*>(&value), sizeof value); }

std::string header(uint32_t length, uint32_t routeId, uint32_t kind) {
  return word(length) + word(routeId << 20) + word(kind) + word(0);
}

int numberAfter(const std::string& line, const std::string& key) {
  const auto at = line.find(key);
  return at == std::string::npos ? -1 : std::atoi(line.c_str() + at + key.size());
}

// --- the core killed during start-up ---------------------------------------------

// A delta document from plug-in 2 setting its own threshold.
std::string deltaPost(int level) {
  return "post type=0x100 flags=0x1000010 source=0x20000 text=<?xml?><kDVR><Modules Delta=\"1\"><Module><Plugin "
         "ID=\"131072\" LogLevel=\"" +
         std::to_string(level) + "\"/></Module></Modules></kDVR>";
}

TEST(StartUpKilled, TheNextStartAlwaysReadsTheOldOrTheNewConfigurationNeverATornOne) {
  InstallTree tree;
  writeText(tree.workDir() / "core.xml",
            "<?xml?><kDVR><Modules><Module><Plugin ID=\"131072\" LogLevel=\"30\"/></Module></Modules></kDVR>");
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  const auto statusEvents = [&] { return tree.journalLines({"rx.so OnEvent type=0x100 ", "source=0x80000000 "}).size(); };

  // A start that reads the configuration (the threshold of plug-in 2, asked
  // at its Load) and then raises that threshold by one, which rewrites
  // core.xml a second time. Without `killAfter` it runs to the end and gives
  // its duration.
  auto start = [&](int raiseTo, std::optional<std::chrono::microseconds> killAfter) {
    fs::remove(tree.journalPath());
    tree.addPlugin("tp_basic", "rx.so", {{"id", "0x20000"}, {"onLoad", "query type=64"}, {"onOpen", deltaPost(raiseTo)}});
    const auto began = std::chrono::steady_clock::now();
    CoreProcess core(tree);
    if (killAfter) {
      std::this_thread::sleep_for(*killAfter);  // the random point is the test
      core.signal(SIGKILL);
      core.wait();
    } else {
      EXPECT_TRUE(eventually([&] { return statusEvents() == 2; })) << stripColours(core.output());
      core.stop();
      EXPECT_EQ(core.wait(), 0);
    }
    const std::string console = stripColours(core.output());
    const auto read = tree.journalLines({"rx.so query result="});
    return std::tuple(std::chrono::steady_clock::now() - began, console,
                      read.empty() ? std::optional<int>() : std::optional<int>(numberAfter(read[0], "result=")));
  };

  // The first start runs through and shows how long a start takes.
  auto [duration, console, read] = start(31, std::nullopt);
  ASSERT_EQ(read, 30) << console;
  int onDisk = 31;  // what the last start that ran through left
  const auto window = std::chrono::duration_cast<std::chrono::microseconds>(duration) * 13 / 10;

  int killedBeforeRead = 0, killedAfterRaise = 0;
  for (int round = 0; round < 12 && !HasFailure(); ++round) {
    const auto after = std::chrono::microseconds(std::uniform_int_distribution<int64_t>(0, window.count())(random));
    SCOPED_TRACE("round " + std::to_string(round) + ", killed after " + std::to_string(after.count()) + " us");
    start(onDisk + 1, after);
    // The next start reads what is on disk now: the old value or the raised
    // one, and never defaults. It runs through and leaves its own raise.
    auto [_, nextConsole, nextRead] = start(onDisk + 2, std::nullopt);
    ASSERT_TRUE(nextRead) << nextConsole;
    EXPECT_EQ(nextConsole.find("Config defaulted"), std::string::npos) << nextConsole;
    EXPECT_TRUE(*nextRead == onDisk || *nextRead == onDisk + 1) << "read " << *nextRead << ", on disk " << onDisk;
    (*nextRead == onDisk ? killedBeforeRead : killedAfterRaise)++;
    onDisk += 2;
  }
  RecordProperty("killed_before_raising", killedBeforeRead);
  RecordProperty("killed_after_raising", killedAfterRaise);
}

// --- the daemon vanishing ------------------------------------------------------

class DaemonGone : public ::testing::Test {
 protected:
  void SetUp() override { tree.addPlugin("tp_basic", "tx.so", {{"id", "0x120000"}}); }

  void expectCleanStop(CoreProcess& core) {
    EXPECT_EQ(core.wait(), 0);
    const std::string console = stripColours(core.output());
    EXPECT_NE(console.find("core korvod ipc pipe disconnected"), std::string::npos) << console;
    EXPECT_NE(console.find("core Closing 12:tx"), std::string::npos) << console;
    EXPECT_NE(console.find("core Unloading 12:tx"), std::string::npos) << console;
    EXPECT_EQ(console.find("refblks: "), std::string::npos) << console;
  }

  InstallTree tree;
};

TEST_F(DaemonGone, WhileTheCoreSendsLargePacketsTheCoreStopsCleanly) {
  CoreProcess core(tree);
  ASSERT_TRUE(core.waitForOutput("Opening 12:tx"));
  core.sendPacket(0x12, 100, "background post type=8192 length=100000 count=200 summary=1 tag=big");
  // Some records arrive whole, then the daemon is gone mid-stream.
  for (int i = 0; i < 3; ++i) {
    const auto record = core.receiveRecord();
    ASSERT_TRUE(record);
    EXPECT_TRUE(record->size() == 65536 || record->size() == 34464) << record->size();
  }
  core.closeDaemonEnd();
  expectCleanStop(core);
  EXPECT_EQ(tree.journalLines({"tx.so posted tag=big", "acceptedAfterRefusal=0"}).size(), 1u);
}

TEST_F(DaemonGone, AfterPartOfAPacketTheCoreStopsCleanlyAndDeliversNothing) {
  const struct {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"a length word alone", word(100)},
      {"a header announcing more", header(1000, 0x12, 50)},
      {"most of the largest packet", header(65536, 0x12, 50) + std::string(40000, 'x')},
      {"a header with a bad length", header(65537, 0x12, 50)},
  };
  for (const auto& [what, bytes] : cases) {
    SCOPED_TRACE(what);
    fs::remove(tree.journalPath());
    CoreProcess core(tree);
    ASSERT_TRUE(core.waitForOutput("Opening 12:tx"));
    core.sendRaw(bytes);
    core.closeDaemonEnd();
    expectCleanStop(core);
    EXPECT_TRUE(tree.journalLines({"tx.so ipc"}).empty());
  }
}

// --- stop signals at every stage of start-up, and during shutdown -------------

class StopSignal : public ::testing::Test {
 protected:
  void addSlowPlugin(const std::string& stage, const std::string& waitFor) {
    tree.addPlugin("tp_basic", "slow.so", {{"id", "0x120000"}, {stage, "waitfor ms=60000 text=" + waitFor}});
  }

  bool journalHas(const std::string& part) const { return !tree.journalLines({part}).empty(); }

  // Exit 0 after the plug-in was opened, closed and unloaded, in that order.
  void expectOrderlyClose(CoreProcess& core) {
    EXPECT_EQ(core.wait(), 0);
    const std::string console = stripColours(core.output());
    EXPECT_NE(console.find("core Closing 12:slow"), std::string::npos) << console;
    EXPECT_NE(console.find("core Unloading 12:slow"), std::string::npos) << console;
    const long open = tree.journalPosition({"slow.so Open "});
    const long close = tree.journalPosition({"slow.so Close "});
    const long unload = tree.journalPosition({"slow.so Unload "});
    EXPECT_GE(open, 0);
    EXPECT_LT(open, close);
    EXPECT_LT(close, unload);
  }

  InstallTree tree;
};

TEST_F(StopSignal, WhileTheConfigurationIsReadTheStartCompletesThenTheCoreCloses) {
  tree.addPlugin("tp_basic", "slow.so", {{"id", "0x120000"}});
  writeText(tree.workDir() / "core.xml", "<?xml?><kDVR><Memory Throttling=\"0\"/></kDVR>");
  // The reader blocks in opening a FIFO left where an interrupted write
  // would have left its pending file.
  const fs::path pending = tree.workDir() / "core.xml.pending";
  ASSERT_EQ(::mkfifo(pending.c_str(), 0644), 0);
  CoreProcess core(tree);
  ASSERT_TRUE(eventually([&] { return waitsOnFifo(core.pid()); }));
  core.signal(SIGTERM);
  // The interrupted open is made again (a signal is no reason to give up a
  // read), and under emulation the signal may land late: a writer comes and
  // goes until the core is done, so that the read ends with an empty file.
  std::atomic<bool> done = false;
  std::thread writer([&] {
    while (!done) {
      const int end = ::open(pending.c_str(), O_WRONLY | O_NONBLOCK);
      if (end >= 0) ::close(end);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  expectOrderlyClose(core);
  done = true;
  writer.join();
  EXPECT_NE(readText(tree.workDir() / "core.xml").find("Throttling=\"0\""), std::string::npos);
}

TEST_F(StopSignal, WhileAPluginLoadsOrOpensTheStartCompletesThenTheCoreCloses) {
  for (const auto& [stage, entry] : {std::pair("onLoad", "Load "), std::pair("onOpen", "Open ")}) {
    SCOPED_TRACE(stage);
    fs::remove(tree.journalPath());
    addSlowPlugin(stage, "go-on");
    CoreProcess core(tree);
    ASSERT_TRUE(eventually([&] { return journalHas(std::string("slow.so ") + entry); }));
    core.signal(SIGTERM);
    journalNote(tree, "go-on");
    expectOrderlyClose(core);
  }
}

TEST_F(StopSignal, WhileTheStatusIsWrittenTheWriteCompletesThenTheCoreCloses) {
  addSlowPlugin("onOpen", "go-on");
  CoreProcess core(tree);
  ASSERT_TRUE(eventually([&] { return journalHas("slow.so Open "); }));
  // The configuration has been read: the status write that follows the
  // open step now blocks in opening its pending file, a FIFO.
  const fs::path pending = tree.workDir() / "core.xml.pending";
  ASSERT_EQ(::mkfifo(pending.c_str(), 0644), 0);
  journalNote(tree, "go-on");
  ASSERT_TRUE(eventually([&] { return waitsOnFifo(core.pid()); }));
  core.signal(SIGTERM);
  const int reader = ::open(pending.c_str(), O_RDONLY);
  ASSERT_GE(reader, 0);
  std::string written;
  char chunk[4096];
  for (ssize_t n; (n = ::read(reader, chunk, sizeof chunk)) > 0;) written.append(chunk, static_cast<size_t>(n));
  ::close(reader);
  expectOrderlyClose(core);
  EXPECT_EQ(written.rfind("<?xml?>\n<kDVR>\n", 0), 0u) << written;
  EXPECT_TRUE(written.ends_with("</kDVR>\n")) << written;
}

TEST_F(StopSignal, FurtherSignalsWhileAPluginClosesChangeNothing) {
  addSlowPlugin("onClose", "go-on");
  CoreProcess core(tree);
  ASSERT_TRUE(core.waitForOutput("Opening 12:slow"));
  core.signal(SIGTERM);
  ASSERT_TRUE(eventually([&] { return journalHas("slow.so Close "); }));
  core.signal(SIGINT);
  core.signal(SIGQUIT);
  core.signal(SIGTERM);
  journalNote(tree, "go-on");
  expectOrderlyClose(core);
}

// --- large allocations that fail ------------------------------------------------

// Options under which every allocation above 2 MiB fails in the core: the
// sanitizers' own allocator options, else a preloaded allocator.
CoreProcess::Options failingLargeAllocations() {
  CoreProcess::Options options;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#if defined(__SANITIZE_ADDRESS__)
  const char* name = "ASAN_OPTIONS";
#else
  const char* name = "TSAN_OPTIONS";
#endif
  const char* inherited = std::getenv(name);
  options.environment.push_back(std::string(name) + "=" + (inherited ? std::string(inherited) + ":" : "") +
                                "allocator_may_return_null=1:max_allocation_size_mb=2");
#else
  options.environment.push_back("LD_PRELOAD=" DVRTEST_FAIL_ALLOCATIONS_SHIM);
  options.environment.push_back("DVRTEST_FAIL_ALLOCATIONS_ABOVE=2097152");
#endif
  return options;
}

TEST(LargeAllocationFailing, APayloadThatCannotBeCopiedTravelsWithoutItAndTheCoreGoesOn) {
  InstallTree tree;
  tree.addPlugin("tp_basic", "src.so", {{"id", "0x120000"}});
  tree.addPlugin("tp_basic", "rx.so", {{"id", "0x130000"}, {"alarm", "0x2000000"}});
  CoreProcess core(tree, failingLargeAllocations());
  ASSERT_TRUE(core.waitForOutput("Opening 13:rx"));
  // A 3 MB alarm (the poster's bytes lie outside the heap): accepted, and
  // delivered with its length but without payload, which receivers check.
  core.sendPacket(0x12, 100, "post type=4 source=0x120000 length=3000000 mmap=1 tag=big");
  // The daemon's copy of a 3 MB packet cannot be had either: refused with 1.
  // The crypto service works in the caller's buffer and needs no memory of
  // its own: it transforms 3 MB all the same.
  core.sendPacket(0x12, 100, "post type=8192 length=3000000 mmap=1 tag=ipc");
  core.sendPacket(0x12, 100, "post type=0x8000 flags=2 param=3000000 length=3000100 mmap=1 tag=crypto");
  // And the core goes on as before.
  core.sendPacket(0x12, 100, "post type=4 source=0x120000 text=small-after");
  ASSERT_TRUE(eventually([&] { return !tree.journalLines({"rx.so OnEvent", "'small-after'"}).empty(); }));
  core.stop();
  EXPECT_EQ(core.wait(), 0);

  EXPECT_EQ(tree.journalLines({"src.so posted tag=big", "results=0"}).size(), 1u);
  EXPECT_EQ(tree.journalLines({"rx.so OnEvent type=0x4 ", "length=3000000 ", "payload=null"}).size(), 1u);
  EXPECT_EQ(tree.journalLines({"src.so posted tag=ipc", "results=1"}).size(), 1u);
  EXPECT_EQ(tree.journalLines({"src.so posted tag=crypto", "results=0"}).size(), 1u);
  EXPECT_FALSE(core.receiveRecord(std::chrono::milliseconds(0)));
  EXPECT_EQ(stripColours(core.output()).find("refblks: "), std::string::npos) << stripColours(core.output());
}

}  // namespace
