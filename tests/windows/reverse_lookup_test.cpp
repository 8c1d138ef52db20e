// Reverse lookups end in the slot only while the slot still belongs to the window that asked.
// The lookups are of 127.0.0.1, which the hosts file names.
#include <gtest/gtest.h>

#include <cstring>

#include "display/trace_start.h"
#include "gui_test_support.h"
#include "platform/platform.h"
#include "resources/resource.h"

namespace {

class ReverseLookupTest : public testing::Test {
 protected:
  void SetUp() override {
    resetGui();
    slot = startLoopbackTrace();
    ASSERT_NE(slot, nullptr);
  }
  void TearDown() override {
    pumpUntil([] { return !anyPending(); }, 10000);
    resetGui();
  }

  static TraceSlot* startLoopbackTrace() {
    startTrace("127.0.0.1", 10, 10);
    TraceSlot* started = fakeWorkers.lastSlot;
    if (started == nullptr) return nullptr;
    started->targetAddress = inet_addr("127.0.0.1");
    started->hops[0].address = inet_addr("127.0.0.1");
    started->hops[0].state = HOP_TARGET;
    return started;
  }
  static bool anyPending() {
    for (const TraceSlot& any : traceTable)
      if (reverseLookupPending(any, 0)) return true;
    return false;
  }
  bool waitForLookup() {
    return pumpUntil([this] { return !reverseLookupPending(*slot, 0); }, 10000);
  }

  TraceSlot* slot = nullptr;
  NativeTraceSystem system;
};

TEST_F(ReverseLookupTest, NameArrivesInTheSlotOfTheWindowThatAsked) {
  system.startReverseLookup(*slot, 0);
  ASSERT_TRUE(waitForLookup());
  EXPECT_STREQ(slot->hops[0].name, "localhost");
  EXPECT_NE(reportText(*slot).find("\tlocalhost\r\n"), std::string::npos);
}

TEST_F(ReverseLookupTest, LateAnswerNeverReachesTheSlotsNextTrace) {
  system.startReverseLookup(*slot, 0);
  // The trace ends and the slot is taken again before the answer is in.
  SendMessageA(static_cast<HWND>(slot->window), MSG_CLOSE_TRACE, 0, 0);
  endWorker(*slot);
  startTrace("next.example", 10, 10);
  ASSERT_EQ(fakeWorkers.lastSlot, slot);

  ASSERT_TRUE(waitForLookup());

  const unsigned char zero[LOOKUP_BUFFER_LENGTH] = {};
  EXPECT_EQ(memcmp(slot->hops[0].lookupBuffer, zero, sizeof zero), 0);
  EXPECT_STREQ(slot->hops[0].name, "");
}

TEST_F(ReverseLookupTest, NextTraceAskingWhileTheOldAnswerIsOutGetsItsOwn) {
  system.startReverseLookup(*slot, 0);
  SendMessageA(static_cast<HWND>(slot->window), MSG_CLOSE_TRACE, 0, 0);
  endWorker(*slot);
  ASSERT_EQ(startLoopbackTrace(), slot);
  system.startReverseLookup(*slot, 0);

  ASSERT_TRUE(waitForLookup());

  EXPECT_STREQ(slot->hops[0].name, "localhost");
}

}  // namespace
