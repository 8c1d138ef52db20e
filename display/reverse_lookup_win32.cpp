// The reverse-lookup relay: names hops with WSAAsyncGetHostByAddr for the trace windows.
//
// WSAAsyncGetHostByAddr writes its result from a thread of its own at a time of its choosing, and
// Wine cannot cancel a request once made. So the result never lands in a trace slot: each slot and
// hop has a private buffer here, owned by at most one request at a time, and the completion,
// posted to a relay window that lives for the whole run, copies the name into the slot only while
// the slot still holds the window that asked. An ask made while the buffer is owned waits,
// remembering its window, and is dropped if that window's trace is gone by its turn.
#include "display/reverse_lookup_win32.h"

#include <atomic>
#include <cstring>

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
  HWND askedBy;  // the window of the request out
  alignas(void*) char result[MAXGETHOSTSTRUCT];
};

ReverseLookup reverseLookups[MAX_TRACES][MAX_HOPS];
HWND lookupRelay;

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
    uint32_t address = loadShared(slot.hops[hop].address);
    UINT done = LOOKUP_DONE_BASE + static_cast<UINT>(slotIndex * MAX_HOPS + hop);
    if (WSAAsyncGetHostByAddr(lookupRelay, done, reinterpret_cast<const char*>(&address), 4, AF_INET, lookup.result,
                              sizeof lookup.result) == nullptr)
      PostMessageA(lookupRelay, done, 0, 0);  // no request: end it at once, without a name
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
