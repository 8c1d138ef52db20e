// The platform's waits between passes, on the real clock: passes of a millisecond or more, and a
// quiet trace that sleeps until its stop is requested, then ends at once.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::duration<double, std::milli>;

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

TEST(PlatformWaits, PassesLastAMillisecondOrMoreWithEitherTimer) {
  for (bool fine : {true, false}) {
    highResolutionTimers = fine;
    NoWindow window;
    RawIcmpSocket raw;
    Unresolved system(window, raw);
    TraceSlot slot = {};
    auto start = Clock::now();
    for (int i = 0; i < 50; ++i) system.waitForNextPass(slot, false);
    Milliseconds elapsed = Clock::now() - start;
    EXPECT_GE(elapsed.count(), 50) << "high-resolution timer " << fine;
    EXPECT_LT(elapsed.count(), 1000) << "high-resolution timer " << fine;
  }
  highResolutionTimers = true;
}

TEST(PlatformWaits, QuietTraceSleepsUntilItsStopAndEndsWithin5Ms) {
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
  EXPECT_LT(stops[2], 5.0) << "median of five stops, ms";
  printf("stop of a quiet trace: median %.3f ms, slowest %.3f ms\n", stops[2], stops[4]);
}

}  // namespace
