// What a trace window is to zarta-trace: each trace's latest report, and the changes that wake the main loop.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "display/trace_report.h"

using Clock = std::chrono::steady_clock;

// The console's trace window: the latest report, and the lookups still under way.
struct ReportWindow {
  std::mutex lock;                  // guards text and version
  char text[REPORT_LENGTH];         // the latest report text
  unsigned version;                 // grows with every new text
  std::atomic<int> pendingLookups;  // reverse lookups started and not yet handed back
};

extern ReportWindow windows[MAX_TRACES];

// Wakes the console's loop: a report has changed, or a reverse lookup has ended.
struct Changes {
  std::mutex lock;
  std::condition_variable signal;
  unsigned count = 0;  // grows with every change

  void notify();
  // Waits until the count is no longer `seen`, or until `until`; returns the count.
  unsigned waitPast(unsigned seen, Clock::time_point until);
};

extern Changes changes;

// The reports of the first `count` windows as their windows show them, with "\n" for "\r\n", an empty line
// between two.
std::string allReports(int count);

// Past its resolution, a trace's window has been given the resolved or the not-found form.
bool pastResolution(int index);
