#include "ProgramRun.h"

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "TestPaths.h"

namespace dvrtest {

namespace {

// A temporary file that goes away with the object.
struct OutputFile {
  OutputFile() {
    path = (std::filesystem::temp_directory_path() / "dvrtest-run-XXXXXX").string();
    const int fd = ::mkstemp(path.data());
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    ::close(fd);
  }
  ~OutputFile() { ::unlink(path.c_str()); }
  std::string contents() const {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  std::string path;
};

}  // namespace

ProgramRun runProgram(const std::vector<std::string>& argv, const std::filesystem::path& workdir,
                      const std::vector<std::string>& environment) {
  // A program of this build runs behind the emulator under emulation.
  std::vector<std::string> arguments = targetCommand(argv);
  std::vector<char*> rawArgv;
  for (auto& argument : arguments) rawArgv.push_back(argument.data());
  rawArgv.push_back(nullptr);
  std::vector<std::string> variables;
  for (char** entry = environ; *entry; ++entry) variables.emplace_back(*entry);
  variables.insert(variables.end(), environment.begin(), environment.end());
  std::vector<char*> rawEnvironment;
  for (auto& variable : variables) rawEnvironment.push_back(variable.data());
  rawEnvironment.push_back(nullptr);

  OutputFile out, err;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.path.c_str(), O_WRONLY | O_TRUNC, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.path.c_str(), O_WRONLY | O_TRUNC, 0);
  posix_spawn_file_actions_addchdir_np(&actions, workdir.c_str());
  pid_t pid = 0;
  const int spawned = ::posix_spawn(&pid, rawArgv[0], &actions, nullptr, rawArgv.data(), rawEnvironment.data());
  posix_spawn_file_actions_destroy(&actions);
  ProgramRun run;
  if (spawned != 0) throw std::runtime_error("cannot start " + argv.front());
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.out = out.contents();
  run.err = err.contents();
  return run;
}

}  // namespace dvrtest
