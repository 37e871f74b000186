#include "ChildRun.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <thread>

namespace dvrinspect {

namespace {

using Clock = std::chrono::steady_clock;

// Owns one descriptor.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) noexcept : fd(fd) {}
  ~Descriptor() { reset(); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const noexcept { return fd; }
  void reset() noexcept {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }

 private:
  int fd;
};

void writeAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    done += static_cast<size_t>(written);
  }
}

[[noreturn]] void runProbe(const std::filesystem::path& library, int reportFd) {
  ::setpgid(0, 0);
  const rlimit noCore{0, 0};
  ::setrlimit(RLIMIT_CORE, &noCore);
  ::dup2(STDERR_FILENO, STDOUT_FILENO);
  int code = 0;
  try {
    const ProbeResult result =
        probeLibrary(library, [reportFd](ProbeStage stage) { writeAll(reportFd, encodeStage(stage)); });
    writeAll(reportFd, encodeResult(result));
  } catch (...) {
    code = 70;
  }
  std::fflush(stderr);
  // No destructors or exit handlers of the library: they are not the core's business here.
  ::_exit(code);
}

int milliseconds(Clock::duration duration) {
  const auto count = std::chrono::duration_cast<std::chrono::milliseconds>(duration).count();
  return count < 0 ? 0 : static_cast<int>(std::min<long long>(count, 1000));
}

// Reads until end of file or the deadline; false at the deadline.
bool readUntilEnd(int fd, Clock::time_point deadline, std::string& into) {
  char buffer[4096];
  for (;;) {
    const auto now = Clock::now();
    if (now >= deadline) return false;
    pollfd waiting{fd, POLLIN, 0};
    const int ready = ::poll(&waiting, 1, milliseconds(deadline - now) + 1);
    if (ready < 0 && errno != EINTR) return true;
    if (ready <= 0) continue;
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return true;
    into.append(buffer, static_cast<size_t>(got));
  }
}

// The child's wait status, or nothing at the deadline.
std::optional<int> reapBy(pid_t child, Clock::time_point deadline) {
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(child, &status, WNOHANG);
    if (done == child) return status;
    if (done < 0 && errno != EINTR) return 0;
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

}  // namespace

ChildOutcome probeInChild(const std::filesystem::path& library, std::chrono::milliseconds limit) {
  ChildOutcome outcome;
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) {
    outcome.failure = std::strerror(errno);
    return outcome;
  }
  Descriptor reading(ends[0]);
  Descriptor writing(ends[1]);
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t child = ::fork();
  if (child < 0) {
    outcome.failure = std::strerror(errno);
    return outcome;
  }
  if (child == 0) {
    reading.reset();
    runProbe(library, writing.get());
  }
  ::setpgid(child, child);  // also from here, so the group exists before we may kill it
  writing.reset();

  const Clock::time_point deadline = Clock::now() + limit;
  std::string text;
  const bool ended = readUntilEnd(reading.get(), deadline, text);
  std::optional<int> status = ended ? reapBy(child, deadline) : std::nullopt;
  if (!status) {
    ::kill(-child, SIGKILL);
    ::kill(child, SIGKILL);
    int killed = 0;
    while (::waitpid(child, &killed, 0) < 0 && errno == EINTR) {
    }
  }
  outcome.report = decodeReport(text);
  if (!status) {
    outcome.end = ChildOutcome::End::TimedOut;
  } else if (WIFSIGNALED(*status)) {
    outcome.end = ChildOutcome::End::Signalled;
    outcome.signal = WTERMSIG(*status);
  } else if (outcome.report.result && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) {
    outcome.end = ChildOutcome::End::Finished;
  } else {
    outcome.end = ChildOutcome::End::Exited;
    outcome.exitCode = WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
  }
  return outcome;
}

}  // namespace dvrinspect
