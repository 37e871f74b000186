// The coloured console line: "{colour}{HH:MM:SS}.{mmm}{cyan} {module}{reset} {text}\n".
#pragma once

#include <cstdint>
#include <ctime>
#include <string_view>

#include <fmt/format.h>

namespace km::core {

inline constexpr std::string_view kModuleColour = "\x1b[36m";
inline constexpr std::string_view kResetColour = "\x1b[0m";

// Colour sequence of a level's band (0-24, 25-49, 50-74, 75-99, 100 and up).
std::string_view levelColour(int32_t level) noexcept;

// The text without trailing NUL, CR and LF bytes.
std::string_view trimLineEnd(std::string_view text) noexcept;

struct ConsoleLineParts {
  std::string_view levelColour;
  std::tm localTime{};
  unsigned millis = 0;
  std::string_view moduleColour;
  std::string_view moduleName;
  std::string_view resetColour;
  std::string_view text;
};

// Appends one whole line (with its line feed) to `out`.
void formatConsoleLine(fmt::memory_buffer& out, const ConsoleLineParts& parts);

}  // namespace km::core
