// The ping and raw sockets against the kernel on lib.sh's path, as tests/integration/console.sh runs them as root.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <future>
#include <thread>

#include "core/trace_engine.h"
#include "platform/platform.h"
#include "platform/posix.h"

namespace {

// A probe of trace tag 7 (or `tag`) to the address `target` of either family.
void sendProbe(IcmpTransport& socket, const char* target, int timeToLive, int tag = 7) {
  SocketAddress to = {};
  to.family = strchr(target, ':') ? INET6_FAMILY : INET_FAMILY;
  inet_pton(to.family, target, to.family == INET_FAMILY ? static_cast<void*>(&to.address) : to.address6);
  uint8_t probe[PROBE_LENGTH];
  buildProbe(probe, 0x1234, 0, static_cast<uint8_t>(tag), 0, to.family == INET6_FAMILY);
  socket.setTimeToLive(timeToLive), socket.send(probe, PROBE_LENGTH, to);
}

// The next datagram as "expired TAG; " or "echoed TAG; ", or "" when there is none or it is no answer to a probe.
std::string takeAnswer(IcmpTransport& socket, uint16_t family) {
  uint8_t datagram[RECEIVE_BUFFER_LENGTH];
  SocketAddress sender;
  uint32_t arrivedAt;
  ProbeEcho echo;
  int length = socket.receive(datagram, sizeof datagram, sender, arrivedAt);
  if (length <= 0 || !(family == INET_FAMILY ? readProbeEcho : readProbeEcho6)(datagram, length, echo)) return "";
  return (echo.expired ? "expired " : "echoed ") + std::to_string(echo.traceTag) + "; ";
}

// In order on one socket, each probe sent before the answer to the one before is read: each answer ends a wait of a
// minute (not the stop 2 s later), makes the socket readable, and is handed over as a raw socket gives it, or not.
TEST(Kernel, PingSocketHandsOverTheRoutersAnswersAndEndsAQuietWait) {
  if (getenv("ZT_KERNEL_PATH") == nullptr) GTEST_SKIP() << "only on the kernel path of tests/integration";
  const struct Case {
    const char *what, *to, *answer;  // the answer as takeAnswer gives it
    int timeToLive;
  } cases[] = {
      // The unreachable first: r1 sends it only while its time-exceeded has not used up the rate they share.
      {"r1's unreachable, no time-exceeded", "192.0.2.99", "", 64},
      {"r1's time-exceeded, alone on the error queue", "203.0.113.9", "expired 7; ", 1},
      {"the echo reply to the probe sent right after it", "198.51.100.1", "echoed 7; ", 64},
      {"nothing more: the stop alone ends the wait", nullptr, "", 0},
  };
  PingSocket socket;
  ASSERT_EQ(socket.open(INET_FAMILY), 0);
  NativeTraceSystem system(socket, socket);
  sendProbe(socket, cases[0].to, cases[0].timeToLive);
  for (const Case* c = cases; c < std::end(cases); ++c) {
    std::promise<void> woken;
    std::thread stopper([&, ended = woken.get_future()] {
      if (ended.wait_for(std::chrono::seconds(2)) == std::future_status::timeout) requestStop(traceTable[0]);
    });
    uint32_t start = system.nowMilliseconds();
    system.waitForNextPass(traceTable[0], true, start + 60000);
    woken.set_value(), stopper.join();
    EXPECT_LT(system.nowMilliseconds() - start, 30000u) << c->what << ": not ended by the stop";
    EXPECT_EQ(std::exchange(traceTable[0].stopRequested, 0u), c->to == nullptr) << c->what << ": the stop";
    EXPECT_EQ(socket.datagramWaiting(), c->to != nullptr) << c->what;
    if (c + 1 < std::end(cases) && c[1].to) sendProbe(socket, c[1].to, c[1].timeToLive);  // as a pass may
    EXPECT_EQ(takeAnswer(socket, INET_FAMILY), c->answer) << c->what;
  }
}

// The raw socket's filter, in either family: of three probes, one that r1 answers with a time-exceeded, one the target
// echoes, and one the target echoes as another trace's (another tag), the answers to the first two alone come through.
TEST(Kernel, RawSocketTakesOnlyItsOwnTracesAnswers) {
  if (getenv("ZT_KERNEL_PATH") == nullptr) GTEST_SKIP() << "only on the kernel path of tests/integration";
  for (auto [family, target] : {std::pair{INET_FAMILY, "203.0.113.9"}, {INET6_FAMILY, "2001:db8:4::9"}}) {
    RawIcmpSocket socket;
    ASSERT_EQ(socket.open(family), 0);
    socket.acceptOnly(0x1234, 7);
    for (auto [timeToLive, tag] : {std::pair{1, 7}, {64, 7}, {64, 8}}) sendProbe(socket, target, timeToLive, tag);
    std::string taken;  // within a second
    for (uint32_t start = monotonicMilliseconds(); monotonicMilliseconds() - start < 1000;)
      if (socket.wait(-1, 100000000) && socket.datagramWaiting()) taken += takeAnswer(socket, family);
    EXPECT_EQ(taken, "expired 7; echoed 7; ") << target;
  }
}

}  // namespace
