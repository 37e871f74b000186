// dvrcore: the event hub of the recorder. Started by the recorder daemon with
// the descriptor of its end of the daemon pipe: "dvrcore <pipe>".
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <system_error>

#include "core/DvrCore.h"

namespace {

constexpr const char* kVersion = "26.0.2.0";

enum ExitCode { kExitOk = 0, kExitNoPath = 1, kExitInitFailed = 2 };

}  // namespace

int main(int argc, char** argv) {
  // One console line, one write, even when stdout is a pipe.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  // A console whose reader went away must not kill the process: the write
  // fails, the line is lost, the log plug-in still gets it.
  std::signal(SIGPIPE, SIG_IGN);
  // Likewise a file-size limit: a write beyond it fails with EFBIG, and the
  // file it was for is reported and left as it was.
  std::signal(SIGXFSZ, SIG_IGN);
  int pipeFd = -1;
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    if (argument[0] == '-') {
      if (argument[1] == 'h') {
        std::fprintf(stderr, "core version %s\nUsage: %s <pipe>\n", kVersion, argv[0]);
        return kExitOk;
      }
      continue;
    }
    pipeFd = std::atoi(argument);
    break;
  }

  std::error_code error;
  const std::filesystem::path exePath = std::filesystem::canonical("/proc/self/exe", error);
  if (error) {
    std::fputs("failed to find canonical path", stderr);
    return kExitNoPath;
  }

  auto core = std::make_unique<km::core::DvrCore>(exePath.string());
  km::core::theCore = core.get();
  if (!core->Init(pipeFd)) {
    std::fputs("failed to initialize core\n", stderr);
    std::fflush(stdout);
    std::_Exit(kExitInitFailed);
  }
  core->Run();
  core.reset();
  km::core::theCore = nullptr;
  std::fflush(stdout);
  return kExitOk;
}
