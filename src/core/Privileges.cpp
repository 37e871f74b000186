#include "core/Privileges.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace km::core {

uint32_t parentProcessUid() {
  const std::string path = "/proc/" + std::to_string(getppid()) + "/status";
  std::FILE* status = std::fopen(path.c_str(), "r");
  if (!status) return 0;
  uint32_t uid = 0;
  char line[512];
  while (std::fgets(line, sizeof line, status)) {
    unsigned value = 0;
    if (std::sscanf(line, "Uid: %u", &value) == 1) {
      uid = value;
      break;
    }
  }
  std::fclose(status);
  return uid;
}

bool setCapabilities(uint32_t mask) noexcept {
  __user_cap_header_struct header{};
  header.version = _LINUX_CAPABILITY_VERSION_3;
  header.pid = 0;
  __user_cap_data_struct data[2]{};
  data[0].effective = mask;
  data[0].permitted = mask;
  data[0].inheritable = 0;
  return syscall(SYS_capset, &header, data) == 0;
}

}  // namespace km::core
