// zarta_inspect: what the end-to-end test sees of another program's windows, as a console
// program in the same Wine session.
//   list                          every top-level window: handle, visible, x, y, width, height, class, caption
//   text CAPTION                  the report of the window so captioned (or its own text)
//   controls CAPTION              its child windows: id, class, x, y, width, height, text
//   post CLASS MESSAGE WPARAM LPARAM   posts a message to the window of that class
// Exit status 0, or 1 when no such window.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "resources/resource.h"

namespace {

constexpr int TEXT_LENGTH = 65536;
char text[TEXT_LENGTH];

void printWindow(HWND window, const char* prefix) {
  RECT rect;
  GetWindowRect(window, &rect);
  char className[256], caption[512];
  GetClassNameA(window, className, sizeof className);
  GetWindowTextA(window, caption, sizeof caption);
  printf("%s%ld\t%ld\t%ld\t%ld\t%ld\t%s\t%s\n", prefix, rect.left, rect.top, rect.right - rect.left,
         rect.bottom - rect.top, static_cast<long>(IsWindowVisible(window)), className, caption);
}

BOOL CALLBACK listTopLevel(HWND window, LPARAM) {
  printWindow(window, "");
  return TRUE;
}

BOOL CALLBACK listChild(HWND window, LPARAM) {
  char id[32];
  snprintf(id, sizeof id, "%d\t", GetDlgCtrlID(window));
  printWindow(window, id);
  return TRUE;
}

const char* readText(HWND window) {
  DWORD_PTR length = 0;
  text[0] = '\0';
  SendMessageTimeoutA(window, WM_GETTEXT, TEXT_LENGTH, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000, &length);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && strcmp(argv[1], "list") == 0) {
    EnumWindows(listTopLevel, 0);
    return 0;
  }
  if (argc >= 3 && strcmp(argv[1], "text") == 0) {
    HWND window = FindWindowA(nullptr, argv[2]);
    if (window == nullptr) return 1;
    HWND report = GetDlgItem(window, IDC_TRACE_TEXT);
    fputs(readText(report != nullptr ? report : window), stdout);
    return 0;
  }
  if (argc >= 3 && strcmp(argv[1], "controls") == 0) {
    HWND window = FindWindowA(nullptr, argv[2]);
    if (window == nullptr) return 1;
    EnumChildWindows(window, listChild, 0);
    return 0;
  }
  if (argc >= 6 && strcmp(argv[1], "post") == 0) {
    HWND window = FindWindowA(argv[2], nullptr);
    if (window == nullptr) return 1;
    PostMessageA(window, static_cast<UINT>(strtoul(argv[3], nullptr, 0)), strtoul(argv[4], nullptr, 0),
                 strtol(argv[5], nullptr, 0));
    return 0;
  }
  fputs("usage: zarta_inspect list | text CAPTION | controls CAPTION | post CLASS MESSAGE WPARAM LPARAM\n", stderr);
  return 2;
}
