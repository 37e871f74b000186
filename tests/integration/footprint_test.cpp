// What the running core keeps mapped: libcrypto and zlib only once a request
// needs them, and then the crypto service answers as before.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

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

TEST(Footprint, LibcryptoIsMappedOnlyOnceACryptoRequestNeedsIt) {
  InstallTree tree;
  tree.addLogPlugin();
  // Its alarm comes back through the dispatch loop: the core has started.
  tree.addPlugin("tp_basic", "cr.so",
                 {{"id", "0x120000"}, {"alarm", "0x2000000"}, {"onLoad", "post type=4 source=0x120000 text=started"}});
  CoreProcess core(tree);
  ASSERT_TRUE(eventually([&] { return !tree.journalLines({"cr.so OnEvent type=0x4 ", "'started'"}).empty(); }));
  EXPECT_FALSE(maps(core.pid(), "/libcrypto.so")) << mappedFiles(core.pid());
  EXPECT_FALSE(maps(core.pid(), "/libz.so")) << mappedFiles(core.pid());

  // 100 bytes transformed in place in a 200-byte buffer (128 transformed).
  core.sendPacket(0x12, 100, "post type=0x8000 flags=2 param=100 length=200 tag=crypto");
  ASSERT_TRUE(eventually([&] { return !tree.journalLines({"cr.so posted tag=crypto"}).empty(); }));
  EXPECT_EQ(tree.journalLines({"cr.so posted tag=crypto", "results=0"}).size(), 1u) << stripColours(core.output());
  EXPECT_TRUE(maps(core.pid(), "/libcrypto.so"));

  core.stop();
  EXPECT_EQ(core.wait(), 0);
}

}  // namespace
