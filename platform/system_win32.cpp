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

void NativeTraceSystem::startReverseLookup(TraceSlot& slot, int hop) {
  HopRecord& record = slot.hops[hop];
  WSAAsyncGetHostByAddr(static_cast<HWND>(slot.window), MSG_HOP_NAME_BASE + hop,
                        reinterpret_cast<const char*>(&record.address), 4, AF_INET,
                        reinterpret_cast<char*>(record.lookupBuffer), LOOKUP_BUFFER_LENGTH);
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
