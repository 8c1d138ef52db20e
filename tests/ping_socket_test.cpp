// The ping and raw sockets against the kernel, on lib.sh's path, where tests/integration/console.sh runs these, the
// ping socket's as a user that ping_group_range admits: what each hands over of the answers, and the waits they end.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <future>
#include <thread>

#include "platform/platform.h"
#include "platform/posix.h"
#include "sim/sim.h"

namespace {

// In order on one socket, each probe sent before the answer to the one before is read: each answer ends a wait of a
// minute (not the stop 2 s later), makes the socket readable, and is handed over as a raw socket gives it, or not;
// with nothing more to come, the stop ends it.
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
      {"nothing more: the stop alone ends the wait", nullptr, 0, 0},
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
    uint32_t start = system.nowMilliseconds();
    system.waitForNextPass(traceTable[0], true, start + 60000);
    woken.set_value(), stopper.join();
    EXPECT_LT(system.nowMilliseconds() - start, 30000u) << cases[i].what << ": not ended by the stop";
    EXPECT_EQ(std::exchange(traceTable[0].stopRequested, 0u), cases[i].to == nullptr) << cases[i].what << ": the stop";
    EXPECT_EQ(socket.datagramWaiting(), cases[i].to != nullptr) << cases[i].what;
    if (i + 1 < std::size(cases) && cases[i + 1].to) send(cases[i + 1]);  // before this answer is read, as a pass may
    uint8_t datagram[RECEIVE_BUFFER_LENGTH];
    SocketAddress sender;
    uint32_t arrivedAt;
    int length = socket.receive(datagram, sizeof datagram, sender, arrivedAt);
    ProbeEcho echo;
    EXPECT_EQ(length > 0 && readProbeEcho(datagram, length, echo) ? datagram[20] : 0, cases[i].type) << cases[i].what;
  }
}

// The raw socket's filter, in either family: of three probes, one that r1 answers with a time-exceeded, one the target
// echoes, and one the target echoes as another trace's (another tag), the answers to the first two alone come through.
TEST(Kernel, RawSocketTakesOnlyItsOwnTracesAnswers) {
  if (getenv("ZT_KERNEL_PATH") == nullptr || geteuid() != 0) GTEST_SKIP() << "only as root on the kernel path";
  for (const char* target : {"203.0.113.9", "2001:db8:4::9"}) {
    RawIcmpSocket socket;
    SocketAddress to = {};
    to.family = strchr(target, ':') ? INET6_FAMILY : INET_FAMILY;
    ASSERT_EQ(socket.open(to.family), 0);
    socket.acceptOnly(0x1234, 7);
    inet_pton(to.family, target, to.family == INET_FAMILY ? static_cast<void*>(&to.address) : to.address6);
    uint8_t datagram[RECEIVE_BUFFER_LENGTH];
    for (auto [timeToLive, tag] : {std::pair{1, 7}, {64, 7}, {64, 8}}) {
      buildProbe(datagram, 0x1234, 0, static_cast<uint8_t>(tag), 0, to.family == INET6_FAMILY);
      socket.setTimeToLive(timeToLive), socket.send(datagram, PROBE_LENGTH, to);
    }
    std::string taken;  // expired or echoed, and the tag, of each answer handed over within a second
    for (uint32_t start = monotonicMilliseconds(), at; monotonicMilliseconds() - start < 1000;) {
      SocketAddress sender;
      ProbeEcho echo;
      for (int length; socket.wait(-1, 100000000) && socket.datagramWaiting() &&
                       (length = socket.receive(datagram, sizeof datagram, sender, at)) > 0;)
        if (to.family == INET_FAMILY ? readProbeEcho(datagram, length, echo) : readProbeEcho6(datagram, length, echo))
          taken += (echo.expired ? "expired " : "echoed ") + std::to_string(echo.traceTag) + "; ";
    }
    EXPECT_EQ(taken, "expired 7; echoed 7; ") << target;
  }
}

}  // namespace
