// What the in-process window tests share: a worker double, a clean trace table, small readers.
#pragma once

// clang-format off
#include <winsock2.h>
#include <windows.h>
// clang-format on

#include <gtest/gtest.h>

#include <string>

#include "core/trace_table.h"

// The worker double starts no thread: a slot stays in use until endWorker.
struct FakeWorkers {
  int starts;
  TraceSlot* lastSlot;
  bool visibleAtStart;
  std::string captionAtStart;
  bool refuse;  // pretend that no thread could be created
};
extern FakeWorkers fakeWorkers;

inline void endWorker(TraceSlot& slot) { storeShared(slot.inUse, 0u); }
inline HWND windowOf(const TraceSlot* slot) { return static_cast<HWND>(slot->window); }
// startTrace, then the slot the worker double was given (null when none).
TraceSlot* start(const char* host, int x = 100, int y = 100);
void pumpMessages();
int threadWindowCount();  // top-level and child windows of this thread
std::string windowText(HWND window);
std::string reportText(const TraceSlot& slot);
RECT windowRect(HWND window);

void resetGui();  // no window but the tray's, an empty trace table
class GuiTest : public testing::Test {
 protected:
  void SetUp() override { resetGui(); }
  void TearDown() override { resetGui(); }
};
template <typename Case>
class GuiCaseTest : public GuiTest, public testing::WithParamInterface<Case> {};
