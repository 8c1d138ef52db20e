// Windows: the waits between passes. Sleep(1) lasts until the next timer tick, up to 15.6 ms,
// which would make every pass, and every answer read from the raw socket, that much late; a
// high-resolution waitable timer (Windows 10 1803 and later) waits 1 ms. Where the system refuses
// one, the timer ticks every millisecond while a trace is busy. A quiet trace waits on its
// transport and its stop event instead.
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
constexpr intptr_t NO_TIMER = -1;             // refused: Sleep(1) it is
constexpr intptr_t NO_TIMER_FINE_TICKS = -2;  // refused, and 1 ms ticks asked of the system until the trace is quiet
constexpr UINT FINE_TICK_MS = 1;
constexpr LONGLONG ONE_MILLISECOND = -10000;  // relative, in 100 ns units

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

void NativeTraceSystem::waitForNextPass(const TraceSlot& slot, bool quiet) {
  HANDLE stop = quiet ? stopEvent(slot) : nullptr;
  if (stop != nullptr) {
    keepFineTicks(passTimer_, false);
    // Set after the stop request is stored: a request made from here on still ends the wait.
    if (loadShared(slot.stopRequested) == 0 && !waitOnTransport(reinterpret_cast<intptr_t>(stop), false))
      WaitForSingleObject(stop, INFINITE);
    return;
  }
  if (passTimer_ == 0) {
    // Vista and later; the high-resolution flag is refused before Windows 10 1803.
    auto create = kernelFunction<decltype(CreateWaitableTimerExW)>("CreateWaitableTimerExW");
    HANDLE timer =
        create != nullptr ? create(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS) : nullptr;
    passTimer_ = timer != nullptr ? reinterpret_cast<intptr_t>(timer) : NO_TIMER;
  }
  LARGE_INTEGER due;
  due.QuadPart = ONE_MILLISECOND;
  HANDLE timer = reinterpret_cast<HANDLE>(passTimer_);
  if (passTimer_ < 0 || !SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE)) {
    keepFineTicks(passTimer_, true);
    Sleep(1);
    return;
  }
  if (!waitOnTransport(passTimer_, true)) WaitForSingleObject(timer, INFINITE);
}
