#include "console/privileges.h"

#include <grp.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

// Workers wait here with their sockets open until the privileges that opened them are given up,
// so that no datagram is read with them.
struct PrivilegeGate {
  std::mutex lock;                  // guards opened and givenUp
  std::condition_variable changed;  // a socket opened, or the privileges went
  int opened = 0;                   // traces whose socket is open or refused
  bool givenUp = false;             // the process's privileges are gone
};

PrivilegeGate gate;

// An id from the environment; false when it is absent or no number.
bool idFromEnvironment(const char* name, unsigned long& id) {
  const char* text = getenv(name);
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  id = strtoul(text, &end, 10);
  return *end == '\0';
}

[[noreturn]] void cannotGiveUp() {
  fprintf(stderr, "zarta-trace: cannot give up its privileges: %s\n", strerror(errno));
  _exit(1);
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

void waitForPrivilegesGone() {
  {
    std::unique_lock<std::mutex> guard(gate.lock);
    ++gate.opened;
    gate.changed.notify_all();
    gate.changed.wait(guard, [] { return gate.givenUp; });
  }
  if (!dropThreadCapabilities()) cannotGiveUp();
}

void giveUpPrivileges(int traces, std::chrono::steady_clock::time_point deadline) {
  {
    std::unique_lock<std::mutex> guard(gate.lock);
    gate.changed.wait_until(guard, deadline, [traces] { return gate.opened >= traces; });
  }
  // The workers still hold what changing ids needs: every thread of the process must change.
  if (!takeSudoUser() || !dropThreadCapabilities()) cannotGiveUp();
  std::lock_guard<std::mutex> guard(gate.lock);
  gate.givenUp = true;
  gate.changed.notify_all();
}
