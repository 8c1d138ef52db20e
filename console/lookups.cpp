#include "console/lookups.h"

#include <netdb.h>
#include <netinet/in.h>

#include <thread>

#include "console/report_windows.h"
#include "display/trace_report.h"

namespace {

constexpr int LOOKUP_QUEUE_LENGTH = MAX_TRACES * MAX_HOPS * 2;
constexpr int RESOLVER_THREADS = 4;

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
  // Waits for a record when `wait`; false when there is none.
  bool pop(T& item, bool wait) {
    std::unique_lock<std::mutex> guard(lock);
    if (wait) changed.wait(guard, [this] { return count > 0; });
    if (count == 0) return false;
    item = items[head];
    head = (head + 1) % N;
    --count;
    return true;
  }
};

// A reverse lookup, asked by a worker and answered to the console's own thread, as the trace
// window is answered on Windows.
struct HopLookup {
  WindowHandle window;         // the window of the trace that asked
  int hop;                     // hop index
  uint32_t address;            // what to look up
  bool found;                  // false when the address has no name
  char name[HOP_NAME_LENGTH];  // the name, cut to 255 characters
};

Ring<HopLookup, LOOKUP_QUEUE_LENGTH> lookupRequests;
Ring<HopLookup, LOOKUP_QUEUE_LENGTH> lookupsDone;

void resolverThread() {
  for (;;) {
    HopLookup lookup;
    lookupRequests.pop(lookup, true);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = lookup.address;
    char host[NI_MAXHOST];
    lookup.found = getnameinfo(reinterpret_cast<sockaddr*>(&address), sizeof address, host, sizeof host, nullptr, 0,
                               NI_NAMEREQD) == 0;
    if (lookup.found) copyCut(lookup.name, sizeof lookup.name, host);
    if (!lookupsDone.push(lookup)) static_cast<ReportWindow*>(lookup.window)->pendingLookups--;
    changes.notify();
  }
}

}  // namespace

void askHopName(TraceSlot& slot, int hop) {
  auto* window = static_cast<ReportWindow*>(slot.window);
  window->pendingLookups++;
  if (!lookupRequests.push({slot.window, hop, loadShared(slot.hops[hop].address), false, {}})) window->pendingLookups--;
}

void startResolvers() {
  for (int i = 0; i < RESOLVER_THREADS; ++i) std::thread(resolverThread).detach();
}

void takeHopNames() {
  HopLookup done;
  while (lookupsDone.pop(done, false)) {
    TraceSlot* slot = findSlotByWindow(done.window);
    if (slot != nullptr && done.hop >= 0 && done.hop < MAX_HOPS) {
      storeHopName(*slot, done.hop, done.found ? done.name : nullptr);
      renderTraceReport(*slot, nullptr);
    }
    static_cast<ReportWindow*>(done.window)->pendingLookups--;
  }
}
