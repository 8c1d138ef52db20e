// zarta-trace: traces the route to each host named on the command line, side by side, and prints
// each trace's report as its trace window would show it.
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
#include "display/report_formats.h"
#include "display/trace_start.h"
#include "platform/platform.h"

namespace {

constexpr int REDRAW_MILLISECONDS = 100;
constexpr int BUSY_LOOK_MS = 10;
constexpr int STOP_WAIT_MILLISECONDS = 2000;

class ConsoleFrontEnd : public TraceFrontEnd {
 public:
  void render(TraceSlot& slot, const char* statusText) override { renderTraceReport(slot, statusText); }
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

bool traceDone(int index, const TraceSlot& slot) {
  return loadShared(slot.quiet) != 0 && windows[index].pendingLookups.load() == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (int status = parseOptions(argc, argv); status >= 0) return status;
  int count = options.hostCount;
  if (int error = checkTransports()) {
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
    runs[i] = {options.hosts[i], slots[i], wallClockMilliseconds(), 0};
    std::thread([slot = slots[i]] { traceWorker(*slot, frontEnd); }).detach();
  }
  Clock::time_point deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.timeoutSeconds));
  giveUpPrivileges(count, deadline);
  if (!options.noDns) startResolvers();

  bool terminal = isatty(STDOUT_FILENO);
  std::string shown;
  bool allDone = false;
  unsigned seen = 0, drawn = ~0u;  // the count of changes taken in, and the one last drawn
  for (auto nextRedraw = Clock::now(); !allDone && Clock::now() < deadline;) {
    takeHopNames();
    allDone = true;
    bool allQuiet = true;
    for (int i = 0; i < count; ++i) {
      allDone = allDone && traceDone(i, *slots[i]);
      allQuiet = allQuiet && loadShared(slots[i]->quiet) != 0;
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
    // A worker going quiet says nothing, so while one is busy the loop looks every 10 ms (its worker wakes every
    // millisecond meanwhile); once all are quiet, only a change or the deadline wakes it: a quiet trace left open
    // by its lookups costs nothing.
    auto until = allQuiet ? deadline : std::min(deadline, Clock::now() + std::chrono::milliseconds(BUSY_LOOK_MS));
    if (terminal && drawn != seen) until = std::min(until, nextRedraw);
    if (!allDone) seen = changes.waitPast(seen, until);
  }

  for (int i = 0; i < count; ++i) requestStop(*slots[i]);
  auto stopDeadline = Clock::now() + std::chrono::milliseconds(STOP_WAIT_MILLISECONDS);
  int running = 0;
  for (int i = 0; i < count; ++i) {
    while (loadShared(slots[i]->inUse) != 0 && Clock::now() < stopDeadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    running += loadShared(slots[i]->inUse) != 0;
  }
  // A worker still waiting for its name server cannot be stopped; any other is a fault.
  if (running > 0) fprintf(stderr, "zarta-trace: %d traces did not stop\n", running);

  bool allTraced = true;
  for (int i = 0; i < count; ++i) {
    // A trace past its resolution shows its latest figures, as its window would at its next redraw.
    if (pastResolution(i)) renderTraceReport(*slots[i], nullptr);
    allTraced = allTraced && loadShared(slots[i]->targetAddress) != 0 && loadShared(slots[i]->socketError) == 0;
    runs[i].endedAt = wallClockMilliseconds();
  }
  if (terminal) printf("\033[H\033[J");
  if (options.format == FORMAT_JSON)
    writeJsonReport(stdout, runs, count);
  else if (options.format == FORMAT_CSV)
    writeCsvReport(stdout, runs, count);
  else
    fputs(allReports(count).c_str(), stdout);
  fflush(stdout);
  // Resolver threads may still wait on a name server; they end with the process.
  _exit(allDone && allTraced && running == 0 ? 0 : 1);
}
