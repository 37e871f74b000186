// The core's log front-end. A message below the core's threshold costs one
// table read; one that passes is formatted into this thread's buffer and
// posted as a core log event. Any thread.
//
//     coreLog(25, "Loaded plugin {:02x}:{}", id, name);
#pragma once

#include <cstdint>
#include <iterator>
#include <locale>
#include <string>
#include <string_view>

#include <fmt/format.h>

namespace km::core {

// True when a core message of this level passes the core's threshold.
bool coreLogPasses(int32_t level) noexcept;
// Posts one formatted core message; an empty text posts nothing.
void postCoreLogLine(int32_t level, std::string_view text) noexcept;
// The locale behind "{:L}": the numeric punctuation of en_US.UTF-8 when the
// system has that locale, else the classic one's; chosen once.
const std::locale& logLocale();

namespace detail {
// This thread's message buffer (2048 bytes reserved on first use), or a
// fresh one when a message is formatted while another is being posted.
class MessageBuffer {
 public:
  MessageBuffer();
  ~MessageBuffer();
  MessageBuffer(const MessageBuffer&) = delete;
  MessageBuffer& operator=(const MessageBuffer&) = delete;
  std::string& text() noexcept { return *buffer; }

 private:
  std::string* buffer;
  std::string nested;
};
}  // namespace detail

template <typename... Args>
void coreLog(int32_t level, fmt::format_string<Args...> format, Args&&... args) noexcept {
  if (!coreLogPasses(level)) return;
  try {
    detail::MessageBuffer message;
    std::string& text = message.text();
    fmt::vformat_to(std::back_inserter(text), logLocale(), static_cast<fmt::string_view>(format), fmt::make_format_args(args...));
    postCoreLogLine(level, text);
  } catch (...) {
    // Out of memory while formatting: the message is lost, the caller goes on.
  }
}

}  // namespace km::core
