#include "core/DeviceIdentity.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace km::core {

namespace {
struct FileClose {
  void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};
struct MemoryFree {
  void operator()(char* bytes) const noexcept { std::free(bytes); }
};
}  // namespace

// C stdio rather than a file stream: read once at start, and a stream would
// keep the C++ file-stream code resident for this one line.
std::string readDeviceIdentity(const char* path) {
  const std::unique_ptr<std::FILE, FileClose> file(std::fopen(path, "re"));
  if (!file) return {};
  char* bytes = nullptr;
  std::size_t capacity = 0;
  const ssize_t length = ::getline(&bytes, &capacity, file.get());
  const std::unique_ptr<char, MemoryFree> owned(bytes);
  if (length <= 0) return {};
  std::string line(bytes, static_cast<std::size_t>(length));
  if (line.back() == '\n') line.pop_back();
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace km::core
