// Critical messages reach the system log even when the daemon has put the
// core in the background. The test plays the system log itself: it binds a
// datagram socket at /dev/log (these machines run no syslog daemon), so the
// tests of this file are serialised with the other /dev/log users.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "CoreHarness.h"

using namespace dvrtest;

namespace {

class SystemLog {
 public:
  SystemLog() {
    if (std::filesystem::exists("/dev/log")) return;  // a real syslog daemon owns it
    fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, "/dev/log");
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      ::close(fd);
      fd = -1;
    }
  }
  ~SystemLog() {
    if (fd < 0) return;
    ::close(fd);
    ::unlink("/dev/log");
  }
  bool bound() const { return fd >= 0; }

  // Every datagram that arrives within the time-out.
  std::vector<std::string> messages(std::chrono::milliseconds timeout) {
    std::vector<std::string> received;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd waitFor{fd, POLLIN, 0};
      if (::poll(&waitFor, 1, static_cast<int>(left.count())) <= 0) break;
      char buffer[2048];
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n > 0) received.emplace_back(buffer, static_cast<size_t>(n));
    }
    return received;
  }

 private:
  int fd = -1;
};

bool anyContains(const std::vector<std::string>& messages, const std::string& part) {
  for (const auto& message : messages) {
    if (message.find(part) != std::string::npos) return true;
  }
  return false;
}

}  // namespace

TEST(BackgroundSyslog, CriticalMessagesStillReachSyslogWhileTheConsoleIsSilent) {
  SystemLog syslog;
  if (!syslog.bound()) GTEST_SKIP() << "/dev/log is taken on this machine";
  InstallTree tree;
  tree.addPlugin("tp_basic", "first.so", {{"id", "0x120000"}});
  CoreProcess core(tree);
  ASSERT_TRUE(core.waitForOutput("Opening 12:first"));
  core.sendDaemonInfo(std::string("korvod\0" "1.0\0" "Background:true", 26));
  core.sendPacket(0x12, 100,
                  "post type=64 flags=0x1000002 source=0x120000 param=150 text=disk on fire\r\n;"
                  "post type=64 flags=0x1000002 source=0x120000 param=99 text=merely bad");
  ASSERT_TRUE(eventually([&] { return tree.journalLines({"posted"}).size() == 2; }));
  core.closeDaemonEnd();  // "korvod ipc pipe disconnected", level 100
  EXPECT_EQ(core.wait(), 0);

  const auto messages = syslog.messages(std::chrono::milliseconds(500));
  // LOG_CRIT (2) with the default facility LOG_USER (8): priority <10>.
  ASSERT_TRUE(anyContains(messages, "disk on fire")) << messages.size() << " messages";
  for (const auto& message : messages) {
    EXPECT_EQ(message.rfind("<10>", 0), 0u) << message;
    EXPECT_EQ(message.find('\r'), std::string::npos);
  }
  EXPECT_TRUE(anyContains(messages, "korvod ipc pipe disconnected"));
  EXPECT_FALSE(anyContains(messages, "merely bad"));

  const std::string console = stripColours(core.output());
  EXPECT_EQ(console.find("disk on fire"), std::string::npos);
  EXPECT_EQ(console.find("disconnected"), std::string::npos);
}

TEST(BackgroundSyslog, InTheForegroundCriticalLinesGoToBoth) {
  SystemLog syslog;
  if (!syslog.bound()) GTEST_SKIP() << "/dev/log is taken on this machine";
  InstallTree tree;
  CoreProcess::Options options;
  options.withPipe = false;
  CoreProcess core(tree, options);
  EXPECT_EQ(core.wait(), 0);
  EXPECT_TRUE(anyContains(syslog.messages(std::chrono::milliseconds(500)), "korvod ipc pipe disconnected"));
  EXPECT_NE(core.output().find("\x1b[38;5;37m\x1b[38;5;1m"), std::string::npos);
}
