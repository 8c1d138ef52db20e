// What the end-to-end run sees of zarta.exe from its Wine session: `list` the top-level windows (visible,
// class, caption), `text CAPTION` the report so captioned; `post MESSAGE WPARAM COUNT` to the tray window.
#include <windows.h>

#include <cstdio>
#include <string>

#include "resources/resource.h"

BOOL CALLBACK print(HWND window, LPARAM) {
  char name[64], caption[512];
  GetClassNameA(window, name, sizeof name), GetWindowTextA(window, caption, sizeof caption);
  return printf("%d\t%s\t%s\n", IsWindowVisible(window), name, caption) > 0;
}

int main(int argc, char** argv) {
  static char report[65536];
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "list") return !EnumWindows(print, 0);
  if (command == "text" && argc == 3)
    return !SendMessageTimeoutA(GetDlgItem(FindWindowA(nullptr, argv[2]), IDC_TRACE_TEXT), WM_GETTEXT, sizeof report,
                                reinterpret_cast<LPARAM>(report), SMTO_ABORTIFHUNG, 5000, nullptr) ||
           fputs(report, stdout) < 0;
  if (command != "post" || argc != 5) return 2;
  for (int i = std::stoi(argv[4]); i > 0; --i)
    if (!PostMessageA(FindWindowA("zarta", nullptr), std::stoul(argv[2], nullptr, 0), std::stoul(argv[3]), 0)) return 1;
  return 0;
}
