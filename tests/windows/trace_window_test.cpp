// The trace window procedure against the real IDD_TRACE template.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/trace_engine.h"
#include "display/trace_report.h"
#include "display/trace_start.h"
#include "display/trace_window_win32.h"
#include "gui_test_support.h"
#include "resources/resource.h"

namespace {

class TraceWindowTest : public testing::Test {
 protected:
  void SetUp() override {
    resetGui();
    startTrace("target.example", 10, 10);
    slot = fakeWorkers.lastSlot;
    ASSERT_NE(slot, nullptr);
    window = static_cast<HWND>(slot->window);
    slot->targetAddress = inet_addr("198.51.100.2");
  }
  void TearDown() override { resetGui(); }

  // What WSAAsyncGetHostByAddr leaves behind: a hostent whose name lies in the same buffer.
  void fillLookupResult(int hop, const char* name) {
    unsigned char* buffer = slot->hops[hop].lookupBuffer;
    hostent* entry = reinterpret_cast<hostent*>(buffer);
    char* text = reinterpret_cast<char*>(buffer + sizeof(hostent));
    strcpy(text, name);
    entry->h_name = text;
  }

  std::vector<std::string> reportLines() {
    std::vector<std::string> lines;
    std::string text = reportText(*slot);
    for (size_t start = 0, end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
      lines.push_back(text.substr(start, end - start));
    return lines;
  }

  TraceSlot* slot = nullptr;
  HWND window = nullptr;
};

struct CompletionCase {
  UINT message;
  int namedHop;  // -1: not a completion
};

class CompletionMessageTest : public TraceWindowTest, public testing::WithParamInterface<CompletionCase> {};

TEST_P(CompletionMessageTest, NamesExactlyTheHopItsNumberGives) {
  for (int k = 0; k < MAX_HOPS; ++k) {
    slot->hops[k].state = HOP_ROUTER;
    slot->hops[k].address = inet_addr("192.0.2.1") + static_cast<uint32_t>(k << 24);
    fillLookupResult(k, "router.example");
  }
  renderTraceReport(*slot, nullptr);
  std::string before = reportText(*slot);

  INT_PTR result = traceWindowProc(window, GetParam().message, 0, 0);

  for (int k = 0; k < MAX_HOPS; ++k)
    EXPECT_STREQ(slot->hops[k].name, k == GetParam().namedHop ? "router.example" : "") << "hop " << k;
  if (GetParam().namedHop < 0) {
    EXPECT_EQ(result, 0);
    EXPECT_EQ(reportText(*slot), before);
  } else {
    EXPECT_EQ(result, 1);
    std::vector<std::string> lines = reportLines();
    ASSERT_GT(lines.size(), static_cast<size_t>(GetParam().namedHop + 2));
    const std::string& line = lines[static_cast<size_t>(GetParam().namedHop + 2)];
    EXPECT_EQ(line.substr(0, line.find('\t')), std::to_string(GetParam().namedHop + 1));
    EXPECT_EQ(line.substr(line.rfind('\t') + 1), "router.example");
  }
}

INSTANTIATE_TEST_SUITE_P(Messages, CompletionMessageTest,
                         testing::Values(CompletionCase{10009, -1}, CompletionCase{10010, 0}, CompletionCase{10040, 30},
                                         CompletionCase{10069, 59}, CompletionCase{10070, -1}));

TEST_F(TraceWindowTest, FailedLookupReadsNoName) {
  slot->hops[0].state = HOP_ROUTER;
  slot->hops[0].address = inet_addr("192.0.2.1");
  EXPECT_EQ(traceWindowProc(window, MSG_HOP_NAME_BASE, 0, WSAHOST_NOT_FOUND << 16), 1);
  EXPECT_STREQ(slot->hops[0].name, "(no name)");
  EXPECT_EQ(reportLines().at(2), "1\t?\t0%\t0\t192.0.2.1\t(no name)");
}

TEST_F(TraceWindowTest, CompletionForAWindowNoSlotHoldsChangesNothing) {
  slot->window = nullptr;
  fillLookupResult(0, "router.example");
  EXPECT_EQ(traceWindowProc(window, MSG_HOP_NAME_BASE, 0, 0), 0);
  EXPECT_STREQ(slot->hops[0].name, "");
}

TEST_F(TraceWindowTest, MissingRawSocketIsNamedInTheWindowWithItsFix) {
  slot->socketError = WSAEACCES;
  renderTraceReport(*slot, nullptr);
  EXPECT_EQ(reportLines().at(1), "No raw ICMP socket (error 10013): run Zarta as administrator");
}

struct SizeCase {
  int clientWidth, clientHeight;
  int editWidth, editHeight;
};

class TraceWindowSizeTest : public TraceWindowTest, public testing::WithParamInterface<SizeCase> {};

TEST_P(TraceWindowSizeTest, EditKeepsItsCornerAndTwentyPixelsLessThanTheClientArea) {
  HWND edit = GetDlgItem(window, IDC_TRACE_TEXT);
  RECT margin = {7, 7, 0, 0};
  MapDialogRect(window, &margin);

  EXPECT_EQ(
      traceWindowProc(window, WM_SIZE, SIZE_RESTORED, MAKELPARAM(GetParam().clientWidth, GetParam().clientHeight)), 1);

  RECT rect = windowRect(edit);
  MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&rect), 2);
  EXPECT_EQ(rect.right - rect.left, GetParam().editWidth);
  EXPECT_EQ(rect.bottom - rect.top, GetParam().editHeight);
  EXPECT_EQ(rect.left, margin.left);
  EXPECT_EQ(rect.top, margin.top);
}

INSTANTIATE_TEST_SUITE_P(ClientSizes, TraceWindowSizeTest,
                         testing::Values(SizeCase{300, 200, 280, 180}, SizeCase{20, 21, 0, 1},
                                         SizeCase{15, 300, 0, 280}, SizeCase{640, 10, 620, 0}));

struct CloseCase {
  UINT message;
  WPARAM wParam;
  bool closes;
};

class TraceWindowCloseTest : public TraceWindowTest, public testing::WithParamInterface<CloseCase> {};

TEST_P(TraceWindowCloseTest, OnlyAnExactCloseEndsTheWindowAndStopsTheWorker) {
  EXPECT_EQ(traceWindowProc(window, GetParam().message, GetParam().wParam, 0), 0);
  EXPECT_EQ(IsWindowVisible(window) == FALSE, GetParam().closes);
  EXPECT_EQ(slot->stopRequested, GetParam().closes ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Requests, TraceWindowCloseTest,
                         testing::Values(CloseCase{WM_SYSCOMMAND, SC_CLOSE, true}, CloseCase{MSG_CLOSE_TRACE, 0, true},
                                         CloseCase{MSG_CLOSE_TRACE, 77, true},
                                         CloseCase{WM_SYSCOMMAND, SC_CLOSE + 1, false},
                                         CloseCase{WM_SYSCOMMAND, SC_KEYMENU, false}));

TEST_F(TraceWindowTest, WindowNoSlotHoldsStillClosesAndStopsNoTrace) {
  HWND orphan = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_TRACE), nullptr, traceWindowProc, 0);
  ShowWindow(orphan, SW_SHOW);
  EXPECT_EQ(traceWindowProc(orphan, WM_SYSCOMMAND, SC_CLOSE, 0), 0);
  EXPECT_FALSE(IsWindowVisible(orphan));
  for (const TraceSlot& any : traceTable) EXPECT_EQ(any.stopRequested, 0u);
  DestroyWindow(orphan);
}

TEST_F(TraceWindowTest, ClosedWindowStillTakesLateNamesWhileItsSlotHoldsIt) {
  SendMessageA(window, MSG_CLOSE_TRACE, 0, 0);
  endWorker(*slot);
  fillLookupResult(3, "late.example");
  EXPECT_EQ(traceWindowProc(window, MSG_HOP_NAME_BASE + 3, 0, 0), 1);
  EXPECT_STREQ(slot->hops[3].name, "late.example");
}

}  // namespace
