// zarta_inspect: what the end-to-end test sees of another program's windows, as a console
// program in the same Wine session. Exit status 0, 1 when there is no such window, 2 on misuse.
//   list                               every top-level window: x, y, width, height, visible, class, caption
//   text CAPTION                       the report of the window so captioned (or its own text)
//   post CLASS MESSAGE WPARAM LPARAM [COUNT]   posts a message (COUNT times) to the window of that class
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "resources/resource.h"

namespace {

char text[65536];

BOOL CALLBACK printWindow(HWND window, LPARAM) {
  RECT rect;
  GetWindowRect(window, &rect);
  char className[256], caption[512];
  GetClassNameA(window, className, sizeof className);
  GetWindowTextA(window, caption, sizeof caption);
  printf("%ld\t%ld\t%ld\t%ld\t%d\t%s\t%s\n", rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top,
         IsWindowVisible(window), className, caption);
  return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
  const char* command = argc >= 2 ? argv[1] : "";
  if (strcmp(command, "list") == 0) return EnumWindows(printWindow, 0) ? 0 : 1;
  bool post = strcmp(command, "post") == 0 && argc >= 6;
  if (!post && (strcmp(command, "text") != 0 || argc < 3)) {
    fputs("usage: zarta_inspect list | text CAPTION | post CLASS MESSAGE WPARAM LPARAM [COUNT]\n", stderr);
    return 2;
  }
  HWND window = post ? FindWindowA(argv[2], nullptr) : FindWindowA(nullptr, argv[2]);
  if (window == nullptr) return 1;
  for (int i = post && argc >= 7 ? atoi(argv[6]) : 1; post && i > 0; --i)
    if (!PostMessageA(window, static_cast<UINT>(strtoul(argv[3], nullptr, 0)), strtoul(argv[4], nullptr, 0),
                      strtol(argv[5], nullptr, 0)))
      return 1;
  if (post) return 0;
  HWND report = GetDlgItem(window, IDC_TRACE_TEXT);
  DWORD_PTR length = 0;
  SendMessageTimeoutA(report != nullptr ? report : window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text),
                      SMTO_ABORTIFHUNG, 5000, &length);
  fputs(text, stdout);
  return 0;
}
