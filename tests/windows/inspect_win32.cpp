// What the end-to-end run sees of zarta.exe from its Wine session: `text CAPTION` the report so captioned;
// `post MESSAGE WPARAM` to the tray window.
#include <windows.h>

#include <cstdio>
#include <string>

#include "resources/resource.h"

int main(int argc, char** argv) {
  static char text[65536];
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "text" && argc == 3)
    return !SendMessageTimeoutA(GetDlgItem(FindWindowA(nullptr, argv[2]), IDC_TRACE_TEXT), WM_GETTEXT, sizeof text,
                                reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000, nullptr) ||
           fputs(text, stdout) < 0;
  if (command == "post" && argc == 4)
    return !PostMessageA(FindWindowA("zarta", nullptr), std::stoul(argv[2], nullptr, 0), std::stoul(argv[3]), 0);
  return 2;
}
