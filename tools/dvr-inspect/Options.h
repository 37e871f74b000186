// The command line of dvr-inspect.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace dvrinspect {

struct Options {
  std::vector<std::filesystem::path> paths;
  bool json = false;
  std::chrono::milliseconds timeout{10000};  // per library
  bool help = false;
};

// The options, or what is wrong with the command line.
std::variant<Options, std::string> parseOptions(int argc, const char* const* argv);

std::string helpText(std::string_view programName);

}  // namespace dvrinspect
