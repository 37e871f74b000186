// What the real executable keeps in memory while idle with the log plug-in,
// beside the floor of any program built like it: footprint_floor, a C++
// program on the same libraries (fmt, the C++ runtime, threads) and link
// options, which formats one line and sleeps. Measured in the same run.
//
// Counters, the mean over the iterations:
//   rss_kib            Rss of /proc/PID/smaps_rollup (shared library pages
//                      this process touched included)
//   private_dirty_kib  Private_Dirty of the same: what the process alone costs
//   stripped_kib       the executable without symbols and debug information
//                      (only when `strip` is on the PATH)
// The core is read once its dispatch loop has printed the first statistics
// line and start-up has settled; the time of a case is the time from starting
// the process to that line (to "ready" for the floor).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "CoreHarness.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

enum class Program { Core, Floor };

// Freshly copied files have dirty page-cache pages, which smaps would count
// as the process's private dirty memory: written out before the start.
void writeOut(const fs::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  ::fdatasync(fd);
  ::close(fd);
}

// "Key:  value kB" lines of an smaps file.
std::map<std::string, long> smapsFigures(pid_t pid) {
  std::map<std::string, long> figures;
  std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
  std::string line;
  while (std::getline(in, line)) {
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::istringstream value(line.substr(colon + 1));
    long kib = 0;
    if (value >> kib) figures[line.substr(0, colon)] = kib;
  }
  return figures;
}

// Size of `file` stripped by `strip`, or nothing when it cannot be run.
std::optional<long> strippedKib(const fs::path& file) {
  const fs::path out = file.parent_path() / (file.filename().string() + ".stripped");
  std::string a0 = "strip", a1 = "-o", a2 = out.string(), a3 = file.string();
  char* argv[] = {a0.data(), a1.data(), a2.data(), a3.data(), nullptr};
  pid_t pid = -1;
  if (posix_spawnp(&pid, "strip", nullptr, nullptr, argv, environ) != 0) return std::nullopt;
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  std::error_code error;
  const auto size = fs::file_size(out, error);
  fs::remove(out, error);
  if (error) return std::nullopt;
  return static_cast<long>((size + 1023) / 1024);
}

void Footprint(benchmark::State& state, Program program) {
  dvrtest::InstallTree tree;
  if (program == Program::Core) {
    tree.addLogPlugin();
    writeOut(tree.pluginsDir() / "LogPI.so");
  } else {
    fs::copy_file(FOOTPRINT_FLOOR_PROGRAM, tree.executable(), fs::copy_options::overwrite_existing);
  }
  writeOut(tree.executable());
  const std::string readyText = program == Program::Core ? "InQ:" : "ready";

  double rss = 0, privateDirty = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    dvrtest::CoreProcess process(tree);
    if (!process.waitForOutput(readyText, std::chrono::seconds(20))) {
      state.SkipWithError("the program did not become ready");
      return;
    }
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    // The first tick, the status document and the start-up events.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const auto figures = smapsFigures(process.pid());
    rss += static_cast<double>(figures.count("Rss") ? figures.at("Rss") : 0);
    privateDirty += static_cast<double>(figures.count("Private_Dirty") ? figures.at("Private_Dirty") : 0);
    process.signal(SIGTERM);
    process.wait(std::chrono::seconds(20));
  }
  state.counters["rss_kib"] = benchmark::Counter(rss, benchmark::Counter::kAvgIterations);
  state.counters["private_dirty_kib"] = benchmark::Counter(privateDirty, benchmark::Counter::kAvgIterations);
  if (const auto stripped = strippedKib(tree.executable())) {
    state.counters["stripped_kib"] = static_cast<double>(*stripped);
  }
}

}  // namespace

BENCHMARK_CAPTURE(Footprint, IdleWithLogPI, Program::Core)
    ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK_CAPTURE(Footprint, FloorProgram, Program::Floor)
    ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

BENCHMARK_MAIN();
