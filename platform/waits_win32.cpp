// Windows: the waits between passes. A wait's time-out ends at a timer tick, up to 15.6 ms late, which would make
// probes that much late; a high-resolution waitable timer (Windows 10 1803 and later) ends on time, but costs the
// processor's sleep states while it runs. So it runs only for the last tick before a deadline: until then, and
// without a deadline, the worker waits on its transport's answers and its stop event. Where the system refuses the
// timer, the system's ticks come every millisecond for that last tick instead.
#include <mutex>

#include "platform/platform.h"
#include "platform/win32.h"
// After windows.h, which it needs.
#include <mmsystem.h>

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace {

// Below zero, as no handle is.
constexpr intptr_t NO_TIMER = -1;             // refused: the plain time-outs it is
constexpr intptr_t NO_TIMER_FINE_TICKS = -2;  // refused, and 1 ms ticks asked of the system while a deadline is soon
constexpr UINT FINE_TICK_MS = 1;
constexpr LONGLONG ONE_MILLISECOND = -10000;  // relative, in 100 ns units
constexpr int32_t TICK_MS = 16;               // the longest a plain time-out may end late

HANDLE stopEvents[MAX_TRACES];

// The stop event of a slot of the trace table, made once for the whole run; null for another slot.
HANDLE stopEvent(const TraceSlot& slot) {
  static std::once_flag made;
  std::call_once(made, [] {
    for (HANDLE& event : stopEvents) event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  });
  ptrdiff_t index = &slot - traceTable;
  return index >= 0 && index < MAX_TRACES ? stopEvents[index] : nullptr;
}

// The system keeps the finest resolution any caller asks for and counts the requests, so each busy trace asks for its
// own and gives it back: the ticks return to their usual pace, which saves power, once no trace is busy.
void keepFineTicks(intptr_t& passTimer, bool wanted) {
  if (wanted && passTimer == NO_TIMER) {
    timeBeginPeriod(FINE_TICK_MS);
    passTimer = NO_TIMER_FINE_TICKS;
  } else if (!wanted && passTimer == NO_TIMER_FINE_TICKS) {
    timeEndPeriod(FINE_TICK_MS);
    passTimer = NO_TIMER;
  }
}

}  // namespace

void requestStop(TraceSlot& slot) {
  storeShared(slot.stopRequested, 1u);
  if (HANDLE event = stopEvent(slot)) SetEvent(event);
}

NativeTraceSystem::~NativeTraceSystem() {
  keepFineTicks(passTimer_, false);
  if (passTimer_ > 0) CloseHandle(reinterpret_cast<HANDLE>(passTimer_));
}

void NativeTraceSystem::waitForNextPass(const TraceSlot& slot, bool timed, uint32_t deadline) {
  int32_t ahead = timed ? static_cast<int32_t>(deadline - nowMilliseconds()) : 0;
  if (timed && ahead <= 0) return;
  if (passTimer_ == 0) {
    // Vista and later; the high-resolution flag is refused before Windows 10 1803.
    auto create = kernelFunction<decltype(CreateWaitableTimerExW)>("CreateWaitableTimerExW");
    HANDLE timer =
        create != nullptr ? create(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS) : nullptr;
    passTimer_ = timer != nullptr ? reinterpret_cast<intptr_t>(timer) : NO_TIMER;
  }
  bool soon = timed && ahead <= TICK_MS;
  keepFineTicks(passTimer_, soon);
  HANDLE timer = reinterpret_cast<HANDLE>(passTimer_);
  LARGE_INTEGER due;
  due.QuadPart = ahead * ONE_MILLISECOND;
  if (soon && passTimer_ > 0 && SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE)) {
    if (!waitOnTransport(passTimer_, -1)) WaitForSingleObject(timer, INFINITE);
    return;
  }
  // Ended a tick early where the timer can wait out the rest.
  int64_t milliseconds = !timed ? -1 : ahead > TICK_MS && passTimer_ > 0 ? ahead - TICK_MS : ahead;
  int64_t timeout = milliseconds < 0 ? -1 : milliseconds * 1000000;
  HANDLE stop = stopEvent(slot);
  if (stop == nullptr) {  // a slot outside the trace table, which nothing can wake: its stop is seen by the next pass
    Sleep(1);
    return;
  }
  // Set after the stop request is stored: a request made from here on still ends the wait.
  if (loadShared(slot.stopRequested) == 0 && !waitOnTransport(reinterpret_cast<intptr_t>(stop), timeout))
    WaitForSingleObject(stop, waitMilliseconds(timeout));
}
