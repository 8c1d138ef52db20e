// The engine's two seams: what it takes from the operating system, and what it tells the front end that shows it.
#pragma once

#include <cstdint>

#include "core/trace_table.h"

// AF_INET on every platform Zarta builds for; the platform files check this.
constexpr uint16_t INET_FAMILY = 2;
// AF_INET6, which differs between systems (10 on Linux, 23 on Windows): the platform defines it.
extern const uint16_t INET6_FAMILY;

// A socket address of either family as the sockets API lays it out: an IPv4 one (16 bytes) is a prefix of it, an IPv6
// one all of it, so that a platform copies the one its family says.
struct SocketAddress {
  uint16_t family;       // INET_FAMILY or INET6_FAMILY, or 0 when the target was not found
  uint16_t port;         // always 0 for ICMP
  uint32_t address;      // IPv4, network byte order; IPv6's flow information, 0
  uint8_t address6[16];  // IPv6, network byte order; IPv4's padding in its first 8 bytes, all zero
  uint32_t scope;        // IPv6: the zone (interface) of a link-local address, else 0
};
static_assert(sizeof(SocketAddress) == 28);

// The socket address of an IPv4 address in network byte order.
inline SocketAddress ipv4Address(uint32_t address) {
  SocketAddress socketAddress = {};
  socketAddress.family = INET_FAMILY;
  socketAddress.address = address;
  return socketAddress;
}
// 4 or 6 for an address of either family, 0 for none.
uint32_t ipVersion(const SocketAddress& address);
// The same host: the family and its address (a zone is not part of it).
bool sameHost(const SocketAddress& a, const SocketAddress& b);
// 0.0.0.0 or ::, which answers nothing and reaches only this host.
bool isUnspecified(const SocketAddress& address);

// The raw-socket contract of the engine: one ICMP socket of a family that sends 64-byte echo requests with a chosen
// time-to-live and receives what a raw socket of its family delivers of the ICMP traffic reaching the host: whole IPv4
// datagrams, header first, or ICMPv6 messages, which come without their header. Transports that see only their own
// answers hand the engine what a raw socket would have given it, so the engine cannot tell them apart.
class IcmpTransport {
 public:
  virtual ~IcmpTransport() = default;
  // Opens it for `family` (INET_FAMILY or INET6_FAMILY). Returns 0, or the platform's error code when the socket
  // cannot be had.
  virtual int open(uint16_t family) = 0;
  // Once open: from here on the transport may leave out whatever is not an answer to a probe carrying `identifier` and
  // `traceTag` (an echo reply, or a time-exceeded quoting the echo request). The engine checks them all the same.
  virtual void acceptOnly(uint16_t, uint8_t) {}
  virtual void close() = 0;
  virtual void setTimeToLive(int timeToLive) = 0;
  virtual void send(const uint8_t* message, int length, const SocketAddress& destination) = 0;
  // True when a datagram is waiting; never blocks.
  virtual bool datagramWaiting() = 0;
  // Copies the next datagram into `buffer` from its first byte; returns its length (cut to
  // `capacity`), or a negative value on failure. `arrivedAt` is when it reached the host, on
  // the engine's clock, so that a round trip does not include the wait for the next pass.
  virtual int receive(uint8_t* buffer, int capacity, SocketAddress& sender, uint32_t& arrivedAt) = 0;
  // Blocks until `wake` is set (the platform's handle of a timer or of a stop signal: an eventfd, an event), a
  // datagram may be waiting, or `timeoutNanoseconds` has passed (never, when negative). False when it cannot wait
  // (not open), and the caller waits for `wake` alone.
  virtual bool wait(intptr_t wake, int64_t timeoutNanoseconds) = 0;
};

// Everything else a worker takes from the operating system. One instance serves one worker.
class TraceSystem {
 public:
  virtual ~TraceSystem() = default;
  // The transport of a family: the engine opens the one its host may need before the host is looked up.
  virtual IcmpTransport& transport(uint16_t family) = 0;
  // Milliseconds since an arbitrary origin, wrapping modulo 2^32.
  virtual uint32_t nowMilliseconds() = 0;
  // Ends a pass: gives up the processor until the clock reads `deadline` (at once if it already does), unless an
  // answer arrives or the stop is requested first. Not `timed`, only an answer or the stop ends the wait, so that a
  // trace left open costs nothing.
  virtual void waitForNextPass(const TraceSlot& slot, bool timed, uint32_t deadline) = 0;
  virtual uint32_t processId() = 0;
  // The first address of `hostText` (an address, or a name the resolver knows), in the resolver's order, of IP
  // version `version` alone unless it is 0. All zero when there is none.
  virtual SocketAddress resolveTarget(const char* hostText, uint32_t version) = 0;
};

// What a worker tells its front end: its window's report and the reverse lookups of its hops.
class TraceFrontEnd {
 public:
  virtual ~TraceFrontEnd() = default;
  // Shows the report of `slot` (with a status text, or none) in its window.
  virtual void render(TraceSlot& slot, const char* statusText) = 0;
  // Starts the reverse lookup of hops[hop].address; its end reaches the trace's window.
  virtual void startReverseLookup(TraceSlot& slot, int hop) = 0;
  // The trace's sockets are open, or refused, and neither its host looked up nor a datagram read yet: where
  // privileges gave the sockets, this is the moment to give them up. The tray program holds none: nothing to do.
  virtual void socketOpened(TraceSlot&) {}
  // The slot's `quiet` has changed, which no redraw tells: a front end waiting for its traces to end looks again.
  virtual void quietChanged(TraceSlot&) {}
};
