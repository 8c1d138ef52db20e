// Windows: the performance counter for the clock, the resolver, and the transports in their order
// of choice: the ICMP helper API, which needs no privileges, else the raw socket.
#include <cstring>

#include "platform/platform.h"
#include "platform/transport_choice.h"
#include "platform/win32.h"

static_assert(AF_INET == INET_FAMILY);
const uint16_t INET6_FAMILY = AF_INET6;

const char TRANSPORT_FIX[] = "run Zarta as administrator";
// Every Windows since Vista probes IPv6 with its ICMP helper; Wine 8 has none.
const char TRANSPORT_FIX_IPV6[] = "IPv6 probing is not available on this system; run Zarta as administrator";

// The engine's clock; the raw socket reads it too, to time each answer as it is taken in.
uint32_t performanceCounterMilliseconds() {
  LARGE_INTEGER frequency, count;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&count);
  return millisecondsFromTicks(count.QuadPart, frequency.QuadPart);
}

AnyFunction kernelFunction(const char* name) {
  return reinterpret_cast<AnyFunction>(GetProcAddress(GetModuleHandleA("kernel32.dll"), name));
}

uint32_t NativeTraceSystem::nowMilliseconds() { return performanceCounterMilliseconds(); }

uint32_t NativeTraceSystem::processId() { return GetCurrentProcessId(); }

SocketAddress NativeTraceSystem::resolveTarget(const char* hostText, uint32_t version) {
  SocketAddress result = {};
  unsigned long dotted = inet_addr(hostText);
  if (dotted != INADDR_NONE && version != 6) {
    result.family = AF_INET;
    result.address = dotted;
    return result;
  }
  addrinfo hints = {};
  // The resolver's order: by default Windows puts IPv6 first, where the host has it.
  hints.ai_family = version == 4 ? AF_INET : version == 6 ? AF_INET6 : AF_UNSPEC;
  hints.ai_socktype = SOCK_RAW;  // one entry an address, not one a socket type
  addrinfo* found = nullptr;
  if (getaddrinfo(hostText, nullptr, &hints, &found) == 0 && found != nullptr &&
      (found->ai_family == AF_INET || found->ai_family == AF_INET6) && found->ai_addrlen <= sizeof result)
    memcpy(&result, found->ai_addr, found->ai_addrlen);
  if (found != nullptr) freeaddrinfo(found);
  return result;
}

// The helper API wherever it can be had; the raw socket (administrators) only where it cannot.
int traceWorker(TraceSlot& slot, TraceFrontEnd& frontEnd) {
  return traceOn<NativeTraceSystem, IcmpHelper, RawIcmpSocket>(slot, frontEnd);
}

int transportOpenError() { return openError<IcmpHelper, RawIcmpSocket>(); }
