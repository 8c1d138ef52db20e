// Trace windows against the real IDD_TRACE template: starting them, their messages, and the
// reverse-lookup relay that names their hops.
#include <cstring>

#include "core/trace_engine.h"  // MSG_HOP_NAME_BASE
#include "display/trace_report.h"
#include "display/trace_start.h"
#include "display/trace_window_win32.h"
#include "gui_test_support.h"
#include "platform/platform.h"
#include "resources/resource.h"
#include "shell/shell_win32.h"

namespace {

// What WSAAsyncGetHostByAddr leaves behind: a hostent whose name lies in the same buffer.
void fillLookupAnswer(HopRecord& hop, const char* name) {
  auto* entry = reinterpret_cast<hostent*>(hop.lookupBuffer);
  entry->h_name = reinterpret_cast<char*>(hop.lookupBuffer + sizeof(hostent));
  strcpy(entry->h_name, name);
}

std::string reportLine(const TraceSlot& slot, int line) {
  std::string text = reportText(slot);
  size_t start = 0;
  while (line-- > 0 && (start = text.find("\r\n", start)) != std::string::npos) start += 2;
  return start >= text.size() ? "" : text.substr(start, text.find("\r\n", start) - start);
}

struct Completion {
  UINT message;
  int namedHop;        // -1: not a lookup completion
  const char* answer;  // null: the lookup failed
};

class CompletionTest : public GuiCaseTest<Completion> {};

TEST_P(CompletionTest, NamesExactlyTheHopItsNumberGives) {
  TraceSlot* slot = start("target.example");
  slot->targetAddress = inet_addr("198.51.100.2");
  for (int k = 0; k < MAX_HOPS; ++k) {
    slot->hops[k].state = HOP_ROUTER;
    slot->hops[k].address = inet_addr("192.0.2.1") + static_cast<uint32_t>(k << 24);
    if (GetParam().answer != nullptr) fillLookupAnswer(slot->hops[k], GetParam().answer);
  }
  const int named = GetParam().namedHop;
  const std::string name = GetParam().answer != nullptr ? GetParam().answer : "(no name)";
  const std::string number = std::to_string(named + 1);
  EXPECT_EQ(traceWindowProc(windowOf(slot), GetParam().message, 0, 0), named >= 0 ? 1 : 0);
  for (int k = 0; k < MAX_HOPS; ++k) EXPECT_EQ(slot->hops[k].name, k == named ? name : "") << "hop " << k;
  if (named >= 0) {
    EXPECT_EQ(reportLine(*slot, named + 2), number + "\t?\t0%\t0\t192.0.2." + number + "\t" + name);
  }
}

INSTANTIATE_TEST_SUITE_P(Messages, CompletionTest,
                         testing::Values(Completion{10009, -1, "router.example"},
                                         Completion{10010, 0, "router.example"},
                                         Completion{10069, 59, "router.example"},
                                         Completion{10070, -1, "router.example"}, Completion{10010, 0, nullptr}));

struct Size {
  int clientWidth, clientHeight, editWidth, editHeight;
};

class TraceWindowSizeTest : public GuiCaseTest<Size> {};

TEST_P(TraceWindowSizeTest, EditKeepsItsCornerAndFillsTheClientAreaLessTwentyPixels) {
  HWND window = windowOf(start("a.example")), edit = GetDlgItem(window, IDC_TRACE_TEXT);
  RECT before = windowRect(edit);
  EXPECT_EQ(traceWindowProc(window, WM_SIZE, 0, MAKELPARAM(GetParam().clientWidth, GetParam().clientHeight)), 1);
  RECT after = windowRect(edit);
  EXPECT_EQ(after.left, before.left);
  EXPECT_EQ(after.top, before.top);
  EXPECT_EQ(after.right - after.left, GetParam().editWidth);
  EXPECT_EQ(after.bottom - after.top, GetParam().editHeight);
}

INSTANTIATE_TEST_SUITE_P(ClientSizes, TraceWindowSizeTest,
                         testing::Values(Size{300, 200, 280, 180}, Size{15, 300, 0, 280}));

struct Close {
  UINT message;
  WPARAM wParam;
  bool closes, orphan;  // orphan: a window no slot holds
};

class TraceWindowCloseTest : public GuiCaseTest<Close> {};

TEST_P(TraceWindowCloseTest, CloseHidesTheWindowAndStopsItsWorker) {
  TraceSlot* slot = start("a.example");
  HWND window = GetParam().orphan
                    ? CreateDialogParamA(appInstance, MAKEINTRESOURCEA(IDD_TRACE), nullptr, traceWindowProc, 0)
                    : windowOf(slot);
  ShowWindow(window, SW_SHOW);
  EXPECT_EQ(traceWindowProc(window, MSG_HOP_NAME_BASE, 0, 0), GetParam().orphan ? 0 : 1);
  EXPECT_EQ(traceWindowProc(window, GetParam().message, GetParam().wParam, 0), 0);
  EXPECT_EQ(IsWindowVisible(window) == FALSE, GetParam().closes);
  EXPECT_EQ(slot->stopRequested, GetParam().closes && !GetParam().orphan ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Requests, TraceWindowCloseTest,
                         testing::Values(Close{WM_SYSCOMMAND, SC_CLOSE, true, false},
                                         Close{MSG_CLOSE_TRACE, 0, true, false},
                                         Close{WM_SYSCOMMAND, SC_KEYMENU, false, false},
                                         Close{WM_SYSCOMMAND, SC_CLOSE, true, true}));

TEST_F(GuiTest, MissingTransportIsNamedInTheWindowWithItsFix) {
  TraceSlot* slot = start("a.example");
  slot->targetAddress = inet_addr("198.51.100.2");
  slot->socketError = WSAEACCES;
  renderTraceReport(*slot, nullptr);
  EXPECT_EQ(reportLine(*slot, 1), "No ICMP socket (error 10013): run Zarta as administrator");
}

TEST_F(GuiTest, TraceWindowIsUpCaptionedAtItsPlaceBeforeItsWorkerStarts) {
  HWND sample = CreateDialogParamA(appInstance, MAKEINTRESOURCEA(IDD_TRACE), nullptr, nullptr, 0);
  RECT size = windowRect(sample);
  DestroyWindow(sample);
  TraceSlot* slot = start("http://target.example/index.html", 123, 45);
  ASSERT_NE(slot, nullptr);
  RECT rect = windowRect(windowOf(slot));
  EXPECT_EQ(rect.left, 123);
  EXPECT_EQ(rect.top, 45);
  EXPECT_EQ(rect.right - rect.left, size.right - size.left);
  EXPECT_EQ(rect.bottom - rect.top, size.bottom - size.top);
  EXPECT_EQ(GetForegroundWindow(), windowOf(slot));
  EXPECT_TRUE(fakeWorkers.visibleAtStart);
  EXPECT_EQ(fakeWorkers.captionAtStart, "Tracing route to target.example");
}

TEST_F(GuiTest, SlotsFillLowestFirstAndAFullTableStartsNothing) {
  for (int i = 0; i < MAX_TRACES; ++i) ASSERT_EQ(start("a.example"), &traceTable[i]);
  int windows = threadWindowCount();
  EXPECT_EQ(start("b.example"), nullptr);
  EXPECT_EQ(threadWindowCount(), windows);
  EXPECT_EQ(nextTraceTag, MAX_TRACES);
  EXPECT_EQ(fakeWorkers.starts, MAX_TRACES);
  endWorker(traceTable[17]);
  endWorker(traceTable[3]);
  EXPECT_EQ(start("c.example"), &traceTable[3]);
  EXPECT_EQ(start("d.example"), &traceTable[17]);
}

TEST_F(GuiTest, ReusedSlotStartsFromNothingAndItsOldWindowGoes) {
  TraceSlot* slot = start("old.example");
  HWND old = windowOf(slot);
  memset(static_cast<void*>(slot), 0xAB, sizeof *slot);
  slot->window = old;
  slot->inUse = 0;
  ASSERT_EQ(start("new.example"), slot);
  TraceSlot expected;
  memset(static_cast<void*>(&expected), 0, sizeof expected);
  expected.inUse = 1;
  expected.window = slot->window;
  expected.traceTag = 1;
  strcpy(expected.hostName, "new.example");
  EXPECT_EQ(memcmp(slot, &expected, sizeof expected), 0);
  EXPECT_FALSE(IsWindow(old));
}

TEST_F(GuiTest, SlotIsGivenBackWhenNoThreadOrNoWindowCanBeHad) {
  int windows = threadWindowCount();
  fakeWorkers.refuse = true;
  EXPECT_EQ(start("a.example"), &traceTable[0]);
  EXPECT_EQ(traceTable[0].inUse, 0u);
  EXPECT_EQ(traceTable[0].window, nullptr);
  fakeWorkers.refuse = false;
  appInstance = GetModuleHandleA("kernel32.dll");  // holds no trace window template
  EXPECT_EQ(start("b.example"), nullptr);
  EXPECT_EQ(traceTable[0].inUse, 0u);
  EXPECT_EQ(threadWindowCount(), windows);
}

TEST_F(GuiTest, WindowsDoNotPileUpAndTagsWrapOverAThousandRounds) {
  int afterTen = 0;
  for (int i = 0; i < 1000; ++i) {
    if (i == 10) afterTen = threadWindowCount();
    TraceSlot* slot = start("a.example");
    ASSERT_NE(slot, nullptr);
    ASSERT_EQ(slot->traceTag, static_cast<uint8_t>(i)) << "trace " << i + 1;
    SendMessageA(windowOf(slot), WM_SYSCOMMAND, SC_CLOSE, 0);
    endWorker(*slot);
    SendMessageA(mainWindow, WM_COMMAND, ID_ABOUT, 0);
    // Each box closed by its button and by the system menu in turn.
    SendMessageA(FindWindowA(nullptr, "About zarta"), i % 2 ? WM_COMMAND : WM_SYSCOMMAND, i % 2 ? IDOK : SC_CLOSE, 0);
    showHostEntryDialog();
    ASSERT_TRUE(IsWindowVisible(hostEntryDialog)) << "round " << i + 1;
    SendMessageA(hostEntryDialog, i % 2 ? WM_COMMAND : WM_SYSCOMMAND, i % 2 ? IDCANCEL : SC_CLOSE, 0);
  }
  printf("windows of this thread after 10 rounds: %d, after 1000: %d\n", afterTen, threadWindowCount());
  EXPECT_EQ(threadWindowCount(), afterTen);
}

// The lookups are of 127.0.0.1, which the hosts file names.
TraceSlot* startLoopback() {
  TraceSlot* slot = start("127.0.0.1");
  if (slot == nullptr) return nullptr;
  slot->targetAddress = slot->hops[0].address = inet_addr("127.0.0.1");
  slot->hops[0].state = HOP_TARGET;
  return slot;
}

bool waitForLookup(const TraceSlot& slot) {
  for (DWORD begin = GetTickCount(); reverseLookupPending(slot, 0); Sleep(1)) {
    if (GetTickCount() - begin > 10000) return false;
    pumpMessages();
  }
  return true;
}

struct NextTraces {
  int traces;           // traces the slot holds after the one that asked first
  bool lastAsksAtOnce;  // the last asks while the first answer is still out; those between always do
};

class ReverseLookupTest : public GuiCaseTest<NextTraces> {
 protected:
  void TearDown() override {
    for (const TraceSlot& any : traceTable) waitForLookup(any);
    GuiTest::TearDown();
  }
  TraceWindowFrontEnd frontEnd;
};

TEST_P(ReverseLookupTest, LateAnswerNeverLandsInTheSlotsNextTraces) {
  TraceSlot* slot = startLoopback();
  ASSERT_NE(slot, nullptr);
  frontEnd.startReverseLookup(*slot, 0);
  for (int next = 1; next <= GetParam().traces; ++next) {
    SendMessageA(windowOf(slot), MSG_CLOSE_TRACE, 0, 0);
    endWorker(*slot);
    ASSERT_EQ(startLoopback(), slot);
    if (next < GetParam().traces || GetParam().lastAsksAtOnce) frontEnd.startReverseLookup(*slot, 0);
  }
  ASSERT_TRUE(waitForLookup(*slot));
  if (!GetParam().lastAsksAtOnce) {
    const unsigned char zero[LOOKUP_BUFFER_LENGTH] = {};
    EXPECT_EQ(memcmp(slot->hops[0].lookupBuffer, zero, sizeof zero), 0);
    EXPECT_STREQ(slot->hops[0].name, "");
    frontEnd.startReverseLookup(*slot, 0);
    ASSERT_TRUE(waitForLookup(*slot));
  }
  EXPECT_STREQ(slot->hops[0].name, "localhost");
  EXPECT_NE(reportText(*slot).find("\tlocalhost\r\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(SlotReused, ReverseLookupTest,
                         testing::Values(NextTraces{1, false}, NextTraces{1, true}, NextTraces{2, false}));

}  // namespace
