// Linux: the monotonic clock, the resolver, and the transports in their order of choice: the
// raw socket where it is allowed (root, CAP_NET_RAW), else the ping socket.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <mutex>

#include "platform/platform.h"
#include "platform/posix.h"
#include "platform/transport_choice.h"

static_assert(AF_INET == INET_FAMILY);
const uint16_t INET6_FAMILY = AF_INET6;
static_assert(sizeof(sockaddr_in6) == sizeof(SocketAddress) && offsetof(sockaddr_in6, sin6_addr) == 8 &&
              offsetof(sockaddr_in6, sin6_scope_id) == offsetof(SocketAddress, scope));
static_assert(offsetof(sockaddr_in, sin_addr) == offsetof(SocketAddress, address));

const char TRANSPORT_FIX[] = "run as root, grant CAP_NET_RAW, or allow ping sockets (sysctl net.ipv4.ping_group_range)";
// The same sysctl admits ICMPv6 ping sockets; a kernel without IPv6 refuses both kinds.
const char TRANSPORT_FIX_IPV6[] = "IPv6 needs root, CAP_NET_RAW or ping sockets (sysctl net.ipv4.ping_group_range)";

namespace {

constexpr int64_t NANOSECONDS_PER_MILLISECOND = 1000000;

int64_t nanoseconds(clockid_t clock) {
  timespec now;
  clock_gettime(clock, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

int stopSignals[MAX_TRACES];

// The eventfd that wakes the quiet worker of a slot of the trace table, made once for the whole
// run; -1 for another slot.
int stopSignal(const TraceSlot& slot) {
  static std::once_flag made;
  std::call_once(made, [] {
    for (int& signal : stopSignals) signal = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  });
  ptrdiff_t index = &slot - traceTable;
  return index >= 0 && index < MAX_TRACES ? stopSignals[index] : -1;
}

}  // namespace

void requestStop(TraceSlot& slot) {
  storeShared(slot.stopRequested, 1u);
  int signal = stopSignal(slot);
  uint64_t one = 1;
  if (signal >= 0 && write(signal, &one, sizeof one) < 0) return;  // already signalled to its limit
}

namespace {

// poll of `count` descriptors, for `timeoutNanoseconds` or, when negative, without end. Descriptors of -1 are left out.
void pollFor(pollfd* waiting, nfds_t count, int64_t timeoutNanoseconds) {
  timespec timeout = {static_cast<time_t>(timeoutNanoseconds / 1000000000),
                      static_cast<long>(timeoutNanoseconds % 1000000000)};
  ppoll(waiting, count, timeoutNanoseconds < 0 ? nullptr : &timeout, nullptr);
}

}  // namespace

bool waitForSocket(int socket, intptr_t wake, int64_t timeoutNanoseconds, short events) {
  if (socket < 0) return false;
  pollfd waiting[2] = {{static_cast<int>(wake), POLLIN, 0}, {socket, events, 0}};
  pollFor(waiting, 2, timeoutNanoseconds);
  return true;
}

uint32_t monotonicMilliseconds() {
  return static_cast<uint32_t>(nanoseconds(CLOCK_MONOTONIC) / NANOSECONDS_PER_MILLISECOND);
}

void requestReceiveTimes(int socket) {
  int on = 1;
  setsockopt(socket, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
}

namespace {

uint32_t arrivalMilliseconds(const msghdr& message) {
  for (cmsghdr* item = CMSG_FIRSTHDR(&message); item != nullptr;
       item = CMSG_NXTHDR(const_cast<msghdr*>(&message), item)) {
    if (item->cmsg_level != SOL_SOCKET || item->cmsg_type != SCM_TIMESTAMPNS) continue;
    timespec stamp;
    memcpy(&stamp, CMSG_DATA(item), sizeof stamp);
    // The stamp is on the real-time clock; how long ago it was is the same on the monotonic one,
    // unless the real-time clock stepped since: the engine holds the result to the probe's send and now.
    int64_t ago = nanoseconds(CLOCK_REALTIME) - (static_cast<int64_t>(stamp.tv_sec) * 1000000000 + stamp.tv_nsec);
    return static_cast<uint32_t>((nanoseconds(CLOCK_MONOTONIC) - ago) / NANOSECONDS_PER_MILLISECOND);
  }
  return monotonicMilliseconds();
}

}  // namespace

ssize_t receiveStamped(int socket, uint8_t* buffer, int capacity, int flags, ReceivedMessage& received,
                       uint32_t& arrivedAt) {
  received.from = {};
  received.data = {buffer, static_cast<size_t>(capacity)};
  received.message = {};
  received.message.msg_name = &received.from;
  received.message.msg_namelen = sizeof received.from;
  received.message.msg_iov = &received.data;
  received.message.msg_iovlen = 1;
  received.message.msg_control = received.control;
  received.message.msg_controllen = sizeof received.control;
  ssize_t length = recvmsg(socket, &received.message, flags);
  if (length >= 0) arrivedAt = arrivalMilliseconds(received.message);
  return length;
}

uint32_t NativeTraceSystem::nowMilliseconds() { return monotonicMilliseconds(); }

void NativeTraceSystem::waitForNextPass(const TraceSlot& slot, bool timed, uint32_t deadline) {
  int64_t timeout = -1;
  if (timed) {
    // To the start of the deadline's millisecond, so that the clock then reads it.
    int64_t now = nanoseconds(CLOCK_MONOTONIC), nowMilliseconds = now / NANOSECONDS_PER_MILLISECOND;
    int32_t ahead = static_cast<int32_t>(deadline - static_cast<uint32_t>(nowMilliseconds));
    if (ahead <= 0) return;
    timeout = (nowMilliseconds + ahead) * NANOSECONDS_PER_MILLISECOND - now;
  }
  // A slot outside the trace table has no stop signal: its stop is seen at the next pass, which a wait with no end
  // would never come to.
  int signal = stopSignal(slot);
  if (signal < 0 && !timed) timeout = NANOSECONDS_PER_MILLISECOND;
  // Written after the stop request is stored: a request made from here on still ends the wait.
  if (loadShared(slot.stopRequested) == 0 && !waitOnTransport(signal, timeout)) {
    pollfd waiting = {signal, POLLIN, 0};
    pollFor(&waiting, 1, timeout);
  }
  uint64_t count;
  if (signal >= 0 && read(signal, &count, sizeof count) < 0) return;  // not woken by the stop: nothing to take
}

uint32_t NativeTraceSystem::processId() { return static_cast<uint32_t>(getpid()); }

SocketAddress NativeTraceSystem::resolveTarget(const char* hostText, uint32_t version) {
  SocketAddress result = {};
  in_addr_t dotted = inet_addr(hostText);
  if (dotted != INADDR_NONE && version != 6) {
    result.family = AF_INET;
    result.address = dotted;
    return result;
  }
  addrinfo hints = {};
  // The resolver's order (RFC 6724), as the host's other programs would reach it.
  hints.ai_family = version == 4 ? AF_INET : version == 6 ? AF_INET6 : AF_UNSPEC;
  hints.ai_socktype = SOCK_RAW;  // one entry an address, not one a socket type
  addrinfo* found = nullptr;
  if (getaddrinfo(hostText, nullptr, &hints, &found) == 0 && found != nullptr &&
      (found->ai_family == AF_INET || found->ai_family == AF_INET6) && found->ai_addrlen <= sizeof result)
    memcpy(&result, found->ai_addr, found->ai_addrlen);
  if (found != nullptr) freeaddrinfo(found);
  return result;
}

void setHopLimit(int socket, uint16_t family, int hops) {
  if (family == AF_INET6)
    setsockopt(socket, IPPROTO_IPV6, IPV6_UNICAST_HOPS, &hops, sizeof hops);
  else
    setsockopt(socket, IPPROTO_IP, IP_TTL, &hops, sizeof hops);
}

void sendTo(int socket, const uint8_t* message, int length, const SocketAddress& destination) {
  sockaddr_in6 to = {};
  socklen_t size = destination.family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
  memcpy(&to, &destination, size);
  sendto(socket, message, length, 0, reinterpret_cast<sockaddr*>(&to), size);
}

SocketAddress senderOf(const ReceivedMessage& received) {
  SocketAddress sender = {};
  memcpy(&sender, &received.from, received.from.sin6_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in));
  return sender;
}

// The raw socket as before, for those allowed it (root, CAP_NET_RAW); the ping socket for the rest.
int traceWorker(TraceSlot& slot, TraceFrontEnd& frontEnd) {
  return traceOn<NativeTraceSystem, RawIcmpSocket, PingSocket>(slot, frontEnd);
}

int transportOpenError() { return openError<RawIcmpSocket, PingSocket>(); }
