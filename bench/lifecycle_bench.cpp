// Start-up and shutdown of the real executable, with the demo plug-ins
// (camera and log plug-in) and with 32 plug-ins (copies of the test plug-in
// with their own ids) beside the same figures with empty plug-in folders,
// measured in the same run.
//
// Both trees hold one probe plug-in in protected-plugins: it posts an alarm
// while it loads and, when the dispatch loop delivers that alarm back to it,
// sends a packet to the daemon. "Start-up" is the time from starting the
// process to that packet; "shutdown" is the time from SIGTERM to the exit.
#include <benchmark/benchmark.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <optional>

#include "CoreHarness.h"
#include "TestPaths.h"

namespace {

using Clock = std::chrono::steady_clock;

enum class Plugins { Empty, Demo, ThirtyTwo };

void layOut(dvrtest::InstallTree& tree, Plugins plugins) {
  tree.addPlugin("tp_basic", "probe.so",
                 {{"id", "0x7e0000"},
                  {"alarm", "0x2000000"},
                  {"onLoad", "post type=4 source=0x7e0000 text=probe"},
                  {"onEvent", "post type=8192 text=ready"}},
                 tree.protectedDir());
  if (plugins == Plugins::Demo) {
    tree.addLogPlugin();
    std::filesystem::copy_file(dvrtest::buildDir() / "plugins" / "camera.so", tree.pluginsDir() / "camera.so");
  }
  if (plugins == Plugins::ThirtyTwo) {
    // The probe is the 32nd.
    for (int id = 0x10; id < 0x10 + 31; ++id) {
      tree.addPlugin("tp_basic", "p" + std::to_string(id) + ".so", {{"id", std::to_string(id << 16)}});
    }
  }
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// One life of the core; the two phases in seconds, or nothing on failure.
std::optional<std::pair<double, double>> runOnce(const dvrtest::InstallTree& tree) {
  const auto start = Clock::now();
  dvrtest::CoreProcess core(tree);
  if (!core.receiveRecord(std::chrono::seconds(20))) return std::nullopt;
  const auto ready = Clock::now();
  core.signal(SIGTERM);
  if (core.wait(std::chrono::seconds(20)) != 0) return std::nullopt;
  const auto exited = Clock::now();
  return std::make_pair(seconds(ready - start), seconds(exited - ready));
}

void Lifecycle(benchmark::State& state, Plugins plugins, bool measureShutdown) {
  dvrtest::InstallTree tree;
  layOut(tree, plugins);
  for (auto _ : state) {
    std::filesystem::remove(tree.journalPath());
    const auto phases = runOnce(tree);
    if (!phases) {
      state.SkipWithError("the core did not start or stop as expected");
      return;
    }
    state.SetIterationTime(measureShutdown ? phases->second : phases->first);
  }
}

}  // namespace

BENCHMARK_CAPTURE(Lifecycle, StartupToDispatch_EmptyFolders, Plugins::Empty, false)
    ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK_CAPTURE(Lifecycle, StartupToDispatch_DemoPlugins, Plugins::Demo, false)
    ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK_CAPTURE(Lifecycle, StartupToDispatch_32Plugins, Plugins::ThirtyTwo, false)
    ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK_CAPTURE(Lifecycle, SigtermToExit_EmptyFolders, Plugins::Empty, true)
    ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK_CAPTURE(Lifecycle, SigtermToExit_DemoPlugins, Plugins::Demo, true)
    ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK_CAPTURE(Lifecycle, SigtermToExit_32Plugins, Plugins::ThirtyTwo, true)
    ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);

BENCHMARK_MAIN();
