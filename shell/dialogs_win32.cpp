// The "Enter host" box and the About box.
#include <cstdlib>

#include "core/trace_table.h"
#include "display/trace_start.h"
#include "resources/resource.h"
#include "shell/shell_win32.h"

namespace {

constexpr int HOST_ENTRY_RIGHT_DISTANCE = 300;
constexpr int HOST_ENTRY_BOTTOM_DISTANCE = 150;
constexpr int TRACE_LEFT_OF_HOST_ENTRY = 180;
constexpr int TRACE_ABOVE_HOST_ENTRY = 420;
constexpr int SAME_PLACE_DISTANCE = 20;

// A closed modeless dialog is never shown again, so it is destroyed rather than kept hidden.
void closeDialog(HWND dialog) {
  EndDialog(dialog, 0);
  DestroyWindow(dialog);
}

// Tracing one host after another from the box replaces the window at the target place
// instead of piling windows up there.
void closeTraceWindowsAt(int x, int y) {
  for (const TraceSlot& slot : traceTable) {
    if (loadShared(slot.inUse) == 0) continue;
    RECT rect;
    GetWindowRect(static_cast<HWND>(slot.window), &rect);
    // Compared with where the window was put, kept whole on the screen, rather than where it was asked for.
    POINT place = placement(static_cast<HWND>(slot.window), x, y);
    if (abs(place.x - rect.left) < SAME_PLACE_DISTANCE && abs(place.y - rect.top) < SAME_PLACE_DISTANCE)
      SendMessageA(static_cast<HWND>(slot.window), WM_SYSCOMMAND, SC_CLOSE, 0);
  }
}

void onHostEntryOk(HWND dialog) {
  RECT own;
  GetWindowRect(dialog, &own);
  int x = own.left - scaledDistance(TRACE_LEFT_OF_HOST_ENTRY);
  int y = own.top - scaledDistance(TRACE_ABOVE_HOST_ENTRY);
  closeTraceWindowsAt(x, y);
  char host[HOST_ENTRY_TEXT_LENGTH];
  GetWindowTextA(GetDlgItem(dialog, IDC_HOST), host, sizeof host);
  startTrace(host, x, y);
  // The new trace window took the foreground; the next host is typed here.
  SetForegroundWindow(dialog);
  SendDlgItemMessageA(dialog, IDC_HOST, EM_SETSEL, 0, -1);
}

void closeHostEntry(HWND dialog) {
  hostEntryDialog = nullptr;
  closeDialog(dialog);
}

}  // namespace

void showHostEntryDialog() {
  if (hostEntryDialog == nullptr) {
    hostEntryDialog =
        CreateDialogParamA(appInstance, MAKEINTRESOURCEA(IDD_HOST_ENTRY), nullptr, hostEntryDialogProc, 0);
    ShowWindow(hostEntryDialog, SW_SHOW);
    placeOffCorner(hostEntryDialog, HOST_ENTRY_RIGHT_DISTANCE, HOST_ENTRY_BOTTOM_DISTANCE);
  }
  SetForegroundWindow(hostEntryDialog);
}

INT_PTR CALLBACK hostEntryDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_COMMAND:
      if (wParam == IDOK)
        onHostEntryOk(dialog);
      else if (wParam == IDCANCEL)
        closeHostEntry(dialog);
      return FALSE;
    case WM_SYSCOMMAND:
      if ((wParam & SYSTEM_COMMAND_MASK) == SC_CLOSE) closeHostEntry(dialog);
      return FALSE;
    default:
      return FALSE;
  }
}

INT_PTR CALLBACK aboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_COMMAND:
      if (wParam == IDOK) closeDialog(dialog);
      return FALSE;
    case WM_SYSCOMMAND:
      if ((wParam & SYSTEM_COMMAND_MASK) == SC_CLOSE) closeDialog(dialog);
      return FALSE;
    default:
      return FALSE;
  }
}
