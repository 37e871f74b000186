// Init: everything the core needs before it can run.
#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <linux/securebits.h>

#include "core/DeviceIdentity.h"
#include "core/DvrCore.h"
#include "core/Privileges.h"
#include "log/CoreLog.h"
#include "plugins/Plugin.h"
#include "plugins/PluginDiscovery.h"

namespace km::core {

namespace {

// Takes on the user and groups of `uid`. False after logging why.
bool becomeUser(uint32_t uid) {
  errno = 0;
  const passwd* user = getpwuid(uid);
  if (!user) {
    coreLog(100, "getpwuid failed: {}", std::strerror(errno));
    return false;
  }
  if (setuid(user->pw_uid) != 0 || setgid(user->pw_gid) != 0) {
    coreLog(100, "setuid/gid failed: {}", std::strerror(errno));
    return false;
  }
  gid_t groups[256];
  int count = 256;
  if (getgrouplist(user->pw_name, user->pw_gid, groups, &count) < 0) {
    coreLog(100, "getgrouplist failed");
    return false;
  }
  if (setgroups(static_cast<size_t>(count), groups) != 0) {
    coreLog(100, "setgroups failed: {}", std::strerror(errno));
    return false;
  }
  return true;
}

}  // namespace

bool DvrCore::Init(int32_t pipeFd) {
  umask(077);
  // From here on a change of user id keeps the capability sets.
  (void)prctl(PR_SET_SECUREBITS, SECBIT_NO_SETUID_FIXUP);

  const uint32_t uid = parentProcessUid();
  if (uid != getuid() && !becomeUser(uid)) return false;
  if (uid != 0 && !setCapabilities(kStartupCapabilities)) {
    coreLog(50, "capset failed: {}", std::strerror(errno));
  }

  if (pipeFd != -1) {
    boost::system::error_code error;
    boost::asio::generic::seq_packet_protocol protocol(AF_UNIX, 0);
    boost::asio::generic::seq_packet_protocol::socket adopted(io);
    adopted.assign(protocol, pipeFd, error);
    if (error) {
      coreLog(100, "failed to open ipc pipe");
      return false;
    }
    ipcSocket = std::move(adopted);
    pipeOpen.store(true, std::memory_order_release);
  }

  deviceIdentity = readDeviceIdentity();
  logPlugin = Plugin::loadPlugin(logPluginPath(std::filesystem::path(exePath).parent_path()), &post, deviceIdentity);
  logPlugin->openPlugin();
  return true;
}

}  // namespace km::core
