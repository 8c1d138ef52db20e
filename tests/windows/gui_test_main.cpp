// Runs the window tests inside a tray program started as zarta.exe starts, with the worker double.
#include <cstring>
#include <vector>

#include "display/trace_start.h"
#include "display/trace_window_win32.h"
#include "gui_test_support.h"
#include "resources/resource.h"
#include "shell/shell_win32.h"

FakeWorkers fakeWorkers;

namespace {

bool fakeWorkerStart(TraceSlot& slot) {
  ++fakeWorkers.starts;
  fakeWorkers.lastSlot = &slot;
  fakeWorkers.visibleAtStart = IsWindowVisible(windowOf(&slot)) != FALSE;
  fakeWorkers.captionAtStart = windowText(windowOf(&slot));
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

TraceSlot* start(const char* host, int x, int y) {
  fakeWorkers.lastSlot = nullptr;
  startTrace(host, x, y);
  return fakeWorkers.lastSlot;
}

void resetGui() {
  pumpMessages();
  std::vector<HWND> dialogs;
  EnumThreadWindows(GetCurrentThreadId(), collectDialog, reinterpret_cast<LPARAM>(&dialogs));
  for (HWND dialog : dialogs) DestroyWindow(dialog);
  memset(static_cast<void*>(traceTable), 0, sizeof traceTable);
  nextTraceTag = 0;
  hostEntryDialog = nullptr;
  appInstance = GetModuleHandleA(nullptr);
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
  static char text[65536];
  GetWindowTextA(window, text, sizeof text);
  return text;
}

std::string reportText(const TraceSlot& slot) { return windowText(GetDlgItem(windowOf(&slot), IDC_TRACE_TEXT)); }

RECT windowRect(HWND window) {
  RECT rect = {};
  GetWindowRect(window, &rect);
  return rect;
}

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  startTray(GetModuleHandleA(nullptr));
  startWorkerThread = fakeWorkerStart;
  return RUN_ALL_TESTS();
}
