// zarta-trace: traces the route to each host named on the command line, side by side, and prints
// each trace's report as its trace window would show it.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "display/trace_report.h"
#include "display/trace_start.h"
#include "platform/console_posix.h"
#include "platform/platform.h"

namespace {

constexpr double DEFAULT_TIMEOUT_SECONDS = 60;
constexpr int REDRAW_MILLISECONDS = 100;
constexpr int STOP_WAIT_MILLISECONDS = 2000;

ReportWindow windows[MAX_TRACES];

using Clock = std::chrono::steady_clock;

int usage(const char* message) {
  fprintf(stderr, "zarta-trace: %s\nusage: zarta-trace [--timeout SECONDS] HOST_TEXT...  (at most %d hosts)\n",
          message, MAX_TRACES);
  return 2;
}

// The report as the trace's window would show it, with "\n" for "\r\n".
std::string windowText(int index) {
  char text[REPORT_LENGTH];
  {
    std::lock_guard<std::mutex> guard(windows[index].lock);
    memcpy(text, windows[index].text, sizeof text);
  }
  std::string out;
  for (const char* at = text; *at != '\0'; ++at)
    if (!(at[0] == '\r' && at[1] == '\n')) out += *at;
  return out;
}

std::string allReports(int count) {
  std::string out;
  for (int i = 0; i < count; ++i) {
    if (i > 0) out += "\n";
    out += windowText(i);
  }
  return out;
}

// Past its resolution, a trace's window has been given the resolved or the not-found form.
bool pastResolution(int index) {
  std::lock_guard<std::mutex> guard(windows[index].lock);
  return windows[index].version >= 2;
}

bool traceDone(int index, const TraceSlot& slot) {
  return loadShared(slot.quiet) != 0 && windows[index].pendingLookups.load() == 0;
}

// Hands finished reverse lookups to their traces, as the trace window does with its message.
void takeHopNames(int waitMilliseconds) {
  HopNameDone done;
  while (waitHopNameDone(done, waitMilliseconds)) {
    waitMilliseconds = 0;
    TraceSlot* slot = findSlotByWindow(done.window);
    if (slot != nullptr && done.hop >= 0 && done.hop < MAX_HOPS) {
      storeHopName(*slot, done.hop, done.found ? done.name : nullptr);
      renderTraceReport(*slot, nullptr);
    }
    static_cast<ReportWindow*>(done.window)->pendingLookups--;
  }
}

}  // namespace

int main(int argc, char** argv) {
  double timeoutSeconds = DEFAULT_TIMEOUT_SECONDS;
  int first = 1;
  while (first < argc && strncmp(argv[first], "--", 2) == 0) {
    if (strcmp(argv[first], "--") == 0) {
      ++first;
      break;
    }
    if (strcmp(argv[first], "--timeout") != 0) return usage("unknown option");
    if (first + 1 >= argc) return usage("--timeout needs a number of seconds");
    char* end = nullptr;
    timeoutSeconds = strtod(argv[first + 1], &end);
    if (end == argv[first + 1] || *end != '\0' || !(timeoutSeconds > 0) || timeoutSeconds > 86400)
      return usage("--timeout needs a number of seconds above 0");
    first += 2;
  }
  int count = argc - first;
  if (count < 1) return usage("no host given");
  if (count > MAX_TRACES) return usage("too many hosts");

  {
    RawIcmpSocket probe;
    if (int error = probe.open()) {
      fprintf(stderr, "zarta-trace: cannot open a raw ICMP socket (%s): %s\n", strerror(error), RAW_SOCKET_FIX);
      return 1;
    }
  }

  TraceSlot* slots[MAX_TRACES];
  for (int i = 0; i < count; ++i) {
    slots[i] = claimTraceSlot(argv[first + i]);
    slots[i]->window = &windows[i];
    std::thread([slot = slots[i]] { traceWorker(*slot); }).detach();
  }

  bool terminal = isatty(STDOUT_FILENO);
  auto deadline = Clock::now() + std::chrono::duration<double>(timeoutSeconds);
  std::string shown;
  bool allDone = false;
  for (auto nextRedraw = Clock::now(); !allDone && Clock::now() < deadline;) {
    takeHopNames(10);
    allDone = true;
    for (int i = 0; i < count; ++i) allDone = allDone && traceDone(i, *slots[i]);
    if (terminal && (allDone || Clock::now() >= nextRedraw)) {
      std::string now = allReports(count);
      if (now != shown) {
        printf("\033[H\033[J%s", now.c_str());
        fflush(stdout);
        shown = now;
      }
      nextRedraw = Clock::now() + std::chrono::milliseconds(REDRAW_MILLISECONDS);
    }
  }

  for (int i = 0; i < count; ++i) storeShared(slots[i]->stopRequested, 1u);
  auto stopDeadline = Clock::now() + std::chrono::milliseconds(STOP_WAIT_MILLISECONDS);
  for (int i = 0; i < count; ++i)
    while (loadShared(slots[i]->inUse) != 0 && Clock::now() < stopDeadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));

  bool allFound = true;
  for (int i = 0; i < count; ++i) {
    // A trace past its resolution shows its latest figures, as its window would at its next redraw.
    if (pastResolution(i)) renderTraceReport(*slots[i], nullptr);
    allFound = allFound && loadShared(slots[i]->targetAddress) != 0;
  }
  std::string final = allReports(count);
  if (terminal) printf("\033[H\033[J");
  fputs(final.c_str(), stdout);
  fflush(stdout);
  // Resolver threads may still wait on a name server; they end with the process.
  _exit(allDone && allFound ? 0 : 1);
}
