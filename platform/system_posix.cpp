// Linux: a raw ICMP socket, the monotonic clock, and reverse lookups on a few resolver threads
// whose results go back to the console's thread.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <thread>

#include "platform/console_posix.h"
#include "platform/platform.h"

static_assert(AF_INET == INET_FAMILY);
static_assert(sizeof(sockaddr_in) == sizeof(SocketAddress));

const char RAW_SOCKET_FIX[] = "run as root or grant CAP_NET_RAW";

namespace {

sockaddr_in toSockaddr(const SocketAddress& address) {
  sockaddr_in out;
  memcpy(&out, &address, sizeof out);
  return out;
}

// A fixed ring of records shared between threads; full means the newest is dropped.
template <typename T, int N>
struct Ring {
  std::mutex lock;
  std::condition_variable changed;
  T items[N];
  int head = 0;
  int count = 0;

  bool push(const T& item) {
    std::lock_guard<std::mutex> guard(lock);
    if (count == N) return false;
    items[(head + count) % N] = item;
    ++count;
    changed.notify_one();
    return true;
  }
  bool pop(T& item, int timeoutMilliseconds) {
    std::unique_lock<std::mutex> guard(lock);
    auto ready = [this] { return count > 0; };
    if (timeoutMilliseconds < 0)
      changed.wait(guard, ready);
    else if (!changed.wait_for(guard, std::chrono::milliseconds(timeoutMilliseconds), ready))
      return false;
    item = items[head];
    head = (head + 1) % N;
    --count;
    return true;
  }
};

struct LookupRequest {
  WindowHandle window;
  int hop;
  uint32_t address;
};

constexpr int LOOKUP_QUEUE_LENGTH = MAX_TRACES * MAX_HOPS * 2;
constexpr int RESOLVER_THREADS = 4;

Ring<LookupRequest, LOOKUP_QUEUE_LENGTH> lookupRequests;
Ring<HopNameDone, LOOKUP_QUEUE_LENGTH> lookupsDone;

void resolverThread() {
  for (;;) {
    LookupRequest request;
    lookupRequests.pop(request, -1);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = request.address;
    HopNameDone done = {request.window, request.hop, false, {}};
    char host[NI_MAXHOST];
    if (getnameinfo(reinterpret_cast<sockaddr*>(&address), sizeof address, host, sizeof host, nullptr, 0,
                    NI_NAMEREQD) == 0) {
      done.found = true;
      copyCut(done.name, sizeof done.name, host);
    }
    if (!lookupsDone.push(done)) static_cast<ReportWindow*>(request.window)->pendingLookups--;
  }
}

void startResolvers() {
  static std::once_flag started;
  std::call_once(started, [] {
    for (int i = 0; i < RESOLVER_THREADS; ++i) std::thread(resolverThread).detach();
  });
}

}  // namespace

int RawIcmpSocket::open() {
  close();
  int handle = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
  if (handle < 0) return errno;
  // Every raw socket sees every trace's answers: with 50 traces the default queue overflows in
  // the first burst of discovery. Forcing the size needs CAP_NET_ADMIN; the plain request is
  // capped by net.core.rmem_max.
  int size = RECEIVE_QUEUE_BYTES;
  if (setsockopt(handle, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
    setsockopt(handle, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
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
  sockaddr_in to = toSockaddr(destination);
  sendto(static_cast<int>(handle_), message, length, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

bool RawIcmpSocket::datagramWaiting() {
  if (handle_ < 0) return false;
  pollfd waiting = {static_cast<int>(handle_), POLLIN, 0};
  return poll(&waiting, 1, 0) > 0 && (waiting.revents & POLLIN);
}

int RawIcmpSocket::receive(uint8_t* buffer, int capacity, SocketAddress& sender) {
  sockaddr_in from = {};
  socklen_t fromLength = sizeof from;
  ssize_t length = recvfrom(static_cast<int>(handle_), buffer, capacity, 0, reinterpret_cast<sockaddr*>(&from),
                            &fromLength);
  memcpy(&sender, &from, sizeof sender);
  return static_cast<int>(length);
}

uint32_t NativeTraceSystem::nowMilliseconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u);
}

void NativeTraceSystem::sleepOneMillisecond() {
  timespec pause = {0, 1000000};
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

void NativeTraceSystem::startReverseLookup(TraceSlot& slot, int hop) {
  startResolvers();
  auto* window = static_cast<ReportWindow*>(slot.window);
  if (window == nullptr) return;
  window->pendingLookups++;
  if (!lookupRequests.push({slot.window, hop, slot.hops[hop].address})) window->pendingLookups--;
}

bool waitHopNameDone(HopNameDone& done, int timeoutMilliseconds) { return lookupsDone.pop(done, timeoutMilliseconds); }

void setReportText(WindowHandle handle, const char* text, bool) {
  auto* window = static_cast<ReportWindow*>(handle);
  if (window == nullptr) return;
  std::lock_guard<std::mutex> guard(window->lock);
  copyCut(window->text, sizeof window->text, text);
  ++window->version;
}
