#include "TestPaths.h"

namespace dvrtest {

std::filesystem::path coreExecutable() { return DVRCORE_EXECUTABLE; }
std::filesystem::path buildDir() { return DVRCORE_BUILD_DIR; }
std::filesystem::path testPluginDir() { return DVRCORE_TEST_PLUGIN_DIR; }
std::filesystem::path tool(const char* name) { return buildDir() / name; }
std::filesystem::path runAsParent() { return DVRCORE_RUN_AS_PARENT; }

std::string emulator() { return DVRCORE_TEST_EMULATOR; }
bool emulated() { return !emulator().empty(); }

std::vector<std::string> targetCommand(std::vector<std::string> command) {
  if (emulated()) command.insert(command.begin(), emulator());
  return command;
}

}  // namespace dvrtest
