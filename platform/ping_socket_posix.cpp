// Linux: the ICMP ping socket, which any user of a group that net.ipv4.ping_group_range admits
// may open. The kernel puts its own identifier into each probe and fills the checksum; replies
// come without their IP header, and a router's time-exceeded only on the error queue.
#include <time.h>
// clang-format off
#include <linux/errqueue.h>
// clang-format on
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/icmp_datagram.h"
#include "core/trace_engine.h"
#include "platform/posix.h"

namespace {

// Reads one entry of the error queue: a router's answer to one of the probes, which the socket's own identifier
// marks as ours. -1 when there is none, or it is no time-exceeded.
int receiveError(int handle, uint8_t* quoted, int capacity, SocketAddress& router, uint32_t& arrivedAt) {
  ReceivedMessage received;
  ssize_t length = receiveStamped(handle, quoted, capacity, MSG_ERRQUEUE | MSG_DONTWAIT, received, arrivedAt);
  if (length < 0) return -1;
  msghdr& message = received.message;
  for (cmsghdr* item = CMSG_FIRSTHDR(&message); item != nullptr; item = CMSG_NXTHDR(&message, item)) {
    bool ipv6 = item->cmsg_level == IPPROTO_IPV6 && item->cmsg_type == IPV6_RECVERR;
    if (!ipv6 && (item->cmsg_level != IPPROTO_IP || item->cmsg_type != IP_RECVERR)) continue;
    sock_extended_err error;
    memcpy(&error, CMSG_DATA(item), sizeof error);
    if (error.ee_origin != (ipv6 ? SO_EE_ORIGIN_ICMP6 : SO_EE_ORIGIN_ICMP) ||
        error.ee_type != (ipv6 ? ICMPV6_TYPE_TIME_EXCEEDED : ICMP_TYPE_TIME_EXCEEDED))
      return -1;
    // SO_EE_OFFENDER: the router, in the socket's family.
    router = {};
    memcpy(&router, CMSG_DATA(item) + sizeof error, ipv6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in));
    return static_cast<int>(length);
  }
  return -1;
}

}  // namespace

int PingSocket::open(uint16_t family) {
  close();
  bool ipv6 = family == AF_INET6;
  // ICMPv6's is governed by net.ipv4.ping_group_range too.
  int handle = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, ipv6 ? int{IPPROTO_ICMPV6} : int{IPPROTO_ICMP});
  if (handle < 0) return errno;
  int on = 1;
  // Without it the routers' time-exceeded messages are not kept for us at all.
  if (ipv6)
    setsockopt(handle, IPPROTO_IPV6, IPV6_RECVERR, &on, sizeof on);
  else
    setsockopt(handle, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
  requestReceiveTimes(handle);
  handle_ = handle;
  family_ = family;
  return 0;
}

void PingSocket::clearError() {
  int pending;
  socklen_t size = sizeof pending;
  getsockopt(handle_, SOL_SOCKET, SO_ERROR, &pending, &size);
}

void PingSocket::close() {
  if (handle_ >= 0) ::close(handle_);
  handle_ = -1;
}

void PingSocket::setTimeToLive(int timeToLive) { setHopLimit(handle_, family_, timeToLive); }

void PingSocket::send(const uint8_t* message, int length, const SocketAddress& destination) {
  identifier_ = probeIdentifier(message);
  // A router's answer also marks the socket with an error, which would fail the next send and
  // lose that probe; taking the error clears the mark and leaves the answer queued.
  clearError();
  sendTo(handle_, message, length, destination);
}

bool PingSocket::datagramWaiting() {
  if (handle_ < 0) return false;
  pollfd waiting = {handle_, POLLIN, 0};  // POLLERR is reported whatever is asked
  return poll(&waiting, 1, 0) > 0 && (waiting.revents & (POLLIN | POLLERR));
}

// POLLERR: a router's answer waits on the error queue.
bool PingSocket::wait(intptr_t wake, int64_t timeoutNanoseconds) {
  return waitForSocket(handle_, wake, timeoutNanoseconds, POLLIN | POLLERR);
}

int PingSocket::receive(uint8_t* buffer, int capacity, SocketAddress& sender, uint32_t& arrivedAt) {
  uint8_t icmp[RECEIVE_BUFFER_LENGTH];
  int length = receiveError(handle_, icmp, sizeof icmp, sender, arrivedAt);
  bool expired = length >= 0;
  if (!expired) {
    ReceivedMessage received;
    ssize_t got = receiveStamped(handle_, icmp, sizeof icmp, MSG_DONTWAIT, received, arrivedAt);
    if (got < 0) {
      clearError();  // an error mark with nothing queued would keep the socket readable
      return -1;
    }
    length = static_cast<int>(got);
    sender = senderOf(received);
  }
  if (family_ == AF_INET6)
    return synthesizeMessage6(expired ? ICMPV6_TYPE_TIME_EXCEEDED : ICMPV6_TYPE_ECHO_REPLY, icmp, length, identifier_,
                              buffer, capacity);
  return synthesizeDatagram(expired ? ICMP_TYPE_TIME_EXCEEDED : ICMP_TYPE_ECHO_REPLY, sender.address, icmp, length,
                            identifier_, buffer, capacity);
}
