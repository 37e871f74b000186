#include "ipc/DaemonInfo.h"

#include <cstring>
#include <string_view>
#include <vector>

namespace km::core {

DaemonInfo parseDaemonInfo(const unsigned char* payload, uint32_t size) {
  std::vector<std::string_view> strings;
  const char* text = reinterpret_cast<const char*>(payload);
  uint32_t at = 0;
  while (at < size && strings.size() < 3) {
    const void* nul = std::memchr(text + at, '\0', size - at);
    const uint32_t end = nul ? static_cast<uint32_t>(static_cast<const char*>(nul) - text) : size;
    strings.emplace_back(text + at, end - at);
    at = end + 1;
  }
  DaemonInfo info;
  if (strings.size() >= 3) info.background = strings[2] == "Background:true";
  if (strings.size() >= 2) info.version = std::string(strings[1]);
  if (!strings.empty()) info.fileName = std::string(strings[0]);
  return info;
}

}  // namespace km::core
