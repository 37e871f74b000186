#include "core/DeviceIdentity.h"

#include <fstream>

namespace km::core {

std::string readDeviceIdentity(const char* path) {
  std::ifstream file(path);
  std::string line;
  if (!file || !std::getline(file, line)) return {};
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace km::core
