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
  int open(uint16_t family) override;
  // A socket filter: every raw socket is handed all ICMP reaching the host, so that each trace would otherwise wake
  // for every other trace's answers and every foreign ping.
  void acceptOnly(uint16_t identifier, uint8_t traceTag) override;
  void close() override;
  void setTimeToLive(int timeToLive) override;
  void send(const uint8_t* message, int length, const SocketAddress& destination) override;
  bool datagramWaiting() override;
  int receive(uint8_t* buffer, int capacity, SocketAddress& sender, uint32_t& arrivedAt) override;
  bool wait(intptr_t wake, int64_t timeoutNanoseconds) override;

 private:
  int handle_ = -1;      // the socket, or -1 while closed
  uint16_t family_ = 0;  // AF_INET or AF_INET6, once open
};

// An ICMP ping socket (SOCK_DGRAM, IPPROTO_ICMP), open to the groups that net.ipv4.ping_group_range admits. It sees
// only its own answers, without IP headers, and routers' time-exceeded messages only on its error queue.
class PingSocket : public IcmpTransport {
 public:
  ~PingSocket() override { close(); }
  int open(uint16_t family) override;
  void close() override;
  void setTimeToLive(int timeToLive) override;
  void send(const uint8_t* message, int length, const SocketAddress& destination) override;
  bool datagramWaiting() override;
  int receive(uint8_t* buffer, int capacity, SocketAddress& sender, uint32_t& arrivedAt) override;
  bool wait(intptr_t wake, int64_t timeoutNanoseconds) override;

 private:
  void clearError();
  int handle_ = -1;          // the socket, or -1 while closed
  uint16_t family_ = 0;      // AF_INET or AF_INET6, once open
  uint16_t identifier_ = 0;  // what the probes carried before the kernel put its own identifier in
};

// The engine's system here: the monotonic clock, nanosleep between passes, the resolver, and the transport it is
// given.
class NativeTraceSystem : public TraceSystem {
 public:
  NativeTraceSystem(IcmpTransport& ipv4, IcmpTransport& ipv6) : ipv4_(ipv4), ipv6_(ipv6) {}
  IcmpTransport& transport(uint16_t family) override { return family == INET_FAMILY ? ipv4_ : ipv6_; }
  uint32_t nowMilliseconds() override;
  void waitForNextPass(const TraceSlot& slot, bool timed, uint32_t deadline) override;
  uint32_t processId() override;
  SocketAddress resolveTarget(const char* hostText, uint32_t version) override;

 private:
  // The transport the engine traces on: it closes the other family's.
  bool waitOnTransport(intptr_t wake, int64_t timeoutNanoseconds) {
    return ipv4_.wait(wake, timeoutNanoseconds) || ipv6_.wait(wake, timeoutNanoseconds);
  }
  IcmpTransport& ipv4_;
  IcmpTransport& ipv6_;
};

// The monotonic clock in whole milliseconds, wrapping modulo 2^32: the engine's clock.
uint32_t monotonicMilliseconds();

// Asks the kernel to stamp every datagram the socket receives (SO_TIMESTAMPNS).
void requestReceiveTimes(int socket);

// One datagram as recvmsg leaves it: where it came from and its control messages.
struct ReceivedMessage {
  sockaddr_in6 from;  // or a sockaddr_in, which is shorter
  iovec data;
  msghdr message;
  alignas(cmsghdr) char control[256];
};

// Reads one datagram into `buffer` with `flags`, and when it reached the host on the engine's clock (the kernel's
// stamp, or now without one). -1 when nothing was read.
ssize_t receiveStamped(int socket, uint8_t* buffer, int capacity, int flags, ReceivedMessage& received,
                       uint32_t& arrivedAt);

// Sets the time-to-live, or IPv6's hop limit, of the probes `socket` of `family` sends.
void setHopLimit(int socket, uint16_t family, int hops);
// Sends `message` to `destination` in the family it names.
void sendTo(int socket, const uint8_t* message, int length, const SocketAddress& destination);
// The sender of what `received` holds.
SocketAddress senderOf(const ReceivedMessage& received);

// Blocks until `wake` (an eventfd, or -1 for none) is readable, `socket` has `events`, or `timeoutNanoseconds` has
// passed (never, when negative). A negative `socket` is not waited on; false then.
bool waitForSocket(int socket, intptr_t wake, int64_t timeoutNanoseconds, short events);
