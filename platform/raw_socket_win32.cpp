// Windows: the raw ICMP socket of Windows Sockets, for administrators.
#include <cstring>

#include "platform/win32.h"

static_assert(IP_TTL == 4, "IP_TTL must be ws2tcpip.h's value");
static_assert(sizeof(sockaddr_in6) == sizeof(SocketAddress) && offsetof(sockaddr_in6, sin6_addr) == 8);

int RawIcmpSocket::open(uint16_t family) {
  close();
  SOCKET handle = socket(family, SOCK_RAW, family == AF_INET6 ? int{IPPROTO_ICMPV6} : int{IPPROTO_ICMP});
  if (handle == INVALID_SOCKET) return WSAGetLastError();
  // Every raw socket sees every trace's answers; the default queue is too small for 50 traces.
  int size = RECEIVE_QUEUE_BYTES;
  setsockopt(handle, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size), sizeof size);
  // Without the event the socket cannot be waited on: the passes then poll it every 1 ms, stamping
  // each datagram when the pass takes it.
  arrivalEvent_ = WSACreateEvent();
  if (arrivalEvent_ == WSA_INVALID_EVENT) {
    arrivalEvent_ = nullptr;
  } else if (WSAEventSelect(handle, arrivalEvent_, FD_READ) == SOCKET_ERROR) {
    WSACloseEvent(arrivalEvent_);
    arrivalEvent_ = nullptr;
  }
  handle_ = static_cast<intptr_t>(handle);
  family_ = family;
  keptFirst_ = keptCount_ = 0;
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

bool RawIcmpSocket::datagramWaiting() { return keptCount_ > 0 || socketReadable(); }

bool RawIcmpSocket::socketReadable() {
  if (handle_ == -1) return false;
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(static_cast<SOCKET>(handle_), &readable);
  timeval immediately = {0, 0};
  return select(0, &readable, nullptr, nullptr, &immediately) > 0;
}

int RawIcmpSocket::receive(uint8_t* buffer, int capacity, SocketAddress& sender, uint32_t& arrivedAt) {
  if (keptCount_ == 0) return takeIn(buffer, capacity, sender, arrivedAt);
  const Arrival& kept = kept_[keptFirst_];
  keptFirst_ = (keptFirst_ + 1) % KEPT_ARRIVALS;
  --keptCount_;
  int length = kept.length < capacity ? kept.length : capacity;
  if (length > 0) memcpy(buffer, kept.bytes, length);
  sender = kept.sender;
  arrivedAt = kept.arrivedAt;
  return kept.length < 0 ? kept.length : length;
}

bool RawIcmpSocket::wait(intptr_t wake, bool wakeOnly) {
  if (handle_ == -1) return false;
  if (arrivalEvent_ == nullptr) {
    WaitForSingleObject(reinterpret_cast<HANDLE>(wake), 1);
    return true;
  }
  HANDLE handles[2] = {reinterpret_cast<HANDLE>(wake), arrivalEvent_};
  for (;;) {
    // Reset before looking: a datagram that comes after the look sets the event again.
    WSAResetEvent(arrivalEvent_);
    if (!wakeOnly && datagramWaiting()) return true;
    // With the room for stamped arrivals full, the rest wait in the socket and are stamped late.
    if (wakeOnly && keptCount_ < KEPT_ARRIVALS && socketReadable()) {
      Arrival& arrival = kept_[(keptFirst_ + keptCount_) % KEPT_ARRIVALS];
      arrival.length = takeIn(arrival.bytes, sizeof arrival.bytes, arrival.sender, arrival.arrivedAt);
      ++keptCount_;
      continue;
    }
    bool roomLeft = !wakeOnly || keptCount_ < KEPT_ARRIVALS;
    if (WaitForMultipleObjects(roomLeft ? 2 : 1, handles, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) return true;
    if (!wakeOnly) return true;
  }
}

int RawIcmpSocket::takeIn(uint8_t* buffer, int capacity, SocketAddress& sender, uint32_t& arrivedAt) {
  sockaddr_in6 from = {};
  int fromLength = sizeof from;
  int length = recvfrom(static_cast<SOCKET>(handle_), reinterpret_cast<char*>(buffer), capacity, 0,
                        reinterpret_cast<sockaddr*>(&from), &fromLength);
  // Windows Sockets keeps no arrival stamp: taking it in is the nearest moment at hand.
  arrivedAt = performanceCounterMilliseconds();
  sender = {};
  memcpy(&sender, &from, from.sin6_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in));
  return length;
}
