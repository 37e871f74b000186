// The daemon's information packet (kind 7): file name, version and the
// optional background switch, as NUL-separated strings.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace km::core {

struct DaemonInfo {
  std::optional<std::string> fileName;
  std::optional<std::string> version;
  bool background = false;  // third string exactly "Background:true"
};

DaemonInfo parseDaemonInfo(const unsigned char* payload, uint32_t size);

}  // namespace km::core
