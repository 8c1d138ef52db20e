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

#include "platform/platform.h"
#include "platform/receive_posix.h"

namespace {

constexpr uint8_t ICMP_ERROR_TIME_EXCEEDED = 11;

// Reads one entry of the error queue: a router's answer to one of the probes, which the
// socket's own identifier marks as ours. -1 when there is none, or it is no time-exceeded.
int receiveError(int handle, uint8_t* quoted, int capacity, uint32_t& router, uint32_t& arrivedAt) {
  ReceivedMessage received;
  ssize_t length = receiveStamped(handle, quoted, capacity, MSG_ERRQUEUE | MSG_DONTWAIT, received, arrivedAt);
  if (length < 0) return -1;
  msghdr& message = received.message;
  for (cmsghdr* item = CMSG_FIRSTHDR(&message); item != nullptr; item = CMSG_NXTHDR(&message, item)) {
    if (item->cmsg_level != IPPROTO_IP || item->cmsg_type != IP_RECVERR) continue;
    sock_extended_err error;
    memcpy(&error, CMSG_DATA(item), sizeof error);
    if (error.ee_origin != SO_EE_ORIGIN_ICMP || error.ee_type != ICMP_ERROR_TIME_EXCEEDED) return -1;
    sockaddr_in offender;
    memcpy(&offender, CMSG_DATA(item) + sizeof error, sizeof offender);
    router = offender.sin_addr.s_addr;
    return static_cast<int>(length);
  }
  return -1;
}

}  // namespace

int PingSocket::open() {
  close();
  int handle = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (handle < 0) return errno;
  int on = 1;
  // Without it the routers' time-exceeded messages are not kept for us at all.
  setsockopt(handle, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
  requestReceiveTimes(handle);
  handle_ = handle;
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

void PingSocket::setTimeToLive(int timeToLive) {
  setsockopt(handle_, IPPROTO_IP, IP_TTL, &timeToLive, sizeof timeToLive);
}

void PingSocket::send(const uint8_t* message, int length, const SocketAddress& destination) {
  identifier_ = static_cast<uint16_t>(message[4] | (message[5] << 8));
  // A router's answer also marks the socket with an error, which would fail the next send and
  // lose that probe; taking the error clears the mark and leaves the answer queued.
  clearError();
  sockaddr_in to;
  memcpy(&to, &destination, sizeof to);
  sendto(handle_, message, length, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

bool PingSocket::datagramWaiting() {
  if (handle_ < 0) return false;
  pollfd waiting = {handle_, POLLIN, 0};  // POLLERR is reported whatever is asked
  return poll(&waiting, 1, 0) > 0 && (waiting.revents & (POLLIN | POLLERR));
}

// POLLERR: a router's answer waits on the error queue.
bool PingSocket::wait(intptr_t wake, bool wakeOnly) { return waitForSocket(handle_, wake, wakeOnly, POLLIN | POLLERR); }

int PingSocket::receive(uint8_t* buffer, int capacity, SocketAddress& sender, uint32_t& arrivedAt) {
  uint8_t icmp[RECEIVE_BUFFER_LENGTH];
  uint32_t from = 0;
  int length = receiveError(handle_, icmp, sizeof icmp, from, arrivedAt);
  uint8_t type = ICMP_TIME_EXCEEDED;
  if (length < 0) {
    ReceivedMessage received;
    ssize_t got = receiveStamped(handle_, icmp, sizeof icmp, MSG_DONTWAIT, received, arrivedAt);
    if (got < 0) {
      clearError();  // an error mark with nothing queued would keep the socket readable
      return -1;
    }
    length = static_cast<int>(got);
    from = received.from.sin_addr.s_addr;
    type = ICMP_ECHO_REPLY;
  }
  sender = {INET_FAMILY, 0, from, {}};
  return synthesizeDatagram(type, from, icmp, length, identifier_, buffer, capacity);
}
