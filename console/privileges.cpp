#include "console/privileges.h"

#include <grp.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>

namespace {

// An id from the environment; false when it is absent or no number.
bool idFromEnvironment(const char* name, unsigned long& id) {
  const char* text = getenv(name);
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  id = strtoul(text, &end, 10);
  return *end == '\0';
}

}  // namespace

bool takeSudoUser() {
  unsigned long user, group;
  if (geteuid() != 0 || !idFromEnvironment("SUDO_UID", user) || !idFromEnvironment("SUDO_GID", group) || user == 0)
    return true;
  auto groupId = static_cast<gid_t>(group);
  auto userId = static_cast<uid_t>(user);
  // glibc carries each of these to every thread of the process.
  return setgroups(1, &groupId) == 0 && setresgid(groupId, groupId, groupId) == 0 &&
         setresuid(userId, userId, userId) == 0;
}

bool dropThreadCapabilities() {
  __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
  return syscall(SYS_capset, &header, none) == 0;
}
