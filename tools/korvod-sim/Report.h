// How korvod-sim speaks: its own lines start with "korvod-sim: " so that they
// stand out among the core's console lines. Progress notes and problems go
// to standard error, packet lines to standard output.
#pragma once

#include <cstdio>
#include <utility>

#include <fmt/format.h>

namespace korvodsim {

template <typename... Args>
void printError(fmt::format_string<Args...> format, Args&&... args) {
  fmt::print(stderr, "korvod-sim: {}\n", fmt::format(format, std::forward<Args>(args)...));
}

}  // namespace korvodsim
