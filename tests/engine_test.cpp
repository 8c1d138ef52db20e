// The engine pass by pass on a simulated network with a virtual clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "platform/platform.h"
#include "sim/sim_system.h"

namespace {

const char* const TWO_ROUTERS =
    "client 192.0.2.2\ntarget 203.0.113.9\nhop 198.51.100.1 delay 4\nhop 198.51.100.2 delay 7\nhop target delay 9\n";

// An answer as the engine reads it: IP header, then the echo header at 20 (or 48 behind type 11).
std::vector<uint8_t> answer(uint8_t type, uint8_t hop, uint8_t tag, uint32_t timestamp, uint32_t pid = 0x1234) {
  std::vector<uint8_t> bytes((type == ICMP_TIME_EXCEEDED ? 48 : 20) + PROBE_LENGTH, 0);
  buildProbe(bytes.data() + (type == ICMP_TIME_EXCEEDED ? 48 : 20), pid, hop, tag, timestamp);
  bytes[20] = type;
  return bytes;
}

std::vector<uint8_t> cut(std::vector<uint8_t> bytes, size_t length) {
  bytes.resize(length);
  return bytes;
}

// Probes of hop `hop` that went to `destination`.
std::vector<SentProbe> probesOf(const SimTrace& trace, int hop, uint32_t destination) {
  std::vector<SentProbe> out;
  for (const SentProbe& probe : trace.system.network.sent)
    if (probe.bytes[6] == hop && probe.destination.address == destination) out.push_back(probe);
  return out;
}

TEST(TraceEngine, LocalTargetIsTheOnlyHopMeasured) {
  SimTrace trace("client 192.0.2.2\ntarget 192.0.2.1\nhop target delay 2\n");
  trace.runUntilQuiet();
  EXPECT_EQ(trace.slot.hops[0].state, HOP_TARGET);
  EXPECT_EQ(trace.engine.probeWindow, 1);
  EXPECT_EQ(trace.slot.hops[0].probeCount, 10u);
  EXPECT_EQ(trace.slot.hops[0].replyCount, 10u);
  for (int k = 1; k < MAX_HOPS; ++k) EXPECT_EQ(trace.slot.hops[k].probeCount, 0u) << k;
  for (const SentProbe& probe : trace.system.network.sent)
    if (probe.bytes[6] == 0) {
      EXPECT_EQ(probe.timeToLive, 1);
    }
}

TEST(TraceEngine, SilentRouterGetsFourProbesAndTheHopsBehindAreLearnt) {
  SimTrace trace("client 192.0.2.2\ntarget 203.0.113.9\nhop 198.51.100.1\nhop silent\nhop 198.51.100.3\nhop target\n");
  trace.runUntilQuiet();
  std::vector<SentProbe> silent = probesOf(trace, 1, trace.path.target);
  ASSERT_EQ(silent.size(), 4u);
  for (size_t i = 1; i < silent.size(); ++i) EXPECT_GT(silent[i].at - silent[i - 1].at, DISCOVERY_RETRY_MS);
  EXPECT_EQ(trace.slot.hops[1].state, HOP_SILENT);
  EXPECT_EQ(trace.slot.hops[2].state, HOP_ROUTER);
  EXPECT_EQ(trace.slot.hops[3].state, HOP_TARGET);
  // Hops past the window never answered and had their four probes each; none had more.
  for (int k = 4; k < MAX_HOPS; ++k) EXPECT_LE(trace.slot.hops[k].discoveryProbes, MAX_DISCOVERY_PROBES);
}

TEST(TraceEngine, TargetSettlesAtTheLowestIndexItAnswers) {
  SimTrace trace("client 192.0.2.2\ntarget 203.0.113.9\nhop 198.51.100.1 delay 500\nhop target delay 500\n");
  trace.system.network.path = nullptr;  // answers come from the test alone
  for (int i = 0; i < 20; ++i) trace.pass();
  uint32_t target = trace.path.target;
  struct Step {
    uint8_t hop;
    int targetAt;  // hop index of the target after this answer, -1 for none
    int window;
  } steps[] = {{5, 5, 6}, {7, 5, 6}, {2, 2, 3}, {3, 2, 3}, {1, 1, 2}};
  for (const Step& step : steps) {
    uint32_t sentAt = trace.slot.hops[step.hop].lastSendTime;
    trace.system.network.deliver(trace.system.now, target, answer(ICMP_ECHO_REPLY, step.hop, 0, sentAt));
    trace.pass();
    int found = -1;
    for (int k = 0; k < MAX_HOPS; ++k)
      if (trace.slot.hops[k].state == HOP_TARGET) found = found < 0 ? k : -2;
    EXPECT_EQ(found, step.targetAt) << "after the answer for hop " << int(step.hop);
    EXPECT_EQ(trace.engine.probeWindow, step.window);
  }
  EXPECT_EQ(trace.slot.hops[5].address, target) << "a hop reset behind the target keeps its address";
}

TEST(TraceEngine, RoundsHoldEveryHopToTheSlowest) {
  SimTrace trace(std::string(TWO_ROUTERS) + "hop 198.51.100.4 delay 300\n");
  std::vector<int> completed(4, 0);
  for (int passes = 0; passes < 100000 && !trace.slot.quiet; ++passes) {
    uint32_t round = trace.engine.measureRound;
    trace.pass();
    uint32_t minimum = UINT32_MAX;
    for (int k = 0; k < trace.engine.probeWindow; ++k)
      if (trace.slot.hops[k].state != HOP_SILENT) minimum = std::min(minimum, trace.slot.hops[k].probeCount);
    if (trace.engine.measureRound > round) {
      EXPECT_GE(minimum, round) << "the round rose before every hop caught up";
    }
    for (int k = 0; k < trace.engine.probeWindow; ++k) {
      const HopRecord& hop = trace.slot.hops[k];
      if (hop.state != HOP_SILENT) {
        ASSERT_LE(hop.probeCount + hop.awaitingReply, trace.engine.measureRound) << k;
      }
    }
  }
  ASSERT_TRUE(trace.slot.quiet);
  for (int k = 0; k < 3; ++k) EXPECT_EQ(trace.slot.hops[k].probeCount, MAX_ROUND) << k;
  EXPECT_EQ(trace.engine.measureRound, MAX_ROUND);
  EXPECT_EQ(trace.report().find("3\t300\t0%\t10\t198.51.100.4\t"), std::string::npos) << "hop 4 is the target";
}

TEST(TraceEngine, ReplyTimeOutAt800Milliseconds) {
  struct Case {
    uint32_t delay;
    uint32_t replies;
  } cases[] = {{799, 10}, {800, 10}, {801, 10}, {802, 0}, {1200, 0}};
  for (const Case& c : cases) {
    // An answer already waiting when a pass begins counts, though its time-out fell in that pass.
    SimTrace trace("client 192.0.2.2\ntarget 203.0.113.9\nhop 198.51.100.1 delay " + std::to_string(c.delay) +
                   "\nhop target\n");
    trace.runUntilQuiet();
    EXPECT_EQ(trace.slot.hops[0].probeCount, 10u) << c.delay;
    EXPECT_EQ(trace.slot.hops[0].replyCount, c.replies) << c.delay;
    EXPECT_EQ(trace.slot.hops[0].rttTotal, c.delay * c.replies) << c.delay;
  }
}

TEST(TraceEngine, DropsAnswersThatAreNotThisTracesLatest) {
  SimTrace trace("client 192.0.2.2\ntarget 192.0.2.1\nhop target delay 50\n", 0, 200, 0x7FFF1234);
  for (int i = 0; i < 60; ++i) trace.pass();  // hop 0 is known and its first measurement probe is out
  HopRecord& hop = trace.slot.hops[0];
  ASSERT_EQ(hop.awaitingReply, 1u);
  trace.system.network.path = nullptr;
  trace.system.network.waiting.clear();
  uint32_t latest = hop.lastSendTime;
  uint32_t target = trace.path.target;
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
  } dropped[] = {
      {"an older probe's timestamp", answer(ICMP_ECHO_REPLY, 0, 200, latest - 1, 0x7FFF1234)},
      {"another identifier", answer(ICMP_ECHO_REPLY, 0, 200, latest, 0x7FFF1235)},
      {"another tag", answer(ICMP_ECHO_REPLY, 0, 201, latest, 0x7FFF1234)},
      {"hop index 60", answer(ICMP_ECHO_REPLY, 60, 200, latest, 0x7FFF1234)},
      {"hop index 255", answer(ICMP_ECHO_REPLY, 255, 200, latest, 0x7FFF1234)},
      {"a cut datagram", cut(answer(ICMP_ECHO_REPLY, 0, 200, latest, 0x7FFF1234), 31)},
      {"a cut time-exceeded", cut(answer(ICMP_TIME_EXCEEDED, 0, 200, latest, 0x7FFF1234), 59)},
  };
  for (const Case& c : dropped) {
    trace.system.network.deliver(trace.system.now, target, c.bytes);
    trace.pass();
    EXPECT_EQ(hop.replyCount, 0u) << c.what << " sent at " << latest << " now " << trace.system.now;
    EXPECT_EQ(hop.awaitingReply, 1u) << c.what;
  }
  // The latest probe's answer counts, also as a time-exceeded quoting it, with the low 16 bits of the id.
  trace.system.network.deliver(trace.system.now, target, answer(ICMP_TIME_EXCEEDED, 0, 200, latest, 0x00001234));
  trace.pass();
  EXPECT_EQ(hop.replyCount, 1u);
  EXPECT_EQ(hop.awaitingReply, 0u);
}

TEST(TraceEngine, TagsAndProcessIdsOfEveryRangeMatch) {
  const uint8_t tags[] = {0, 127, 128, 255};
  const uint32_t pids[] = {1, 0xFFFF, 0x10000, 0x12345678, 0xFFFFFFFF};
  for (uint8_t tag : tags)
    for (uint32_t pid : pids) {
      SimTrace trace(TWO_ROUTERS, 0, tag, pid);
      trace.runUntilQuiet();
      EXPECT_EQ(trace.slot.hops[2].state, HOP_TARGET) << int(tag) << " " << pid;
      EXPECT_EQ(trace.slot.hops[2].replyCount, 10u) << int(tag) << " " << pid;
    }
}

TEST(TraceEngine, UnresolvedTargetSendsNothingThatCanLeave) {
  struct Case {
    SocketAddress resolved;
    uint16_t family;
  } cases[] = {{{}, 0}, {{INET_FAMILY, 0, 0, {}}, INET_FAMILY}};  // not found; "0.0.0.0"
  for (const Case& c : cases) {
    SimTrace trace("client 192.0.2.2\ntarget 203.0.113.9\nhop 198.51.100.1\nhop target\n");
    trace.system.resolved = c.resolved;
    trace.slot = {};
    trace.slot.inUse = 1;
    strcpy(trace.slot.hostName, "nowhere.example");
    startEngine(trace.engine, trace.slot, trace.system);
    for (int i = 0; i < 10000; ++i) trace.pass();
    EXPECT_EQ(trace.system.renders.back(), "nowhere.example not found \r\n");
    EXPECT_EQ(trace.system.network.sent.size(), size_t(INITIAL_WINDOW * MAX_DISCOVERY_PROBES));
    for (const SentProbe& probe : trace.system.network.sent) {
      EXPECT_EQ(probe.destination.family, c.family);
      EXPECT_EQ(probe.destination.address, 0u);
    }
    trace.slot.stopRequested = 1;
    EXPECT_FALSE(trace.pass());
    EXPECT_EQ(trace.slot.inUse, 0u);
    EXPECT_FALSE(trace.system.network.isOpen);
  }
}

TEST(TraceEngine, StopEndsThePassWithoutARedraw) {
  SimTrace trace(TWO_ROUTERS);
  for (int i = 0; i < 30; ++i) ASSERT_TRUE(trace.pass());
  size_t renders = trace.system.renders.size();
  size_t sent = trace.system.network.sent.size();
  trace.slot.stopRequested = 1;
  EXPECT_FALSE(trace.pass());
  EXPECT_EQ(trace.slot.inUse, 0u);
  EXPECT_FALSE(trace.system.network.isOpen);
  EXPECT_LE(trace.system.renders.size(), renders + 1) << "at most the pass's own refresh";
  EXPECT_LE(trace.system.network.sent.size(), sent + 1);
}

TEST(TraceEngine, StopDuringResolutionTakesOnePass) {
  SimTrace trace(TWO_ROUTERS);
  trace.slot = {};
  trace.slot.inUse = 1;
  trace.slot.stopRequested = 1;
  trace.system.network.sent.clear();
  startEngine(trace.engine, trace.slot, trace.system);
  EXPECT_FALSE(trace.pass());
  ASSERT_EQ(trace.system.network.sent.size(), 1u) << "the first discovery probe still leaves";
  EXPECT_EQ(trace.system.network.sent[0].timeToLive, 1);
}

TEST(TraceEngine, RedrawsOnlyAfterChangesAndElevenPassesApart) {
  SimTrace trace(TWO_ROUTERS);
  std::vector<uint32_t> renderedAt;
  for (int passes = 0; passes < 100000 && !trace.slot.quiet; ++passes) {
    size_t before = trace.system.renders.size();
    uint32_t now = trace.system.now;
    trace.pass();
    if (trace.system.renders.size() > before) renderedAt.push_back(now);
  }
  ASSERT_GT(renderedAt.size(), 3u);
  EXPECT_GT(renderedAt[0], 0u) << "the first pass never redraws";
  for (size_t i = 1; i < renderedAt.size(); ++i) EXPECT_GE(renderedAt[i] - renderedAt[i - 1], 11u);
  size_t atQuiet = trace.system.renders.size();
  for (int i = 0; i < 5000; ++i) trace.pass();
  EXPECT_EQ(trace.system.renders.size(), atQuiet) << "a quiet trace does not redraw";
  EXPECT_EQ(trace.engine.sendGate, -1);
  EXPECT_EQ(trace.engine.refreshCountdown, -1);
}

TEST(TraceEngine, StatusThenResolvedFormAtStart) {
  SimTrace trace(TWO_ROUTERS);
  ASSERT_EQ(trace.system.renders.size(), 2u);
  EXPECT_EQ(trace.system.renders[0], "Looking up host 203.0.113.9");
  EXPECT_EQ(trace.system.renders[1],
            "203.0.113.9 resolved to 203.0.113.9\r\nHop\tPing\tLoss\tSent\tIP\tAddress\r\n1\t?\t0%\t0\t\t\r\n");
}

TEST(TransportChoice, EachRefusalLeadsToTheNextAndTheLastToTheErrorLine) {
  struct Case {
    int errors[2];  // what each transport's open() returns, in the order of choice
    int used;       // the one that carries the trace, -1 for none
  } cases[] = {{{0, 0}, 0}, {{1, 0}, 1}, {{1, 13}, -1}};
  for (const Case& c : cases) {
    SimTrace trace(TWO_ROUTERS);
    SimTransport transports[2];
    for (int i = 0; i < 2; ++i) {
      transports[i].clock = &trace.system.now;
      transports[i].pid = &trace.system.pid;
      transports[i].path = &trace.path;
      transports[i].openError = c.errors[i];
    }
    IcmpTransport* const order[] = {&transports[0], &transports[1]};
    TransportChoice choice(order, 2);
    trace.system.chosen = &choice;
    trace.restart();
    trace.runUntilQuiet(6000);
    for (int i = 0; i < 2; ++i) EXPECT_EQ(transports[i].sent.empty(), i != c.used) << i;
    EXPECT_EQ(trace.slot.hops[2].state, c.used >= 0 ? HOP_TARGET : HOP_SILENT);
    EXPECT_EQ(trace.system.renders.back().find(std::string("No ICMP socket (error 13): ") + TRANSPORT_FIX) !=
                  std::string::npos,
              c.used < 0);
    trace.slot.stopRequested = 1;
    EXPECT_FALSE(trace.pass());
    EXPECT_FALSE(transports[0].isOpen || transports[1].isOpen) << "closed at the end";
  }
}

TEST(TraceEngine, WindowNeverPassesTheHopTable) {
  SimTrace trace("client 192.0.2.2\ntarget 203.0.113.9\nrouters 90 198.51.100.1\n");
  for (int passes = 0; passes < 200000 && !trace.slot.quiet; ++passes) {
    trace.pass();
    ASSERT_LE(trace.engine.probeWindow, MAX_HOPS);
  }
  EXPECT_EQ(trace.engine.probeWindow, MAX_HOPS);
  EXPECT_EQ(trace.slot.hops[MAX_HOPS - 1].probeCount, 10u);
}

}  // namespace
