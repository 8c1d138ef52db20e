// Windows: Windows Sockets for the raw ICMP socket and the lookups, the performance counter
// for the clock, the trace window's edit control for the report.
#include <winsock2.h>
#include <ws2tcpip.h>
// ws2tcpip.h must come before windows.h: winsock.h's IP_TTL (7) sets something else on ws2_32.
#include <windows.h>

#include <cstring>

#include "core/trace_engine.h"
#include "display/trace_report.h"
#include "platform/platform.h"
#include "resources/resource.h"

static_assert(AF_INET == INET_FAMILY);
static_assert(IP_TTL == 4, "IP_TTL must be ws2tcpip.h's value");
static_assert(sizeof(sockaddr_in) == sizeof(SocketAddress));

const char RAW_SOCKET_FIX[] = "run Zarta as administrator";

int RawIcmpSocket::open() {
  close();
  SOCKET handle = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
  if (handle == INVALID_SOCKET) return WSAGetLastError();
  // Every raw socket sees every trace's answers; the default queue is too small for 50 traces.
  int size = RECEIVE_QUEUE_BYTES;
  setsockopt(handle, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size), sizeof size);
  handle_ = static_cast<intptr_t>(handle);
  return 0;
}

void RawIcmpSocket::close() {
  if (handle_ != -1) closesocket(static_cast<SOCKET>(handle_));
  handle_ = -1;
}

void RawIcmpSocket::setTimeToLive(int timeToLive) {
  setsockopt(static_cast<SOCKET>(handle_), IPPROTO_IP, IP_TTL, reinterpret_cast<const char*>(&timeToLive),
             sizeof timeToLive);
}

void RawIcmpSocket::send(const uint8_t* message, int length, const SocketAddress& destination) {
  sockaddr_in to;
  memcpy(&to, &destination, sizeof to);
  sendto(static_cast<SOCKET>(handle_), reinterpret_cast<const char*>(message), length, 0,
         reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

bool RawIcmpSocket::datagramWaiting() {
  if (handle_ == -1) return false;
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(static_cast<SOCKET>(handle_), &readable);
  timeval immediately = {0, 0};
  return select(0, &readable, nullptr, nullptr, &immediately) > 0;
}

int RawIcmpSocket::receive(uint8_t* buffer, int capacity, SocketAddress& sender) {
  sockaddr_in from = {};
  int fromLength = sizeof from;
  int length = recvfrom(static_cast<SOCKET>(handle_), reinterpret_cast<char*>(buffer), capacity, 0,
                        reinterpret_cast<sockaddr*>(&from), &fromLength);
  memcpy(&sender, &from, sizeof sender);
  return length;
}

uint32_t NativeTraceSystem::nowMilliseconds() {
  LARGE_INTEGER frequency, count;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&count);
  return millisecondsFromTicks(count.QuadPart, frequency.QuadPart);
}

void NativeTraceSystem::sleepOneMillisecond() { Sleep(1); }

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

// Reverse lookups. WSAAsyncGetHostByAddr writes its result from a thread of its own at a time of
// its choosing, and Wine cannot cancel a request once made. So the result never lands in a trace
// slot: each slot and hop has a private buffer here, owned by at most one request at a time, and
// the completion, posted to a relay window that lives for the whole run, copies the name into the
// slot only while the slot still belongs to the window that asked.
namespace {

constexpr UINT LOOKUP_DONE_BASE = WM_APP;  // + slot index * MAX_HOPS + hop
constexpr uint32_t LOOKUP_IDLE = 0;
constexpr uint32_t LOOKUP_PENDING = 1;
constexpr uint32_t LOOKUP_QUEUED = 2;  // pending, and the slot's current trace wants one too

struct ReverseLookup {
  uint32_t state;  // LOOKUP_*; the owner of PENDING alone touches the fields below
  HWND window;     // the trace window that asked
  alignas(void*) char result[MAXGETHOSTSTRUCT];
};

ReverseLookup reverseLookups[MAX_TRACES][MAX_HOPS];
HWND lookupRelay;

void beginLookup(int slotIndex, int hop) {
  ReverseLookup& lookup = reverseLookups[slotIndex][hop];
  TraceSlot& slot = traceTable[slotIndex];
  lookup.window = static_cast<HWND>(slot.window);
  memset(lookup.result, 0, sizeof(hostent));
  uint32_t address = loadShared(slot.hops[hop].address);
  UINT done = LOOKUP_DONE_BASE + static_cast<UINT>(slotIndex * MAX_HOPS + hop);
  if (WSAAsyncGetHostByAddr(lookupRelay, done, reinterpret_cast<const char*>(&address), 4, AF_INET, lookup.result,
                            sizeof lookup.result) == nullptr)
    PostMessageA(lookupRelay, done, 0, 0);  // no request: end it at once, without a name
}

void finishLookup(int slotIndex, int hop) {
  ReverseLookup& lookup = reverseLookups[slotIndex][hop];
  TraceSlot& slot = traceTable[slotIndex];
  HWND window = lookup.window;
  bool current = window != nullptr && slot.window == window;
  if (current) {
    // A hostent of its own in the slot, its name right behind it, for the trace window to read.
    const hostent* found = reinterpret_cast<const hostent*>(lookup.result);
    hostent* copy = reinterpret_cast<hostent*>(slot.hops[hop].lookupBuffer);
    memset(copy, 0, sizeof *copy);
    if (found->h_name != nullptr) {
      char* name = reinterpret_cast<char*>(copy + 1);
      copyCut(name, LOOKUP_BUFFER_LENGTH - sizeof *copy, found->h_name);
      copy->h_name = name;
    }
  }
  uint32_t expected = LOOKUP_PENDING;
  if (!std::atomic_ref<uint32_t>(lookup.state).compare_exchange_strong(expected, LOOKUP_IDLE)) {
    // The slot's present trace asked while this request was out: its turn now.
    storeShared(lookup.state, LOOKUP_PENDING);
    beginLookup(slotIndex, hop);
  }
  if (current) SendMessageA(window, MSG_HOP_NAME_BASE + hop, 0, 0);
}

LRESULT CALLBACK lookupRelayProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message >= LOOKUP_DONE_BASE && message < LOOKUP_DONE_BASE + MAX_TRACES * MAX_HOPS) {
    int index = static_cast<int>(message - LOOKUP_DONE_BASE);
    finishLookup(index / MAX_HOPS, index % MAX_HOPS);
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

void prepareReverseLookups() {
  if (lookupRelay != nullptr) return;
  WNDCLASSA relayClass = {};
  relayClass.lpfnWndProc = lookupRelayProc;
  relayClass.hInstance = GetModuleHandleA(nullptr);
  relayClass.lpszClassName = "zarta lookups";
  RegisterClassA(&relayClass);
  lookupRelay = CreateWindowExA(0, relayClass.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                relayClass.hInstance, nullptr);
}

bool reverseLookupPending(const TraceSlot& slot, int hop) {
  return loadShared(reverseLookups[&slot - traceTable][hop].state) != LOOKUP_IDLE;
}

void NativeTraceSystem::startReverseLookup(TraceSlot& slot, int hop) {
  if (lookupRelay == nullptr) return;
  int slotIndex = static_cast<int>(&slot - traceTable);
  std::atomic_ref<uint32_t> state(reverseLookups[slotIndex][hop].state);
  for (;;) {
    uint32_t expected = LOOKUP_IDLE;
    if (state.compare_exchange_strong(expected, LOOKUP_PENDING)) {
      beginLookup(slotIndex, hop);
      return;
    }
    // Still out for this slot's last trace: the relay starts ours when that one ends.
    if (expected == LOOKUP_QUEUED || state.compare_exchange_strong(expected, LOOKUP_QUEUED)) return;
  }
}

void setReportText(WindowHandle window, const char* text, bool setTabStops) {
  HWND edit = GetDlgItem(static_cast<HWND>(window), IDC_TRACE_TEXT);
  if (setTabStops) {
    int stops[TAB_STOP_COUNT];
    memcpy(stops, REPORT_TAB_STOPS, sizeof stops);
    SendMessageA(edit, EM_SETTABSTOPS, TAB_STOP_COUNT, reinterpret_cast<LPARAM>(stops));
  }
  SetWindowTextA(edit, text);
}
