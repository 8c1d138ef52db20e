// A worker and the user-interface thread sharing a slot without a lock, and the platform's
// waits between passes on the real clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "display/trace_report.h"
#include "platform/platform.h"
#include "sim/sim_system.h"

namespace {

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::duration<double, std::milli>;

// Names are rewritten on one thread, as the window does, while another builds reports from them,
// as the worker's redraws do: no report shows half of one name and half of another.
TEST(Threads, ReportsNeverShowATornName) {
  static TraceSlot slot;
  slot = {};
  for (int k = 0; k < 13; ++k) slot.hops[k].state = HOP_ROUTER;
  slot.targetAddress = 1;
  const std::string names[] = {"a.example", std::string(200, 'b') + ".example"};
  std::atomic<bool> writing{true};
  std::atomic<long> torn{0}, read{0};
  std::thread reader([&] {
    static char text[REPORT_LENGTH];
    while (writing) {
      buildTraceReport(slot, nullptr, text);
      for (const char* line = strstr(text, "\r\n1\t"); line != nullptr && line[2] != '\0'; line = strstr(line + 2, "\r\n")) {
        const char* name = line + 2;
        for (int tab = 0; tab < 5; ++tab) name = strchr(name, '\t') + 1;
        std::string field(name, strstr(name, "\r\n") - name);
        ++read;
        if (!field.empty() && field != names[0] && field != names[1]) ++torn;
      }
    }
  });
  for (int round = 0; round < 5000; ++round)
    for (int k = 0; k < 13; ++k) storeHopName(slot, k, names[(round + k) % 2].c_str());
  writing = false;
  reader.join();
  EXPECT_EQ(torn, 0) << "of " << read << " names read";
}

class NoWindow : public TraceFrontEnd {
 public:
  void render(TraceSlot&, const char*) override {}
  void startReverseLookup(TraceSlot&, int) override {}
};

// A target that cannot be resolved: its trace sends nothing and is quiet from its first pass.
class Unresolved : public NativeTraceSystem {
 public:
  using NativeTraceSystem::NativeTraceSystem;
  SocketAddress resolveTarget(const char*) override { return {}; }
  void waitForNextPass(const TraceSlot& slot, bool quiet) override {
    ++passes;
    NativeTraceSystem::waitForNextPass(slot, quiet);
  }
  std::atomic<int> passes{0};
};

TEST(Threads, PassesLastAMillisecondOrMoreWithEitherTimer) {
  for (bool fine : {true, false}) {
    highResolutionTimers = fine;
    NoWindow window;
    RawIcmpSocket raw;
    Unresolved system(window, raw);
    TraceSlot slot = {};
    auto start = Clock::now();
    for (int i = 0; i < 50; ++i) system.waitForNextPass(slot, false);
    EXPECT_GE(Milliseconds(Clock::now() - start).count(), 50) << "high-resolution timer " << fine;
  }
  highResolutionTimers = true;
}

TEST(Threads, QuietTraceSleepsUntilItsStopAndEndsAtOnce) {
  TraceSlot& slot = traceTable[MAX_TRACES - 1];
  double stops[5];
  for (double& stop : stops) {
    memset(static_cast<void*>(&slot), 0, sizeof slot);
    slot.inUse = 1;
    NoWindow window;
    RawIcmpSocket raw;  // where it can be had, the quiet worker waits on it as well
    IcmpTransport* const order[] = {&raw};
    TransportChoice choice(order, 1);
    Unresolved system(window, choice);
    std::thread worker([&] { runTrace(slot, system); });
    while (loadShared(slot.quiet) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    int passes = system.passes;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_LE(system.passes - passes, 2) << "a quiet trace polls";
    auto asked = Clock::now();
    requestStop(slot);
    worker.join();
    stop = Milliseconds(Clock::now() - asked).count();
    EXPECT_EQ(loadShared(slot.inUse), 0u);
  }
  std::sort(stops, stops + 5);
  // Woken by the stop, not by a timer: a few milliseconds, and a loaded machine may add some.
  EXPECT_LT(stops[2], 50.0) << "median of five stops, ms";
}

}  // namespace
