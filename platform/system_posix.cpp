// Linux: the monotonic clock, the resolver, and the transports in their order of choice: the
// raw socket where it is allowed (root, CAP_NET_RAW), else the ping socket.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "platform/platform.h"
#include "platform/receive_posix.h"

static_assert(AF_INET == INET_FAMILY);
static_assert(sizeof(sockaddr_in) == sizeof(SocketAddress));

const char TRANSPORT_FIX[] = "run as root, grant CAP_NET_RAW, or allow ping sockets (sysctl net.ipv4.ping_group_range)";

namespace {

constexpr int64_t NANOSECONDS_PER_MILLISECOND = 1000000;

int64_t nanoseconds(clockid_t clock) {
  timespec now;
  clock_gettime(clock, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

}  // namespace

uint32_t monotonicMilliseconds() {
  return static_cast<uint32_t>(nanoseconds(CLOCK_MONOTONIC) / NANOSECONDS_PER_MILLISECOND);
}

void requestReceiveTimes(int socket) {
  int on = 1;
  setsockopt(socket, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
}

uint32_t arrivalMilliseconds(const msghdr& message) {
  for (cmsghdr* item = CMSG_FIRSTHDR(&message); item != nullptr;
       item = CMSG_NXTHDR(const_cast<msghdr*>(&message), item)) {
    if (item->cmsg_level != SOL_SOCKET || item->cmsg_type != SCM_TIMESTAMPNS) continue;
    timespec stamp;
    memcpy(&stamp, CMSG_DATA(item), sizeof stamp);
    // The stamp is on the real-time clock; how long ago it was is the same on the monotonic one.
    int64_t ago = nanoseconds(CLOCK_REALTIME) - (static_cast<int64_t>(stamp.tv_sec) * 1000000000 + stamp.tv_nsec);
    if (ago < 0) ago = 0;
    return static_cast<uint32_t>((nanoseconds(CLOCK_MONOTONIC) - ago) / NANOSECONDS_PER_MILLISECOND);
  }
  return monotonicMilliseconds();
}

uint32_t NativeTraceSystem::nowMilliseconds() { return monotonicMilliseconds(); }

void NativeTraceSystem::sleepOneMillisecond() {
  timespec pause = {0, NANOSECONDS_PER_MILLISECOND};
  nanosleep(&pause, nullptr);
}

uint32_t NativeTraceSystem::processId() { return static_cast<uint32_t>(getpid()); }

SocketAddress NativeTraceSystem::resolveTarget(const char* hostText) {
  SocketAddress result = {};
  in_addr_t dotted = inet_addr(hostText);
  if (dotted != INADDR_NONE) {
    result.family = AF_INET;
    result.address = dotted;
    return result;
  }
  addrinfo hints = {};
  hints.ai_family = AF_INET;
  addrinfo* found = nullptr;
  if (getaddrinfo(hostText, nullptr, &hints, &found) == 0 && found != nullptr) {
    sockaddr_in first;
    memcpy(&first, found->ai_addr, sizeof first);
    result.family = static_cast<uint16_t>(found->ai_family);
    result.address = first.sin_addr.s_addr;
  }
  if (found != nullptr) freeaddrinfo(found);
  return result;
}

namespace {

// The raw socket as before, for those allowed it; the ping socket for everyone else.
struct Transports {
  RawIcmpSocket raw;
  PingSocket ping;
  IcmpTransport* const order[2] = {&raw, &ping};
  TransportChoice choice{order, 2};
};

}  // namespace

int traceWorker(TraceSlot& slot, TraceFrontEnd& frontEnd) {
  Transports transports;
  NativeTraceSystem system(frontEnd, transports.choice);
  return runTrace(slot, system);
}

int checkTransports() {
  Transports transports;
  int error = transports.choice.open();
  transports.choice.close();
  return error;
}
