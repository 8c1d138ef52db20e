#include "core/trace_table.h"

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
  // A rewrite takes a few hundred nanoseconds, and the writer gets the processor between the
  // reads; a version that stays odd past them can only be a slot left in some other state,
  // whose name is then shown as it stands rather than waited for.
  constexpr int MAX_READS = 64;
  for (int reads = 1;; ++reads) {
    uint32_t before = loadShared(hop.nameVersion);
    for (int i = 0; i < HOP_NAME_LENGTH; ++i) out[i] = std::atomic_ref<char>(name[i]).load(std::memory_order_acquire);
    if ((!(before & 1) && loadShared(hop.nameVersion) == before) || reads == MAX_READS) break;
    std::this_thread::yield();
  }
  out[HOP_NAME_LENGTH - 1] = '\0';
}

TraceSlot* findSlotByWindow(WindowHandle window) {
  for (TraceSlot& slot : traceTable)
    if (slot.window == window) return &slot;
  return nullptr;
}
