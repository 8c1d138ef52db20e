// Windows: the raw ICMP socket of Windows Sockets, for administrators.
#include <cstring>

#include "platform/win32.h"

static_assert(IP_TTL == 4, "IP_TTL must be ws2tcpip.h's value");

int RawIcmpSocket::open(uint16_t family) {
  close();
  SOCKET handle = socket(family, SOCK_RAW, family == AF_INET6 ? int{IPPROTO_ICMPV6} : int{IPPROTO_ICMP});
  if (handle == INVALID_SOCKET) return WSAGetLastError();
  // Every raw socket sees every trace's answers; the default queue is too small for 50 traces.
  int size = RECEIVE_QUEUE_BYTES;
  setsockopt(handle, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size), sizeof size);
  // Without the event the socket cannot be waited on: the waits then look at it every 1 ms, and a datagram is
  // stamped up to that much late.
  arrivalEvent_ = WSACreateEvent();
  if (arrivalEvent_ == WSA_INVALID_EVENT) {
    arrivalEvent_ = nullptr;
  } else if (WSAEventSelect(handle, arrivalEvent_, FD_READ) == SOCKET_ERROR) {
    WSACloseEvent(arrivalEvent_);
    arrivalEvent_ = nullptr;
  }
  handle_ = static_cast<intptr_t>(handle);
  family_ = family;
  return 0;
}

void RawIcmpSocket::close() {
  if (handle_ != -1) closesocket(static_cast<SOCKET>(handle_));
  if (arrivalEvent_ != nullptr) WSACloseEvent(arrivalEvent_);
  handle_ = -1;
  arrivalEvent_ = nullptr;
}

void RawIcmpSocket::setTimeToLive(int timeToLive) {
  bool ipv6 = family_ == AF_INET6;
  setsockopt(static_cast<SOCKET>(handle_), ipv6 ? IPPROTO_IPV6 : IPPROTO_IP, ipv6 ? IPV6_UNICAST_HOPS : IP_TTL,
             reinterpret_cast<const char*>(&timeToLive), sizeof timeToLive);
}

void RawIcmpSocket::send(const uint8_t* message, int length, const SocketAddress& destination) {
  sockaddr_in6 to = {};
  int size = destination.family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
  memcpy(&to, &destination, size);
  sendto(static_cast<SOCKET>(handle_), reinterpret_cast<const char*>(message), length, 0,
         reinterpret_cast<const sockaddr*>(&to), size);
}

bool RawIcmpSocket::datagramWaiting() {
  if (handle_ == -1) return false;
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(static_cast<SOCKET>(handle_), &readable);
  timeval immediately = {0, 0};
  return select(0, &readable, nullptr, nullptr, &immediately) > 0;
}

bool RawIcmpSocket::wait(intptr_t wake, int64_t timeoutNanoseconds) {
  if (handle_ == -1) return false;
  DWORD timeout = waitMilliseconds(timeoutNanoseconds);
  if (arrivalEvent_ == nullptr) {
    WaitForSingleObject(reinterpret_cast<HANDLE>(wake), timeout < 1 ? timeout : 1);
    return true;
  }
  // Reset before looking: a datagram that comes after the look sets the event again.
  WSAResetEvent(arrivalEvent_);
  if (datagramWaiting()) return true;
  // An answer wakes the worker at once, so that taking it in stamps it at its arrival: Windows Sockets keeps no stamp.
  HANDLE handles[2] = {reinterpret_cast<HANDLE>(wake), arrivalEvent_};
  WaitForMultipleObjects(2, handles, FALSE, timeout);
  return true;
}

int RawIcmpSocket::receive(uint8_t* buffer, int capacity, SocketAddress& sender, uint32_t& arrivedAt) {
  sockaddr_in6 from = {};
  int fromLength = sizeof from;
  int length = recvfrom(static_cast<SOCKET>(handle_), reinterpret_cast<char*>(buffer), capacity, 0,
                        reinterpret_cast<sockaddr*>(&from), &fromLength);
  // Windows Sockets keeps no arrival stamp: taking it in, as soon as its arrival ends a wait, is the nearest moment.
  arrivedAt = performanceCounterMilliseconds();
  sender = {};
  memcpy(&sender, &from, from.sin6_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in));
  return length;
}
