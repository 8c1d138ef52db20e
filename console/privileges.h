// Giving up, once every trace's socket is open, the privileges that opened them.
#pragma once

// Run as root through sudo: takes on the invoking user's ids (SUDO_UID, SUDO_GID) in every thread,
// which also clears every thread's capabilities. True when done, or when there is nothing to do.
bool takeSudoUser();

// Clears every capability of the calling thread; Linux keeps them per thread. True when done.
bool dropThreadCapabilities();
