// The trace start every front end shares: the lowest free slot, zeroed and named.
#include "display/trace_start.h"

#include <cstdio>
#include <cstring>

#include "display/host_text.h"

TraceSlot* claimTraceSlot(const char* hostText, WindowHandle* previousWindow) {
  TraceSlot* slot = nullptr;
  for (TraceSlot& candidate : traceTable) {
    if (loadShared(candidate.inUse) == 0) {
      slot = &candidate;
      break;
    }
  }
  if (slot == nullptr) return nullptr;
  if (previousWindow != nullptr) *previousWindow = slot->window;
  char host[HOST_TEXT_LENGTH];
  extractHostName(hostText, host);
  memset(static_cast<void*>(slot), 0, sizeof *slot);
  slot->inUse = 1;
  slot->traceTag = nextTraceTag++;
  copyCut(slot->hostName, sizeof slot->hostName, host);
  return slot;
}

void releaseTraceSlot(TraceSlot& slot) { storeShared(slot.inUse, 0u); }

void buildTraceTitle(const TraceSlot& slot, char (&title)[TITLE_LENGTH]) {
  snprintf(title, sizeof title, "Tracing route to %s", slot.hostName);
}
