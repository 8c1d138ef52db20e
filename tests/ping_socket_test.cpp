// The ping socket against the kernel, on lib.sh's path, where tests/integration/console.sh runs this as a user that
// ping_group_range admits: what it hands over of the routers' answers, and the quiet wait they end.
#include <gtest/gtest.h>

#include <cstdlib>
#include <future>
#include <thread>

#include "platform/platform.h"
#include "platform/posix.h"
#include "sim/sim.h"

namespace {

// In order on one socket, each probe sent before the answer to the one before is read: each answer ends a quiet
// wait (not the stop 2 s later), makes the socket readable, and is handed over as a raw socket gives it, or not.
TEST(Kernel, PingSocketHandsOverTheRoutersAnswersAndEndsAQuietWait) {
  if (getenv("ZT_KERNEL_PATH") == nullptr) GTEST_SKIP() << "only on the kernel path of tests/integration";
  const struct Case {
    const char *what, *to;
    int timeToLive;
    uint8_t type;  // of the datagram handed over; 0 for none
  } cases[] = {
      // The unreachable first: r1 sends it only while its time-exceeded has not used up the rate they share.
      {"r1's unreachable, no time-exceeded", "192.0.2.99", 64, 0},
      {"r1's time-exceeded, alone on the error queue", "203.0.113.9", 1, ICMP_TYPE_TIME_EXCEEDED},
      {"the echo reply to the probe sent right after it", "198.51.100.1", 64, ICMP_TYPE_ECHO_REPLY},
  };
  PingSocket socket;
  ASSERT_EQ(socket.open(INET_FAMILY), 0);
  NativeTraceSystem system(socket, socket);
  auto send = [&](const Case& c) {
    uint8_t probe[PROBE_LENGTH];
    buildProbe(probe, system.processId(), 3, 7, system.nowMilliseconds());
    socket.setTimeToLive(c.timeToLive);
    socket.send(probe, PROBE_LENGTH, ipv4Address(parseAddress(c.to)));
  };
  send(cases[0]);
  for (size_t i = 0; i < std::size(cases); ++i) {
    std::promise<void> woken;
    std::thread stopper([&, ended = woken.get_future()] {
      if (ended.wait_for(std::chrono::seconds(2)) == std::future_status::timeout) requestStop(traceTable[0]);
    });
    system.waitForNextPass(traceTable[0], true);
    woken.set_value(), stopper.join();
    EXPECT_EQ(std::exchange(traceTable[0].stopRequested, 0u), 0u) << cases[i].what << ": woken only by the stop";
    EXPECT_TRUE(socket.datagramWaiting()) << cases[i].what;
    if (i + 1 < std::size(cases)) send(cases[i + 1]);  // before this answer is read, as a pass's discovery step may
    uint8_t datagram[RECEIVE_BUFFER_LENGTH];
    SocketAddress sender;
    uint32_t arrivedAt;
    int length = socket.receive(datagram, sizeof datagram, sender, arrivedAt);
    ProbeEcho echo;
    EXPECT_EQ(length > 0 && readProbeEcho(datagram, length, echo) ? datagram[20] : 0, cases[i].type) << cases[i].what;
  }
}

}  // namespace
