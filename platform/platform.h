// What the engine takes from the operating system: its transports, the clock and the resolver.
#pragma once

#include <cstdint>

#include "core/trace_engine.h"
#include "core/trace_system.h"

// The ways out named when no transport can be had, after the platform's error code.
extern const char TRANSPORT_FIX[];

// Receive queue asked of every raw socket.
constexpr int RECEIVE_QUEUE_BYTES = 1 << 20;

// A raw ICMP socket (SOCK_RAW, IPPROTO_ICMP): needs root or CAP_NET_RAW, or an administrator.
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
  // Windows keeps no arrival time with a datagram (Linux's kernel does): the wait between passes
  // takes each one in as it arrives, stamps it and keeps it here for the next pass.
  struct Arrival {
    SocketAddress sender;
    uint32_t arrivedAt;
    int length;
    uint8_t bytes[RECEIVE_BUFFER_LENGTH];
  };
  static constexpr int KEPT_ARRIVALS = 16;
  bool socketReadable();
  int takeIn(uint8_t* buffer, int capacity, SocketAddress& sender, uint32_t& arrivedAt);
  intptr_t handle_ = -1;          // the socket, or -1 (INVALID_SOCKET) while closed
  void* arrivalEvent_ = nullptr;  // Windows: set when a datagram arrives
  Arrival kept_[KEPT_ARRIVALS];   // Windows: stamped and not yet received, oldest at keptFirst_
  int keptFirst_ = 0;
  int keptCount_ = 0;
};

// Linux: an ICMP ping socket (SOCK_DGRAM, IPPROTO_ICMP), open to the groups that
// net.ipv4.ping_group_range admits. It sees only its own answers, without IP headers, and
// routers' time-exceeded messages only on its error queue.
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

// Windows: the ICMP helper API (IcmpSendEcho2 with an event per request), which needs no
// privileges and gets the routers' answers past the firewall.
class IcmpHelper : public IcmpTransport {
 public:
  ~IcmpHelper() override { close(); }
  int open() override;
  void close() override;
  void setTimeToLive(int timeToLive) override;
  void send(const uint8_t* message, int length, const SocketAddress& destination) override;
  bool datagramWaiting() override;
  int receive(uint8_t* buffer, int capacity, SocketAddress& sender, uint32_t& arrivedAt) override;
  bool wait(intptr_t wake, bool wakeOnly) override;

  // Requests in flight at most; a send beyond them is dropped and its probe times out.
  static constexpr int MAX_REQUESTS = 600;
  // Room for one ICMP_ECHO_REPLY, the echoed data, 8 bytes of ICMP error and an IO_STATUS_BLOCK.
  static constexpr int REPLY_BYTES = 160;

 private:
  struct Request {
    void* event;                            // set by the system when the request ends
    bool busy;                              // sent and not yet received
    uint8_t probe[PROBE_LENGTH];            // the probe as the engine built it
    alignas(8) uint8_t reply[REPLY_BYTES];  // IcmpSendEcho2's reply buffer
  };
  // The first busy request that has ended, or -1.
  int endedRequest();
  int ended_ = -1;        // the one datagramWaiting found, for the receive that follows it
  void* file_ = nullptr;  // IcmpCreateFile's handle, or null while closed
  int timeToLive_ = 1;
  Request requests_[MAX_REQUESTS] = {};
};

// The first of several transports that opens, standing in for it: the engine sees one.
class TransportChoice : public IcmpTransport {
 public:
  TransportChoice(IcmpTransport* const* candidates, int count) : candidates_(candidates), count_(count) {}
  // Opens each candidate in order; the last refusal's error when every one refuses.
  int open() override;
  void close() override;
  void setTimeToLive(int timeToLive) override;
  void send(const uint8_t* message, int length, const SocketAddress& destination) override;
  bool datagramWaiting() override;
  int receive(uint8_t* buffer, int capacity, SocketAddress& sender, uint32_t& arrivedAt) override;
  bool wait(intptr_t wake, bool wakeOnly) override;

 private:
  IcmpTransport* const* candidates_;  // in the order of preference
  int count_;
  IcmpTransport* chosen_ = nullptr;  // the one that opened, or null
};

// Status values of an ICMP helper API reply that are answers (the rest are not).
constexpr uint32_t HELPER_SUCCESS = 0;          // IP_SUCCESS: the destination's echo reply
constexpr uint32_t HELPER_TTL_EXPIRED = 11013;  // IP_TTL_EXPIRED_TRANSIT: a router's time-exceeded

// The IPv4 datagram a raw socket would deliver for an answer of ICMP `type` (ICMP_ECHO_REPLY or
// ICMP_TIME_EXCEEDED) from `sender` to the echo request `probe`, of which `length` bytes are at
// hand (a router may quote as few as 8): a 20-byte IP header, then the echo reply, or the
// time-exceeded header, the probe's IP header and the probe. The identifier is written as
// `identifier`, as the probe carried it. Returns the length, or -1 for another type or no room.
int synthesizeDatagram(uint8_t type, uint32_t sender, const uint8_t* probe, int length, uint16_t identifier,
                       uint8_t* out, int capacity);

// The datagram for an ICMP helper API reply of `status` from `address` to `probe` (a whole
// 64-byte probe), a time-exceeded quoting the probe's first 8 bytes; -1 when the status is not an answer.
int helperReplyDatagram(uint32_t status, uint32_t address, const uint8_t* probe, uint8_t* out, int capacity);

// What the front end gives a worker: its window's report and the reverse lookups of hops.
class TraceFrontEnd {
 public:
  virtual ~TraceFrontEnd() = default;
  // Shows the report of `slot` (with a status text, or none) in its window.
  virtual void render(TraceSlot& slot, const char* statusText) = 0;
  // Starts the reverse lookup of hops[hop].address; its end reaches the trace's window.
  virtual void startReverseLookup(TraceSlot& slot, int hop) = 0;
  // The trace's socket is open or refused, before its host is looked up and its first datagram read. The tray program,
  // which holds no privileges to give up, has nothing to do here.
  virtual void socketOpened(TraceSlot&) {}
};

// The engine's system on this platform: its clock and resolver, the transport it is given, and
// the front end's window.
class NativeTraceSystem : public TraceSystem {
 public:
  NativeTraceSystem(TraceFrontEnd& frontEnd, IcmpTransport& transport) : frontEnd_(frontEnd), transport_(transport) {}
  IcmpTransport& transport() override { return transport_; }
  ~NativeTraceSystem() override;
  uint32_t nowMilliseconds() override;
  void waitForNextPass(const TraceSlot& slot, bool quiet) override;
  uint32_t processId() override;
  SocketAddress resolveTarget(const char* hostText) override;
  void startReverseLookup(TraceSlot& slot, int hop) override { frontEnd_.startReverseLookup(slot, hop); }
  void socketOpened(TraceSlot& slot) override { frontEnd_.socketOpened(slot); }
  void render(TraceSlot& slot, const char* statusText) override { frontEnd_.render(slot, statusText); }

 private:
  TraceFrontEnd& frontEnd_;
  IcmpTransport& transport_;
  [[maybe_unused]] intptr_t passTimer_ = 0;  // Windows: the waitable timer of the 1 ms passes, once made
};

// Asks the worker of `slot` to stop, and wakes it from a quiet wait. What every front end calls.
void requestStop(TraceSlot& slot);

// Windows: the engine's clock, which the raw socket also reads to stamp arrivals.
uint32_t performanceCounterMilliseconds();

// Windows: a kernel32 function that older Windows lack, looked up when it runs so that the program still starts
// there; null where it is missing. Imported directly, one missing function would keep the whole program from loading.
using AnyFunction = void (*)();
AnyFunction kernelFunction(const char* name);
template <typename Function>
Function kernelFunction(const char* name) {
  return reinterpret_cast<Function>(kernelFunction(name));
}

// Windows: passes wait on a high-resolution timer where the system has one; off, they fall back
// to Sleep(1) as on systems without (for tests).
extern bool highResolutionTimers;

// A platform's two transports in their order of choice, behind the one choice the engine sees.
template <typename Preferred, typename Fallback>
struct TransportPair {
  Preferred preferred;
  Fallback fallback;
  IcmpTransport* const order[2] = {&preferred, &fallback};
  TransportChoice choice{order, 2};

  int trace(TraceSlot& slot, TraceFrontEnd& frontEnd) {
    NativeTraceSystem system(frontEnd, choice);
    return runTrace(slot, system);
  }
  int check() {
    int error = choice.open();
    choice.close();
    return error;
  }
};

// The worker of one trace on this platform's transports, in their order of choice: runs it
// until its stop request. Returns 0.
int traceWorker(TraceSlot& slot, TraceFrontEnd& frontEnd);

// 0 when one of this platform's transports can be opened; otherwise the last one's error code.
int checkTransports();
