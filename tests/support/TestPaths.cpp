#include "TestPaths.h"

namespace dvrtest {

std::filesystem::path coreExecutable() { return DVRCORE_EXECUTABLE; }
std::filesystem::path buildDir() { return DVRCORE_BUILD_DIR; }
std::filesystem::path testPluginDir() { return DVRCORE_TEST_PLUGIN_DIR; }
std::filesystem::path tool(const char* name) { return buildDir() / name; }
std::filesystem::path runAsParent() { return DVRCORE_RUN_AS_PARENT; }
std::filesystem::path memoryShim() { return DVRCORE_MEMORY_SHIM; }

}  // namespace dvrtest
