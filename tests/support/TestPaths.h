// Where the built artefacts are, for tests that run them.
#pragma once

#include <filesystem>

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

}  // namespace dvrtest
