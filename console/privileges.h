// Giving up, once every trace's socket is open, the privileges that opened them, before any lookup or read.
#pragma once

#include <chrono>

// Decides, before any probe, whom the process becomes: run as root through sudo, the invoking user (SUDO_UID,
// SUDO_GID); as root otherwise, user and group 65534 without other groups; setuid root, the real user; anyone
// else stays who they are. False, with the reason on stderr, when SUDO_UID or SUDO_GID is not such an id.
bool choosePrivilegesToKeep();

// A worker's wait once its socket is open or refused: until the process's ids are changed; then it gives up its
// own thread's capabilities (Linux keeps them per thread), before it looks up its host.
void waitForPrivilegesGone();

// Once `traces` workers have waited (or at `deadline`): the chosen ids for every thread, checked, and nothing for
// this one to gain or hold, which the threads it starts from then on inherit; then lets the workers on. Ends the
// process when they cannot be given up.
void giveUpPrivileges(int traces, std::chrono::steady_clock::time_point deadline);
