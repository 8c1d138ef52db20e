// The operating system behind the engine and the report: one implementation file per platform.
#pragma once

#include <cstdint>

#include "core/trace_system.h"

// The fix named in the report when a raw socket cannot be opened.
extern const char RAW_SOCKET_FIX[];

// Receive queue asked of every raw socket.
constexpr int RECEIVE_QUEUE_BYTES = 1 << 20;

// A raw ICMP socket (SOCK_RAW, IPPROTO_ICMP).
class RawIcmpSocket : public IcmpTransport {
 public:
  ~RawIcmpSocket() override { close(); }
  int open() override;
  void close() override;
  void setTimeToLive(int timeToLive) override;
  void send(const uint8_t* message, int length, const SocketAddress& destination) override;
  bool datagramWaiting() override;
  int receive(uint8_t* buffer, int capacity, SocketAddress& sender) override;

 private:
  intptr_t handle_ = -1;  // the socket, or -1 (INVALID_SOCKET) while closed
};

// The real clock, socket, resolver and windows, for one worker.
class NativeTraceSystem : public TraceSystem {
 public:
  IcmpTransport& transport() override { return socket_; }
  uint32_t nowMilliseconds() override;
  void sleepOneMillisecond() override;
  uint32_t processId() override;
  SocketAddress resolveTarget(const char* hostText) override;
  void startReverseLookup(TraceSlot& slot, int hop) override;
  void render(TraceSlot& slot, const char* statusText) override;

 private:
  RawIcmpSocket socket_;
};

// The worker of one trace: runs it until its stop request. Returns 0.
int traceWorker(TraceSlot& slot);

// Windows: makes, on the user-interface thread, the window at which reverse lookups end.
// Until then no lookup starts.
void prepareReverseLookups();
// Windows: true while the reverse lookup of a slot's hop is out (for tests).
bool reverseLookupPending(const TraceSlot& slot, int hop);

// Replaces the report text of a trace window; sets the report's tab stops first when asked.
void setReportText(WindowHandle window, const char* text, bool setTabStops);
