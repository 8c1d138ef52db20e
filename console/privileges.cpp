#include "console/privileges.h"

#include <grp.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

// What ping and tcpdump -Z take on where no user is given: the unprivileged "nobody".
constexpr uid_t NOBODY = 65534;

// Workers wait here with their sockets open until the privileges that opened them are given up,
// so that no name is looked up and no datagram read with them.
struct PrivilegeGate {
  std::mutex lock;                  // guards opened and givenUp
  std::condition_variable changed;  // a socket opened, or the privileges went
  int opened = 0;                   // traces whose socket is open or refused
  bool givenUp = false;             // the process's privileges are gone
};

PrivilegeGate gate;

// Whom the process becomes.
struct KeptIds {
  bool change;     // false: it already runs as a user other than root
  uid_t user;      // the user id for real, effective and saved
  gid_t group;     // likewise the group id
  int groupCount;  // supplementary groups set: 0 or 1 (`group`); -1 keeps the user's own
};

KeptIds kept;

// A user or group id from sudo's environment: decimal digits only, from 1 to 4294967294, for 0 is root and
// 4294967295 is (uid_t)-1, "no change" to setresuid. False for anything else, an absent variable included.
bool sudoId(const char* name, uint32_t& id) {
  const char* text = getenv(name);
  if (text == nullptr || strlen(text) > 10) return false;
  uint64_t value = 0;
  for (const char* at = text; *at != '\0'; ++at) {
    if (*at < '0' || *at > '9') return false;
    value = value * 10 + static_cast<uint64_t>(*at - '0');
  }
  id = static_cast<uint32_t>(value);
  return *text != '\0' && value >= 1 && value < UINT32_MAX;
}

// Clears every capability of the calling thread, and keeps it and the threads it starts from gaining any back
// through a program they might execute.
bool dropThreadPrivileges() {
  __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
  return syscall(SYS_capset, &header, none) == 0 && prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0;
}

bool noRootId() {
  uid_t users[3];
  gid_t groups[3];
  if (getresuid(&users[0], &users[1], &users[2]) != 0 || getresgid(&groups[0], &groups[1], &groups[2]) != 0)
    return false;
  for (int i = 0; i < 3; ++i)
    if (users[i] == 0 || groups[i] == 0) {
      errno = EPERM;
      return false;
    }
  return true;
}

// glibc carries each id change to every thread of the process; leaving uid 0 clears every thread's capabilities.
bool takeKeptIds() {
  if (!kept.change) return true;
  bool groupsSet = kept.groupCount < 0 || setgroups(static_cast<size_t>(kept.groupCount), &kept.group) == 0;
  return groupsSet && setresgid(kept.group, kept.group, kept.group) == 0 &&
         setresuid(kept.user, kept.user, kept.user) == 0 && noRootId();
}

[[noreturn]] void cannotGiveUp() {
  fprintf(stderr, "zarta-trace: cannot give up its privileges: %s\n", strerror(errno));
  _exit(1);
}

}  // namespace

bool choosePrivilegesToKeep() {
  uid_t real, effective, saved;
  getresuid(&real, &effective, &saved);
  if (real != 0 && effective != 0 && saved != 0) return true;  // kept.change stays false
  if (real != 0) {
    // Setuid root: the environment is the caller's, whose own ids are the ones to go back to.
    kept = {true, real, getgid(), -1};
    return true;
  }
  if (getenv("SUDO_UID") == nullptr && getenv("SUDO_GID") == nullptr) {
    kept = {true, NOBODY, NOBODY, 0};
    return true;
  }
  uint32_t user, group;
  const char* wrong = !sudoId("SUDO_UID", user) ? "SUDO_UID" : !sudoId("SUDO_GID", group) ? "SUDO_GID" : nullptr;
  if (wrong != nullptr) {
    fprintf(stderr, "zarta-trace: %s is not an id from 1 to 4294967294 to take on in place of root\n", wrong);
    return false;
  }
  kept = {true, user, group, 1};
  return true;
}

void waitForPrivilegesGone() {
  {
    std::unique_lock<std::mutex> guard(gate.lock);
    ++gate.opened;
    gate.changed.notify_all();
    gate.changed.wait(guard, [] { return gate.givenUp; });
  }
  if (!dropThreadPrivileges()) cannotGiveUp();
}

void giveUpPrivileges(int traces, std::chrono::steady_clock::time_point deadline) {
  {
    std::unique_lock<std::mutex> guard(gate.lock);
    gate.changed.wait_until(guard, deadline, [traces] { return gate.opened >= traces; });
  }
  // The workers still hold what changing ids needs: every thread of the process must change.
  if (!takeKeptIds() || !dropThreadPrivileges()) cannotGiveUp();
  std::lock_guard<std::mutex> guard(gate.lock);
  gate.givenUp = true;
  gate.changed.notify_all();
}
