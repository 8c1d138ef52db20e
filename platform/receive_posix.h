// Linux: what the raw and ping sockets share: the engine's clock and the kernel's receive times.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

// The monotonic clock in whole milliseconds, wrapping modulo 2^32: the engine's clock.
uint32_t monotonicMilliseconds();

// Asks the kernel to stamp every datagram the socket receives (SO_TIMESTAMPNS).
void requestReceiveTimes(int socket);

// When the datagram of `message` (read with room for a control message) reached the host, on
// the engine's clock; now when the kernel gave no stamp.
uint32_t arrivalMilliseconds(const msghdr& message);

// Blocks until `wake` (an eventfd or timer descriptor) is readable, or, unless `wakeOnly`,
// `socket` has `events`. False when there is no socket.
bool waitForSocket(int socket, intptr_t wake, bool wakeOnly, short events);

// Control message room for the receive stamp, and for an error-queue entry beside it.
constexpr int CONTROL_BYTES = 256;
