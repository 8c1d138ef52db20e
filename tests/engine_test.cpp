// The engine pass by pass on a simulated network with a virtual clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "platform/platform.h"
#include "sim/scenarios.h"
#include "sim/sim_system.h"

namespace {

const char* const TWO_ROUTERS =
    "client 192.0.2.2\ntarget 203.0.113.9\nhop 198.51.100.1 delay 4\nhop 198.51.100.2 delay 7\nhop target delay 9\n";

// How a test answer differs from a plain one.
enum Shape { PLAIN, OPTIONS, QUOTED_OPTIONS, MINIMAL_QUOTE, LOOPED_REQUEST, UNREACHABLE, QUOTED_UDP };

// An answer as a raw socket delivers it: an echo reply, or a time-exceeded message quoting the probe.
std::vector<uint8_t> answer(uint8_t type, uint8_t hop, uint8_t tag, uint32_t timestamp, uint32_t pid = 0x1234,
                            Shape shape = PLAIN) {
  uint8_t probe[PROBE_LENGTH], out[200];
  buildProbe(probe, pid, hop, tag, timestamp);
  int length = synthesizeDatagram(type, 0, probe, shape == MINIMAL_QUOTE ? 8 : PROBE_LENGTH, pid & 0xFFFF, out, 200);
  std::vector<uint8_t> bytes(out, out + length);
  size_t header = shape == QUOTED_OPTIONS ? 28 : 0;  // four bytes of options behind the header
  if (shape == OPTIONS || shape == QUOTED_OPTIONS) {
    bytes.insert(bytes.begin() + header + 20, {1, 1, 1, 0});
    bytes[header] = 0x46;
  }
  if (shape == LOOPED_REQUEST || shape == UNREACHABLE) bytes[20] = shape == UNREACHABLE ? 3 : ICMP_ECHO_REQUEST;
  if (shape == QUOTED_UDP) bytes[37] = 17;
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

TEST(TraceEngine, RoundsHoldEveryHopToTheSlowestAndProbesLeaveThreePassesApart) {
  SimTrace trace(
      "client 192.0.2.2\ntarget 203.0.113.9\nhop 198.51.100.1 delay 4\nhop 198.51.100.4 delay 300\n"
      "hop 198.51.100.2 delay 7\nhop target delay 9\n");
  for (int passes = 0; passes < 100000 && !trace.slot.quiet; ++passes) {
    uint32_t round = trace.engine.measureRound;
    trace.pass();
    uint32_t minimum = UINT32_MAX;
    for (int k = 0; k < trace.engine.probeWindow; ++k) {
      const HopRecord& hop = trace.slot.hops[k];
      if (hop.state == HOP_SILENT) continue;
      minimum = std::min(minimum, hop.probeCount);
      ASSERT_LE(hop.probeCount + hop.awaitingReply, trace.engine.measureRound) << k;
    }
    if (trace.engine.measureRound > round) {
      EXPECT_GE(minimum, round) << "the round rose before every hop caught up";
    }
  }
  ASSERT_TRUE(trace.slot.quiet);
  EXPECT_NE(trace.report().find("\n2\t300\t0%\t10\t198.51.100.4\t\n3\t7\t0%\t10\t"), std::string::npos)
      << trace.report();
  // After a measurement probe (sent to a router's own address) two passes send nothing.
  const std::vector<SentProbe>& sent = trace.system.network.sent;
  for (size_t i = 1; i < sent.size(); ++i)
    if (sent[i - 1].destination.address != trace.path.target) {
      EXPECT_GE(sent[i].at - sent[i - 1].at, 3u) << "probe " << i;
    }
}

TEST(TraceEngine, RouterLearntBelowTheTargetWidensTheWindowAgain) {
  for (int i = 0; i < SCENARIO_COUNT; ++i)
    if (std::string(SCENARIOS[i].name) == "high-index") {
      SimTrace trace(SCENARIOS[i].text);  // the target at hop 12 answers first, 12 routers later
      trace.runUntilQuiet();
      EXPECT_EQ(trace.engine.probeWindow, 13 + 12);
      return;
    }
  FAIL() << "no high-index scenario";
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

TEST(TraceEngine, CountsOnlyThisTracesLatestProbesAnswer) {
  struct Case {
    const char* what;
    int32_t delta;  // timestamp less the latest probe's
    uint32_t pid;   // 0x7FFF1234 is the trace's own
    uint8_t tag, hop, type;
    Shape shape;
    uint32_t counted;
  } cases[] = {
      {"the latest probe's echo reply", 0, 0x7FFF1234, 200, 0, ICMP_ECHO_REPLY, PLAIN, 1},
      {"its time-exceeded, the id's low 16 bits", 0, 0x00001234, 200, 0, ICMP_TIME_EXCEEDED, PLAIN, 1},
      {"a header with options", 0, 0x7FFF1234, 200, 0, ICMP_ECHO_REPLY, OPTIONS, 1},
      {"a quoted header with options", 0, 0x7FFF1234, 200, 0, ICMP_TIME_EXCEEDED, QUOTED_OPTIONS, 1},
      {"an older probe's timestamp", -1, 0x7FFF1234, 200, 0, ICMP_ECHO_REPLY, PLAIN, 0},
      {"another identifier", 0, 0x7FFF1235, 200, 0, ICMP_ECHO_REPLY, PLAIN, 0},
      {"another tag", 0, 0x7FFF1234, 201, 0, ICMP_ECHO_REPLY, PLAIN, 0},
      {"hop index 60", 0, 0x7FFF1234, 200, 60, ICMP_ECHO_REPLY, PLAIN, 0},
      {"hop index 255", 0, 0x7FFF1234, 200, 255, ICMP_ECHO_REPLY, PLAIN, 0},
      {"a quote without the timestamp", 0, 0x7FFF1234, 200, 0, ICMP_TIME_EXCEEDED, MINIMAL_QUOTE, 0},
      {"the probe itself, looped back", 0, 0x7FFF1234, 200, 0, ICMP_ECHO_REPLY, LOOPED_REQUEST, 0},
      {"an unreachable quoting it", 0, 0x7FFF1234, 200, 0, ICMP_TIME_EXCEEDED, UNREACHABLE, 0},
      {"a time-exceeded for a UDP datagram", 0, 0x7FFF1234, 200, 0, ICMP_TIME_EXCEEDED, QUOTED_UDP, 0},
  };
  const char* path = "client 192.0.2.2\ntarget 192.0.2.1\nhop target delay 50\n";
  auto measuring = [&](uint32_t clockStart) {  // hop 0 is known and its first measurement probe is out
    auto trace = std::make_unique<SimTrace>(path, clockStart, 200, 0x7FFF1234);
    for (int i = 0; i < 60; ++i) trace->pass();
    return trace;
  };
  // The clock starts so that the probe leaves at 0, the timestamp of a quote that lacks it.
  const uint32_t clockStart = 0u - measuring(0)->slot.hops[0].lastSendTime;
  for (const Case& c : cases) {
    std::unique_ptr<SimTrace> started = measuring(clockStart);
    SimTrace& trace = *started;
    HopRecord& hop = trace.slot.hops[0];
    ASSERT_EQ(hop.awaitingReply, 1u);
    trace.system.network.waiting.clear();
    trace.system.network.path = nullptr;
    std::vector<uint8_t> bytes = answer(c.type, c.hop, c.tag, hop.lastSendTime + c.delta, c.pid, c.shape);
    trace.system.network.deliver(trace.system.now, trace.path.target, bytes);
    for (size_t length = 0; length < bytes.size(); ++length) {  // no cut copy counts, or is read past its end
      trace.system.network.deliver(trace.system.now, trace.path.target,
                                   std::vector<uint8_t>(bytes.begin(), bytes.begin() + length));
    }
    trace.pass();
    EXPECT_EQ(hop.replyCount, c.counted) << c.what;
  }
}

TEST(TraceEngine, LearnsRoutersFromWhatTheyReallySend) {
  struct Case {
    const char* what;
    uint8_t hop;
    const char* sender;
    Shape shape;
    int32_t learnt;  // the state of that hop afterwards
  } cases[] = {
      {"a quote of the probe's first 8 bytes", 1, "198.51.100.7", MINIMAL_QUOTE, HOP_ROUTER},
      {"headers with options", 1, "198.51.100.7", QUOTED_OPTIONS, HOP_ROUTER},
      {"a sender of 0.0.0.0", 1, "0.0.0.0", PLAIN, HOP_SILENT},
      {"a hop not yet probed", 40, "198.51.100.7", PLAIN, HOP_SILENT},
      {"an unreachable", 1, "198.51.100.7", UNREACHABLE, HOP_SILENT},
  };
  for (const Case& c : cases) {
    // The target is never reached, so nothing learnt can be undone by it.
    SimTrace trace("client 192.0.2.2\ntarget 203.0.113.9\nhop 198.51.100.1\nhop silent\n");
    for (int i = 0; i < 4; ++i) trace.pass();  // hops 0 and 1 have had a probe
    trace.system.network.deliver(trace.system.now, parseAddress(c.sender),
                                 answer(ICMP_TIME_EXCEEDED, c.hop, 0, 0, 0x1234, c.shape));
    trace.runUntilQuiet();
    EXPECT_EQ(trace.slot.hops[c.hop].state, c.learnt) << c.what;
  }
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
  trace.runUntilQuiet();  // no refresh is due, none may come from the stop
  size_t renders = trace.system.renders.size();
  trace.slot.stopRequested = 1;
  EXPECT_FALSE(trace.pass());
  EXPECT_EQ(trace.slot.inUse, 0u);
  EXPECT_FALSE(trace.system.network.isOpen);
  EXPECT_EQ(trace.system.renders.size(), renders);
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

TEST(HelperReplies, OnlySuccessAndTimeToLiveExpiredAreAnswers) {
  struct Case {
    uint32_t status;
    int echoAt;  // where the engine finds the probe, -1 for no answer
  } cases[] = {{HELPER_SUCCESS, 20}, {HELPER_TTL_EXPIRED, 48}, {11003, -1}, {11010, -1}, {11050, -1}};
  uint8_t probe[PROBE_LENGTH], out[RECEIVE_BUFFER_LENGTH];
  buildProbe(probe, 0x1234, 7, 9, 0x01020304);
  for (const Case& c : cases) {
    int length = helperReplyDatagram(c.status, parseAddress("198.51.100.7"), probe, out, sizeof out);
    ProbeEcho echo = {};
    ASSERT_EQ(length > 0 && readProbeEcho(out, length, echo), c.echoAt > 0) << c.status;
    if (c.echoAt < 0) continue;
    EXPECT_EQ(out[20], c.echoAt == 20 ? ICMP_ECHO_REPLY : ICMP_TIME_EXCEEDED) << c.status;
    EXPECT_EQ(memcmp(out + c.echoAt + 4, probe + 4, PROBE_LENGTH - 4), 0) << c.status;
    uint32_t source;
    memcpy(&source, out + 12, 4);
    EXPECT_EQ(addressText(source), "198.51.100.7") << "the answering host is the datagram's source";
  }
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

// Half a minute natively: run by its own ctest entry, which sets ZARTA_LONG_RUN.
TEST(LongRun, QuietTraceStaysRightPast2To31PassesAndTheClocksWrap) {
  if (getenv("ZARTA_LONG_RUN") == nullptr) GTEST_SKIP() << "set ZARTA_LONG_RUN to run 2^31 passes";
  SimTrace trace("client 192.0.2.2\ntarget 203.0.113.9\nhop silent\nhop target\n", 0xFFFFF000u);
  trace.runUntilQuiet();
  const std::string quiet = trace.report();
  for (int64_t pass = 0; pass < (int64_t{1} << 31) + 1000; ++pass) {
    runPass(trace.engine);
    ++trace.system.now;
  }
  EXPECT_EQ(trace.report(), quiet);
  // The silent router answering at last is learnt, probed ten times and shown, as at the start.
  trace.system.network.deliver(trace.system.now, parseAddress("198.51.100.1"), answer(ICMP_TIME_EXCEEDED, 0, 0, 0));
  trace.pass();
  trace.runUntilQuiet();
  EXPECT_NE(trace.system.renders.back().find("\n1\t?\t100%\t10\t198.51.100.1\t"), std::string::npos)
      << trace.system.renders.back();
}

}  // namespace
