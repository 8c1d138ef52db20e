#include "console/lookups.h"

#include <netdb.h>
#include <netinet/in.h>

#include <cstring>
#include <thread>

#include "console/report_windows.h"
#include "core/trace_system.h"

namespace {

// Every hop of every trace can ask once; their addresses are fewer when traces share routers.
constexpr int MAX_ASKS = MAX_TRACES * MAX_HOPS;
constexpr int RESOLVER_THREADS = 4;

// The lookup of one address, shared by every hop that has it.
struct AddressName {
  SocketAddress address;       // the hop's, of its trace's family
  bool done;                   // answered
  bool found;                  // answered with a name
  char name[HOP_NAME_LENGTH];  // the name, cut to 255 characters
};

// A hop waiting for the name of its address.
struct HopAsk {
  TraceSlot* slot;  // the trace that asked
  int hop;          // hop index
  int lookup;       // its address's entry in `names`
};

struct Lookups {
  std::mutex lock;                // guards all below
  std::condition_variable asked;  // an address to look up has come
  AddressName names[MAX_ASKS];    // every address asked for, in the order asked
  int nameCount = 0;              // of them
  int taken = 0;                  // names[taken..nameCount) wait for a resolver thread
  HopAsk waiting[MAX_ASKS];       // hops not yet handed their names
  int waitingCount = 0;           // of them
};

Lookups lookups;

void resolverThread() {
  for (;;) {
    int index;
    sockaddr_in6 address = {};
    {
      std::unique_lock<std::mutex> guard(lookups.lock);
      lookups.asked.wait(guard, [] { return lookups.taken < lookups.nameCount; });
      index = lookups.taken++;
      memcpy(&address, &lookups.names[index].address, sizeof address);
    }
    socklen_t size = address.sin6_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    char host[NI_MAXHOST];
    bool found =
        getnameinfo(reinterpret_cast<sockaddr*>(&address), size, host, sizeof host, nullptr, 0, NI_NAMEREQD) == 0;
    {
      std::lock_guard<std::mutex> guard(lookups.lock);
      AddressName& name = lookups.names[index];
      if (found) copyCut(name.name, sizeof name.name, host);
      name.found = found;
      name.done = true;
    }
    changes.notify();
  }
}

}  // namespace

void askHopName(TraceSlot& slot, int hop) {
  SocketAddress address = ipv4Address(loadShared(slot.hops[hop].address));
  if (loadShared(slot.ipVersion) == 6) {
    address = {};
    address.family = INET6_FAMILY;
    loadAddress6(slot.hops[hop].address6, address.address6);
  }
  std::lock_guard<std::mutex> guard(lookups.lock);
  int index = 0;
  while (index < lookups.nameCount && !sameHost(lookups.names[index].address, address)) ++index;
  bool fresh = index == lookups.nameCount;
  // Never full, each hop asking once; were it, the name would stay empty.
  if (lookups.waitingCount == MAX_ASKS || (fresh && index == MAX_ASKS)) return;
  if (fresh) {
    lookups.names[lookups.nameCount++] = {address, false, false, {}};
    lookups.asked.notify_one();
  }
  lookups.waiting[lookups.waitingCount++] = {&slot, hop, index};
  static_cast<ReportWindow*>(slot.window)->pendingLookups++;
  if (lookups.names[index].done) changes.notify();
}

void startResolvers() {
  for (int i = 0; i < RESOLVER_THREADS; ++i) std::thread(resolverThread).detach();
}

void takeHopNames() {
  std::lock_guard<std::mutex> guard(lookups.lock);
  for (int i = 0; i < lookups.waitingCount;) {
    HopAsk ask = lookups.waiting[i];
    const AddressName& name = lookups.names[ask.lookup];
    if (!name.done) {
      ++i;
      continue;
    }
    storeHopName(*ask.slot, ask.hop, name.found ? name.name : nullptr);
    renderTraceReport(*ask.slot, nullptr);
    static_cast<ReportWindow*>(ask.slot->window)->pendingLookups--;
    lookups.waiting[i] = lookups.waiting[--lookups.waitingCount];
  }
}
