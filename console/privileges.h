// Giving up, once every trace's socket is open, the privileges that opened them.
#pragma once

#include <chrono>

// Run as root through sudo: takes on the invoking user's ids (SUDO_UID, SUDO_GID) in every thread,
// which also clears every thread's capabilities. True when done, or when there is nothing to do.
bool takeSudoUser();

// Clears every capability of the calling thread; Linux keeps them per thread. True when done.
bool dropThreadCapabilities();

// A worker's wait once its socket is open or refused: until the process's privileges are gone; then it gives up
// its own thread's, before it reads any datagram.
void waitForPrivilegesGone();

// Once `traces` workers have waited (or at `deadline`): the sudo user's ids for every thread and no capabilities
// for this one, which makes the threads it starts from then on without any; then lets the workers on. Ends the
// process when they cannot be given up.
void giveUpPrivileges(int traces, std::chrono::steady_clock::time_point deadline);
