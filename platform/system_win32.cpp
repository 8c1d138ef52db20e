// Windows: the performance counter for the clock, the resolver, and the transports in their order
// of choice: the ICMP helper API, which needs no privileges, else the raw socket.
#include <cstring>

#include "platform/platform.h"
#include "platform/transport_choice.h"
#include "platform/win32.h"

static_assert(AF_INET == INET_FAMILY);

const char TRANSPORT_FIX[] = "run Zarta as administrator";

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

SocketAddress NativeTraceSystem::resolveTarget(const char* hostText) {
  SocketAddress result = {};
  unsigned long dotted = inet_addr(hostText);
  if (dotted != INADDR_NONE) {
    result.family = AF_INET;
    result.address = dotted;
    return result;
  }
  hostent* entry = gethostbyname(hostText);
  if (entry != nullptr && entry->h_addr_list != nullptr && entry->h_addr_list[0] != nullptr) {
    result.family = static_cast<uint16_t>(entry->h_addrtype);
    memcpy(&result.address, entry->h_addr_list[0], 4);
  }
  return result;
}

// The helper API wherever it can be had; the raw socket (administrators) only where it cannot.
using Transports = TransportPair<NativeTraceSystem, IcmpHelper, RawIcmpSocket>;

int traceWorker(TraceSlot& slot, TraceFrontEnd& frontEnd) { return Transports().trace(slot, frontEnd); }

int transportOpenError() { return Transports().openError(); }
