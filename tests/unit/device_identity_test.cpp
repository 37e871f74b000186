// The device identity: the first line of the machine id file, without its
// line end.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/DeviceIdentity.h"

namespace km::core {
namespace {

using namespace std::string_literals;

TEST(DeviceIdentity, IsTheFirstLineWithoutItsLineEnd) {
  std::string pattern = (std::filesystem::temp_directory_path() / "dvrcore-identity-XXXXXX").string();
  const int fd = ::mkstemp(pattern.data());
  ASSERT_GE(fd, 0);
  ::close(fd);
  const struct {
    std::string content;
    std::string identity;
  } cases[] = {
      {"0123456789abcdef0123456789abcdef\n", "0123456789abcdef0123456789abcdef"},
      {"first\nsecond\n", "first"},
      {"no line end", "no line end"},
      {"dos\r\n", "dos"},
      {"\nsecond", ""},
      {"", ""},
      {"a\0b\n"s, "a\0b"s},
      {std::string(5000, 'x') + "\n", std::string(5000, 'x')},
  };
  for (const auto& c : cases) {
    std::ofstream(pattern, std::ios::binary | std::ios::trunc) << c.content;
    EXPECT_EQ(readDeviceIdentity(pattern.c_str()), c.identity) << c.content;
  }
  std::filesystem::remove(pattern);
  EXPECT_EQ(readDeviceIdentity(pattern.c_str()), "");
}

}  // namespace
}  // namespace km::core
