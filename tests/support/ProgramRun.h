// Running a tool to its end, as a user would from a shell.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace dvrtest {

struct ProgramRun {
  int exitCode = -1;  // 128 + the signal when killed by one
  std::string out;
  std::string err;
};

// Runs argv[0] (a path) with `arguments`, in `workdir`, with the test's
// environment plus `environment` ("NAME=value" entries), and waits for it.
ProgramRun runProgram(const std::vector<std::string>& argv, const std::filesystem::path& workdir,
                      const std::vector<std::string>& environment = {});

}  // namespace dvrtest
