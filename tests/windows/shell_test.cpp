// The host entry box, the About box and the hidden tray window, against their real templates.
#include <cstring>
#include <vector>

#include "display/trace_report.h"
#include "display/trace_start.h"
#include "gui_test_support.h"
#include "resources/resource.h"
#include "shell/shell_win32.h"

namespace {

// The box opened, `text` typed into it and OK pressed: the trace started, or null.
TraceSlot* traceFromHostEntry(const std::string& text) {
  showHostEntryDialog();
  SetDlgItemTextA(hostEntryDialog, IDC_HOST, text.c_str());
  fakeWorkers.lastSlot = nullptr;
  SendMessageA(hostEntryDialog, WM_COMMAND, IDOK, 0);
  return fakeWorkers.lastSlot;
}

struct Typed {
  std::string text;
  const char* host;
};

class HostEntryOkTest : public GuiCaseTest<Typed> {};

TEST_P(HostEntryOkTest, BoxOffTheBottomRightCornerTracesTheHostAndSelectsTheTextForTheNext) {
  TraceSlot* slot = traceFromHostEntry(GetParam().text);
  ASSERT_NE(slot, nullptr);
  RECT desktop = windowRect(GetDesktopWindow()), box = windowRect(hostEntryDialog);
  EXPECT_EQ(box.left, desktop.right - 300);
  EXPECT_EQ(box.top, desktop.bottom - 150);
  EXPECT_STREQ(slot->hostName, GetParam().host);
  EXPECT_EQ(windowText(windowOf(slot)), std::string("Tracing route to ") + GetParam().host);
  EXPECT_EQ(GetForegroundWindow(), hostEntryDialog);
  DWORD first = 1, last = 0;
  SendDlgItemMessageA(hostEntryDialog, IDC_HOST, EM_GETSEL, reinterpret_cast<WPARAM>(&first),
                      reinterpret_cast<LPARAM>(&last));
  EXPECT_EQ(first, 0u);
  EXPECT_EQ(last, GetParam().text.size());
}

// Leading blanks are dropped, so a cut shows in how much of the name is left.
INSTANTIATE_TEST_SUITE_P(Texts, HostEntryOkTest,
                         testing::Values(Typed{"http://target.example/page", "target.example"}, Typed{"", ""},
                                         Typed{std::string(480, ' ') + "abcdefghijklmnopqrstuvwxyz",
                                               "abcdefghijklmnopqrs"}));

struct Drag {
  int dx, dy;  // how far the user moved the last trace window from its place
  bool replaced;
};

class HostEntryReplaceTest : public GuiCaseTest<Drag> {};

TEST_P(HostEntryReplaceTest, OkClosesTheTraceWindowLeftWithin19PixelsOfItsPlace) {
  TraceSlot* first = traceFromHostEntry("first.example");
  ASSERT_NE(first, nullptr);
  RECT place = windowRect(windowOf(first));
  SetWindowPos(windowOf(first), nullptr, place.left + GetParam().dx, place.top + GetParam().dy, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER);
  TraceSlot* second = traceFromHostEntry("second.example");
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, first);
  EXPECT_EQ(IsWindowVisible(windowOf(first)) == FALSE, GetParam().replaced);
  EXPECT_EQ(first->stopRequested, GetParam().replaced ? 1u : 0u);
  EXPECT_EQ(windowRect(windowOf(second)).left, place.left);
  EXPECT_EQ(windowRect(windowOf(second)).top, place.top);
}

INSTANTIATE_TEST_SUITE_P(Drags, HostEntryReplaceTest,
                         testing::Values(Drag{19, 19, true}, Drag{20, 0, false}, Drag{0, 20, false}));

BOOL CALLBACK collectAboutBox(HWND window, LPARAM found) {
  if (windowText(window) == "About zarta") reinterpret_cast<std::vector<HWND>*>(found)->push_back(window);
  return TRUE;
}

TEST_F(GuiTest, EveryAboutOpensABoxOfItsOwnThatClosesAlone) {
  SendMessageA(mainWindow, WM_COMMAND, ID_ABOUT, 0);
  SendMessageA(mainWindow, WM_COMMAND, ID_ABOUT, 0);
  std::vector<HWND> boxes;
  EnumThreadWindows(GetCurrentThreadId(), collectAboutBox, reinterpret_cast<LPARAM>(&boxes));
  ASSERT_EQ(boxes.size(), 2u);
  for (HWND box : boxes) EXPECT_EQ(GetWindow(box, GW_OWNER), mainWindow);
  SendMessageA(boxes[0], WM_COMMAND, IDOK, 0);
  EXPECT_FALSE(IsWindow(boxes[0]));
  EXPECT_TRUE(IsWindowVisible(boxes[1]));
}

TEST(ClipboardTracePlaceTest, StaysAtLeast450PixelsOffTheRightAndBottomEdges) {
  const struct {
    POINT cursor, place;
  } cases[] = {{{1000, 700}, {574, 318}}, {{100, 50}, {100, 50}}, {{600, 300}, {574, 300}}};
  for (const auto& c : cases) {
    POINT place = clipboardTracePosition(c.cursor, RECT{0, 0, 1024, 768});
    EXPECT_EQ(place.x, c.place.x) << "cursor at " << c.cursor.x << ", " << c.cursor.y;
    EXPECT_EQ(place.y, c.place.y) << "cursor at " << c.cursor.x << ", " << c.cursor.y;
  }
}

struct TrayEvent {
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  std::string clipboard;  // empty: no text in the clipboard
  const char* traced;     // the host traced, or null when nothing is
  bool hostEntry;         // the host entry box comes up in front
};

class TrayEventTest : public GuiCaseTest<TrayEvent> {};

TEST_P(TrayEventTest, DoesWhatItAsks) {
  ASSERT_TRUE(OpenClipboard(mainWindow));
  EmptyClipboard();
  if (!GetParam().clipboard.empty()) {
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, GetParam().clipboard.size() + 1);
    memcpy(GlobalLock(block), GetParam().clipboard.c_str(), GetParam().clipboard.size() + 1);
    GlobalUnlock(block);
    SetClipboardData(CF_TEXT, block);
  }
  CloseClipboard();
  SendMessageA(mainWindow, GetParam().message, GetParam().wParam, GetParam().lParam);
  EXPECT_STREQ(fakeWorkers.lastSlot != nullptr ? fakeWorkers.lastSlot->hostName : nullptr, GetParam().traced);
  EXPECT_EQ(hostEntryDialog != nullptr && GetForegroundWindow() == hostEntryDialog, GetParam().hostEntry);
  if (TraceSlot* slot = fakeWorkers.lastSlot) {  // the same cut in the caption and the report
    EXPECT_EQ(windowText(windowOf(slot)), std::string("Tracing route to ") + GetParam().traced);
    renderTraceReport(*slot, nullptr);
    EXPECT_EQ(reportText(*slot), std::string(GetParam().traced) + " not found \r\n");
  }
}

std::string everyByteButZero() {
  std::string bytes;
  for (int c = 1; c < 256; ++c) bytes += static_cast<char>(c);
  return bytes;
}
const std::string FIRST_255(255, 'a');

// The clipboard gives at most 4999 characters, the slot keeps 255.
INSTANTIATE_TEST_SUITE_P(
    Events, TrayEventTest,
    testing::Values(
        TrayEvent{WM_HOTKEY, HOTKEY_CLIPBOARD_TRACE, 0, "http://clip.example/a.html", "clip.example", false},
        TrayEvent{WM_HOTKEY, HOTKEY_CLIPBOARD_TRACE_ALT, 0, std::string(4990, ' ') + "host.example", "host.exam",
                  false},
        TrayEvent{WM_HOTKEY, HOTKEY_CLIPBOARD_TRACE, 0, std::string(6000, ' ') + "host.example", "", false},
        TrayEvent{WM_HOTKEY, HOTKEY_CLIPBOARD_TRACE, 0, std::string(4987, ' ') + "host.example", "host.example", false},
        TrayEvent{WM_HOTKEY, HOTKEY_CLIPBOARD_TRACE, 0, std::string(4988, ' ') + "host.example", "host.exampl", false},
        TrayEvent{WM_HOTKEY, HOTKEY_CLIPBOARD_TRACE, 0, std::string(1 << 20, 'a'), FIRST_255.c_str(), false},
        TrayEvent{WM_HOTKEY, HOTKEY_CLIPBOARD_TRACE, 0, everyByteButZero(), "-.", false},
        TrayEvent{WM_HOTKEY, HOTKEY_CLIPBOARD_TRACE, 0, "", nullptr, false},
        TrayEvent{WM_HOTKEY, HOTKEY_HOST_ENTRY, 0, "", nullptr, true},
        TrayEvent{MSG_TRAY_NOTIFY, 1, WM_LBUTTONDBLCLK, "", nullptr, true},
        TrayEvent{MSG_TRAY_NOTIFY, 1, WM_LBUTTONUP, "", nullptr, false},
        TrayEvent{WM_COMMAND, ID_TRACEROUTE_TO, 0, "", nullptr, true}));

TEST_F(GuiTest, TrayIconComesBackWhenTheShellRestarts) {
  ASSERT_NE(taskbarCreatedMessage, 0u);
  Shell_NotifyIconA(NIM_DELETE, &trayIcon);
  ASSERT_FALSE(Shell_NotifyIconA(NIM_MODIFY, &trayIcon));
  SendMessageA(mainWindow, taskbarCreatedMessage, 0, 0);
  EXPECT_TRUE(Shell_NotifyIconA(NIM_MODIFY, &trayIcon));
}

}  // namespace
