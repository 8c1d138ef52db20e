// The hidden tray window: the icon's mouse events, the pop-up menu's commands, the hot keys.
#include <cstring>

#include "core/trace_table.h"
#include "display/trace_start.h"
#include "resources/resource.h"
#include "shell/shell_win32.h"

namespace {

constexpr int CURSOR_EDGE_DISTANCE = 450;
constexpr int ABOUT_RIGHT_DISTANCE = 500;
constexpr int ABOUT_BOTTOM_DISTANCE = 250;

void raiseTraceWindowsAndHostEntry() {
  for (const TraceSlot& slot : traceTable)
    if (loadShared(slot.inUse) != 0) SetForegroundWindow(static_cast<HWND>(slot.window));
  showHostEntryDialog();
}

void showTrayMenu() {
  POINT cursor;
  GetCursorPos(&cursor);
  SetMenuDefaultItem(trayMenu, 0, TRUE);
  // Without the foreground the menu would not close when the user clicks elsewhere.
  SetForegroundWindow(mainWindow);
  TrackPopupMenu(trayMenu, TPM_RIGHTALIGN | TPM_BOTTOMALIGN, cursor.x, cursor.y, 0, mainWindow, nullptr);
}

void onTrayNotify(LPARAM mouseMessage) {
  switch (mouseMessage) {
    case WM_LBUTTONDBLCLK:
      raiseTraceWindowsAndHostEntry();
      break;
    case WM_RBUTTONUP:
      showTrayMenu();
      break;
  }
}

void closeTraceWindows() {
  for (const TraceSlot& slot : traceTable)
    if (loadShared(slot.inUse) != 0) PostMessageA(static_cast<HWND>(slot.window), MSG_CLOSE_TRACE, 0, 0);
}

void openAboutBox() {
  HWND about = CreateDialogParamA(appInstance, MAKEINTRESOURCEA(IDD_ABOUT), mainWindow, aboutDialogProc, 0);
  placeOffCorner(about, ABOUT_RIGHT_DISTANCE, ABOUT_BOTTOM_DISTANCE);
  ShowWindow(about, SW_SHOW);
}

void onCommand(WORD command) {
  switch (command) {
    case ID_EXIT:
      PostQuitMessage(1);
      break;
    case ID_CLOSE_WINDOWS:
      closeTraceWindows();
      break;
    case ID_ABOUT:
      openAboutBox();
      break;
    case ID_TRACEROUTE_TO:
      showHostEntryDialog();
      break;
  }
}

// False when the clipboard cannot be opened or holds no text. A longer text than the buffer
// holds keeps its first 4999 characters: a host name is at its start.
bool readClipboardText(char (&text)[CLIPBOARD_TEXT_LENGTH]) {
  if (!OpenClipboard(mainWindow)) return false;
  HANDLE data = GetClipboardData(CF_OEMTEXT);
  if (data == nullptr) {
    CloseClipboard();
    return false;
  }
  size_t length = 0;
  if (const char* locked = static_cast<const char*>(GlobalLock(data))) {
    // The block's size bounds the copy even if the text in it is not terminated.
    length = strnlen(locked, GlobalSize(data) < sizeof text ? GlobalSize(data) : sizeof text - 1);
    memcpy(text, locked, length);
    GlobalUnlock(data);
  }
  text[length] = '\0';
  CloseClipboard();
  return true;
}

void traceClipboardHost() {
  char text[CLIPBOARD_TEXT_LENGTH];
  if (!readClipboardText(text)) return;
  POINT cursor;
  GetCursorPos(&cursor);
  POINT place = clipboardTracePosition(cursor, desktopRect());
  startTrace(text, place.x, place.y);
}

void onHotKey(WPARAM id) {
  switch (id) {
    case HOTKEY_CLIPBOARD_TRACE:
    case HOTKEY_CLIPBOARD_TRACE_ALT:
      traceClipboardHost();
      break;
    case HOTKEY_HOST_ENTRY:
      showHostEntryDialog();
      break;
  }
}

}  // namespace

void placeOffCorner(HWND window, int rightDistance, int bottomDistance) {
  RECT desktop = desktopRect();
  POINT at =
      placement(window, desktop.right - scaledDistance(rightDistance), desktop.bottom - scaledDistance(bottomDistance));
  SetWindowPos(window, nullptr, at.x, at.y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}

POINT clipboardTracePosition(POINT cursor, const RECT& desktop) {
  LONG right = desktop.right - scaledDistance(CURSOR_EDGE_DISTANCE);
  LONG bottom = desktop.bottom - scaledDistance(CURSOR_EDGE_DISTANCE);
  return POINT{cursor.x < right ? cursor.x : right, cursor.y < bottom ? cursor.y : bottom};
}

LRESULT CALLBACK trayWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case MSG_TRAY_NOTIFY:
      onTrayNotify(lParam);
      return 1;
    case WM_COMMAND:
      onCommand(LOWORD(wParam));
      return 0;
    case WM_HOTKEY:
      onHotKey(wParam);
      return 0;
    default:
      // A restarted shell has forgotten the icon.
      if (message == taskbarCreatedMessage && taskbarCreatedMessage != 0) {
        Shell_NotifyIconA(NIM_ADD, &trayIcon);
        return 0;
      }
      return DefWindowProcA(window, message, wParam, lParam);
  }
}
