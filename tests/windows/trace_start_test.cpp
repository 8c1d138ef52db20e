// Starting traces: slots, tags, the window's caption and place, and what happens when a
// window or a thread cannot be had.
#include "display/trace_start.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "gui_test_support.h"
#include "resources/resource.h"
#include "shell/shell_win32.h"

namespace {

class TraceStartTest : public testing::Test {
 public:
  void SetUp() override { resetGui(); }
  void TearDown() override {
    appInstance = GetModuleHandleA(nullptr);
    resetGui();
  }

  TraceSlot* start(const char* host, int x = 100, int y = 100) {
    fakeWorkers.lastSlot = nullptr;
    startTrace(host, x, y);
    return fakeWorkers.lastSlot;
  }

  // A trace started, closed by its user, and its worker ended.
  void startAndFinish(const char* host) {
    TraceSlot* slot = start(host);
    ASSERT_NE(slot, nullptr);
    SendMessageA(static_cast<HWND>(slot->window), WM_SYSCOMMAND, SC_CLOSE, 0);
    endWorker(*slot);
  }
};

TEST_F(TraceStartTest, TakesTheLowestFreeSlot) {
  for (int i = 0; i < 4; ++i) start("a.example");
  endWorker(traceTable[2]);
  endWorker(traceTable[3]);
  EXPECT_EQ(slotIndex(start("b.example")), 2);
  EXPECT_EQ(slotIndex(start("c.example")), 3);
  EXPECT_EQ(slotIndex(start("d.example")), 4);
}

TEST_F(TraceStartTest, DoesNothingWhenAllSlotsAreInUse) {
  for (int i = 0; i < MAX_TRACES; ++i) ASSERT_EQ(slotIndex(start("a.example")), i);
  int windows = threadWindowCount();
  uint8_t tag = nextTraceTag;
  int starts = fakeWorkers.starts;

  EXPECT_EQ(start("b.example"), nullptr);

  EXPECT_EQ(threadWindowCount(), windows);
  EXPECT_EQ(nextTraceTag, tag);
  EXPECT_EQ(fakeWorkers.starts, starts);
  endWorker(traceTable[17]);
  EXPECT_EQ(slotIndex(start("c.example")), 17);
}

TEST_F(TraceStartTest, ReusedSlotStartsFromNothing) {
  TraceSlot* slot = start("old.example");
  slot->targetAddress = 1;
  slot->stopRequested = 1;
  slot->socketError = 5;
  slot->quiet = 1;
  for (HopRecord& hop : slot->hops) {
    hop.state = HOP_ROUTER;
    hop.probeCount = hop.replyCount = hop.rttTotal = 7;
    hop.address = 9;
    strcpy(hop.name, "old name");
    memset(hop.lookupBuffer, 0xAB, sizeof hop.lookupBuffer);
  }
  endWorker(*slot);

  ASSERT_EQ(start("new.example"), slot);

  EXPECT_EQ(slot->inUse, 1u);
  EXPECT_STREQ(slot->hostName, "new.example");
  EXPECT_EQ(slot->targetAddress, 0u);
  EXPECT_EQ(slot->stopRequested, 0u);
  EXPECT_EQ(slot->socketError, 0);
  EXPECT_EQ(slot->quiet, 0u);
  for (const HopRecord& hop : slot->hops) {
    EXPECT_EQ(hop.state, HOP_SILENT);
    EXPECT_EQ(hop.probeCount + hop.replyCount + hop.rttTotal + hop.address, 0u);
    EXPECT_STREQ(hop.name, "");
    const unsigned char zero[LOOKUP_BUFFER_LENGTH] = {};
    EXPECT_EQ(memcmp(hop.lookupBuffer, zero, sizeof zero), 0);
  }
}

TEST_F(TraceStartTest, TagCountsFromZeroAndWrapsAfter256Traces) {
  for (int i = 0; i < 257; ++i) {
    TraceSlot* slot = start("a.example");
    ASSERT_NE(slot, nullptr);
    ASSERT_EQ(slot->traceTag, static_cast<uint8_t>(i % 256)) << "trace " << i + 1;
    endWorker(*slot);
  }
}

struct PlaceCase {
  const char* hostText;
  int x, y;
  const char* caption;
};

class TraceStartPlaceTest : public TraceStartTest, public testing::WithParamInterface<PlaceCase> {};

TEST_P(TraceStartPlaceTest, WindowShowsCaptionedAtItsPlaceInFront) {
  HWND sample = CreateDialogParamA(appInstance, MAKEINTRESOURCEA(IDD_TRACE), nullptr, nullptr, 0);
  RECT templateRect = windowRect(sample);
  DestroyWindow(sample);

  TraceSlot* slot = start(GetParam().hostText, GetParam().x, GetParam().y);

  ASSERT_NE(slot, nullptr);
  HWND window = static_cast<HWND>(slot->window);
  RECT rect = windowRect(window);
  EXPECT_EQ(rect.left, GetParam().x);
  EXPECT_EQ(rect.top, GetParam().y);
  EXPECT_EQ(rect.right - rect.left, templateRect.right - templateRect.left);
  EXPECT_EQ(rect.bottom - rect.top, templateRect.bottom - templateRect.top);
  EXPECT_EQ(windowText(window), GetParam().caption);
  EXPECT_TRUE(IsWindowVisible(window));
  EXPECT_EQ(GetForegroundWindow(), window);
  // The worker's first act is to draw into the window: it must already be up.
  EXPECT_TRUE(fakeWorkers.windowVisibleAtStart);
  EXPECT_EQ(fakeWorkers.captionAtStart, GetParam().caption);
}

const std::string LONG_HOST(300, 'h');
const std::string CUT_CAPTION = "Tracing route to " + std::string(255, 'h');

INSTANTIATE_TEST_SUITE_P(
    Hosts, TraceStartPlaceTest,
    testing::Values(PlaceCase{"http://target.example/index.html", 123, 45, "Tracing route to target.example"},
                    PlaceCase{"", 0, 0, "Tracing route to "}, PlaceCase{"  ", -30, 400, "Tracing route to "},
                    PlaceCase{LONG_HOST.c_str(), 200, 10, CUT_CAPTION.c_str()}));

TEST_F(TraceStartTest, SlotIsGivenBackWhenNoThreadCanBeStarted) {
  fakeWorkers.refuse = true;
  TraceSlot* slot = start("a.example");
  ASSERT_NE(slot, nullptr);
  EXPECT_EQ(slot->inUse, 0u);
  EXPECT_EQ(slot->window, nullptr);
  fakeWorkers.refuse = false;
  EXPECT_EQ(start("b.example"), slot);
}

TEST_F(TraceStartTest, SlotIsGivenBackWhenNoWindowCanBeMade) {
  int windows = threadWindowCount();
  appInstance = GetModuleHandleA("kernel32.dll");  // holds no trace window template
  EXPECT_EQ(start("a.example"), nullptr);
  EXPECT_EQ(traceTable[0].inUse, 0u);
  EXPECT_EQ(threadWindowCount(), windows);
}

// One round of use: a trace started and closed, an About box and the host entry box opened and closed.
void useOnce(TraceStartTest& test) {
  test.startAndFinish("a.example");
  SendMessageA(mainWindow, WM_COMMAND, ID_ABOUT, 0);
  SendMessageA(FindWindowA(nullptr, "About zarta"), WM_COMMAND, IDOK, 0);
  showHostEntryDialog();
  SendMessageA(hostEntryDialog, WM_COMMAND, IDCANCEL, 0);
}

TEST_F(TraceStartTest, WindowsDoNotPileUpOverManyTraces) {
  for (int i = 0; i < 10; ++i) useOnce(*this);
  int afterTen = threadWindowCount();
  for (int i = 10; i < 1000; ++i) useOnce(*this);
  int afterThousand = threadWindowCount();
  RecordProperty("windows_after_10", afterTen);
  RecordProperty("windows_after_1000", afterThousand);
  printf("windows of this thread after 10 traces: %d, after 1000: %d\n", afterTen, afterThousand);
  EXPECT_EQ(afterThousand, afterTen);
}

}  // namespace
