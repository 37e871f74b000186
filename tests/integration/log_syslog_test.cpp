// Critical messages (level 100 and above) are copied to syslog at LOG_CRIT,
// even in the background. These machines run no syslog daemon: the test
// stands in for it with a datagram socket bound at /dev/log.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "CoreHarness.h"

using namespace dvrtest;

namespace {

constexpr const char* kDevLog = "/dev/log";

class Syslog : public ::testing::Test {
 protected:
  InstallTree tree;
  std::unique_ptr<CoreProcess> core;
  int socketFd = -1;

  void SetUp() override {
    if (std::filesystem::exists(kDevLog)) GTEST_SKIP() << "a syslog daemon owns " << kDevLog;
    socketFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(socketFd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, kDevLog);
    ASSERT_EQ(::bind(socketFd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    // Other tests' cores may log critical lines meanwhile: tell them apart by sender.
    const int on = 1;
    ASSERT_EQ(::setsockopt(socketFd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on), 0);
    tree.addLogPlugin();
    tree.addPlugin("tp_basic", "cam.so", {{"id", "0x50000"}});
  }
  void TearDown() override {
    if (socketFd >= 0) {
      ::close(socketFd);
      ::unlink(kDevLog);
    }
  }

  // Every message syslog received from our core until it exited.
  std::vector<std::string> messages() {
    std::vector<std::string> received;
    char buffer[4096];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    pollfd waitFor{socketFd, POLLIN, 0};
    while (::poll(&waitFor, 1, 200) > 0) {
      iovec part{buffer, sizeof buffer};
      msghdr header{};
      header.msg_iov = &part;
      header.msg_iovlen = 1;
      header.msg_control = control;
      header.msg_controllen = sizeof control;
      const ssize_t n = ::recvmsg(socketFd, &header, 0);
      if (n <= 0) break;
      const cmsghdr* credentials = CMSG_FIRSTHDR(&header);
      if (!credentials || credentials->cmsg_type != SCM_CREDENTIALS) continue;
      ucred sender;
      std::memcpy(&sender, CMSG_DATA(credentials), sizeof sender);
      if (sender.pid == core->pid()) received.emplace_back(buffer, static_cast<size_t>(n));
    }
    return received;
  }
  // Messages at LOG_CRIT of the user facility whose text is `text`.
  static size_t critical(const std::vector<std::string>& received, const std::string& text) {
    const std::regex form("<10>.* dvrcore: (.*)");
    size_t count = 0;
    std::smatch parts;
    for (const std::string& message : received) {
      if (std::regex_match(message, parts, form) && parts[1] == text) ++count;
    }
    return count;
  }
  std::string logFile() const {
    std::ifstream in(tree.workDir() / "dvrcore.log");
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
};

const std::string kCriticalColour = "\x1b[38;5;37m\x1b[38;5;1m";

}  // namespace

TEST_F(Syslog, LevelsOfOneHundredAndAboveAreCopiedAndPrintedAsLevelOneHundred) {
  core = std::make_unique<CoreProcess>(tree);
  core->sendPacket(5, 100,
                   "post type=64 flags=0x1000002 source=0x50000 param=150 hex=6469736b206f6e20666972650d0a\n"
                   "post type=64 flags=0x1000002 source=0x50000 param=100 text=at one hundred\n"
                   "post type=64 flags=0x1000002 source=0x50000 param=99 text=just below\n"
                   "post type=64 flags=0x1000002 source=0x50000 param=150 hex=0a0a\n");
  core->stop();
  EXPECT_EQ(core->wait(), 0);

  const auto received = messages();
  EXPECT_EQ(critical(received, "disk on fire"), 1u);
  EXPECT_EQ(critical(received, "at one hundred"), 1u);
  EXPECT_EQ(received.size(), 2u);
  const std::string output = core->output();
  EXPECT_EQ(linesWith(output, kCriticalColour).size(), 2u);
  EXPECT_EQ(linesWith(output, "\x1b[36m cam\x1b[0m disk on fire").size(), 1u);
  EXPECT_EQ(linesWith(output, kCriticalColour)[0].rfind(kCriticalColour, 0), 0u);
  EXPECT_EQ(linesWith(logFile(), " 150 05 disk on fire").size(), 1u);
}

TEST_F(Syslog, TheCoresOwnCriticalMessagesAreCopiedToo) {
  CoreProcess::Options options;
  options.withPipe = false;
  core = std::make_unique<CoreProcess>(tree, options);
  EXPECT_EQ(core->wait(), 0);
  EXPECT_EQ(critical(messages(), "korvod ipc pipe disconnected"), 1u);
}

TEST_F(Syslog, InTheBackgroundNothingIsPrintedButSyslogAndTheLogPluginStillGetTheirLines) {
  core = std::make_unique<CoreProcess>(tree);
  core->sendDaemonInfo(std::string("korvod\0" "1.2.3\0" "Background:true", 28));
  core->sendPacket(5, 100,
                   "post type=64 flags=0x1000002 source=0x50000 param=100 text=critical in the background\n"
                   "post type=64 flags=0x1000002 source=0x50000 param=50 text=quiet in the background\n");
  core->stop();
  EXPECT_EQ(core->wait(), 0);

  EXPECT_EQ(critical(messages(), "critical in the background"), 1u);
  EXPECT_EQ(core->output().find("in the background"), std::string::npos);
  EXPECT_EQ(linesWith(logFile(), " 100 05 critical in the background").size(), 1u);
  EXPECT_EQ(linesWith(logFile(), " 50 05 quiet in the background").size(), 1u);
}
