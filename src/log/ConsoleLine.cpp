#include "log/ConsoleLine.h"

#include <fmt/chrono.h>

namespace km::core {

std::string_view levelColour(int32_t level) noexcept {
  static constexpr std::string_view bands[] = {
      "\x1b[38;5;248m", "\x1b[32m", "\x1b[38;5;227m", "\x1b[38;5;196m", "\x1b[38;5;37m\x1b[38;5;1m"};
  int32_t band = level / 25;
  if (band < 0) band = 0;
  if (band > 4) band = 4;
  return bands[band];
}

std::string_view trimLineEnd(std::string_view text) noexcept {
  while (!text.empty()) {
    const char last = text.back();
    if (last != '\0' && last != '\r' && last != '\n') break;
    text.remove_suffix(1);
  }
  return text;
}

void formatConsoleLine(fmt::memory_buffer& out, const ConsoleLineParts& parts) {
  fmt::format_to(std::back_inserter(out), "{}{:%T}.{:03}{} {}{} {}\n", parts.levelColour, parts.localTime,
                 parts.millis, parts.moduleColour, parts.moduleName, parts.resetColour, parts.text);
}

}  // namespace km::core
