// Linux: the raw ICMP socket of either family, for root or a program granted CAP_NET_RAW.
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/posix.h"

int RawIcmpSocket::open(uint16_t family) {
  close();
  bool ipv6 = family == AF_INET6;
  int handle = socket(family, SOCK_RAW | SOCK_CLOEXEC, ipv6 ? int{IPPROTO_ICMPV6} : int{IPPROTO_ICMP});
  if (handle < 0) return errno;
  if (ipv6) {
    // Every neighbour solicitation and router advertisement would come here too.
    icmp6_filter answers;
    ICMP6_FILTER_SETBLOCKALL(&answers);
    ICMP6_FILTER_SETPASS(ICMP6_ECHO_REPLY, &answers);
    ICMP6_FILTER_SETPASS(ICMP6_TIME_EXCEEDED, &answers);
    setsockopt(handle, IPPROTO_ICMPV6, ICMP6_FILTER, &answers, sizeof answers);
  }
  // Every raw socket sees every trace's answers: with 50 traces the default queue overflows in
  // the first burst of discovery. Forcing the size needs CAP_NET_ADMIN; the plain request is
  // capped by net.core.rmem_max.
  int size = RECEIVE_QUEUE_BYTES;
  if (setsockopt(handle, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
    setsockopt(handle, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  requestReceiveTimes(handle);
  handle_ = handle;
  family_ = family;
  return 0;
}

void RawIcmpSocket::close() {
  if (handle_ >= 0) ::close(handle_);
  handle_ = -1;
}

void RawIcmpSocket::setTimeToLive(int timeToLive) { setHopLimit(handle_, family_, timeToLive); }

void RawIcmpSocket::send(const uint8_t* message, int length, const SocketAddress& destination) {
  sendTo(handle_, message, length, destination);
}

bool RawIcmpSocket::datagramWaiting() {
  if (handle_ < 0) return false;
  pollfd waiting = {handle_, POLLIN, 0};
  return poll(&waiting, 1, 0) > 0 && (waiting.revents & POLLIN);
}

bool RawIcmpSocket::wait(intptr_t wake, bool wakeOnly) { return waitForSocket(handle_, wake, wakeOnly, POLLIN); }

int RawIcmpSocket::receive(uint8_t* buffer, int capacity, SocketAddress& sender, uint32_t& arrivedAt) {
  ReceivedMessage received;
  ssize_t length = receiveStamped(handle_, buffer, capacity, 0, received, arrivedAt);
  if (length < 0) return -1;
  sender = senderOf(received);
  return static_cast<int>(length);
}
