// A worker and the user-interface thread sharing one slot without a lock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "display/trace_report.h"
#include "platform/platform.h"
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

  // Names are rewritten on this thread, as the window does, while another reads them into
  // reports, as the worker's redraws do.
  const std::string shortName = "a.example";
  const std::string longName = std::string(200, 'b') + ".example";
  std::atomic<bool> writing{true};
  std::atomic<long> torn{0}, names{0};
  std::thread reader([&] {
    static char text[REPORT_LENGTH];
    while (writing) {
      buildTraceReport(slot, nullptr, text);
      for (const char* line = strstr(text, "\r\n"); line != nullptr && line[2] != '\0';
           line = strstr(line + 2, "\r\n")) {
        const char* name = line + 2;
        for (int tab = 0; tab < 5 && name != nullptr; ++tab)
          name = strchr(name, '\t') ? strchr(name, '\t') + 1 : nullptr;
        if (name == nullptr) continue;
        std::string field(name, strstr(name, "\r\n") - name);
        ++names;
        if (!field.empty() && field != "Address" && field != shortName && field != longName) ++torn;
      }
    }
  });
  for (int round = 0; round < 5000; ++round)
    for (int k = 0; k < 13; ++k) storeHopName(slot, k, (round + k) % 2 ? shortName.c_str() : longName.c_str());
  writing = false;
  reader.join();
  EXPECT_EQ(torn, 0) << "of " << names << " names read";
  requestStop(slot);
  auto stopAsked = std::chrono::steady_clock::now();
  worker.join();
  EXPECT_LT(std::chrono::steady_clock::now() - stopAsked, std::chrono::seconds(5));
  EXPECT_EQ(loadShared(slot.inUse), 0u);
}

}  // namespace
