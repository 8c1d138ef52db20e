// zarta-trace: traces the route to each host named on the command line, side by side, and prints
// each trace's report as its trace window would show it.
#include <arpa/inet.h>
#include <netdb.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "display/trace_report.h"
#include "display/trace_start.h"
#include "platform/platform.h"

namespace {

constexpr double DEFAULT_TIMEOUT_SECONDS = 60;
constexpr int REDRAW_MILLISECONDS = 100;
constexpr int BUSY_LOOK_MS = 10;
constexpr int STOP_WAIT_MILLISECONDS = 2000;
constexpr const char* USAGE =
    "usage: zarta-trace [--timeout SECONDS] HOST_TEXT...  (at most 50 hosts)\n"
    "Traces the route to each host, then pings every hop ten times; HOST_TEXT may be a URL.\n"
    "  --timeout SECONDS  stop then, if the traces have not ended by themselves (default 60)\n"
    "  --help, --version\n";

// What a trace window is to the console: the latest report, and the lookups still under way.
struct ReportWindow {
  std::mutex lock;                  // guards text and version
  char text[REPORT_LENGTH];         // the latest report text
  unsigned version;                 // grows with every new text
  std::atomic<int> pendingLookups;  // reverse lookups started and not yet handed back
};

ReportWindow windows[MAX_TRACES];

using Clock = std::chrono::steady_clock;

int usage(const char* message) {
  fprintf(stderr, "zarta-trace: %s\n%s", message, USAGE);
  return 2;
}

// A fixed ring of records shared between threads; full means the newest is dropped.
template <typename T, int N>
struct Ring {
  std::mutex lock;
  std::condition_variable changed;
  T items[N];
  int head = 0;
  int count = 0;

  bool push(const T& item) {
    std::lock_guard<std::mutex> guard(lock);
    if (count == N) return false;
    items[(head + count) % N] = item;
    ++count;
    changed.notify_one();
    return true;
  }
  bool pop(T& item, int timeoutMilliseconds) {
    std::unique_lock<std::mutex> guard(lock);
    auto ready = [this] { return count > 0; };
    if (timeoutMilliseconds < 0)
      changed.wait(guard, ready);
    else if (!changed.wait_for(guard, std::chrono::milliseconds(timeoutMilliseconds), ready))
      return false;
    item = items[head];
    head = (head + 1) % N;
    --count;
    return true;
  }
};

// A reverse lookup, asked by a worker and answered to the console's own thread, as the trace
// window is answered on Windows.
struct HopLookup {
  WindowHandle window;         // the window of the trace that asked
  int hop;                     // hop index
  uint32_t address;            // what to look up
  bool found;                  // false when the address has no name
  char name[HOP_NAME_LENGTH];  // the name, cut to 255 characters
};

// Wakes the console's loop: a report has changed, or a reverse lookup has ended.
struct Changes {
  std::mutex lock;
  std::condition_variable signal;
  unsigned count = 0;  // grows with every change

  void notify() {
    {
      std::lock_guard<std::mutex> guard(lock);
      ++count;
    }
    signal.notify_one();
  }
  // Waits until the count is no longer `seen`, or until `until`; returns the count.
  unsigned waitPast(unsigned seen, Clock::time_point until) {
    std::unique_lock<std::mutex> guard(lock);
    signal.wait_until(guard, until, [&] { return count != seen; });
    return count;
  }
};

Changes changes;

constexpr int LOOKUP_QUEUE_LENGTH = MAX_TRACES * MAX_HOPS * 2;
constexpr int RESOLVER_THREADS = 4;

Ring<HopLookup, LOOKUP_QUEUE_LENGTH> lookupRequests;
Ring<HopLookup, LOOKUP_QUEUE_LENGTH> lookupsDone;

void resolverThread() {
  for (;;) {
    HopLookup lookup;
    lookupRequests.pop(lookup, -1);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = lookup.address;
    char host[NI_MAXHOST];
    lookup.found = getnameinfo(reinterpret_cast<sockaddr*>(&address), sizeof address, host, sizeof host, nullptr, 0,
                               NI_NAMEREQD) == 0;
    if (lookup.found) copyCut(lookup.name, sizeof lookup.name, host);
    if (!lookupsDone.push(lookup)) static_cast<ReportWindow*>(lookup.window)->pendingLookups--;
    changes.notify();
  }
}

class ConsoleFrontEnd : public TraceFrontEnd {
 public:
  void render(TraceSlot& slot, const char* statusText) override { renderTraceReport(slot, statusText); }
  void startReverseLookup(TraceSlot& slot, int hop) override {
    auto* window = static_cast<ReportWindow*>(slot.window);
    window->pendingLookups++;
    if (!lookupRequests.push({slot.window, hop, loadShared(slot.hops[hop].address), false, {}}))
      window->pendingLookups--;
  }
};

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
  HopLookup done;
  while (lookupsDone.pop(done, waitMilliseconds)) {
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

void renderTraceReport(TraceSlot& slot, const char* statusText) {
  auto* window = static_cast<ReportWindow*>(slot.window);
  if (window == nullptr) return;
  char text[REPORT_LENGTH];
  buildTraceReport(slot, statusText, text);
  {
    std::lock_guard<std::mutex> guard(window->lock);
    memcpy(window->text, text, sizeof text);
    ++window->version;
  }
  changes.notify();
}

int main(int argc, char** argv) {
  double timeoutSeconds = DEFAULT_TIMEOUT_SECONDS;
  int first = 1;
  while (first < argc && strncmp(argv[first], "--", 2) == 0) {
    if (strcmp(argv[first], "--") == 0) {
      ++first;
      break;
    }
    if (strcmp(argv[first], "--help") == 0) return fputs(USAGE, stdout), 0;
    if (strcmp(argv[first], "--version") == 0) return puts("zarta-trace, Zarta version .5"), 0;
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

  if (int error = checkTransports()) {
    fprintf(stderr, "zarta-trace: cannot open an ICMP socket (%s): %s\n", strerror(error), TRANSPORT_FIX);
    return 1;
  }

  for (int i = 0; i < RESOLVER_THREADS; ++i) std::thread(resolverThread).detach();
  static ConsoleFrontEnd frontEnd;
  TraceSlot* slots[MAX_TRACES];
  for (int i = 0; i < count; ++i) {
    slots[i] = claimTraceSlot(argv[first + i]);
    slots[i]->window = &windows[i];
    std::thread([slot = slots[i]] { traceWorker(*slot, frontEnd); }).detach();
  }

  bool terminal = isatty(STDOUT_FILENO);
  auto deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeoutSeconds));
  std::string shown;
  bool allDone = false;
  unsigned seen = 0, drawn = ~0u;  // the count of changes taken in, and the one last drawn
  for (auto nextRedraw = Clock::now(); !allDone && Clock::now() < deadline;) {
    takeHopNames(0);
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
  _exit(allDone && allFound && running == 0 ? 0 : 1);
}
