// Runs the window tests inside a tray program started as zarta.exe starts, with the worker double.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "display/trace_window_win32.h"
#include "gui_test_support.h"
#include "resources/resource.h"
#include "shell/shell_win32.h"

FakeWorkers fakeWorkers;

namespace {

bool fakeWorkerStart(TraceSlot& slot) {
  ++fakeWorkers.starts;
  fakeWorkers.lastSlot = &slot;
  fakeWorkers.windowVisibleAtStart = IsWindowVisible(static_cast<HWND>(slot.window)) != FALSE;
  fakeWorkers.captionAtStart = windowText(static_cast<HWND>(slot.window));
  return !fakeWorkers.refuse;
}

BOOL CALLBACK countWindow(HWND window, LPARAM count) {
  ++*reinterpret_cast<int*>(count);
  EnumChildWindows(window, countWindow, count);
  return TRUE;
}

BOOL CALLBACK collectDialog(HWND window, LPARAM found) {
  char className[16];
  GetClassNameA(window, className, sizeof className);
  if (window != mainWindow && strcmp(className, "#32770") == 0)
    reinterpret_cast<std::vector<HWND>*>(found)->push_back(window);
  return TRUE;
}

}  // namespace

void endWorker(TraceSlot& slot) { storeShared(slot.inUse, 0u); }

void resetGui() {
  pumpMessages();
  std::vector<HWND> dialogs;
  EnumThreadWindows(GetCurrentThreadId(), collectDialog, reinterpret_cast<LPARAM>(&dialogs));
  for (HWND dialog : dialogs) DestroyWindow(dialog);
  memset(static_cast<void*>(traceTable), 0, sizeof traceTable);
  nextTraceTag = 0;
  hostEntryDialog = nullptr;
  fakeWorkers = FakeWorkers{};
  pumpMessages();
}

void pumpMessages() {
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    forwardEnterKey(message);
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
}

int threadWindowCount() {
  int count = 0;
  EnumThreadWindows(GetCurrentThreadId(), countWindow, reinterpret_cast<LPARAM>(&count));
  return count;
}

std::string windowText(HWND window) {
  char text[65536];
  GetWindowTextA(window, text, sizeof text);
  return text;
}

std::string reportText(const TraceSlot& slot) {
  return windowText(GetDlgItem(static_cast<HWND>(slot.window), IDC_TRACE_TEXT));
}

RECT windowRect(HWND window) {
  RECT rect = {};
  GetWindowRect(window, &rect);
  return rect;
}

RECT desktopRect() { return windowRect(GetDesktopWindow()); }

bool desktopIs1024By768() {
  RECT desktop = desktopRect();
  return desktop.right == 1024 && desktop.bottom == 768;
}

int slotIndex(const TraceSlot* slot) { return slot == nullptr ? -1 : static_cast<int>(slot - traceTable); }

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  startTray(GetModuleHandleA(nullptr));
  startWorkerThread = fakeWorkerStart;
  return RUN_ALL_TESTS();
}
