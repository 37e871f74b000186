// Reading a file whole with the ".pending" recovery, and replacing it
// atomically: what a reader finds after every kind of interrupted write.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include "config/AtomicFiles.h"

using namespace km::core;
namespace fs = std::filesystem;

namespace {

class AtomicFiles : public ::testing::Test {
 protected:
  fs::path dir;
  std::string file;
  std::string pending;

  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "atomic-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir = pattern;
    file = (dir / "core.xml").string();
    pending = file + ".pending";
  }
  void TearDown() override {
    fs::permissions(dir, fs::perms::owner_all);
    fs::remove_all(dir);
  }
  static void write(const std::string& path, const std::string& content) { std::ofstream(path, std::ios::binary) << content; }
  static std::optional<std::string> contentOf(const std::string& path) {
    if (!fs::exists(path)) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static std::string failure(const std::function<void()>& action) {
    try {
      action();
    } catch (const std::runtime_error& error) {
      return error.what();
    }
    return "";
  }
};

const std::string kOld = "<?xml?><kDVR Old=\"1\"/>";
const std::string kNew = "<?xml?><kDVR New=\"1\"/>";

TEST_F(AtomicFiles, ReadingRecoversAValidPendingFileAndDiscardsATornOne) {
  const struct {
    const char* name;
    std::optional<std::string> file, pending;
    std::string result;  // the content given, or the message thrown
    std::optional<std::string> fileAfter, pendingAfter;
  } cases[] = {
      {"valid pending wins", kOld, kNew, kNew, kNew, std::nullopt},
      {"valid pending without file", std::nullopt, kNew, kNew, kNew, std::nullopt},
      {"torn pending discarded", kOld, "<?xml?><kDVR", kOld, kOld, std::nullopt},
      {"pending not xml", kOld, "<kDVR/>", kOld, kOld, std::nullopt},
      {"pending of 5 bytes", kOld, "<?xml", kOld, kOld, std::nullopt},
      {"torn pending kept while the file fails", "<kDVR/>", "<?xml?><kD", "Failed - not xml content", "<kDVR/>",
       "<?xml?><kD"},
      {"file not well formed", "<?xml?><kDVR>", std::nullopt, "unexpected end of data", "<?xml?><kDVR>",
       std::nullopt},
      {"file too short", "<?xm", std::nullopt, "Failed - not xml content", "<?xm", std::nullopt},
      {"file of 5 bytes", "<?xml", std::nullopt, "unexpected end of data", "<?xml", std::nullopt},
      {"nothing at all", std::nullopt, std::nullopt, "Failed to open " + file + " - No such file or directory",
       std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    fs::remove(file);
    fs::remove(pending);
    if (c.file) write(file, *c.file);
    if (c.pending) write(pending, *c.pending);
    std::string result;
    const std::string thrown = failure([&] { result = readXmlFile(file); });
    EXPECT_EQ(thrown.empty() ? result : thrown, c.result) << c.name;
    EXPECT_EQ(contentOf(file), c.fileAfter) << c.name;
    EXPECT_EQ(contentOf(pending), c.pendingAfter) << c.name;
  }
}

TEST_F(AtomicFiles, WholeFileReadsGiveEveryByteOrSayWhatFailed) {
  const std::string bytes("\0<?xml\r\n\xff", 9);
  write(file, bytes);
  EXPECT_EQ(readWholeFile(file), bytes);
  write(file, "");
  EXPECT_EQ(readWholeFile(file), "");
}

TEST_F(AtomicFiles, AFailedWriteLeavesTheFileAsItWas) {
  write(file, kOld);
  writeXmlFileAtomically(file, kNew);
  EXPECT_EQ(contentOf(file), kNew);
  EXPECT_FALSE(fs::exists(pending));
  const mode_t mask = umask(0);
  umask(mask);
  struct stat written {};
  ASSERT_EQ(stat(file.c_str(), &written), 0);
  EXPECT_EQ(written.st_mode & 0777, 0644 & ~mask);

  EXPECT_EQ(failure([&] { writeXmlFileAtomically(file, "<?xm"); }), "Failed - not xml content");
  EXPECT_EQ(failure([&] { writeXmlFileAtomically(file, "<kDVR/>"); }), "Failed - not xml content");
  EXPECT_FALSE(fs::exists(pending));

  if (geteuid() != 0) {
    fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_EQ(failure([&] { writeXmlFileAtomically(file, kOld); }),
              "Failed to open " + pending + " - Permission denied");
    fs::permissions(dir, fs::perms::owner_all);
  }

  // A file-size limit cuts the write short (SIGXFSZ ignored, as the core does).
  struct rlimit saved {};
  getrlimit(RLIMIT_FSIZE, &saved);
  auto previous = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 10;
  setrlimit(RLIMIT_FSIZE, &small);
  const std::string message = failure([&] { writeXmlFileAtomically(file, kOld); });
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);
  EXPECT_EQ(message, "Failed to write " + pending + " - File too large");
  EXPECT_EQ(contentOf(file), kNew);
  EXPECT_EQ(contentOf(pending), kOld.substr(0, 10)) << "the torn pending file stays";
  EXPECT_EQ(readXmlFile(file), kNew) << "and the next read discards it";
  EXPECT_FALSE(fs::exists(pending));
}

}  // namespace

// A stop signal without SA_RESTART landing on the writing thread, while the
// pending file (a FIFO here) blocks in open and then in write: the write goes
// on and the whole text arrives.
TEST_F(AtomicFiles, SignalsOnTheWritingThreadDoNotFailTheWrite) {
  struct sigaction quiet {};
  quiet.sa_handler = [](int) {};
  struct sigaction previous {};
  ASSERT_EQ(sigaction(SIGUSR1, &quiet, &previous), 0);
  ASSERT_EQ(mkfifo(pending.c_str(), 0644), 0);
  const std::string text = "<?xml?>\n" + std::string(200'000, 'x');  // more than a pipe holds

  std::atomic<bool> done = false;
  std::optional<std::string> failure;
  std::thread writer([&] {
    try {
      writeXmlFileAtomically(file, text);
    } catch (const std::exception& error) {
      failure = error.what();
    }
    done = true;
  });
  auto interrupt = [&] {
    for (int i = 0; i < 20 && !done; ++i) {
      pthread_kill(writer.native_handle(), SIGUSR1);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  };
  interrupt();  // blocked in open: no reader yet
  // Not blocking, so that a writer that gave up fails the test, not hangs it.
  const int reader = ::open(pending.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  std::string received;
  char chunk[4096];
  bool interrupted = false;
  for (pollfd ready{reader, POLLIN, 0}; ::poll(&ready, 1, 10'000) > 0;) {
    const ssize_t n = ::read(reader, chunk, sizeof chunk);
    if (n == 0) break;  // the writer closed its end
    if (n < 0) continue;
    received.append(chunk, static_cast<size_t>(n));
    if (!interrupted) interrupt(), interrupted = true;  // blocked in write: the pipe is full
  }
  ::close(reader);
  writer.join();
  sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_FALSE(failure) << *failure;
  EXPECT_EQ(received.size(), text.size());
  EXPECT_EQ(received, text);
}
