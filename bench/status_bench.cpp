// Publishing the module status (build the tree, print both forms, queue the
// event, write core.xml synchronously and rename it) beside the bare
// synchronous write and rename of the same file, in the same run, for a
// core with 3 and with 32 plug-ins.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <fmt/format.h>

#include "InProcessCore.h"

namespace {

struct StatusTree {
  dvrtest::InstallTree tree;
  dvrtest::InProcessCore core;
  explicit StatusTree(int64_t pluginCount) {
    for (int64_t i = 0; i < pluginCount; ++i) {
      core.addPlugin(tree, "tp_basic", fmt::format("plugin{:02}.so", i), {{"id", fmt::format("{:#x}", (i + 2) << 16)}});
    }
    std::filesystem::current_path(tree.workDir());
  }
};

void PublishStatus(benchmark::State& state) {
  StatusTree status(state.range(0));
  for (auto _ : state) {
    status.core->publishStatus();
    status.core.drainQueue();
  }
  state.counters["bytes"] = static_cast<double>(std::filesystem::file_size("core.xml"));
}

// What any atomic replacement of the same bytes costs: open with O_SYNC,
// one write, close, rename.
void BareSyncWrite(benchmark::State& state) {
  StatusTree status(state.range(0));
  status.core->publishStatus();
  status.core.drainQueue();
  std::ifstream in("core.xml", std::ios::binary);
  const std::string text(std::istreambuf_iterator<char>(in), {});
  for (auto _ : state) {
    const int fd = ::open("copy.xml.pending", O_WRONLY | O_CREAT | O_TRUNC | O_SYNC, 0644);
    if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
      state.SkipWithError("write failed");
    }
    ::close(fd);
    std::rename("copy.xml.pending", "copy.xml");
  }
  state.counters["bytes"] = static_cast<double>(text.size());
}

BENCHMARK(PublishStatus)->Name("status/core")->Arg(3)->Arg(32)->Unit(benchmark::kMicrosecond);
BENCHMARK(BareSyncWrite)->Name("status/syncwrite")->Arg(3)->Arg(32)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
