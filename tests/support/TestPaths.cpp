#include "TestPaths.h"

#include <cstdint>
#include <fstream>

namespace dvrtest {

namespace {

// The machine an ELF file is built for (e_machine); 0 for any other file.
uint16_t elfMachine(const std::filesystem::path& file) {
  unsigned char header[20] = {};
  std::ifstream in(file, std::ios::binary);
  if (!in.read(reinterpret_cast<char*>(header), sizeof header)) return 0;
  if (header[0] != 0x7f || header[1] != 'E' || header[2] != 'L' || header[3] != 'F') return 0;
  const bool bigEndian = header[5] == 2;
  return static_cast<uint16_t>(bigEndian ? header[18] << 8 | header[19] : header[19] << 8 | header[18]);
}

}  // namespace

std::filesystem::path coreExecutable() { return DVRCORE_EXECUTABLE; }
std::filesystem::path buildDir() { return DVRCORE_BUILD_DIR; }
std::filesystem::path testPluginDir() { return DVRCORE_TEST_PLUGIN_DIR; }
std::filesystem::path tool(const char* name) { return buildDir() / name; }
std::filesystem::path runAsParent() { return DVRCORE_RUN_AS_PARENT; }
std::filesystem::path memoryShim() { return DVRCORE_MEMORY_SHIM; }

std::string emulator() { return DVRCORE_TEST_EMULATOR; }
bool emulated() { return !emulator().empty(); }

std::vector<std::string> targetCommand(std::vector<std::string> command) {
  // Under emulation /proc/self/exe is this test program itself, not the emulator.
  static const uint16_t ownMachine = elfMachine("/proc/self/exe");
  if (emulated() && !command.empty() && elfMachine(command.front()) == ownMachine) {
    command.insert(command.begin(), emulator());
  }
  return command;
}

}  // namespace dvrtest
