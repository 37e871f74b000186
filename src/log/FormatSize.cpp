#include "log/FormatSize.h"

#include <cmath>

#include <fmt/format.h>

#include "log/CoreLog.h"

namespace km::core {

std::string formatSize(int64_t bytes) {
  // In unsigned arithmetic, so that the most negative value has a magnitude too.
  const uint64_t magnitude = bytes < 0 ? 0 - static_cast<uint64_t>(bytes) : static_cast<uint64_t>(bytes);
  if (magnitude < 102'400) return fmt::format(logLocale(), "{:L}", bytes);

  static constexpr char kUnits[] = "KMGTPE";
  double scaled = static_cast<double>(magnitude);
  int divisions = 0;
  while (scaled >= 1024) {
    scaled *= 0.0009765625;
    ++divisions;
  }
  // Rounded up, so a size never reads smaller than it is; 1023.999 stays in
  // its unit and prints as 1024.
  const double rounded = std::ceil(scaled * 100) / 100;
  return fmt::format("{}{}{}iB", bytes < 0 ? "-" : "", rounded, kUnits[divisions - 1]);
}

}  // namespace km::core
