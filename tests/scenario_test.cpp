// Every scenario with an expected report gives exactly that report on the simulated network,
// whatever the clock reads when the trace starts and whichever transport hands the answers over.
#include <gtest/gtest.h>

#include "sim/scenarios.h"
#include "sim/sim_system.h"

namespace {

TEST(Scenarios, FinalReportIsExactlyAsExpected) {
  const uint32_t clockStarts[] = {0, 5, 0x7FFFFF00u, 0x80000000u, 0xFFFFF800u, 0xFFFFFFFFu};
  const SimTransport::Answers transports[] = {SimTransport::Answers::raw, SimTransport::Answers::ping,
                                              SimTransport::Answers::helper};
  int checked = 0;
  for (int i = 0; i < SCENARIO_COUNT; ++i) {
    SCOPED_TRACE(SCENARIOS[i].name);
    for (SimTransport::Answers answers : transports)
      for (uint32_t start : clockStarts) {
        SCOPED_TRACE(testing::Message() << "transport " << int(answers) << ", clock starts at " << start);
        SimTrace trace(SCENARIOS[i].text, start, 0, 0x1234, answers);
        if (trace.path.expected.empty()) break;
        trace.runUntilQuiet();
        ASSERT_TRUE(trace.slot.quiet) << "never went quiet";
        trace.finishLookups();
        EXPECT_EQ(trace.report(), trace.path.expected);
        ++checked;
      }
  }
  EXPECT_GE(checked, 6 * 6 * 3);
}

}  // namespace
