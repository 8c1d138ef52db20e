// Windows' inter-module declarations: the ICMP helper and raw socket, the performance counter, kernel32 functions
// looked up when they run.
#pragma once

// ws2tcpip.h must come before windows.h: winsock.h's IP_TTL (7) sets something else on ws2_32.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on

#include <cstdint>

#include "core/trace_engine.h"
#include "core/trace_system.h"

// Receive queue asked of every raw socket.
constexpr int RECEIVE_QUEUE_BYTES = 1 << 20;

// A raw ICMP socket of Windows Sockets (SOCK_RAW, IPPROTO_ICMP): needs an administrator.
class RawIcmpSocket : public IcmpTransport {
 public:
  ~RawIcmpSocket() override { close(); }
  int open(uint16_t family) override;
  void close() override;
  void setTimeToLive(int timeToLive) override;
  void send(const uint8_t* message, int length, const SocketAddress& destination) override;
  bool datagramWaiting() override;
  int receive(uint8_t* buffer, int capacity, SocketAddress& sender, uint32_t& arrivedAt) override;
  bool wait(intptr_t wake, int64_t timeoutNanoseconds) override;

 private:
  intptr_t handle_ = -1;           // the socket, or -1 (INVALID_SOCKET) while closed
  uint16_t family_ = 0;            // AF_INET or AF_INET6, once open
  HANDLE arrivalEvent_ = nullptr;  // set when a datagram arrives
};

// The ICMP helper API (IcmpSendEcho2 with an event per request), which needs no privileges and gets the routers'
// answers past the firewall.
class IcmpHelper : public IcmpTransport {
 public:
  ~IcmpHelper() override { close(); }
  int open(uint16_t family) override;
  void close() override;
  void setTimeToLive(int timeToLive) override;
  void send(const uint8_t* message, int length, const SocketAddress& destination) override;
  bool datagramWaiting() override;
  int receive(uint8_t* buffer, int capacity, SocketAddress& sender, uint32_t& arrivedAt) override;
  bool wait(intptr_t wake, int64_t timeoutNanoseconds) override;

  // Requests in flight at most; a send beyond them is dropped and its probe times out.
  static constexpr int MAX_REQUESTS = 600;
  // Room for one ICMP_ECHO_REPLY, the echoed data, 8 bytes of ICMP error and an IO_STATUS_BLOCK.
  static constexpr int REPLY_BYTES = 160;

 private:
  struct Request {
    HANDLE event;                           // set by the system when the request ends
    bool busy;                              // sent and not yet received
    uint8_t probe[PROBE_LENGTH];            // the probe as the engine built it
    alignas(8) uint8_t reply[REPLY_BYTES];  // IcmpSendEcho2's reply buffer
  };
  // The first busy request that has ended, or -1.
  int endedRequest();
  int ended_ = -1;         // the one datagramWaiting found, for the receive that follows it
  HANDLE file_ = nullptr;  // IcmpCreateFile's handle, or null while closed
  int timeToLive_ = 1;
  Request requests_[MAX_REQUESTS] = {};
};

// The engine's system here: the performance counter, waitable timers between passes, the resolver, and the
// transport it is given.
class NativeTraceSystem : public TraceSystem {
 public:
  NativeTraceSystem(IcmpTransport& ipv4, IcmpTransport& ipv6) : ipv4_(ipv4), ipv6_(ipv6) {}
  ~NativeTraceSystem() override;
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
  intptr_t passTimer_ = 0;  // the high-resolution waitable timer once made, or -1 where it is refused
};

// The engine's clock, which the raw socket also reads to stamp arrivals.
uint32_t performanceCounterMilliseconds();

// A transport's time-out as the waits take it: whole milliseconds, rounded up; INFINITE when negative.
inline DWORD waitMilliseconds(int64_t timeoutNanoseconds) {
  return timeoutNanoseconds < 0 ? INFINITE : static_cast<DWORD>((timeoutNanoseconds + 999999) / 1000000);
}

// A kernel32 function that older Windows lack, looked up when it runs so that the program still starts there; null
// where it is missing. Imported directly, one missing function would keep the whole program from loading. The type
// is the function's own declaration's (`decltype(CancelIoEx)`), which imports nothing.
using AnyFunction = void (*)();
AnyFunction kernelFunction(const char* name);
template <typename Function>
Function* kernelFunction(const char* name) {
  return reinterpret_cast<Function*>(kernelFunction(name));
}
