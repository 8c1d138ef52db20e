// The hidden tray window: icon events, menu commands, hot keys and the clipboard.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "display/trace_start.h"
#include "gui_test_support.h"
#include "resources/resource.h"
#include "shell/shell_win32.h"

namespace {

class TrayWindowTest : public testing::Test {
 protected:
  void SetUp() override { resetGui(); }
  void TearDown() override { resetGui(); }

  static void putClipboardText(const std::string& text) {
    ASSERT_TRUE(OpenClipboard(mainWindow));
    EmptyClipboard();
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, text.size() + 1);
    memcpy(GlobalLock(block), text.c_str(), text.size() + 1);
    GlobalUnlock(block);
    SetClipboardData(CF_TEXT, block);
    CloseClipboard();
  }
};

struct PlaceCase {
  POINT cursor;
  POINT place;
};

class ClipboardPlaceTest : public testing::TestWithParam<PlaceCase> {};

TEST_P(ClipboardPlaceTest, KeepsTheWindow450PixelsOffTheRightAndBottomEdges) {
  RECT desktop = {0, 0, 1024, 768};
  POINT place = clipboardTracePosition(GetParam().cursor, desktop);
  EXPECT_EQ(place.x, GetParam().place.x);
  EXPECT_EQ(place.y, GetParam().place.y);
}

INSTANTIATE_TEST_SUITE_P(Cursors, ClipboardPlaceTest,
                         testing::Values(PlaceCase{{1000, 700}, {574, 318}}, PlaceCase{{100, 50}, {100, 50}},
                                         PlaceCase{{600, 300}, {574, 300}}, PlaceCase{{-40, 900}, {-40, 318}}));

class ClipboardHotKeyTest : public TrayWindowTest, public testing::WithParamInterface<int> {};

TEST_P(ClipboardHotKeyTest, TracesTheHostInTheClipboardNearTheCursor) {
  putClipboardText("http://clip.example/some/page.html");
  SetCursorPos(1000, 700);
  POINT cursor;
  GetCursorPos(&cursor);

  SendMessageA(mainWindow, WM_HOTKEY, static_cast<WPARAM>(GetParam()), 0);

  ASSERT_NE(fakeWorkers.lastSlot, nullptr);
  HWND window = static_cast<HWND>(fakeWorkers.lastSlot->window);
  EXPECT_EQ(windowText(window), "Tracing route to clip.example");
  POINT place = clipboardTracePosition(cursor, desktopRect());
  RECT rect = windowRect(window);
  EXPECT_EQ(rect.left, place.x);
  EXPECT_EQ(rect.top, place.y);
  if (desktopIs1024By768() && cursor.x == 1000 && cursor.y == 700) {
    EXPECT_EQ(rect.left, 574);
    EXPECT_EQ(rect.top, 318);
  }
}

INSTANTIATE_TEST_SUITE_P(HotKeys, ClipboardHotKeyTest,
                         testing::Values(HOTKEY_CLIPBOARD_TRACE, HOTKEY_CLIPBOARD_TRACE_ALT));

struct LengthCase {
  size_t blanks;  // before "host.example"
  const char* traced;
};

class ClipboardLengthTest : public TrayWindowTest, public testing::WithParamInterface<LengthCase> {};

TEST_P(ClipboardLengthTest, TakesAtMost4999Characters) {
  putClipboardText(std::string(GetParam().blanks, ' ') + "host.example");
  SendMessageA(mainWindow, WM_HOTKEY, HOTKEY_CLIPBOARD_TRACE, 0);
  ASSERT_NE(fakeWorkers.lastSlot, nullptr);
  EXPECT_STREQ(fakeWorkers.lastSlot->hostName, GetParam().traced);
}

INSTANTIATE_TEST_SUITE_P(Lengths, ClipboardLengthTest,
                         testing::Values(LengthCase{4987, "host.example"}, LengthCase{4990, "host.exam"},
                                         LengthCase{6000, ""}));

TEST_F(TrayWindowTest, ClipboardWithoutTextTracesNothing) {
  ASSERT_TRUE(OpenClipboard(mainWindow));
  EmptyClipboard();
  SetClipboardData(CF_BITMAP, CreateBitmap(1, 1, 1, 1, nullptr));
  CloseClipboard();
  SendMessageA(mainWindow, WM_HOTKEY, HOTKEY_CLIPBOARD_TRACE, 0);
  EXPECT_EQ(fakeWorkers.starts, 0);
  // The clipboard was given back.
  EXPECT_TRUE(OpenClipboard(mainWindow));
  CloseClipboard();
}

struct EntryCase {
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
};

class HostEntryFromTrayTest : public TrayWindowTest, public testing::WithParamInterface<EntryCase> {};

TEST_P(HostEntryFromTrayTest, OpensTheHostEntryBox) {
  SendMessageA(mainWindow, GetParam().message, GetParam().wParam, GetParam().lParam);
  ASSERT_NE(hostEntryDialog, nullptr);
  EXPECT_TRUE(IsWindowVisible(hostEntryDialog));
  EXPECT_EQ(GetForegroundWindow(), hostEntryDialog);
}

INSTANTIATE_TEST_SUITE_P(Ways, HostEntryFromTrayTest,
                         testing::Values(EntryCase{MSG_TRAY_NOTIFY, 1, WM_LBUTTONDBLCLK},
                                         EntryCase{WM_COMMAND, ID_TRACEROUTE_TO, 0},
                                         EntryCase{WM_HOTKEY, HOTKEY_HOST_ENTRY, 0}));

TEST_F(TrayWindowTest, DoubleClickRaisesTheTracesThenTheHostEntryBoxInFront) {
  for (int i = 0; i < 3; ++i) startTrace("a.example", 10 * i, 10 * i);
  SetForegroundWindow(mainWindow);
  EXPECT_EQ(trayWindowProc(mainWindow, MSG_TRAY_NOTIFY, 1, WM_LBUTTONDBLCLK), 1);
  EXPECT_EQ(GetForegroundWindow(), hostEntryDialog);
}

TEST_F(TrayWindowTest, OtherIconEventsDoNothing) {
  for (LPARAM event : {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_MOUSEMOVE, WM_RBUTTONDOWN}) {
    EXPECT_EQ(trayWindowProc(mainWindow, MSG_TRAY_NOTIFY, 1, event), 1);
    EXPECT_EQ(hostEntryDialog, nullptr);
  }
}

TEST_F(TrayWindowTest, CloseWindowsClosesEveryRunningTraceOnceQueued) {
  for (int i = 0; i < 3; ++i) startTrace("a.example", 10 * i, 10 * i);
  SendMessageA(mainWindow, WM_COMMAND, ID_CLOSE_WINDOWS, 0);
  // Posted, not sent: nothing has closed yet.
  EXPECT_TRUE(IsWindowVisible(static_cast<HWND>(traceTable[0].window)));
  pumpMessages();
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(IsWindowVisible(static_cast<HWND>(traceTable[i].window)));
    EXPECT_EQ(traceTable[i].stopRequested, 1u);
  }
}

TEST_F(TrayWindowTest, ExitQuitsWithOne) {
  SendMessageA(mainWindow, WM_COMMAND, ID_EXIT, 0);
  MSG message;
  ASSERT_TRUE(PeekMessageA(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  EXPECT_EQ(message.wParam, 1u);
}

TEST_F(TrayWindowTest, IconComesBackWhenTheShellRestarts) {
  ASSERT_NE(taskbarCreatedMessage, 0u);
  Shell_NotifyIconA(NIM_DELETE, &trayIcon);
  SendMessageA(mainWindow, taskbarCreatedMessage, 0, 0);
  EXPECT_TRUE(Shell_NotifyIconA(NIM_MODIFY, &trayIcon));
}

TEST_F(TrayWindowTest, IconRecordIsTheOriginalOneWithTipAndCallback) {
  EXPECT_EQ(trayIcon.cbSize, 88u);
  EXPECT_EQ(trayIcon.hWnd, mainWindow);
  EXPECT_EQ(trayIcon.uID, 1u);
  EXPECT_EQ(trayIcon.uFlags, static_cast<UINT>(NIF_MESSAGE | NIF_ICON | NIF_TIP));
  EXPECT_EQ(trayIcon.uCallbackMessage, 100000u);
  EXPECT_NE(trayIcon.hIcon, nullptr);
  EXPECT_STREQ(trayIcon.szTip, "Zarta");
}

}  // namespace
