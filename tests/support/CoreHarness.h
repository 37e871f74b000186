// Running the real dvrcore in a throw-away install tree, playing the daemon.
//
//     InstallTree tree;
//     tree.addPlugin("tp_basic", "cam.so", {{"id", "0x50000"}, {"alarm", "0x2000000"}});
//     CoreProcess core(tree);
//     core.waitForOutput("Opening 05:cam");
//     core.sendPacket(5, 100, "post type=4 count=3");
//     core.stop();                      // kind-8 packet
//     EXPECT_EQ(core.wait(), 0);
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace dvrtest {

using namespace std::chrono_literals;

// A temporary tree: <root>/bin/dvrcore, <root>/bin/plugins/,
// <root>/bin/protected-plugins/, and the working directory <root>/work.
class InstallTree {
 public:
  InstallTree();
  ~InstallTree();
  InstallTree(const InstallTree&) = delete;
  InstallTree& operator=(const InstallTree&) = delete;

  const std::filesystem::path& root() const { return rootDir; }
  std::filesystem::path binDir() const { return rootDir / "bin"; }
  std::filesystem::path pluginsDir() const { return binDir() / "plugins"; }
  std::filesystem::path protectedDir() const { return binDir() / "protected-plugins"; }
  std::filesystem::path workDir() const { return rootDir / "work"; }
  std::filesystem::path executable() const { return binDir() / "dvrcore"; }

  // Copies a test plug-in variant (build/test-plugins/<variant>.so) under
  // `fileName` into `folder` (plugins/ by default) with its settings file.
  std::filesystem::path addPlugin(const std::string& variant, const std::string& fileName,
                                  const std::map<std::string, std::string>& settings = {},
                                  const std::filesystem::path& folder = {});
  // Copies the real log plug-in to plugins/LogPI.so.
  void addLogPlugin();
  // Writes an arbitrary file (relative to the root), e.g. a fake library.
  std::filesystem::path writeFile(const std::filesystem::path& relative, const std::string& content);

  // The test plug-ins' journal: every call they received, in order.
  std::vector<std::string> journal() const;
  std::filesystem::path journalPath() const { return workDir() / "journal.txt"; }
  // Journal lines containing every one of `parts`.
  std::vector<std::string> journalLines(const std::vector<std::string>& parts) const;
  // Index of the first journal line containing every one of `parts`; -1 when none does.
  long journalPosition(const std::vector<std::string>& parts) const;

  // Opens the tree for another user: every folder 0755, files readable, the
  // working directory owned by `uid`/`gid`.
  void shareWith(uid_t uid, gid_t gid);

 private:
  std::filesystem::path rootDir;
};

// The child process and the daemon's end of its pipe.
class CoreProcess {
 public:
  struct Options {
    bool withPipe = true;
    // Standard output is a pipe whose reading end is closed at once, so every
    // console write fails with EPIPE (and raises SIGPIPE).
    bool consoleWithoutReader = false;
    std::vector<std::string> arguments;  // replaces "<fd>" when not empty
    // "NAME=value" entries; each replaces an inherited entry of that name.
    std::vector<std::string> environment;
    // The child's soft RLIMIT_STACK, when set.
    std::optional<uint64_t> stackLimit;
    // Run through this prefix (e.g. a helper that switches the parent's user):
    // a program's path and its arguments, followed by the core's path.
    // Programs of this build run behind the emulator under emulation.
    std::vector<std::string> launcher;
    // The launcher takes the core's path as an argument and starts it itself,
    // by its own means (korvod-sim --core, with --emulator under emulation),
    // so the path follows it bare rather than as a command of this build.
    bool launcherStartsCore = false;
  };

  explicit CoreProcess(const InstallTree& tree) : CoreProcess(tree, Options{}) {}
  CoreProcess(const InstallTree& tree, Options options);
  ~CoreProcess();
  CoreProcess(const CoreProcess&) = delete;
  CoreProcess& operator=(const CoreProcess&) = delete;

  pid_t pid() const { return childPid; }

  // Sends one packet {length, route word, kind, 0} + payload as one record.
  void sendPacket(uint32_t routeId, uint32_t kind, const std::string& payload);
  // Sends bytes as they are, as one record.
  void sendRaw(const std::string& bytes);
  // Kind 7: daemon file name, version, optional background switch.
  void sendDaemonInfo(const std::string& payload);
  void stop() { sendPacket(0, 8, ""); }
  void closeDaemonEnd();

  // The next whole packet written by the core (reassembled by its length
  // word); nothing on time-out or end of stream.
  std::optional<std::string> receivePacket(std::chrono::milliseconds timeout = 10s);
  // The next record as the socket delivered it.
  std::optional<std::string> receiveRecord(std::chrono::milliseconds timeout = 10s);

  // Console output so far (stdout, stderr).
  std::string output() const;
  std::string errors() const;
  bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout = 20s) const;

  void signal(int signalNumber) const;
  // Exit code (128 + signal when killed); kills the process after the time-out.
  int wait(std::chrono::milliseconds timeout = 60s);
  bool running() const;

 private:
  void readOutput(int fd, std::string& into);

  pid_t childPid = -1;
  int daemonFd = -1;
  int stdoutFd = -1;
  int stderrFd = -1;
  std::optional<int> exitCode;
  mutable std::mutex outputLock;  // guards stdoutText, stderrText
  mutable std::condition_variable outputCond;
  std::string stdoutText;
  std::string stderrText;
  std::string pendingBytes;  // received, not yet a whole packet
  std::thread stdoutReader;
  std::thread stderrReader;
};

// The environment entry that preloads `library` into a child: "LD_PRELOAD="
// with the sanitizer runtime this process runs with first (it must come
// first), then `library`, then whatever LD_PRELOAD already holds.
std::string preloadEntry(const std::filesystem::path& library);

// Polls `condition` until it holds or the time-out passes.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 20s);

// Lines of `text` containing `part`.
std::vector<std::string> linesWith(const std::string& text, const std::string& part);

// "HH:MM:SS.mmm" of every millisecond from `from` to `to`, local time: the
// stamps a console line written in that interval may carry.
std::set<std::string> consoleTimesBetween(std::chrono::system_clock::time_point from,
                                          std::chrono::system_clock::time_point to);

// Console text without colour sequences.
std::string stripColours(const std::string& text);

// One console line of the core: "<colour><HH:MM:SS.mmm>\e[36m <module>\e[0m <text>".
struct ConsoleLine {
  std::string colour;  // the level band's sequence
  std::string time;    // HH:MM:SS.mmm
  std::string module;
  std::string text;
};
// The console lines of raw standard output, in order; other lines are skipped.
std::vector<ConsoleLine> consoleLines(const std::string& rawOutput);
// The texts of the console lines of `module` ("core" for the core's own).
std::vector<std::string> consoleTexts(const std::string& rawOutput, const std::string& module = "core");
// The colour sequence of the band a log level falls in.
std::string levelColour(int level);

}  // namespace dvrtest
