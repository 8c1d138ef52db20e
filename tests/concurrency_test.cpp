// A worker and the user-interface thread sharing one slot without a lock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "display/trace_report.h"
#include "sim/sim_system.h"

namespace {

class SteppedSystem : public SimSystem {
 public:
  // A real pause now and then, so that the other thread gets to run in between.
  void waitForNextPass(const TraceSlot& slot, bool quiet) override {
    SimSystem::waitForNextPass(slot, quiet);
    if (now % 64 == 0) std::this_thread::yield();
  }
};

TEST(SharedSlot, ReportsNeverShowATornNameAndStopIsSeenWithinAPass) {
  PathModel path;
  ASSERT_EQ(parsePathModel("client 192.0.2.2\ntarget 203.0.113.9\nrouters 12 198.51.100.1 delay 3\nhop target\n", path),
            "");
  SteppedSystem system;
  system.usePath(path);
  static TraceSlot slot;
  slot = {};
  slot.inUse = 1;
  strcpy(slot.hostName, "203.0.113.9");
  std::thread worker([&] { runTrace(slot, system); });

  const std::string shortName = "a.example";
  const std::string longName = std::string(200, 'b') + ".example";
  char text[REPORT_LENGTH];
  for (int round = 0; round < 3000; ++round) {
    for (int k = 0; k < 13; ++k) storeHopName(slot, k, (round + k) % 2 ? shortName.c_str() : longName.c_str());
    buildTraceReport(slot, nullptr, text);
    std::string report = text;
    for (size_t at = report.find('\t'); at != std::string::npos; at = report.find('\t', at + 1)) {
      size_t end = report.find("\r\n", at);
      std::string field = report.substr(at + 1, end - at - 1);
      if (field.find('\t') != std::string::npos || field.size() < 20) continue;  // not the last column
      ASSERT_TRUE(field == longName || field == shortName) << field;
    }
  }
  storeShared(slot.stopRequested, 1u);
  auto stopAsked = std::chrono::steady_clock::now();
  worker.join();
  EXPECT_LT(std::chrono::steady_clock::now() - stopAsked, std::chrono::seconds(5));
  EXPECT_EQ(loadShared(slot.inUse), 0u);
}

}  // namespace
