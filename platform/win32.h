// Windows' inter-module declarations: the ICMP helper and raw socket, the performance counter, kernel32 functions
// looked up when they run.
#pragma once

// ws2tcpip.h must come before windows.h: winsock.h's IP_TTL (7) sets something else on ws2_32.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on

#include <cstddef>
#include <cstdint>

#include "core/trace_engine.h"
#include "core/trace_system.h"
#include "platform/transport_choice.h"

// An IPv6 socket address is copied whole between the two.
static_assert(sizeof(sockaddr_in6) == sizeof(SocketAddress) && offsetof(sockaddr_in6, sin6_addr) == 8 &&
              offsetof(sockaddr_in6, sin6_scope_id) == 24);

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

// The ICMP helper API (IcmpSendEcho2, or Icmp6SendEcho2 for IPv6, with an event per request), which needs no privileges
// and gets the routers' answers past the firewall.
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
  // Room for one ICMP_ECHO_REPLY (or ICMPV6_ECHO_REPLY), the echoed data, 8 bytes of ICMP error and an IO_STATUS_BLOCK.
  static constexpr int REPLY_BYTES = 160;

 private:
  struct Request {
    HANDLE event;                           // set by the system when the request ends
    bool busy;                              // sent and not yet received
    uint8_t probe[PROBE_LENGTH];            // the probe as the engine built it
    alignas(8) uint8_t reply[REPLY_BYTES];  // IcmpSendEcho2's or Icmp6SendEcho2's reply buffer
  };
  // The first busy request that has ended, or -1.
  int endedRequest();
  int ended_ = -1;         // the one datagramWaiting found, for the receive that follows it
  HANDLE file_ = nullptr;  // IcmpCreateFile's or Icmp6CreateFile's handle, or null while closed
  bool ipv6_ = false;      // opened for IPv6
  int timeToLive_ = 1;
  Request requests_[MAX_REQUESTS] = {};
};

// The reply record Icmp6SendEcho2 writes (ICMPV6_ECHO_REPLY), declared here: MinGW-w64's headers lack it, and their
// IPV6_ADDRESS_EX is unpacked, its address 2 bytes off where Windows writes it.
#pragma pack(push, 1)
struct Icmp6Address {
  uint16_t port;        // 0 for ICMP
  uint32_t flowInfo;    // network byte order
  uint8_t address[16];  // the answering host, network byte order
  uint32_t scope;       // its zone, network byte order
};
#pragma pack(pop)
struct Icmp6EchoReply {
  Icmp6Address sender;
  uint32_t status;         // IP_STATUS: IP_SUCCESS, IP_TTL_EXPIRED_TRANSIT (IP_HOP_LIMIT_EXCEEDED), or a failure
  uint32_t roundTripTime;  // ms
};
static_assert(sizeof(Icmp6Address) == 26 && offsetof(Icmp6Address, address) == 6 &&
              offsetof(Icmp6Address, scope) == 22);
static_assert(sizeof(Icmp6EchoReply) == 36 && offsetof(Icmp6EchoReply, status) == 28 &&
              offsetof(Icmp6EchoReply, roundTripTime) == 32);

// What an Icmp6SendEcho2 reply buffer `reply` tells the engine of the 64-byte probe `probe` it answers: the ICMPv6
// message a raw socket would have delivered, its sender and when it arrived. Returns the message's length, or -1 when
// the reply is no answer.
int readIcmp6Reply(const uint8_t* reply, const uint8_t* probe, uint8_t* buffer, int capacity, SocketAddress& sender,
                   uint32_t& arrivedAt);

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
  intptr_t passTimer_ = 0;  // the high-resolution waitable timer once made, or below 0 where it is refused
};

// The stack a trace's worker thread reserves: the transports of both families live on it (the helper's request tables
// above all), beside what the resolver, the report and the system calls below them need.
constexpr size_t WORKER_STACK_BYTES = 2 * sizeof(TransportPair<IcmpHelper, RawIcmpSocket>) + (1 << 20);

// The engine's clock, which the raw socket also reads to stamp arrivals.
uint32_t performanceCounterMilliseconds();

// A transport's time-out as the waits take it: whole milliseconds, rounded up; INFINITE when negative.
inline DWORD waitMilliseconds(int64_t timeoutNanoseconds) {
  return timeoutNanoseconds < 0 ? INFINITE : static_cast<DWORD>((timeoutNanoseconds + 999999) / 1000000);
}

// A function of a system DLL the program imports (kernel32, iphlpapi) that older Windows or Wine lack, looked up when
// it runs so that the program still starts there; null where it is missing. Imported directly, one missing function
// would keep the whole program from loading. The type is the function's own declaration's (`decltype(CancelIoEx)`),
// which imports nothing.
using AnyFunction = void (*)();
AnyFunction systemFunction(const char* module, const char* name);
template <typename Function>
Function* systemFunction(const char* module, const char* name) {
  return reinterpret_cast<Function*>(systemFunction(module, name));
}
template <typename Function>
Function* kernelFunction(const char* name) {
  return systemFunction<Function>("kernel32.dll", name);
}
