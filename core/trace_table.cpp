#include "core/trace_table.h"

#include <chrono>
#include <cstring>
#include <thread>

TraceSlot traceTable[MAX_TRACES];
uint8_t nextTraceTag;

size_t copyCut(char* out, size_t capacity, const char* text) {
  if (capacity == 0) return 0;
  size_t length = strnlen(text, capacity - 1);
  memcpy(out, text, length);
  out[length] = '\0';
  return length;
}

void storeAddress6(uint32_t (&to)[4], const uint8_t (&bytes)[16]) {
  for (int i = 0; i < 4; ++i) {
    uint32_t word;
    memcpy(&word, bytes + 4 * i, 4);
    storeShared(to[i], word);
  }
}

void loadAddress6(const uint32_t (&from)[4], uint8_t (&bytes)[16]) {
  for (int i = 0; i < 4; ++i) {
    uint32_t word = loadShared(from[i]);
    memcpy(bytes + 4 * i, &word, 4);
  }
}

void setHopName(HopRecord& hop, const char* name) {
  char cut[HOP_NAME_LENGTH] = {};
  copyCut(cut, sizeof cut, name);
  uint32_t version = loadShared(hop.nameVersion);
  storeShared(hop.nameVersion, version + 1);
  // Release on every character: a reader that sees any new one also sees the odd version.
  for (int i = 0; i < HOP_NAME_LENGTH; ++i) std::atomic_ref<char>(hop.name[i]).store(cut[i], std::memory_order_release);
  storeShared(hop.nameVersion, version + 2);
}

void readHopName(const HopRecord& hop, char (&out)[HOP_NAME_LENGTH]) {
  char* name = const_cast<char*>(hop.name);
  // A rewrite takes a few hundred nanoseconds and moves the version on, unless its thread loses
  // the processor half-way: for a time slice or so, or on a loaded machine (a sanitizer's, under
  // a load of 7 on 2 cores) for over 100 ms. A version that stays odd and unchanged far longer can
  // only be a slot left in some other state, whose name is shown as it stands rather than waited for.
  constexpr auto STUCK_LIMIT = std::chrono::seconds(1);
  std::chrono::steady_clock::time_point stuckSince{};
  for (;;) {
    uint32_t before = loadShared(hop.nameVersion);
    for (int i = 0; i < HOP_NAME_LENGTH; ++i) out[i] = std::atomic_ref<char>(name[i]).load(std::memory_order_acquire);
    uint32_t after = loadShared(hop.nameVersion);
    if (after == before && !(before & 1)) break;
    if (after != before) {
      stuckSince = {};
    } else if (stuckSince == std::chrono::steady_clock::time_point{}) {
      stuckSince = std::chrono::steady_clock::now();
    } else if (std::chrono::steady_clock::now() - stuckSince > STUCK_LIMIT) {
      break;
    }
    std::this_thread::yield();
  }
  out[HOP_NAME_LENGTH - 1] = '\0';
}

TraceSlot* findSlotByWindow(WindowHandle window) {
  for (TraceSlot& slot : traceTable)
    if (slot.window == window) return &slot;
  return nullptr;
}
