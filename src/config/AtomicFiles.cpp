#include "config/AtomicFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "config/Xml.h"

namespace km::core {

namespace {

// Owns a descriptor; closes it on every path.
class Descriptor {
 public:
  explicit Descriptor(int fd) noexcept : fd(fd) {}
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const noexcept { return fd; }
  explicit operator bool() const noexcept { return fd >= 0; }

 private:
  int fd;
};

// A stop signal may land on the thread that reads or writes a file: the
// call is repeated, not reported as a failure.
template <class Call>
auto retryingInterrupted(Call call) {
  decltype(call()) result;
  do {
    result = call();
  } while (result < 0 && errno == EINTR);
  return result;
}

[[noreturn]] void fail(const char* what, const std::string& path, int error) {
  throw std::runtime_error(what + path + " - " + std::system_category().message(error));
}

bool looksLikeXml(std::string_view text) noexcept { return text.size() > 4 && text.starts_with("<?xml"); }

// Throws the parser's message when the text is not well formed.
void checkWellFormed(std::string_view text) {
  XmlDocument doc;
  doc.parse(text);
}

bool isValidXml(std::string_view text) noexcept {
  try {
    if (!looksLikeXml(text)) return false;
    checkWellFormed(text);
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace

std::string readWholeFile(const std::string& path) {
  const Descriptor file(retryingInterrupted([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
  if (!file) fail("Failed to open ", path, errno);
  struct stat status {};
  if (::fstat(file.get(), &status) != 0) fail("Failed to get size of ", path, errno);
  std::string content(static_cast<std::size_t>(status.st_size), '\0');
  std::size_t got = 0;
  while (got < content.size()) {
    errno = 0;
    const ssize_t n = retryingInterrupted([&] { return ::read(file.get(), content.data() + got, content.size() - got); });
    if (n <= 0) fail("Failed to read ", path, errno);
    got += static_cast<std::size_t>(n);
  }
  return content;
}

std::string readXmlFile(const std::string& name) {
  const std::string pending = name + ".pending";
  try {
    std::string content = readWholeFile(pending);
    if (isValidXml(content)) {
      (void)::rename(pending.c_str(), name.c_str());
      return content;
    }
  } catch (const std::exception&) {
    // No usable pending file: the file itself holds the content.
  }

  std::string content = readWholeFile(name);
  if (!looksLikeXml(content)) throw std::runtime_error("Failed - not xml content");
  checkWellFormed(content);
  (void)::unlink(pending.c_str());
  return content;
}

void writeFileAtomically(const std::string& name, std::string_view text) {
  const std::string pending = name + ".pending";
  {
    const Descriptor file(retryingInterrupted(
        [&] { return ::open(pending.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_SYNC | O_CLOEXEC, 0644); }));
    if (!file) fail("Failed to open ", pending, errno);
    // A short write carries no error of its own: writing the rest tells why
    // (no space, a file-size limit). A failed pending file is torn either way.
    std::string_view rest = text;
    while (!rest.empty()) {
      const ssize_t written = retryingInterrupted([&] { return ::write(file.get(), rest.data(), rest.size()); });
      if (written < 0) fail("Failed to write ", pending, errno);
      if (written == 0) fail("Failed to write ", pending, EIO);
      rest.remove_prefix(static_cast<std::size_t>(written));
    }
  }
  (void)::rename(pending.c_str(), name.c_str());
}

void writeXmlFileAtomically(const std::string& name, std::string_view text) {
  if (!looksLikeXml(text)) throw std::runtime_error("Failed - not xml content");
  writeFileAtomically(name, text);
}

}  // namespace km::core
