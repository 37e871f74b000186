// What the running core keeps mapped: libcrypto and zlib only once a request
// needs them, and then the crypto service answers as before; no resident page
// of the locale archive once the digit grouping has been read from it.
#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <utility>

#include "CoreHarness.h"
#include "TestPaths.h"

using namespace dvrtest;

namespace {

// The object files mapped into `pid`, one path per mapping line.
std::string mappedFiles(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/maps");
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Whether `library` is mapped. Under emulation the emulator's own libraries
// (zlib among them) are mapped too: only the target's count.
bool maps(pid_t pid, const std::string& library) {
  std::istringstream lines(mappedFiles(pid));
  for (std::string line; std::getline(lines, line);) {
    if (line.find(library) == std::string::npos) continue;
    if (!emulated() || line.find("/arm-linux-gnueabihf/") != std::string::npos) return true;
  }
  return false;
}

// The resident kilobytes of every mapping of `file` in `pid`, and how many
// such mappings there are.
std::pair<long, int> residentKib(pid_t pid, const std::string& file) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/smaps");
  long kib = 0;
  int mappings = 0;
  bool inside = false;
  for (std::string line; std::getline(in, line);) {
    // A mapping starts with "start-end perms offset dev inode path"; its
    // figures follow as "Key: value kB" lines.
    const std::string first = line.substr(0, line.find(' '));
    const auto dash = first.find('-');
    if (dash != std::string::npos && dash > 0 && first.find_first_not_of("0123456789abcdef-") == std::string::npos) {
      inside = line.ends_with(file);
      mappings += inside ? 1 : 0;
    } else if (inside && line.starts_with("Rss:")) {
      kib += std::stol(line.substr(4));
    }
  }
  return {kib, mappings};
}

// A core with its log plug-in and one test plug-in, cr.so.
class Footprint : public ::testing::Test {
 protected:
  Footprint() {
    tree.addLogPlugin();
    // Its alarm comes back through the dispatch loop: the core has started.
    tree.addPlugin("tp_basic", "cr.so",
                   {{"id", "0x120000"}, {"alarm", "0x2000000"}, {"onLoad", "post type=4 source=0x120000 text=started"}});
  }
  void startAndWait() {
    core.emplace(tree);
    ASSERT_TRUE(eventually([&] { return !tree.journalLines({"cr.so OnEvent type=0x4 ", "'started'"}).empty(); }));
  }
  InstallTree tree;
  std::optional<CoreProcess> core;
};

TEST_F(Footprint, TheLocaleArchiveKeepsNoPageResidentOnceTheGroupingIsRead) {
  if (emulated()) GTEST_SKIP() << "the emulator maps the target's files itself";
  // The first statistics line, grouped by "{:L}", comes before the alarm.
  ASSERT_NO_FATAL_FAILURE(startAndWait());
  ASSERT_TRUE(eventually([&] { return stripColours(core->output()).find("InQ:") != std::string::npos; }));
  const auto [kib, mappings] = residentKib(core->pid(), "/locale-archive");
  if (mappings == 0) GTEST_SKIP() << "this system has no locale archive (en_US.UTF-8 comes from elsewhere)";
  EXPECT_EQ(kib, 0) << mappedFiles(core->pid());
  core->stop();
  EXPECT_EQ(core->wait(), 0);
}

TEST_F(Footprint, LibcryptoIsMappedOnlyOnceACryptoRequestNeedsIt) {
  ASSERT_NO_FATAL_FAILURE(startAndWait());
  EXPECT_FALSE(maps(core->pid(), "/libcrypto.so")) << mappedFiles(core->pid());
  EXPECT_FALSE(maps(core->pid(), "/libz.so")) << mappedFiles(core->pid());

  // 100 bytes transformed in place in a 200-byte buffer (128 transformed).
  core->sendPacket(0x12, 100, "post type=0x8000 flags=2 param=100 length=200 tag=crypto");
  ASSERT_TRUE(eventually([&] { return !tree.journalLines({"cr.so posted tag=crypto"}).empty(); }));
  EXPECT_EQ(tree.journalLines({"cr.so posted tag=crypto", "results=0"}).size(), 1u) << stripColours(core->output());
  EXPECT_TRUE(maps(core->pid(), "/libcrypto.so"));

  core->stop();
  EXPECT_EQ(core->wait(), 0);
}

}  // namespace
