// Every scenario with an expected report gives exactly that report on the simulated network:
// whatever the clock reads when the trace starts, whichever transport hands the answers over,
// and however coarse the system timer, whose tick ends every pass on Windows without a fine one.
#include <gtest/gtest.h>

#include "sim/scenarios.h"
#include "sim/sim_system.h"

namespace {

TEST(Scenarios, FinalReportIsExactlyAsExpected) {
  using Answers = SimTransport::Answers;
  const struct Run {
    Answers answers;
    uint32_t clockStart;
    uint32_t tickMicroseconds;
    bool fineTimer;
  } runs[] = {
      {Answers::raw, 0, 1000, true},           {Answers::raw, 5, 1000, true},
      {Answers::raw, 0x7FFFFF00u, 1000, true}, {Answers::raw, 0x80000000u, 1000, true},
      {Answers::raw, 0xFFFFF800u, 1000, true}, {Answers::raw, 0xFFFFFFFFu, 1000, true},
      {Answers::ping, 0, 1000, true},          {Answers::ping, 0xFFFFF800u, 1000, true},
      {Answers::helper, 0, 1000, true},        {Answers::helper, 0xFFFFF800u, 1000, true},
      {Answers::raw, 0, 15625, false},         {Answers::helper, 0, 15625, true},
  };
  int checked = 0;
  for (int i = 0; i < SCENARIO_COUNT; ++i) {
    SCOPED_TRACE(SCENARIOS[i].name);
    uint32_t fineTook = 0;
    for (const Run& run : runs) {
      SCOPED_TRACE(testing::Message() << "transport " << int(run.answers) << ", clock from " << run.clockStart
                                      << ", tick " << run.tickMicroseconds << " us, fine timer " << run.fineTimer);
      SimTrace trace(SCENARIOS[i].text, run.clockStart, 0, 0x1234, run.answers);
      if (trace.path.expected.empty()) break;
      trace.system.tickMicroseconds = run.tickMicroseconds;
      trace.system.fineTimer = run.fineTimer;
      trace.runUntilQuiet();
      ASSERT_TRUE(trace.slot.quiet) << "never went quiet";
      trace.finishLookups();
      EXPECT_EQ(trace.report(), trace.path.expected);
      uint32_t took = trace.system.now - run.clockStart;
      // A coarse tick must not stretch the rounds where a fine timer is at hand.
      if (run.clockStart == 0 && run.tickMicroseconds == 1000) fineTook = took;
      if (run.fineTimer && run.tickMicroseconds != 1000) {
        EXPECT_LE(took, fineTook * 3 / 2);
      }
      ++checked;
    }
  }
  EXPECT_GE(checked, 6 * 12);
}

}  // namespace
