// What the in-process window tests share: a worker double, a clean trace table, message pumping.
#pragma once

// winsock2.h must come before windows.h, and shellapi.h after it.
// clang-format off
#include <winsock2.h>
#include <windows.h>
// clang-format on

#include <string>

#include "core/trace_table.h"

// The worker double: records the start and starts no thread, so every slot stays in use until
// a test ends its "worker" with endWorker.
struct FakeWorkers {
  int starts;
  TraceSlot* lastSlot;
  bool windowVisibleAtStart;
  std::string captionAtStart;
  bool refuse;  // pretend that no thread could be created
};
extern FakeWorkers fakeWorkers;

void endWorker(TraceSlot& slot);
// Destroys every window the tests made and empties the trace table.
void resetGui();
void pumpMessages();
// Pumps until `done` holds or `milliseconds` pass; returns the last value of `done`.
template <typename Done>
bool pumpUntil(Done done, int milliseconds) {
  for (DWORD start = GetTickCount(); !done(); Sleep(1)) {
    pumpMessages();
    if (GetTickCount() - start > static_cast<DWORD>(milliseconds)) return done();
  }
  return true;
}
// Every window of this thread, top-level and child.
int threadWindowCount();
std::string windowText(HWND window);
std::string reportText(const TraceSlot& slot);
RECT windowRect(HWND window);
RECT desktopRect();
bool desktopIs1024By768();
int slotIndex(const TraceSlot* slot);
