// The reverse-lookup relay: names hops for the trace windows, IPv4 ones with WSAAsyncGetHostByAddr, IPv6 ones with
// getnameinfo on a few threads of the relay's own (the asynchronous call is not IPv6-ready).
//
// Either writes its result from a thread of its own at a time of its choosing, and
// Wine cannot cancel a request once made. So the result never lands in a trace slot: each slot and
// hop has a private buffer here, owned by at most one request at a time, and the completion,
// posted to a relay window that lives for the whole run, copies the name into the slot only while
// the slot still holds the window that asked. An ask made while the buffer is owned waits,
// remembering its window, and is dropped if that window's trace is gone by its turn.
#include "display/reverse_lookup_win32.h"

#include <ws2tcpip.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "display/trace_window_win32.h"
#include "resources/resource.h"

namespace {

constexpr UINT LOOKUP_DONE_BASE = WM_APP;  // + slot index * MAX_HOPS + hop

struct ReverseLookup {
  // Set by the one who starts a request, cleared by its completion: owns the fields below.
  std::atomic<bool> pending;
  // The window of the latest ask not yet started, or null. Worker threads ask, the owner of
  // `pending` takes the ask.
  std::atomic<HWND> wanted;
  HWND askedBy;                                  // the window of the request out
  sockaddr_in6 address6;                         // what an IPv6 request looks up
  alignas(void*) char result[MAXGETHOSTSTRUCT];  // a hostent, its name behind it
};

ReverseLookup reverseLookups[MAX_TRACES][MAX_HOPS];
HWND lookupRelay;

// IPv6 requests waiting for a resolver thread, as slot index * MAX_HOPS + hop. A lookup is queued only while it owns
// its record, so the ring never holds more than one entry a record.
constexpr int RESOLVER_THREADS = 4;
constexpr int QUEUE_LENGTH = MAX_TRACES * MAX_HOPS;
struct ResolverQueue {
  std::mutex lock;
  HANDLE queued;  // a semaphore counting the entries; null where no resolver thread runs
  int entries[QUEUE_LENGTH];
  int head;
  int count;
} resolverQueue;

UINT lookupDone(int index) { return LOOKUP_DONE_BASE + static_cast<UINT>(index); }

// Names the queued IPv6 addresses one at a time, as WSAAsyncGetHostByAddr would: a hostent in the result, without a
// name when none is found, and the completion posted to the relay.
DWORD WINAPI resolverThread(LPVOID) {
  for (;;) {
    WaitForSingleObject(resolverQueue.queued, INFINITE);
    int index;
    {
      std::lock_guard<std::mutex> guard(resolverQueue.lock);
      index = resolverQueue.entries[resolverQueue.head];
      resolverQueue.head = (resolverQueue.head + 1) % QUEUE_LENGTH;
      --resolverQueue.count;
    }
    ReverseLookup& lookup = reverseLookups[index / MAX_HOPS][index % MAX_HOPS];
    hostent* found = reinterpret_cast<hostent*>(lookup.result);
    char* name = reinterpret_cast<char*>(found + 1);
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&lookup.address6), sizeof lookup.address6, name,
                    sizeof lookup.result - sizeof *found, nullptr, 0, NI_NAMEREQD) == 0)
      found->h_name = name;
    PostMessageA(lookupRelay, lookupDone(index), 0, 0);
  }
}

// Queues the IPv6 request of a record that the caller owns; false when no resolver thread runs.
bool queueResolve(int index) {
  if (resolverQueue.queued == nullptr) return false;
  {
    std::lock_guard<std::mutex> guard(resolverQueue.lock);
    resolverQueue.entries[(resolverQueue.head + resolverQueue.count++) % QUEUE_LENGTH] = index;
  }
  ReleaseSemaphore(resolverQueue.queued, 1, nullptr);
  return true;
}

void startResolverThreads() {
  resolverQueue.queued = CreateSemaphoreA(nullptr, 0, QUEUE_LENGTH, nullptr);
  int started = 0;
  for (int i = 0; i < RESOLVER_THREADS && resolverQueue.queued != nullptr; ++i)
    if (HANDLE thread = CreateThread(nullptr, 0, resolverThread, nullptr, 0, nullptr)) {
      CloseHandle(thread);
      ++started;
    }
  if (started == 0 && resolverQueue.queued != nullptr) {
    CloseHandle(resolverQueue.queued);
    resolverQueue.queued = nullptr;
  }
}

// Starts the request wanted, unless one is out: its completion comes back here. An ask whose
// trace is gone from the slot is dropped, and the next is tried.
void startWanted(int slotIndex, int hop) {
  ReverseLookup& lookup = reverseLookups[slotIndex][hop];
  const TraceSlot& slot = traceTable[slotIndex];
  while (lookup.wanted.load() != nullptr) {
    bool idle = false;
    if (!lookup.pending.compare_exchange_strong(idle, true)) return;
    HWND window = lookup.wanted.exchange(nullptr);
    // The worker of the window asked for stores the address before it asks; the slot's window
    // changes only on the user-interface thread, never while that trace's worker runs.
    if (window == nullptr || slot.window != window) {
      lookup.pending.store(false);
      continue;
    }
    lookup.askedBy = window;
    memset(lookup.result, 0, sizeof(hostent));
    int index = slotIndex * MAX_HOPS + hop;
    UINT done = lookupDone(index);
    bool asked;
    if (loadShared(slot.ipVersion) == 6) {
      lookup.address6 = {};
      lookup.address6.sin6_family = AF_INET6;
      uint8_t bytes[16];
      loadAddress6(slot.hops[hop].address6, bytes);
      memcpy(&lookup.address6.sin6_addr, bytes, sizeof bytes);
      asked = queueResolve(index);
    } else {
      uint32_t address = loadShared(slot.hops[hop].address);
      asked = WSAAsyncGetHostByAddr(lookupRelay, done, reinterpret_cast<const char*>(&address), 4, AF_INET,
                                    lookup.result, sizeof lookup.result) != nullptr;
    }
    if (!asked) PostMessageA(lookupRelay, done, 0, 0);  // no request: end it at once, without a name
    return;
  }
}

void finishLookup(int slotIndex, int hop) {
  ReverseLookup& lookup = reverseLookups[slotIndex][hop];
  TraceSlot& slot = traceTable[slotIndex];
  HWND window = lookup.askedBy;
  bool current = window != nullptr && slot.window == window;
  if (current) {
    // A hostent of its own in the slot, its name right behind it, for the trace window to read.
    const hostent* found = reinterpret_cast<const hostent*>(lookup.result);
    hostent* copy = reinterpret_cast<hostent*>(slot.hops[hop].lookupBuffer);
    memset(copy, 0, sizeof *copy);
    if (found->h_name != nullptr) {
      char* name = reinterpret_cast<char*>(copy + 1);
      copyCut(name, LOOKUP_BUFFER_LENGTH - sizeof *copy, found->h_name);
      copy->h_name = name;
    }
  }
  lookup.askedBy = nullptr;
  lookup.pending.store(false);
  startWanted(slotIndex, hop);
  if (current) SendMessageA(window, MSG_HOP_NAME_BASE + hop, 0, 0);
}

LRESULT CALLBACK lookupRelayProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message >= LOOKUP_DONE_BASE && message < LOOKUP_DONE_BASE + MAX_TRACES * MAX_HOPS) {
    int index = static_cast<int>(message - LOOKUP_DONE_BASE);
    finishLookup(index / MAX_HOPS, index % MAX_HOPS);
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

void prepareReverseLookups() {
  if (lookupRelay != nullptr) return;
  WNDCLASSA relayClass = {};
  relayClass.lpfnWndProc = lookupRelayProc;
  relayClass.hInstance = GetModuleHandleA(nullptr);
  relayClass.lpszClassName = "zarta lookups";
  RegisterClassA(&relayClass);
  lookupRelay = CreateWindowExA(0, relayClass.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                relayClass.hInstance, nullptr);
  if (lookupRelay != nullptr) startResolverThreads();
}

void requestReverseLookup(TraceSlot& slot, int hop) {
  if (lookupRelay == nullptr) return;
  int slotIndex = static_cast<int>(&slot - traceTable);
  reverseLookups[slotIndex][hop].wanted.store(static_cast<HWND>(slot.window));
  startWanted(slotIndex, hop);
}

bool reverseLookupPending(const TraceSlot& slot, int hop) {
  const ReverseLookup& lookup = reverseLookups[&slot - traceTable][hop];
  return lookup.pending.load() || lookup.wanted.load() != nullptr;
}
