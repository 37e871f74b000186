// Finding the plug-in libraries of this installation.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace km::core {

// The libraries in "protected-plugins" then "plugins" under `exeDir`: regular
// files (after links) named exactly "*.so", not "LogPI.so", the first of each
// file name only; sorted with paths containing "dIDUvi" first, then by file
// name without regard to case.
std::vector<std::filesystem::path> findPluginLibraries(const std::filesystem::path& exeDir);

// The file name without its last extension, in lower case: the module name.
std::string moduleNameOf(const std::string& fileName);

}  // namespace km::core
