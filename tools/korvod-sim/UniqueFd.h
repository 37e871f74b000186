// Owns one file descriptor and closes it exactly once.
#pragma once

#include <unistd.h>

#include <utility>

namespace korvodsim {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) noexcept : fd(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd, -1));
    return *this;
  }
  ~UniqueFd() { reset(); }

  int get() const noexcept { return fd; }
  explicit operator bool() const noexcept { return fd >= 0; }
  void reset(int replacement = -1) noexcept {
    if (fd >= 0) ::close(fd);
    fd = replacement;
  }

 private:
  int fd = -1;
};

}  // namespace korvodsim
