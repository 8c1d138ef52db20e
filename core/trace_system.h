// What the trace engine takes from the operating system: the raw ICMP socket, the clock and the rest.
#pragma once

#include <cstdint>

#include "core/trace_table.h"

// AF_INET on every platform Zarta builds for; the platform files check this.
constexpr uint16_t INET_FAMILY = 2;

// An IPv4 socket address as the sockets API lays it out: 16 bytes.
struct SocketAddress {
  uint16_t family;   // INET_FAMILY, or 0 when the target was not found
  uint16_t port;     // always 0 for ICMP
  uint32_t address;  // network byte order
  uint8_t zero[8];   // padding, all zero
};
static_assert(sizeof(SocketAddress) == 16);

// The raw-socket contract of the engine: one ICMP socket that sends 64-byte echo requests with
// a chosen time-to-live and receives whole IPv4 datagrams, header first, of the ICMP traffic
// reaching the host. Transports that see only their own answers, without IP headers, hand the
// engine the datagrams a raw socket would have given it, so the engine cannot tell them apart.
class IcmpTransport {
 public:
  virtual ~IcmpTransport() = default;
  // Returns 0, or the platform's error code when the socket cannot be had.
  virtual int open() = 0;
  virtual void close() = 0;
  virtual void setTimeToLive(int timeToLive) = 0;
  virtual void send(const uint8_t* message, int length, const SocketAddress& destination) = 0;
  // True when a datagram is waiting; never blocks.
  virtual bool datagramWaiting() = 0;
  // Copies the next datagram into `buffer` from its first byte; returns its length (cut to
  // `capacity`), or a negative value on failure. `arrivedAt` is when it reached the host, on
  // the engine's clock, so that a round trip does not include the wait for the next pass.
  virtual int receive(uint8_t* buffer, int capacity, SocketAddress& sender, uint32_t& arrivedAt) = 0;
  // Blocks until `wake` is set: the platform's handle of a timer or of a stop signal (an eventfd,
  // an event). Unless `wakeOnly`, it also returns as soon as a datagram may be waiting; with it,
  // a transport that must stamp arrivals itself reads them as they come. False when it cannot
  // wait (not open), and the caller waits for `wake` alone.
  virtual bool wait(intptr_t wake, bool wakeOnly) = 0;
};

// Everything else a worker needs. One instance serves one worker.
class TraceSystem {
 public:
  virtual ~TraceSystem() = default;
  virtual IcmpTransport& transport() = 0;
  // Milliseconds since an arbitrary origin, wrapping modulo 2^32.
  virtual uint32_t nowMilliseconds() = 0;
  // Ends a pass: gives up the processor for at least 1 ms, by which the engine paces itself. A
  // quiet trace (nothing to send, no answer expected) waits instead until an answer comes or
  // its stop is requested, so that a trace left open costs nothing.
  virtual void waitForNextPass(const TraceSlot& slot, bool quiet) = 0;
  virtual uint32_t processId() = 0;
  // All zero when the text is neither a dotted address nor a name that can be looked up.
  virtual SocketAddress resolveTarget(const char* hostText) = 0;
  // Starts the reverse lookup of hops[hop].address; its end reaches the trace's window.
  virtual void startReverseLookup(TraceSlot& slot, int hop) = 0;
  // The trace's socket is open, or refused (`socketError`), and neither its host looked up nor a datagram read
  // yet: where privileges gave the socket, this is the moment to give them up.
  virtual void socketOpened(TraceSlot& slot) = 0;
  // Shows the report of `slot` (with a status text, or none) in its window.
  virtual void render(TraceSlot& slot, const char* statusText) = 0;
};
