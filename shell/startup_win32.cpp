// Start-up and the message loop of the user-interface thread.
#include <cstring>

#include "resources/resource.h"
#include "shell/shell_win32.h"

HWND mainWindow;
HMENU trayMenu;
HWND hostEntryDialog;
NOTIFYICONDATAA trayIcon;
UINT taskbarCreatedMessage;

namespace {

constexpr WORD WINSOCK_VERSION_1_0 = 0x0001;

struct HotKey {
  int id;
  UINT modifiers;
  UINT key;
};
constexpr HotKey HOT_KEYS[] = {
    {HOTKEY_CLIPBOARD_TRACE, MOD_CONTROL | MOD_SHIFT, 'D'},
    {HOTKEY_CLIPBOARD_TRACE_ALT, MOD_SHIFT, VK_F11},
    {HOTKEY_HOST_ENTRY, MOD_CONTROL | MOD_SHIFT, 'E'},
};

void addTrayIcon(HINSTANCE instance) {
  trayIcon.cbSize = TRAY_ICON_RECORD_SIZE;
  trayIcon.hWnd = mainWindow;
  trayIcon.uID = 1;
  trayIcon.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  trayIcon.uCallbackMessage = MSG_TRAY_NOTIFY;
  trayIcon.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_TRAY));
  strcpy(trayIcon.szTip, "Zarta");
  Shell_NotifyIconA(NIM_ADD, &trayIcon);
}

}  // namespace

ATOM registerTrayWindowClass(HINSTANCE instance) {
  WNDCLASSEXA windowClass = {};
  windowClass.cbSize = sizeof windowClass;
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = trayWindowProc;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = "zarta";
  return RegisterClassExA(&windowClass);
}

void startTray(HINSTANCE instance) {
  appInstance = instance;
  // Registered before the window exists, so that a shell starting at this moment is not missed.
  taskbarCreatedMessage = RegisterWindowMessageA("TaskbarCreated");
  registerTrayWindowClass(instance);
  mainWindow =
      CreateWindowExA(0, "zarta", "zarta", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr, instance, nullptr);
  trayMenu = GetSubMenu(LoadMenuA(instance, MAKEINTRESOURCEA(IDR_TRAY_MENU)), 0);
  for (const HotKey& hotKey : HOT_KEYS) RegisterHotKey(mainWindow, hotKey.id, hotKey.modifiers, hotKey.key);
  WSADATA winsock;
  WSAStartup(WINSOCK_VERSION_1_0, &winsock);
  // Last: once the icon shows, its menu, the hot keys and the traces they start all work.
  addTrayIcon(instance);
}

void forwardEnterKey(const MSG& message) {
  if (message.message != WM_KEYDOWN || message.wParam != VK_RETURN || hostEntryDialog == nullptr) return;
  if (message.hwnd == GetDlgItem(hostEntryDialog, IDC_HOST)) PostMessageA(hostEntryDialog, WM_COMMAND, IDOK, 0);
}

void runMessageLoop() {
  // No IsDialogMessage: Tab, Esc and Enter keep no dialog meaning; Enter in the host edit is
  // the one key given one, and the key still reaches the edit as well.
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    forwardEnterKey(message);
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
}
