#include "CoreHarness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <link.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "TestPaths.h"

namespace dvrtest {

namespace fs = std::filesystem;

namespace {

void writeText(const fs::path& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

uint32_t wordAt(const std::string& bytes, size_t offset) {
  uint32_t word = 0;
  std::memcpy(&word, bytes.data() + offset, sizeof word);
  return word;
}

void appendWord(std::string& bytes, uint32_t word) { bytes.append(reinterpret_cast<const char*>(&word), sizeof word); }

}  // namespace

InstallTree::InstallTree() {
  std::string pattern = (fs::temp_directory_path() / "dvrcore-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  rootDir = pattern;
  fs::create_directories(pluginsDir());
  fs::create_directories(protectedDir());
  fs::create_directories(workDir());
  fs::copy_file(coreExecutable(), executable());
}

InstallTree::~InstallTree() {
  std::error_code ignored;
  if (!std::getenv("DVRTEST_KEEP_TREES")) fs::remove_all(rootDir, ignored);
}

fs::path InstallTree::addPlugin(const std::string& variant, const std::string& fileName,
                                const std::map<std::string, std::string>& settings, const fs::path& folder) {
  const fs::path target = (folder.empty() ? pluginsDir() : folder) / fileName;
  fs::copy_file(testPluginDir() / (variant + ".so"), target, fs::copy_options::overwrite_existing);
  std::string conf;
  for (const auto& [key, value] : settings) conf += key + "=" + value + "\n";
  writeText(target.string() + ".conf", conf);
  return target;
}

void InstallTree::addLogPlugin() {
  fs::copy_file(buildDir() / "plugins" / "LogPI.so", pluginsDir() / "LogPI.so", fs::copy_options::overwrite_existing);
}

fs::path InstallTree::writeFile(const fs::path& relative, const std::string& content) {
  const fs::path target = rootDir / relative;
  fs::create_directories(target.parent_path());
  writeText(target, content);
  return target;
}

std::vector<std::string> InstallTree::journal() const {
  std::vector<std::string> lines;
  std::ifstream in(journalPath());
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

std::vector<std::string> InstallTree::journalLines(const std::vector<std::string>& parts) const {
  std::vector<std::string> matching;
  for (const std::string& line : journal()) {
    bool all = true;
    for (const std::string& part : parts) all = all && line.find(part) != std::string::npos;
    if (all) matching.push_back(line);
  }
  return matching;
}

long InstallTree::journalPosition(const std::vector<std::string>& parts) const {
  const std::vector<std::string> lines = journal();
  for (size_t i = 0; i < lines.size(); ++i) {
    bool all = true;
    for (const std::string& part : parts) all = all && lines[i].find(part) != std::string::npos;
    if (all) return static_cast<long>(i);
  }
  return -1;
}

void InstallTree::shareWith(uid_t uid, gid_t gid) {
  for (const auto& entry : fs::recursive_directory_iterator(rootDir)) {
    const auto permissions = entry.is_directory() ? fs::perms(0755) : fs::perms(0644);
    const bool runnable = entry.path() == executable() || entry.path().extension() == ".so";
    fs::permissions(entry.path(), runnable ? fs::perms(0755) : permissions);
  }
  fs::permissions(rootDir, fs::perms(0755));
  if (::chown(workDir().c_str(), uid, gid) != 0) throw std::runtime_error("chown failed");
}

CoreProcess::CoreProcess(const InstallTree& tree, Options options) {
  int pair[2] = {-1, -1};
  if (options.withPipe && socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
    throw std::runtime_error("socketpair failed");
  }
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");

  // Programs of this build run behind the emulator when there is one.
  std::vector<std::string> argv = options.launcher.empty() ? options.launcher : targetCommand(options.launcher);
  if (options.launcherStartsCore) {
    argv.push_back(tree.executable().string());
  } else {
    const std::vector<std::string> core = targetCommand({tree.executable().string()});
    argv.insert(argv.end(), core.begin(), core.end());
  }
  if (!options.arguments.empty()) {
    argv.insert(argv.end(), options.arguments.begin(), options.arguments.end());
  } else if (options.withPipe) {
    argv.push_back(std::to_string(pair[1]));
  }
  std::vector<char*> rawArgv;
  for (auto& argument : argv) rawArgv.push_back(argument.data());
  rawArgv.push_back(nullptr);
  // A variable the options set replaces the inherited one.
  auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
  std::set<std::string> replaced;
  for (const std::string& entry : options.environment) replaced.insert(nameOf(entry));
  std::vector<std::string> environment;
  for (char** entry = environ; *entry; ++entry) {
    if (!replaced.contains(nameOf(*entry))) environment.emplace_back(*entry);
  }
  environment.insert(environment.end(), options.environment.begin(), options.environment.end());
  environment.push_back("DVRTEST_JOURNAL=" + tree.journalPath().string());
  std::vector<char*> rawEnvironment;
  for (auto& entry : environment) rawEnvironment.push_back(entry.data());
  rawEnvironment.push_back(nullptr);
  const std::string workDir = tree.workDir().string();

  childPid = fork();
  if (childPid < 0) throw std::runtime_error("fork failed");
  if (childPid == 0) {
    // Child: only async-signal-safe calls from here on, then exec.
    if (pair[1] >= 0) {
      const int flags = fcntl(pair[1], F_GETFD);
      fcntl(pair[1], F_SETFD, flags & ~FD_CLOEXEC);
    }
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    const int devNull = open("/dev/null", O_RDONLY);
    if (devNull >= 0) dup2(devNull, STDIN_FILENO);
    if (chdir(workDir.c_str()) != 0) _exit(126);
    if (options.stackLimit) {
      rlimit stack{};
      getrlimit(RLIMIT_STACK, &stack);
      stack.rlim_cur = static_cast<rlim_t>(*options.stackLimit);
      if (setrlimit(RLIMIT_STACK, &stack) != 0) _exit(125);
    }
    execve(rawArgv[0], rawArgv.data(), rawEnvironment.data());
    _exit(127);
  }
  if (pair[1] >= 0) close(pair[1]);
  daemonFd = pair[0];
  close(out[1]);
  close(err[1]);
  stdoutFd = out[0];
  stderrFd = err[0];
  if (options.consoleWithoutReader) {
    close(stdoutFd);
    stdoutFd = -1;
  } else {
    stdoutReader = std::thread([this] { readOutput(stdoutFd, stdoutText); });
  }
  stderrReader = std::thread([this] { readOutput(stderrFd, stderrText); });
}

CoreProcess::~CoreProcess() {
  if (!exitCode && childPid > 0) {
    ::kill(childPid, SIGKILL);
    wait(10s);
  }
  if (stdoutReader.joinable()) stdoutReader.join();
  if (stderrReader.joinable()) stderrReader.join();
  closeDaemonEnd();
  if (stdoutFd >= 0) close(stdoutFd);
  if (stderrFd >= 0) close(stderrFd);
}

void CoreProcess::readOutput(int fd, std::string& into) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    {
      std::lock_guard guard(outputLock);
      into.append(buffer, static_cast<size_t>(n));
    }
    outputCond.notify_all();
  }
}

std::string preloadEntry(const fs::path& library) {
  // The sanitizer runtimes that insist on being loaded first, as this
  // process has them.
  std::string runtime;
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* found) {
        const std::string name = info->dlpi_name ? info->dlpi_name : "";
        const std::string file = name.substr(name.find_last_of('/') + 1);
        if (file.starts_with("libasan.so") || file.starts_with("libtsan.so")) {
          *static_cast<std::string*>(found) = name;
          return 1;
        }
        return 0;
      },
      &runtime);
  std::string entry = "LD_PRELOAD=";
  if (!runtime.empty()) entry += runtime + ":";
  entry += library.string();
  if (const char* already = std::getenv("LD_PRELOAD"); already && *already) entry += std::string(":") + already;
  return entry;
}

void CoreProcess::sendPacket(uint32_t routeId, uint32_t kind, const std::string& payload) {
  std::string packet;
  appendWord(packet, static_cast<uint32_t>(16 + payload.size()));
  appendWord(packet, routeId << 20);
  appendWord(packet, kind);
  appendWord(packet, 0);
  packet += payload;
  sendRaw(packet);
}

void CoreProcess::sendRaw(const std::string& bytes) {
  if (::send(daemonFd, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size())) {
    throw std::runtime_error("send to the core failed");
  }
}

void CoreProcess::sendDaemonInfo(const std::string& payload) { sendPacket(0, 7, payload); }

void CoreProcess::closeDaemonEnd() {
  if (daemonFd >= 0) close(daemonFd);
  daemonFd = -1;
}

std::optional<std::string> CoreProcess::receiveRecord(std::chrono::milliseconds timeout) {
  pollfd waitFor{daemonFd, POLLIN, 0};
  if (poll(&waitFor, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
  std::string record(65536, '\0');
  const ssize_t n = ::recv(daemonFd, record.data(), record.size(), 0);
  if (n <= 0) return std::nullopt;
  record.resize(static_cast<size_t>(n));
  return record;
}

std::optional<std::string> CoreProcess::receivePacket(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (pendingBytes.size() >= 4) {
      const uint32_t length = wordAt(pendingBytes, 0);
      if (length <= pendingBytes.size()) {
        std::string packet = pendingBytes.substr(0, length);
        pendingBytes.erase(0, length);
        return packet;
      }
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    auto record = receiveRecord(left);
    if (!record) return std::nullopt;
    pendingBytes += *record;
  }
}

std::string CoreProcess::output() const {
  std::lock_guard guard(outputLock);
  return stdoutText;
}

std::string CoreProcess::errors() const {
  std::lock_guard guard(outputLock);
  return stderrText;
}

bool CoreProcess::waitForOutput(const std::string& text, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(outputLock);
  return outputCond.wait_for(lock, timeout, [&] { return stdoutText.find(text) != std::string::npos; });
}

void CoreProcess::signal(int signalNumber) const { ::kill(childPid, signalNumber); }

bool CoreProcess::running() const {
  if (exitCode) return false;
  return ::kill(childPid, 0) == 0 && ::waitpid(childPid, nullptr, WNOHANG | WNOWAIT) == 0;
}

int CoreProcess::wait(std::chrono::milliseconds timeout) {
  if (exitCode) return *exitCode;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  // A process descriptor becomes readable the moment the child exits.
  const int exitWatch = static_cast<int>(::syscall(SYS_pidfd_open, childPid, 0));
  int status = 0;
  for (;;) {
    const pid_t done = ::waitpid(childPid, &status, WNOHANG);
    if (done == childPid) break;
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(childPid, SIGKILL);
      ::waitpid(childPid, &status, 0);
      if (exitWatch >= 0) ::close(exitWatch);
      exitCode = -1;
      return *exitCode;
    }
    if (exitWatch >= 0) {
      pollfd exited{exitWatch, POLLIN, 0};
      ::poll(&exited, 1, 100);
    } else {
      std::this_thread::sleep_for(10ms);
    }
  }
  if (exitWatch >= 0) ::close(exitWatch);
  exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (stdoutReader.joinable()) stdoutReader.join();
  if (stderrReader.joinable()) stderrReader.join();
  // A sanitizer report from the core fails the test, whatever it checks; an
  // allocation a test made fail on purpose is no report.
  std::string reports;
  std::string line;
  for (std::istringstream lines(errors()); std::getline(lines, line);) {
    if (line.find("WARNING: AddressSanitizer failed to allocate") == std::string::npos) reports += line + "\n";
  }
  if (reports.find("Sanitizer") != std::string::npos || reports.find("runtime error:") != std::string::npos) {
    ADD_FAILURE() << "the core reported:\n" << errors();
  }
  return *exitCode;
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

std::vector<std::string> linesWith(const std::string& text, const std::string& part) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.find(part) != std::string::npos) lines.push_back(line);
  }
  return lines;
}

std::set<std::string> consoleTimesBetween(std::chrono::system_clock::time_point from,
                                          std::chrono::system_clock::time_point to) {
  using namespace std::chrono;
  std::set<std::string> times;
  for (auto t = time_point_cast<milliseconds>(from); t <= to; t += milliseconds(1)) {
    const std::time_t seconds = system_clock::to_time_t(time_point_cast<system_clock::duration>(t));
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    char stamp[24];
    std::snprintf(stamp, sizeof stamp, "%s.%03d", text,
                  static_cast<int>((t.time_since_epoch().count() % 1000 + 1000) % 1000));
    times.insert(stamp);
  }
  return times;
}

std::string stripColours(const std::string& text) {
  static const std::regex colour("\x1b\\[[0-9;]*m");
  return std::regex_replace(text, colour, "");
}

std::vector<ConsoleLine> consoleLines(const std::string& rawOutput) {
  static const std::regex format(
      "((?:\x1b\\[[0-9;]*m)*)([0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3})\x1b\\[36m ([^\x1b]*)\x1b\\[0m (.*)");
  std::vector<ConsoleLine> lines;
  std::istringstream in(rawOutput);
  std::string line;
  std::smatch parts;
  while (std::getline(in, line)) {
    if (std::regex_match(line, parts, format)) lines.push_back({parts[1], parts[2], parts[3], parts[4]});
  }
  return lines;
}

std::vector<std::string> consoleTexts(const std::string& rawOutput, const std::string& module) {
  std::vector<std::string> texts;
  for (const ConsoleLine& line : consoleLines(rawOutput)) {
    if (line.module == module) texts.push_back(line.text);
  }
  return texts;
}

std::string levelColour(int level) {
  if (level < 25) return "\x1b[38;5;248m";
  if (level < 50) return "\x1b[32m";
  if (level < 75) return "\x1b[38;5;227m";
  if (level < 100) return "\x1b[38;5;196m";
  return "\x1b[38;5;37m\x1b[38;5;1m";
}

}  // namespace dvrtest
