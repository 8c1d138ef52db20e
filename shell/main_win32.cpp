// zarta.exe: into the tray, then the message loop until "Exit".
#include "shell/shell_win32.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  startTray(instance);
  runMessageLoop();
  Shell_NotifyIconA(NIM_DELETE, &trayIcon);
  return 1;
}
