// Byte counts as people read them in messages: below 100 KiB a plain grouped
// number ("4,096"), above it binary units rounded up to two decimals
// ("1.01MiB", "-3GiB"). Any thread.
#pragma once

#include <cstdint>
#include <string>

namespace km::core {

std::string formatSize(int64_t bytes);

}  // namespace km::core
