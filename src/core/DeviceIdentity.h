#pragma once

#include <string>

namespace km::core {

// The first line of "/etc/machine-id" without its line end; empty when the
// file cannot be read.
std::string readDeviceIdentity(const char* path = "/etc/machine-id");

}  // namespace km::core
