#include "CoreProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "UniqueFd.h"

namespace korvodsim {

namespace {

// What the child reports through the error pipe when it cannot exec.
struct ChildFailure {
  int step;  // index into kChildSteps
  int error;
};
constexpr const char* kChildSteps[] = {"enter the working directory", "pass on the pipe descriptor", "run"};

// Blocks every signal for the lifetime of the object, so that nothing runs
// our handlers in the child between fork and exec.
class SignalBlock {
 public:
  SignalBlock() {
    sigset_t all;
    sigfillset(&all);
    ::sigprocmask(SIG_SETMASK, &all, &saved);
  }
  ~SignalBlock() { ::sigprocmask(SIG_SETMASK, &saved, nullptr); }
  SignalBlock(const SignalBlock&) = delete;
  SignalBlock& operator=(const SignalBlock&) = delete;

 private:
  sigset_t saved;
};

// Runs in the child: only async-signal-safe calls until exec.
[[noreturn]] void becomeCore(const char* path, const char* workdir, char* const argv[], int pipeFd, int errorFd) {
  for (int number = 1; number < NSIG; ++number) ::signal(number, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::setpgid(0, 0);

  ChildFailure failure{0, 0};
  if (::chdir(workdir) != 0) {
    failure = {0, errno};
  } else if (::fcntl(pipeFd, F_SETFD, 0) != 0) {
    failure = {1, errno};
  } else {
    ::execv(path, argv);
    failure = {2, errno};
  }
  (void)!::write(errorFd, &failure, sizeof failure);
  ::_exit(127);
}

}  // namespace

CoreProcess CoreProcess::start(const std::filesystem::path& executable, const std::filesystem::path& workdir,
                               int pipeFd, const std::filesystem::path& emulator) {
  const std::string corePath = executable.string();
  const std::string directory = workdir.string();
  std::string pipeArgument = std::to_string(pipeFd);
  // What is executed: the core itself, or the emulator with the core's path.
  const std::string path = emulator.empty() ? corePath : emulator.string();
  std::vector<char*> argv = {const_cast<char*>(path.c_str())};
  if (!emulator.empty()) argv.push_back(const_cast<char*>(corePath.c_str()));
  argv.push_back(pipeArgument.data());
  argv.push_back(nullptr);

  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) {
    throw StartFailed(fmt::format("cannot start {}: pipe2: {}", path, std::strerror(errno)));
  }
  UniqueFd errorRead(ends[0]);
  UniqueFd errorWrite(ends[1]);

  pid_t child;
  {
    SignalBlock quiet;
    child = ::fork();
    if (child == 0) becomeCore(path.c_str(), directory.c_str(), argv.data(), pipeFd, errorWrite.get());
  }
  if (child < 0) throw StartFailed(fmt::format("cannot start {}: fork: {}", path, std::strerror(errno)));
  ::setpgid(child, child);  // also here, so it holds before the parent goes on
  errorWrite.reset();

  ChildFailure failure{};
  ssize_t got;
  do {
    got = ::read(errorRead.get(), &failure, sizeof failure);
  } while (got < 0 && errno == EINTR);
  if (got == static_cast<ssize_t>(sizeof failure)) {
    int ignored;
    while (::waitpid(child, &ignored, 0) < 0 && errno == EINTR) {
    }
    const bool inWorkdir = failure.step == 0;
    throw StartFailed(fmt::format("cannot {} {}: {}", kChildSteps[failure.step], inWorkdir ? directory : path,
                                  std::strerror(failure.error)));
  }
  return CoreProcess(child);
}

bool CoreProcess::reap() {
  if (status) return true;
  int raw;
  pid_t done;
  do {
    done = ::waitpid(child, &raw, WNOHANG);
  } while (done < 0 && errno == EINTR);
  if (done != child) return false;
  status = raw;
  return true;
}

int CoreProcess::exitCode() const {
  if (WIFSIGNALED(*status)) return 128 + WTERMSIG(*status);
  return WEXITSTATUS(*status);
}

std::string CoreProcess::describeEnd() const {
  if (WIFSIGNALED(*status)) {
    return fmt::format("was killed by signal {} ({})", WTERMSIG(*status), ::strsignal(WTERMSIG(*status)));
  }
  return fmt::format("exited with code {}", WEXITSTATUS(*status));
}

void CoreProcess::signal(int signal) const {
  if (!status) ::kill(child, signal);
}

}  // namespace korvodsim
