// The tray shell: start-up, the message loop, the hidden tray window and the dialogs.
#pragma once

// winsock2.h must come before windows.h, and shellapi.h after it.
// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include "display/trace_window_win32.h"

constexpr int CLIPBOARD_TEXT_LENGTH = 5000;
constexpr int HOST_ENTRY_TEXT_LENGTH = 500;
// NOTIFYICONDATAA as Windows 95 knew it, laid out at this build's width: 88 bytes, 104 for 64-bit programs.
constexpr UINT TRAY_ICON_RECORD_SIZE = NOTIFYICONDATAA_V1_SIZE;
static_assert(TRAY_ICON_RECORD_SIZE == (sizeof(void*) == 4 ? 88 : 104));

// Globals of the user-interface thread; appInstance is the trace window's.
extern HWND mainWindow;
extern HMENU trayMenu;
extern HWND hostEntryDialog;
extern NOTIFYICONDATAA trayIcon;
extern UINT taskbarCreatedMessage;  // the shell's "TaskbarCreated", sent when it (re)starts

ATOM registerTrayWindowClass(HINSTANCE instance);
// Everything before the message loop: class, hidden window, tray icon, menu, hot keys, sockets.
void startTray(HINSTANCE instance);
// Runs until WM_QUIT.
void runMessageLoop();
// The one piece of keyboard handling: Enter in the host edit means OK.
void forwardEnterKey(const MSG& message);

LRESULT CALLBACK trayWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// Moves a dialog, keeping its size and z-order, to the given distances (pixels at 96 DPI) left of the desktop's right
// edge and above its bottom edge.
void placeOffCorner(HWND window, int rightDistance, int bottomDistance);
// Where a trace started from the clipboard opens: at the cursor, kept 450 pixels (at 96 DPI) off the
// desktop's right and bottom edges.
POINT clipboardTracePosition(POINT cursor, const RECT& desktop);

void showHostEntryDialog();
INT_PTR CALLBACK hostEntryDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK aboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
