// The console's stand-in for trace windows: report texts and reverse-lookup completions
// handed to the console's own thread.
#pragma once

#include <atomic>
#include <mutex>

#include "core/trace_table.h"
#include "display/trace_report.h"

// What a trace window is to the console: the latest report, and the lookups still under way.
struct ReportWindow {
  std::mutex lock;                      // guards text and version
  char text[REPORT_LENGTH];             // the latest report text
  unsigned version;                     // grows with every new text
  std::atomic<int> pendingLookups;      // reverse lookups started and not yet handed back
};

// One finished reverse lookup, as the console's thread receives it.
struct HopNameDone {
  WindowHandle window;         // the window of the trace that asked
  int hop;                     // hop index
  bool found;                  // false when the address has no name
  char name[HOP_NAME_LENGTH];  // the name, cut to 255 characters
};

// Waits at most `timeoutMilliseconds` for a finished lookup. True with `done` filled.
bool waitHopNameDone(HopNameDone& done, int timeoutMilliseconds);
