// zarta-trace: traces each host named on the command line side by side; prints each report as its window would.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "console/lookups.h"
#include "console/options.h"
#include "console/privileges.h"
#include "console/report_windows.h"
#include "core/trace_engine.h"
#include "display/report_formats.h"
#include "display/trace_start.h"
#include "platform/platform.h"

namespace {

constexpr int REDRAW_MILLISECONDS = 100;
constexpr int STOP_WAIT_MILLISECONDS = 2000;

class ConsoleFrontEnd : public TraceFrontEnd {
 public:
  void render(TraceSlot& slot, const char* statusText) override { renderTraceReport(slot, statusText); }
  void quietChanged(TraceSlot&) override { changes.notify(); }
  void startReverseLookup(TraceSlot& slot, int hop) override {
    if (!options.noDns) askHopName(slot, hop);
  }
  // Each thread holds its own capabilities: the worker gives up its own once the process's are gone.
  void socketOpened(TraceSlot&) override { waitForPrivilegesGone(); }
};

int64_t wallClockMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

int main(int argc, char** argv) {
  if (int status = parseOptions(argc, argv); status >= 0) return status;
  int count = options.hostCount;
  if (!choosePrivilegesToKeep()) return 1;
  if (int error = transportOpenError()) {
    fprintf(stderr, "zarta-trace: cannot open an ICMP socket (%s): %s\n", strerror(error), TRANSPORT_FIX);
    return 1;
  }

  static ConsoleFrontEnd frontEnd;
  TraceSlot* slots[MAX_TRACES];
  TraceRun runs[MAX_TRACES];
  for (int i = 0; i < count; ++i) {
    slots[i] = claimTraceSlot(options.hosts[i]);
    slots[i]->window = &windows[i];
    slots[i]->rounds = options.count;
    slots[i]->forceVersion = options.ipVersion;
    runs[i] = {options.hosts[i], slots[i], wallClockMilliseconds(), 0, END_FINAL};
    std::thread([slot = slots[i]] { traceWorker(*slot, frontEnd); }).detach();
  }
  Clock::time_point deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.timeoutSeconds));
  giveUpPrivileges(count, deadline);
  if (!options.noDns) startResolvers();

  bool terminal = isatty(STDOUT_FILENO);
  std::string shown;
  bool allDone = false;
  NameWait nameWaits[MAX_TRACES];
  unsigned seen = 0, drawn = ~0u;  // the count of changes taken in, and the one last drawn
  for (auto nextRedraw = Clock::now(); !allDone && Clock::now() < deadline;) {
    takeHopNames();
    allDone = true;
    auto until = deadline;
    for (int i = 0; i < count; ++i) {
      bool done = nameWaits[i].done(*slots[i], windows[i], Clock::now());
      allDone = allDone && done;
      if (nameWaits[i].quiet && !done) until = std::min(until, nameWaits[i].until);  // names still out
    }
    if (terminal && (allDone || Clock::now() >= nextRedraw)) {
      std::string now = allReports(count);
      if (now != shown) {
        printf("\033[H\033[J%s", now.c_str());
        fflush(stdout);
        shown = now;
      }
      drawn = seen;
      nextRedraw = Clock::now() + std::chrono::milliseconds(REDRAW_MILLISECONDS);
    }
    // Only a change (a redraw, a host found, a name, a worker going quiet or busy), the end of a wait for names or
    // the deadline wakes it: a trace costs the loop nothing between its changes, and quiet traces, and a host lookup
    // that hangs, nothing at all.
    if (terminal && drawn != seen) until = std::min(until, nextRedraw);
    if (!allDone) seen = changes.waitPast(seen, until);
  }

  for (int i = 0; i < count; ++i) requestStop(*slots[i]);
  auto stopDeadline = Clock::now() + std::chrono::milliseconds(STOP_WAIT_MILLISECONDS);
  int running = 0;
  for (int i = 0; i < count; ++i) {
    // A worker still looking up its host cannot be stopped, and holds nothing to wait for.
    if (!pastResolution(i)) continue;
    while (loadShared(slots[i]->inUse) != 0 && Clock::now() < stopDeadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    running += loadShared(slots[i]->inUse) != 0;
  }
  if (running > 0) fprintf(stderr, "zarta-trace: %d traces did not stop\n", running);

  bool allFinal = running == 0;
  for (int i = 0; i < count; ++i) {
    // A trace past its resolution shows its latest figures, as its window would at its next redraw.
    if (pastResolution(i)) renderTraceReport(*slots[i], nullptr);
    runs[i].ended = howEnded(i, *slots[i]);
    allFinal = allFinal && runs[i].ended == END_FINAL;
    runs[i].endedAt = wallClockMilliseconds();
  }
  if (terminal) printf("\033[H\033[J");
  if (options.format == FORMAT_JSON)
    writeJsonReport(stdout, runs, count);
  else if (options.format == FORMAT_CSV)
    writeCsvReport(stdout, runs, count);
  else
    fputs(allReports(count).c_str(), stdout);
  // Resolver threads may still wait on a name server, and a worker on its host's: they end with the process.
  _exit(endOutput() != 0 || !allFinal ? 1 : 0);
}
