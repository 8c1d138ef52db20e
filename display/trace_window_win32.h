// The trace window: its report in an edit control, its stop on close, its hop names as they come in.
#pragma once

// winsock2.h must come before windows.h, and shellapi.h after it.
// clang-format off
#include <winsock2.h>
#include <windows.h>
// clang-format on

#include "core/trace_table.h"
#include "display/reverse_lookup_win32.h"
#include "display/trace_report.h"
#include "platform/platform.h"

// The module whose resources hold the templates; the start-up sets it before any window opens.
extern HINSTANCE appInstance;

// WM_SYSCOMMAND's command: the system keeps the low four bits for itself (a close from the caption's box
// or from the menu, chosen by mouse or by key, differs there).
constexpr WPARAM SYSTEM_COMMAND_MASK = 0xFFF0;

// The dialog procedure of every trace window (template IDD_TRACE).
INT_PTR CALLBACK traceWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Starts the worker thread of a slot whose window is up; false when no thread could be had.
// A variable, so that tests can run trace windows without touching the network.
using WorkerThreadStarter = bool (*)(TraceSlot& slot);
extern WorkerThreadStarter startWorkerThread;
bool startTraceWorkerThread(TraceSlot& slot);

// The program's placement distances are pixels of a 96-DPI screen; it declares itself DPI-aware, so Windows scales
// nothing of its placements for it. `pixels` at 96 DPI in pixels at the system's DPI.
int scaledDistance(int pixels);
// The screen, as the desktop window covers it.
RECT desktopRect();
// Where `window`'s top-left corner goes when asked for (x, y): there at 96 DPI; at any other DPI no further right or
// down than keeps the window whole on the screen, since the dialog font, and with it the window, does not grow in
// step with the DPI.
POINT placement(HWND window, int x, int y);

// What a worker shows through: its trace window's report and the lookup relay.
class TraceWindowFrontEnd : public TraceFrontEnd {
 public:
  void render(TraceSlot& slot, const char* statusText) override { renderTraceReport(slot, statusText); }
  void startReverseLookup(TraceSlot& slot, int hop) override { requestReverseLookup(slot, hop); }
};
