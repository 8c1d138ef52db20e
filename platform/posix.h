// Linux's inter-module declarations: the raw and ping sockets, the monotonic clock and the kernel's arrival stamps.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

#include "core/trace_system.h"

// Receive queue asked of every raw socket.
constexpr int RECEIVE_QUEUE_BYTES = 1 << 20;

// A raw ICMP socket (SOCK_RAW, IPPROTO_ICMP): needs root or CAP_NET_RAW.
class RawIcmpSocket : public IcmpTransport {
 public:
  ~RawIcmpSocket() override { close(); }
  int open() override;
  void close() override;
  void setTimeToLive(int timeToLive) override;
  void send(const uint8_t* message, int length, const SocketAddress& destination) override;
  bool datagramWaiting() override;
  int receive(uint8_t* buffer, int capacity, SocketAddress& sender, uint32_t& arrivedAt) override;
  bool wait(intptr_t wake, bool wakeOnly) override;

 private:
  int handle_ = -1;  // the socket, or -1 while closed
};

// An ICMP ping socket (SOCK_DGRAM, IPPROTO_ICMP), open to the groups that net.ipv4.ping_group_range admits. It sees
// only its own answers, without IP headers, and routers' time-exceeded messages only on its error queue.
class PingSocket : public IcmpTransport {
 public:
  ~PingSocket() override { close(); }
  int open() override;
  void close() override;
  void setTimeToLive(int timeToLive) override;
  void send(const uint8_t* message, int length, const SocketAddress& destination) override;
  bool datagramWaiting() override;
  int receive(uint8_t* buffer, int capacity, SocketAddress& sender, uint32_t& arrivedAt) override;
  bool wait(intptr_t wake, bool wakeOnly) override;

 private:
  void clearError();
  int handle_ = -1;          // the socket, or -1 while closed
  uint16_t identifier_ = 0;  // what the probes carried before the kernel put its own identifier in
};

// The engine's system here: the monotonic clock, nanosleep between passes, the resolver, and the transport it is
// given.
class NativeTraceSystem : public TraceSystem {
 public:
  explicit NativeTraceSystem(IcmpTransport& transport) : transport_(transport) {}
  IcmpTransport& transport() override { return transport_; }
  uint32_t nowMilliseconds() override;
  void waitForNextPass(const TraceSlot& slot, bool quiet) override;
  uint32_t processId() override;
  SocketAddress resolveTarget(const char* hostText) override;

 private:
  IcmpTransport& transport_;
};

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

// Reads one datagram into `buffer` with `flags`, and when it reached the host on the engine's clock (the kernel's
// stamp, or now without one). -1 when nothing was read.
ssize_t receiveStamped(int socket, uint8_t* buffer, int capacity, int flags, ReceivedMessage& received,
                       uint32_t& arrivedAt);

// Blocks until `wake` (an eventfd or timer descriptor) is readable, or, unless `wakeOnly`, `socket` has `events`.
// False when there is no socket.
bool waitForSocket(int socket, intptr_t wake, bool wakeOnly, short events);
