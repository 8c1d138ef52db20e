// What a trace window is to zarta-trace: its latest report, its wait for names, how it ended, the loop's wake-ups.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "display/report_formats.h"
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

// How long a trace whose figures are final waits for its hops' names: a name server that never answers
// holds no run for longer, and what is still out then stays empty.
constexpr int NAME_WAIT_MILLISECONDS = 2000;

// Until when a trace waits for names: from the moment its figures were seen final, or while they are not, never.
struct NameWait {
  bool quiet = false;       // its figures were final when last seen
  Clock::time_point until;  // the end of its wait for names, once quiet

  // True once the trace is done: figures final, and every name in or its wait over.
  bool done(const TraceSlot& slot, const ReportWindow& window, Clock::time_point now);
};

// How the trace of window `index` ended, its run over.
TraceEnd howEnded(int index, const TraceSlot& slot);
