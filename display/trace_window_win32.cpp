// The trace window: shows its report in its edit control, keeps the control filling it, stops
// its worker when closed, and names hops as their reverse lookups come in.
#include "display/trace_window_win32.h"

#include <cstring>

#include "core/trace_engine.h"
#include "resources/resource.h"

namespace {

constexpr int EDIT_MARGIN = 20;  // the edit's left and top offsets, counted twice

INT_PTR onHopName(HWND window, int hop) {
  TraceSlot* slot = findSlotByWindow(window);
  if (slot == nullptr) return FALSE;
  // A failed lookup leaves the buffer as the trace start zeroed it: no name.
  const hostent* found = reinterpret_cast<const hostent*>(slot->hops[hop].lookupBuffer);
  storeHopName(*slot, hop, found->h_name);
  renderTraceReport(*slot, nullptr);
  return TRUE;
}

INT_PTR onSize(HWND window, LPARAM lParam) {
  int width = LOWORD(lParam) - EDIT_MARGIN;
  int height = HIWORD(lParam) - EDIT_MARGIN;
  SetWindowPos(GetDlgItem(window, IDC_TRACE_TEXT), HWND_TOP, 0, 0, width > 0 ? width : 0, height > 0 ? height : 0,
               SWP_NOMOVE | SWP_NOOWNERZORDER);
  InvalidateRect(window, nullptr, TRUE);
  return TRUE;
}

INT_PTR onClose(HWND window) {
  // The window stays (hidden) while its slot holds it; the next trace in the slot destroys it.
  EndDialog(window, 0);
  if (TraceSlot* slot = findSlotByWindow(window)) requestStop(*slot);
  return FALSE;
}

// With `tabStops`, the edit's tab stops are set first (the status form keeps those it has).
void setReportText(HWND window, const char* text, const int* tabStops) {
  HWND edit = GetDlgItem(window, IDC_TRACE_TEXT);
  if (tabStops != nullptr) {
    int stops[TAB_STOP_COUNT];
    memcpy(stops, tabStops, sizeof stops);
    SendMessageA(edit, EM_SETTABSTOPS, TAB_STOP_COUNT, reinterpret_cast<LPARAM>(stops));
  }
  SetWindowTextA(edit, text);
}

}  // namespace

void renderTraceReport(TraceSlot& slot, const char* statusText) {
  char text[REPORT_LENGTH];
  buildTraceReport(slot, statusText, text);
  // An IPv6 trace's IP column is wider: its addresses run to 39 characters.
  const int* tabStops = loadShared(slot.ipVersion) == 6 ? REPORT_TAB_STOPS_IPV6 : REPORT_TAB_STOPS;
  setReportText(static_cast<HWND>(slot.window), text, statusText == nullptr ? tabStops : nullptr);
}

INT_PTR CALLBACK traceWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_SIZE:
      return onSize(window, lParam);
    case WM_SYSCOMMAND:
      return (wParam & SYSTEM_COMMAND_MASK) == SC_CLOSE ? onClose(window) : FALSE;
    case MSG_CLOSE_TRACE:
      return onClose(window);
    default:
      if (message >= static_cast<UINT>(MSG_HOP_NAME_BASE) && message < static_cast<UINT>(MSG_HOP_NAME_BASE + MAX_HOPS))
        return onHopName(window, static_cast<int>(message) - MSG_HOP_NAME_BASE);
      return FALSE;
  }
}
