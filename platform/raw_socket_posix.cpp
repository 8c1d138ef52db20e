// Linux: the raw ICMP socket, for root or a program granted CAP_NET_RAW.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/platform.h"
#include "platform/receive_posix.h"

int RawIcmpSocket::open() {
  close();
  int handle = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (handle < 0) return errno;
  // Every raw socket sees every trace's answers: with 50 traces the default queue overflows in
  // the first burst of discovery. Forcing the size needs CAP_NET_ADMIN; the plain request is
  // capped by net.core.rmem_max.
  int size = RECEIVE_QUEUE_BYTES;
  if (setsockopt(handle, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
    setsockopt(handle, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  requestReceiveTimes(handle);
  handle_ = handle;
  return 0;
}

void RawIcmpSocket::close() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  handle_ = -1;
}

void RawIcmpSocket::setTimeToLive(int timeToLive) {
  setsockopt(static_cast<int>(handle_), IPPROTO_IP, IP_TTL, &timeToLive, sizeof timeToLive);
}

void RawIcmpSocket::send(const uint8_t* message, int length, const SocketAddress& destination) {
  sockaddr_in to;
  memcpy(&to, &destination, sizeof to);
  sendto(static_cast<int>(handle_), message, length, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

bool RawIcmpSocket::datagramWaiting() {
  if (handle_ < 0) return false;
  pollfd waiting = {static_cast<int>(handle_), POLLIN, 0};
  return poll(&waiting, 1, 0) > 0 && (waiting.revents & POLLIN);
}

bool RawIcmpSocket::wait(intptr_t wake, bool wakeOnly) {
  return waitForSocket(static_cast<int>(handle_), wake, wakeOnly, POLLIN);
}

int RawIcmpSocket::receive(uint8_t* buffer, int capacity, SocketAddress& sender, uint32_t& arrivedAt) {
  ReceivedMessage received;
  ssize_t length = receiveStamped(static_cast<int>(handle_), buffer, capacity, 0, received, arrivedAt);
  if (length < 0) return -1;
  memcpy(&sender, &received.from, sizeof sender);
  return static_cast<int>(length);
}
