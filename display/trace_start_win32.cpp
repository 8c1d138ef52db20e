// Starting a trace on Windows: the slot, then its window, then its worker thread.
#include "display/trace_start.h"
#include "display/trace_window_win32.h"
#include "platform/win32.h"
#include "resources/resource.h"

HINSTANCE appInstance;

namespace {

constexpr int DESIGN_DPI = 96;

int systemDpi() {
  // A DPI-aware program's screen context gives the system's DPI on every Windows from Vista on; the per-monitor
  // functions of later versions would give the same here.
  HDC screen = GetDC(nullptr);
  int dpi = GetDeviceCaps(screen, LOGPIXELSX);
  ReleaseDC(nullptr, screen);
  return dpi;
}

LONG atMost(LONG wanted, LONG limit) { return wanted < limit ? wanted : limit; }

DWORD WINAPI runTraceWorker(LPVOID slot) {
  TraceWindowFrontEnd frontEnd;
  return static_cast<DWORD>(traceWorker(*static_cast<TraceSlot*>(slot), frontEnd));
}

}  // namespace

int scaledDistance(int pixels) { return MulDiv(pixels, systemDpi(), DESIGN_DPI); }

RECT desktopRect() {
  RECT desktop;
  GetWindowRect(GetDesktopWindow(), &desktop);
  return desktop;
}

POINT placement(HWND window, int x, int y) {
  RECT own, desktop = desktopRect();
  if (systemDpi() == DESIGN_DPI || !GetWindowRect(window, &own)) return POINT{x, y};
  // Whole on every side; a window larger than the screen keeps its top-left corner, with the caption, on it.
  LONG left = atMost(x, desktop.right - (own.right - own.left));
  LONG top = atMost(y, desktop.bottom - (own.bottom - own.top));
  return POINT{left > desktop.left ? left : desktop.left, top > desktop.top ? top : desktop.top};
}

WorkerThreadStarter startWorkerThread = startTraceWorkerThread;

bool startTraceWorkerThread(TraceSlot& slot) {
  DWORD threadId = 0;
  // Sized for what the worker keeps on its stack rather than left to the linker's default for the program.
  HANDLE thread =
      CreateThread(nullptr, WORKER_STACK_BYTES, runTraceWorker, &slot, STACK_SIZE_PARAM_IS_A_RESERVATION, &threadId);
  if (thread == nullptr) return false;
  slot.threadId = threadId;
  // Nothing waits for a worker; keeping the handle would only leak it.
  CloseHandle(thread);
  return true;
}

void startTrace(const char* hostText, int x, int y) {
  // The window a free slot still names was closed by its user long ago; claiming the slot
  // forgets it, so it is destroyed here rather than left hidden for the rest of the run.
  WindowHandle previous = nullptr;
  TraceSlot* slot = claimTraceSlot(hostText, &previous);
  if (slot == nullptr) return;
  if (previous != nullptr) DestroyWindow(static_cast<HWND>(previous));
  prepareReverseLookups();

  HWND window = CreateDialogParamA(appInstance, MAKEINTRESOURCEA(IDD_TRACE), nullptr, traceWindowProc, 0);
  if (window == nullptr) {
    releaseTraceSlot(*slot);
    return;
  }
  slot->window = window;
  POINT at = placement(window, x, y);
  SetWindowPos(window, HWND_TOP, at.x, at.y, 0, 0, SWP_NOSIZE);
  char title[TITLE_LENGTH];
  buildTraceTitle(*slot, title);
  SetWindowTextA(window, title);
  ShowWindow(window, SW_SHOW);
  SetForegroundWindow(window);
  if (!startWorkerThread(*slot)) {
    // A window without a worker would never show more than its empty report.
    slot->window = nullptr;
    DestroyWindow(window);
    releaseTraceSlot(*slot);
  }
}
