// Linux: what the raw and ping sockets share: the engine's clock and the kernel's receive times.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

// The monotonic clock in whole milliseconds, wrapping modulo 2^32: the engine's clock.
uint32_t monotonicMilliseconds();

// Asks the kernel to stamp every datagram the socket receives (SO_TIMESTAMPNS).
void requestReceiveTimes(int socket);

// One datagram as recvmsg leaves it: where it came from and its control messages.
struct ReceivedMessage {
  sockaddr_in from;
  iovec data;
  msghdr message;
  alignas(cmsghdr) char control[256];
};

// Reads one datagram into `buffer` with `flags`, and when it reached the host on the engine's
// clock (the kernel's stamp, or now without one). -1 when nothing was read.
ssize_t receiveStamped(int socket, uint8_t* buffer, int capacity, int flags, ReceivedMessage& received,
                       uint32_t& arrivedAt);

// Blocks until `wake` (an eventfd or timer descriptor) is readable, or, unless `wakeOnly`,
// `socket` has `events`. False when there is no socket.
bool waitForSocket(int socket, intptr_t wake, bool wakeOnly, short events);
