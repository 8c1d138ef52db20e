// zarta-trace: traces the route to each host named on the command line, side by side, and prints
// each trace's report as its trace window would show it.
#include <arpa/inet.h>
#include <netdb.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "console/privileges.h"
#include "core/trace_engine.h"
#include "display/report_formats.h"
#include "display/trace_report.h"
#include "display/trace_start.h"
#include "platform/platform.h"

namespace {

constexpr double DEFAULT_TIMEOUT_SECONDS = 60;
constexpr double TIMEOUT_SECONDS_PER_ROUND = 6;  // added for each round above the tray's ten
constexpr uint32_t MAX_COUNT = 1000;
constexpr int REDRAW_MILLISECONDS = 100;
constexpr int STOP_WAIT_MILLISECONDS = 2000;
constexpr const char* USAGE =
    "usage: zarta-trace [OPTION]... HOST_TEXT...  (at most 50 hosts)\n"
    "Traces the route to each host, then pings every hop ten times; HOST_TEXT may be a URL.\n"
    "  -c, --count N        ping every hop N times, 1 to 1000 (default 10)\n"
    "  -n, --no-dns         no reverse lookups: the hops' names stay empty\n"
    "  --format FORMAT      text (the default, as the trace window shows it), json or csv\n"
    "  --wide               the text with the columns Best, Wrst and StDev after Ping\n"
    "  --timeout SECONDS    stop then, if the traces have not ended by themselves\n"
    "                       (default 60, and 6 more for each ping per hop above ten)\n"
    "  --help, --version\n";

enum ReportFormat { FORMAT_TEXT, FORMAT_JSON, FORMAT_CSV };

struct Options {
  double timeoutSeconds = 0;  // 0 for the default, which grows with `count`
  uint32_t count = MAX_ROUND;
  ReportFormat format = FORMAT_TEXT;
  bool noDns = false;
  bool wide = false;
};

Options options;

// What a trace window is to the console: the latest report, and the lookups still under way.
struct ReportWindow {
  std::mutex lock;                  // guards text and version
  char text[REPORT_LENGTH];         // the latest report text
  unsigned version;                 // grows with every new text
  std::atomic<int> pendingLookups;  // reverse lookups started and not yet handed back
};

ReportWindow windows[MAX_TRACES];

using Clock = std::chrono::steady_clock;

int usage(const char* message, const char* what = "") {
  fprintf(stderr, "zarta-trace: %s%s\n%s", message, what, USAGE);
  return 2;
}

// The value of the option at argv[i] when it is `name` or `shortName`: "--name=VALUE", or the next
// argument, which it then moves past. Null for another option; `missing` when the value is.
const char* optionValue(const char* name, const char* shortName, int argc, char** argv, int& i, bool& missing) {
  size_t length = strlen(name);
  if (strncmp(argv[i], name, length) == 0 && argv[i][length] == '=') return argv[i] + length + 1;
  if (strcmp(argv[i], name) != 0 && (shortName == nullptr || strcmp(argv[i], shortName) != 0)) return nullptr;
  missing = i + 1 >= argc;
  return missing ? nullptr : argv[++i];
}

// Reads the options before the host texts; `first` is then the first host text. -1 to go on,
// otherwise the exit status.
int parseOptions(int argc, char** argv, int& first) {
  for (first = 1; first < argc && argv[first][0] == '-'; ++first) {
    const char* option = argv[first];
    if (strcmp(option, "--") == 0) return ++first, -1;
    if (strcmp(option, "--help") == 0) return fputs(USAGE, stdout), 0;
    if (strcmp(option, "--version") == 0) return puts("zarta-trace, Zarta version .5"), 0;
    if (strcmp(option, "-n") == 0 || strcmp(option, "--no-dns") == 0) {
      options.noDns = true;
      continue;
    }
    if (strcmp(option, "--wide") == 0) {
      options.wide = true;
      continue;
    }
    bool missing = false;
    char* end = nullptr;
    if (const char* value = optionValue("--count", "-c", argc, argv, first, missing)) {
      unsigned long count = strtoul(value, &end, 10);
      if (end == value || *end != '\0' || value[0] == '-' || count < 1 || count > MAX_COUNT)
        return usage("--count needs a number of pings from 1 to 1000");
      options.count = static_cast<uint32_t>(count);
    } else if (const char* format = optionValue("--format", nullptr, argc, argv, first, missing)) {
      const char* const names[] = {"text", "json", "csv"};
      int chosen = 0;
      while (chosen < 3 && strcmp(format, names[chosen]) != 0) ++chosen;
      if (chosen == 3) return usage("--format needs text, json or csv");
      options.format = static_cast<ReportFormat>(chosen);
    } else if (const char* seconds = optionValue("--timeout", nullptr, argc, argv, first, missing)) {
      options.timeoutSeconds = strtod(seconds, &end);
      if (end == seconds || *end != '\0' || !(options.timeoutSeconds > 0) || options.timeoutSeconds > 86400)
        return usage("--timeout needs a number of seconds above 0");
    } else {
      return usage(missing ? "a value is missing after " : "unknown option ", option);
    }
  }
  return -1;
}

// Workers wait here with their sockets open until the privileges that opened them are given up,
// so that no datagram is read with them.
struct PrivilegeGate {
  std::mutex lock;                  // guards opened and givenUp
  std::condition_variable changed;  // a socket opened, or the privileges went
  int opened = 0;                   // traces whose socket is open or refused
  bool givenUp = false;             // the process's privileges are gone
};

PrivilegeGate gate;

void giveUpOrEnd(bool done) {
  if (done) return;
  fprintf(stderr, "zarta-trace: cannot give up its privileges: %s\n", strerror(errno));
  _exit(1);
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
  void quietChanged(TraceSlot&) override { changes.notify(); }
  void startReverseLookup(TraceSlot& slot, int hop) override {
    if (options.noDns) return;
    auto* window = static_cast<ReportWindow*>(slot.window);
    window->pendingLookups++;
    if (!lookupRequests.push({slot.window, hop, loadShared(slot.hops[hop].address), false, {}}))
      window->pendingLookups--;
  }
  // Each thread holds its own capabilities: the worker gives up its own once the process's are gone.
  void socketOpened(TraceSlot&) override {
    {
      std::unique_lock<std::mutex> guard(gate.lock);
      ++gate.opened;
      gate.changed.notify_all();
      gate.changed.wait(guard, [] { return gate.givenUp; });
    }
    giveUpOrEnd(dropThreadCapabilities());
  }
};

// Once every trace's socket is open (or the time is up), the sudo user's ids for every thread and
// no capabilities for this one, which makes the resolver threads without any.
void giveUpPrivileges(int traces, Clock::time_point deadline) {
  {
    std::unique_lock<std::mutex> guard(gate.lock);
    gate.changed.wait_until(guard, deadline, [traces] { return gate.opened >= traces; });
  }
  // The workers still hold what changing ids needs: every thread of the process must change.
  giveUpOrEnd(takeSudoUser());
  giveUpOrEnd(dropThreadCapabilities());
  std::lock_guard<std::mutex> guard(gate.lock);
  gate.givenUp = true;
  gate.changed.notify_all();
}

int64_t wallClockMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
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
  buildTraceReport(slot, statusText, text, options.wide);
  {
    std::lock_guard<std::mutex> guard(window->lock);
    memcpy(window->text, text, sizeof text);
    ++window->version;
  }
  changes.notify();
}

int main(int argc, char** argv) {
  int first = 1;
  if (int status = parseOptions(argc, argv, first); status >= 0) return status;
  double timeoutSeconds = options.timeoutSeconds;
  if (timeoutSeconds == 0)
    timeoutSeconds =
        DEFAULT_TIMEOUT_SECONDS + TIMEOUT_SECONDS_PER_ROUND * (options.count - std::min(options.count, MAX_ROUND));
  int count = argc - first;
  if (count < 1) return usage("no host given");
  if (count > MAX_TRACES) return usage("too many hosts");

  if (int error = transportOpenError()) {
    fprintf(stderr, "zarta-trace: cannot open an ICMP socket (%s): %s\n", strerror(error), TRANSPORT_FIX);
    return 1;
  }

  static ConsoleFrontEnd frontEnd;
  TraceSlot* slots[MAX_TRACES];
  TraceRun runs[MAX_TRACES];
  for (int i = 0; i < count; ++i) {
    slots[i] = claimTraceSlot(argv[first + i]);
    slots[i]->window = &windows[i];
    slots[i]->rounds = options.count;
    runs[i] = {argv[first + i], slots[i], wallClockMilliseconds(), 0};
    std::thread([slot = slots[i]] { traceWorker(*slot, frontEnd); }).detach();
  }
  Clock::time_point deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeoutSeconds));
  giveUpPrivileges(count, deadline);
  for (int i = 0; i < RESOLVER_THREADS && !options.noDns; ++i) std::thread(resolverThread).detach();

  bool terminal = isatty(STDOUT_FILENO);
  std::string shown;
  bool allDone = false;
  unsigned seen = 0, drawn = ~0u;  // the count of changes taken in, and the one last drawn
  for (auto nextRedraw = Clock::now(); !allDone && Clock::now() < deadline;) {
    takeHopNames(0);
    allDone = true;
    for (int i = 0; i < count; ++i) {
      allDone = allDone && traceDone(i, *slots[i]);
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
    // Only a change (a redraw, a name, a worker going quiet or busy) or the deadline wakes it: a trace costs the loop
    // nothing between its changes, and a quiet trace left open by its lookups nothing at all.
    auto until = deadline;
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
    allTraced = allTraced && loadShared(slots[i]->ipVersion) != 0 && loadShared(slots[i]->socketError) == 0;
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
