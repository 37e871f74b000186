// Where the built artefacts are, for tests that run them, and how to run
// them on this machine.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace dvrtest {

// The built dvrcore executable.
std::filesystem::path coreExecutable();
// The build tree's root (dvrcore, plugins/, tools).
std::filesystem::path buildDir();
// Where the test plug-in variants are built.
std::filesystem::path testPluginDir();
// A tool built into the build root, e.g. "korvod-sim".
std::filesystem::path tool(const char* name);
// The helper that starts a program under a parent of another user.
std::filesystem::path runAsParent();
// The library preloaded into the core to fake its RAM and stack limit.
std::filesystem::path memoryShim();

// The program that runs this build's executables here (qemu-arm for the
// armhf build, which this process itself runs under), empty for a native
// build.
std::string emulator();
bool emulated();
// `command` (a program's path and its arguments) as it is started on this
// machine: behind the emulator when there is one and the program is built
// for the same machine as this test (the system's own programs and scripts
// run as they are).
std::vector<std::string> targetCommand(std::vector<std::string> command);

}  // namespace dvrtest
