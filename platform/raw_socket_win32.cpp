// Windows: the raw ICMP socket of Windows Sockets, for administrators.
#include <winsock2.h>
#include <ws2tcpip.h>
// ws2tcpip.h must come before windows.h: winsock.h's IP_TTL (7) sets something else on ws2_32.
#include <windows.h>

#include <cstring>

#include "platform/platform.h"

static_assert(IP_TTL == 4, "IP_TTL must be ws2tcpip.h's value");
static_assert(sizeof(sockaddr_in) == sizeof(SocketAddress));

uint32_t performanceCounterMilliseconds();  // the engine's clock, system_win32.cpp

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

int RawIcmpSocket::receive(uint8_t* buffer, int capacity, SocketAddress& sender, uint32_t& arrivedAt) {
  sockaddr_in from = {};
  int fromLength = sizeof from;
  int length = recvfrom(static_cast<SOCKET>(handle_), reinterpret_cast<char*>(buffer), capacity, 0,
                        reinterpret_cast<sockaddr*>(&from), &fromLength);
  // Windows Sockets keeps no arrival stamp: taking it in is the nearest moment at hand.
  arrivedAt = performanceCounterMilliseconds();
  memcpy(&sender, &from, sizeof sender);
  return length;
}
