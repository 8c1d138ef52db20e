// The host entry box and the About box against their real templates.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "display/trace_start.h"
#include "gui_test_support.h"
#include "resources/resource.h"
#include "shell/shell_win32.h"

namespace {

class HostEntryTest : public testing::Test {
 protected:
  void SetUp() override {
    resetGui();
    showHostEntryDialog();
    dialog = hostEntryDialog;
    ASSERT_NE(dialog, nullptr);
  }
  void TearDown() override { resetGui(); }

  void type(const std::string& text) { SetDlgItemTextA(dialog, IDC_HOST, text.c_str()); }
  TraceSlot* ok() {
    fakeWorkers.lastSlot = nullptr;
    SendMessageA(dialog, WM_COMMAND, IDOK, 0);
    return fakeWorkers.lastSlot;
  }
  POINT expectedTracePlace() {
    RECT own = windowRect(dialog);
    return POINT{own.left - 180, own.top - 420};
  }

  HWND dialog = nullptr;
};

TEST_F(HostEntryTest, OpensNearTheBottomRightCorner) {
  RECT desktop = desktopRect();
  RECT rect = windowRect(dialog);
  EXPECT_EQ(rect.left, desktop.right - 300);
  EXPECT_EQ(rect.top, desktop.bottom - 150);
  EXPECT_TRUE(IsWindowVisible(dialog));
  EXPECT_EQ(GetForegroundWindow(), dialog);
}

TEST_F(HostEntryTest, OnA1024By768ScreenOpensAt724_618AndTracesAt544_198) {
  if (!desktopIs1024By768()) GTEST_SKIP() << "screen is not 1024 x 768";
  RECT rect = windowRect(dialog);
  EXPECT_EQ(rect.left, 724);
  EXPECT_EQ(rect.top, 618);
  type("target.example");
  TraceSlot* slot = ok();
  ASSERT_NE(slot, nullptr);
  RECT trace = windowRect(static_cast<HWND>(slot->window));
  EXPECT_EQ(trace.left, 544);
  EXPECT_EQ(trace.top, 198);
}

TEST_F(HostEntryTest, OkTracesTheTypedHostAndLeavesTheBoxReadyForTheNext) {
  type("http://target.example/page");
  TraceSlot* slot = ok();
  ASSERT_NE(slot, nullptr);
  EXPECT_STREQ(slot->hostName, "target.example");
  EXPECT_EQ(windowText(static_cast<HWND>(slot->window)), "Tracing route to target.example");
  EXPECT_TRUE(IsWindowVisible(dialog));
  EXPECT_EQ(GetForegroundWindow(), dialog);
  DWORD start = 0, end = 0;
  SendDlgItemMessageA(dialog, IDC_HOST, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
  EXPECT_EQ(start, 0u);
  EXPECT_EQ(end, strlen("http://target.example/page"));
}

TEST_F(HostEntryTest, EmptyOkStillStartsATrace) {
  TraceSlot* slot = ok();
  ASSERT_NE(slot, nullptr);
  EXPECT_EQ(windowText(static_cast<HWND>(slot->window)), "Tracing route to ");
}

TEST_F(HostEntryTest, OnlyTheFirst499CharactersAreTraced) {
  // Leading blanks are dropped, so the cut shows in how much of the name is left.
  type(std::string(480, ' ') + "abcdefghijklmnopqrstuvwxyz");
  TraceSlot* slot = ok();
  ASSERT_NE(slot, nullptr);
  EXPECT_STREQ(slot->hostName, "abcdefghijklmnopqrs");
}

struct ReplaceCase {
  int dx, dy;  // how far the user dragged the last trace window from its place
  bool replaced;
};

class HostEntryReplaceTest : public HostEntryTest, public testing::WithParamInterface<ReplaceCase> {};

TEST_P(HostEntryReplaceTest, OkClosesTheTraceWindowLeftWithin19PixelsOfItsPlace) {
  type("first.example");
  TraceSlot* first = ok();
  ASSERT_NE(first, nullptr);
  HWND firstWindow = static_cast<HWND>(first->window);
  POINT place = expectedTracePlace();
  SetWindowPos(firstWindow, nullptr, place.x + GetParam().dx, place.y + GetParam().dy, 0, 0, SWP_NOSIZE | SWP_NOZORDER);

  type("second.example");
  TraceSlot* second = ok();

  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, first);
  EXPECT_EQ(IsWindowVisible(firstWindow) == FALSE, GetParam().replaced);
  EXPECT_EQ(first->stopRequested, GetParam().replaced ? 1u : 0u);
  RECT rect = windowRect(static_cast<HWND>(second->window));
  EXPECT_EQ(rect.left, place.x);
  EXPECT_EQ(rect.top, place.y);
}

INSTANTIATE_TEST_SUITE_P(Drags, HostEntryReplaceTest,
                         testing::Values(ReplaceCase{0, 0, true}, ReplaceCase{19, 19, true},
                                         ReplaceCase{-19, -19, true}, ReplaceCase{20, 0, false},
                                         ReplaceCase{0, 20, false}, ReplaceCase{-20, 5, false},
                                         ReplaceCase{3, -20, false}));

TEST_F(HostEntryTest, OkClosesEveryTraceWindowAtThePlace) {
  POINT place = expectedTracePlace();
  startTrace("a.example", place.x + 5, place.y);
  TraceSlot* a = fakeWorkers.lastSlot;
  startTrace("b.example", place.x, place.y - 5);
  TraceSlot* b = fakeWorkers.lastSlot;
  startTrace("c.example", place.x + 40, place.y);
  TraceSlot* c = fakeWorkers.lastSlot;
  ok();
  EXPECT_EQ(a->stopRequested, 1u);
  EXPECT_EQ(b->stopRequested, 1u);
  EXPECT_EQ(c->stopRequested, 0u);
}

TEST_F(HostEntryTest, ShowingItAgainWhileOpenNeitherMovesNorClearsIt) {
  SetWindowPos(dialog, nullptr, 100, 120, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  type("kept.example");
  showHostEntryDialog();
  EXPECT_EQ(hostEntryDialog, dialog);
  RECT rect = windowRect(dialog);
  EXPECT_EQ(rect.left, 100);
  EXPECT_EQ(rect.top, 120);
  EXPECT_EQ(windowText(GetDlgItem(dialog, IDC_HOST)), "kept.example");
}

struct CloseCase {
  UINT message;
  WPARAM wParam;
};

class HostEntryCloseTest : public HostEntryTest, public testing::WithParamInterface<CloseCase> {};

TEST_P(HostEntryCloseTest, ClosedBoxIsGoneAndReopensEmptyAtItsStartPlace) {
  RECT start = windowRect(dialog);
  SetWindowPos(dialog, nullptr, 100, 120, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  type("old.example");

  SendMessageA(dialog, GetParam().message, GetParam().wParam, 0);

  EXPECT_EQ(hostEntryDialog, nullptr);
  EXPECT_FALSE(IsWindow(dialog));
  showHostEntryDialog();
  RECT rect = windowRect(hostEntryDialog);
  EXPECT_EQ(rect.left, start.left);
  EXPECT_EQ(rect.top, start.top);
  EXPECT_EQ(windowText(GetDlgItem(hostEntryDialog, IDC_HOST)), "");
}

INSTANTIATE_TEST_SUITE_P(Requests, HostEntryCloseTest,
                         testing::Values(CloseCase{WM_COMMAND, IDCANCEL}, CloseCase{WM_SYSCOMMAND, SC_CLOSE}));

TEST_F(HostEntryTest, EnterInTheHostEditIsOk) {
  type("enter.example");
  MSG enter = {GetDlgItem(dialog, IDC_HOST), WM_KEYDOWN, VK_RETURN, 0, 0, {}};
  forwardEnterKey(enter);
  pumpMessages();
  ASSERT_NE(fakeWorkers.lastSlot, nullptr);
  EXPECT_STREQ(fakeWorkers.lastSlot->hostName, "enter.example");
}

struct EnterCase {
  int control;  // where the key went down
  UINT message;
};

class EnterElsewhereTest : public HostEntryTest, public testing::WithParamInterface<EnterCase> {};

TEST_P(EnterElsewhereTest, MeansNothingSpecial) {
  type("enter.example");
  MSG key = {GetDlgItem(dialog, GetParam().control), GetParam().message, VK_RETURN, 0, 0, {}};
  forwardEnterKey(key);
  pumpMessages();
  EXPECT_EQ(fakeWorkers.starts, 0);
}

INSTANTIATE_TEST_SUITE_P(Keys, EnterElsewhereTest,
                         testing::Values(EnterCase{IDOK, WM_KEYDOWN}, EnterCase{IDCANCEL, WM_KEYDOWN},
                                         EnterCase{IDC_HOST, WM_KEYUP}, EnterCase{IDC_HOST, WM_CHAR}));

TEST_F(HostEntryTest, EnterMeansNothingOnceTheBoxIsClosed) {
  HWND edit = GetDlgItem(dialog, IDC_HOST);
  SendMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
  MSG enter = {edit, WM_KEYDOWN, VK_RETURN, 0, 0, {}};
  forwardEnterKey(enter);
  pumpMessages();
  EXPECT_EQ(fakeWorkers.starts, 0);
}

class AboutTest : public testing::Test {
 protected:
  void SetUp() override { resetGui(); }
  void TearDown() override { resetGui(); }

  static BOOL CALLBACK collect(HWND window, LPARAM found) {
    if (windowText(window) == "About zarta") reinterpret_cast<std::vector<HWND>*>(found)->push_back(window);
    return TRUE;
  }
  std::vector<HWND> aboutBoxes() {
    std::vector<HWND> found;
    EnumThreadWindows(GetCurrentThreadId(), collect, reinterpret_cast<LPARAM>(&found));
    return found;
  }
};

TEST_F(AboutTest, EachAboutOpensAnotherBoxAtTheSamePlace) {
  SendMessageA(mainWindow, WM_COMMAND, ID_ABOUT, 0);
  SendMessageA(mainWindow, WM_COMMAND, ID_ABOUT, 0);
  std::vector<HWND> boxes = aboutBoxes();
  ASSERT_EQ(boxes.size(), 2u);
  RECT desktop = desktopRect();
  for (HWND box : boxes) {
    RECT rect = windowRect(box);
    EXPECT_EQ(rect.left, desktop.right - 500);
    EXPECT_EQ(rect.top, desktop.bottom - 250);
    EXPECT_TRUE(IsWindowVisible(box));
    EXPECT_EQ(GetWindow(box, GW_OWNER), mainWindow);
  }
}

class AboutCloseTest : public AboutTest, public testing::WithParamInterface<CloseCase> {};

TEST_P(AboutCloseTest, ClosesOnlyThatBox) {
  SendMessageA(mainWindow, WM_COMMAND, ID_ABOUT, 0);
  SendMessageA(mainWindow, WM_COMMAND, ID_ABOUT, 0);
  std::vector<HWND> boxes = aboutBoxes();
  ASSERT_EQ(boxes.size(), 2u);
  SendMessageA(boxes[0], GetParam().message, GetParam().wParam, 0);
  EXPECT_FALSE(IsWindow(boxes[0]));
  EXPECT_TRUE(IsWindowVisible(boxes[1]));
}

INSTANTIATE_TEST_SUITE_P(Requests, AboutCloseTest,
                         testing::Values(CloseCase{WM_COMMAND, IDOK}, CloseCase{WM_SYSCOMMAND, SC_CLOSE}));

}  // namespace
