// The engine pass by pass on simulated paths with a virtual clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>

#include "platform/platform.h"
#include "sim/scenarios.h"
#include "sim/sim_system.h"

namespace {

const char* const TWO_ROUTERS =
    "client 192.0.2.2\ntarget 203.0.113.9\nhop 198.51.100.1 delay 4\nhop 198.51.100.2 delay 7\nhop target delay 9\n";

int probesOf(const SimTrace& trace, int hop) {
  return static_cast<int>(std::count_if(trace.system.network.sent.begin(), trace.system.network.sent.end(),
                                        [&](const SentProbe& probe) { return probe.bytes[6] == hop; }));
}

// Every scenario ends in exactly its report, whatever the clock reads at the start, whatever the
// trace's tag and process id, however coarse the timer that ends each pass; and every pass keeps
// the pacing: rounds held to the slowest hop, two quiet passes after a measurement probe,
// redraws eleven passes apart and none once quiet, the window within the hop table, a silent
// hop's four discovery probes a second apart.
TEST(Engine, ScenariosEndInTheirExactReportAndKeepThePacing) {
  const struct Run {
    uint32_t clockStart, pid, tick;
    uint8_t tag;
  } runs[] = {{0, 0x1234, 1000, 0},         {5, 0xFFFF, 1000, 127},         {0x7FFFFF00u, 0x10000, 1000, 128},
              {0x80000000u, 1, 1000, 255},  {0xFFFFF800u, 0xFFFFFFFF, 1000, 9}, {0xFFFFFFFFu, 0x12345678, 1000, 1},
              {0, 0x1234, 15625, 0}};
  for (int i = 0; i < SCENARIO_COUNT; ++i)
    for (const Run& run : runs) {
      SCOPED_TRACE(testing::Message() << SCENARIOS[i].name << ", clock from " << run.clockStart << ", tag "
                                      << int(run.tag) << ", pid " << run.pid << ", tick " << run.tick << " us");
      SimTrace trace(SCENARIOS[i].text, run.clockStart, run.tag, run.pid);
      trace.system.tickMicroseconds = run.tick;
      std::vector<int> sentInPass;
      int lastRender = 0;
      for (int pass = 1; !trace.slot.quiet && pass < 200000; ++pass) {
        uint32_t round = trace.engine.measureRound, minimum = UINT32_MAX;
        size_t renders = trace.system.renders.size();
        trace.pass();
        sentInPass.resize(trace.system.network.sent.size(), pass);
        ASSERT_LE(trace.engine.probeWindow, MAX_HOPS);
        for (int k = 0; k < trace.engine.probeWindow; ++k) {
          const HopRecord& hop = trace.slot.hops[k];
          if (hop.state == HOP_SILENT) continue;
          minimum = std::min(minimum, hop.probeCount);
          ASSERT_LE(hop.probeCount + hop.awaitingReply, trace.engine.measureRound) << k;
        }
        ASSERT_TRUE(trace.engine.measureRound == round || minimum >= round) << "a round rose before the slowest hop";
        if (trace.system.renders.size() > renders) {
          ASSERT_GE(pass - lastRender, lastRender == 0 ? 2 : 11) << "redrawn at pass " << pass;
          lastRender = pass;
        }
      }
      ASSERT_TRUE(trace.slot.quiet);
      size_t renders = trace.system.renders.size();
      for (int j = 0; j < 3000; ++j) trace.pass();
      EXPECT_EQ(trace.system.renders.size(), renders) << "a quiet trace redrew";
      const std::vector<SentProbe>& sent = trace.system.network.sent;
      for (size_t j = 1; j < sentInPass.size(); ++j)
        ASSERT_TRUE(sent[j - 1].destination.address == trace.path.target || sentInPass[j] - sentInPass[j - 1] >= 3) << j;
      for (int k = 0; k < MAX_HOPS; ++k) {
        std::vector<uint32_t> at;
        for (const SentProbe& probe : sent)
          if (probe.bytes[6] == k && probe.destination.address == trace.path.target) at.push_back(probe.at);
        const PathHop* hop = k < static_cast<int>(trace.path.hops.size()) ? &trace.path.hops[k] : nullptr;
        bool silent = hop != nullptr && hop->silent;
        EXPECT_TRUE(silent ? at.size() == MAX_DISCOVERY_PROBES
                           : at.size() <= MAX_DISCOVERY_PROBES + (hop != nullptr && hop->isTarget ? MAX_ROUND : 0))
            << "hop " << k << ": " << at.size() << " probes";
        for (size_t j = 1; silent && j < at.size(); ++j) EXPECT_GT(at[j] - at[j - 1], DISCOVERY_RETRY_MS);
      }
      trace.finishLookups();
      EXPECT_EQ(trace.report(), trace.path.expected);
    }
}

// How a test answer differs from what the path would send.
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

// Of all that reaches the socket, only this trace's answer to a hop's latest probe counts, and only
// what routers really send teaches a silent hop its router. Nothing else, whole or cut anywhere,
// changes the report or is read past its end, nor keeps the right answer from counting.
TEST(Engine, TakesOnlyThisTracesAnswersAsRoutersSendThem) {
  const struct Case {
    const char* what;
    uint8_t hop, type;  // hop 0 has a measurement probe out, hop 1 is silent with a discovery probe out
    Shape shape;
    bool taken;                   // counted for hop 0, learnt for hop 1
    int32_t delta = 0;            // timestamp less the latest probe's
    uint32_t pid = 0x7FFF1234;    // the trace's own
    uint8_t tag = 200;            // the trace's own
    const char* sender = "198.51.100.7";
  } cases[] = {
      {"the latest probe's echo reply", 0, ICMP_ECHO_REPLY, PLAIN, true},
      {"its time-exceeded, the id's low 16 bits", 0, ICMP_TIME_EXCEEDED, PLAIN, true, 0, 0x1234},
      {"a header with options", 0, ICMP_ECHO_REPLY, OPTIONS, true},
      {"a quoted header with options", 0, ICMP_TIME_EXCEEDED, QUOTED_OPTIONS, true},
      {"an older probe's timestamp", 0, ICMP_ECHO_REPLY, PLAIN, false, -1},
      {"another identifier", 0, ICMP_ECHO_REPLY, PLAIN, false, 0, 0x7FFF1235},
      {"another tag", 0, ICMP_ECHO_REPLY, PLAIN, false, 0, 0x7FFF1234, 201},
      {"hop index 60", 60, ICMP_ECHO_REPLY, PLAIN, false},
      {"hop index 255", 255, ICMP_ECHO_REPLY, PLAIN, false},
      {"a quote without the timestamp", 0, ICMP_TIME_EXCEEDED, MINIMAL_QUOTE, false},
      {"the probe itself, looped back", 0, ICMP_ECHO_REPLY, LOOPED_REQUEST, false},
      {"an unreachable quoting it", 0, ICMP_TIME_EXCEEDED, UNREACHABLE, false},
      {"a time-exceeded for a UDP datagram", 0, ICMP_TIME_EXCEEDED, QUOTED_UDP, false},
      {"a router quoting the probe's first 8 bytes", 1, ICMP_TIME_EXCEEDED, MINIMAL_QUOTE, true},
      {"a router's headers with options", 1, ICMP_TIME_EXCEEDED, QUOTED_OPTIONS, true},
      {"a router 0.0.0.0", 1, ICMP_TIME_EXCEEDED, PLAIN, false, 0, 0x7FFF1234, 200, "0.0.0.0"},
      {"a router's unreachable", 1, ICMP_TIME_EXCEEDED, UNREACHABLE, false},
      {"a router for hop 40, never probed", 40, ICMP_TIME_EXCEEDED, PLAIN, false},
  };
  auto measuring = [](uint32_t clockStart) {
    auto trace = std::make_unique<SimTrace>("client 192.0.2.2\ntarget 203.0.113.9\nhop 198.51.100.1 delay 50\n",
                                            clockStart, 200, 0x7FFF1234);
    for (int i = 0; i < 60; ++i) trace->pass();
    trace->system.network.waiting.clear();
    trace->system.network.path = nullptr;
    return trace;
  };
  // The clock starts so that the probe leaves at 0, the timestamp of a quote that lacks it.
  const uint32_t clockStart = 0u - measuring(0)->slot.hops[0].lastSendTime;
  for (const Case& c : cases) {
    std::unique_ptr<SimTrace> trace = measuring(clockStart);
    SimTransport& network = trace->system.network;
    const HopRecord& hop = trace->slot.hops[0];
    ASSERT_TRUE(hop.awaitingReply == 1 && hop.lastSendTime == 0 && trace->slot.hops[1].discoveryProbes > 0);
    const std::string before = trace->report();
    std::vector<uint8_t> bytes =
        answer(c.type, c.hop, c.tag, trace->slot.hops[c.hop % MAX_HOPS].lastSendTime + c.delta, c.pid, c.shape);
    for (size_t length = 0; length <= bytes.size(); ++length)
      network.deliver(trace->system.now, parseAddress(c.sender), std::vector<uint8_t>(bytes.begin(), bytes.begin() + length));
    trace->pass();
    EXPECT_EQ(trace->report() != before, c.taken) << c.what << "\n" << trace->report();
    network.deliver(trace->system.now, parseAddress("198.51.100.1"), answer(ICMP_ECHO_REPLY, 0, 200, 0, 0x7FFF1234));
    trace->pass();
    EXPECT_EQ(hop.replyCount, 1u) << "the right answer after " << c.what;
  }
}

// The target's answers for several hop indices: it ends at the lowest, the hops behind it
// reset, and a router learnt below it afterwards widens the window again. A measurement probe
// still out on a reset hop times out, so that the discovery answers it gets later are dropped.
TEST(Engine, TargetSettlesLowestAndRoutersLearntBelowItWidenTheWindow) {
  SimTrace trace(TWO_ROUTERS);
  PathModel* path = std::exchange(trace.system.network.path, nullptr);  // the test alone answers
  for (int i = 0; i < 20; ++i) trace.pass();
  const struct Step {
    uint8_t type, hop;
    int targetAt, window;
  } steps[] = {{ICMP_ECHO_REPLY, 5, 5, 6},    {ICMP_ECHO_REPLY, 7, 5, 6}, {ICMP_ECHO_REPLY, 2, 2, 3},
               {ICMP_ECHO_REPLY, 3, 2, 3},    {ICMP_ECHO_REPLY, 1, 1, 2}, {ICMP_TIME_EXCEEDED, 0, 1, 3}};
  for (const Step& step : steps) {
    uint32_t sender = step.type == ICMP_ECHO_REPLY ? trace.path.target : parseAddress("198.51.100.1");
    trace.system.network.deliver(trace.system.now, sender,
                                 answer(step.type, step.hop, 0, trace.slot.hops[step.hop].lastSendTime));
    for (int i = 0; i < 4; ++i) trace.pass();
    int found = -1;
    for (int k = 0; k < MAX_HOPS; ++k)
      if (trace.slot.hops[k].state == HOP_TARGET) found = found < 0 ? k : -2;
    EXPECT_EQ(found, step.targetAt) << "after the answer for hop " << int(step.hop);
    EXPECT_EQ(trace.engine.probeWindow, step.window) << "after the answer for hop " << int(step.hop);
  }
  ASSERT_EQ(trace.slot.hops[2].awaitingReply, 1u) << "hop 2 was reset with its measurement probe out";
  EXPECT_EQ(trace.slot.hops[5].address, trace.path.target) << "a hop reset behind the target keeps its address";
  trace.system.network.path = path;
  trace.runUntilQuiet();
  EXPECT_EQ(probesOf(trace, 2), 1 + MAX_DISCOVERY_PROBES) << "hop 2 back in the window sends what it has left";
  EXPECT_EQ(trace.slot.hops[2].replyCount, 0u);
}

TEST(Engine, RepliesTimeOutAfter800Milliseconds) {
  const uint32_t delays[] = {799, 800, 801, 802, 1200};
  for (uint32_t delay : delays) {
    // An answer already waiting when a pass begins counts, though its time-out fell in that pass.
    SimTrace trace("client 192.0.2.2\ntarget 203.0.113.9\nhop 198.51.100.1 delay " + std::to_string(delay) +
                   "\nhop target\n");
    trace.runUntilQuiet();
    std::string line = delay <= 801 ? std::to_string(delay) + "\t0%" : "?\t100%";
    EXPECT_NE(trace.report().find("\n1\t" + line + "\t10\t198.51.100.1\t\n"), std::string::npos) << trace.report();
  }
}

// Unresolved ("not found", or the valid address 0.0.0.0): probes that cannot leave, the
// not-found form, and an end on stop; a stop acted on at the end of its pass, without a redraw;
// a stop during the lookup after one pass, which may still send the first probe.
TEST(Engine, StartsInStatusFormAndStopsAtTheEndOfAPass) {
  const std::string NOT_FOUND = "203.0.113.9 not found \r\n",
                    RESOLVED = "203.0.113.9 resolved to 203.0.113.9\r\nHop\tPing\tLoss\tSent\tIP\tAddress\r\n1\t?\t0%\t0\t\t\r\n";
  const struct Case {
    SocketAddress resolved;
    int passesBeforeStop;  // -1: until quiet
    size_t sent;           // probes that left, 0 for any number
    std::string shown;     // the report after the lookup
  } cases[] = {
      {{}, 10000, INITIAL_WINDOW * MAX_DISCOVERY_PROBES, NOT_FOUND},
      {{INET_FAMILY, 0, 0, {}}, 10000, INITIAL_WINDOW * MAX_DISCOVERY_PROBES, NOT_FOUND},
      {{INET_FAMILY, 0, parseAddress("203.0.113.9"), {}}, 0, 1, RESOLVED},
      {{INET_FAMILY, 0, parseAddress("203.0.113.9"), {}}, -1, 0, RESOLVED},
  };
  for (const Case& c : cases) {
    SimTrace trace(TWO_ROUTERS);
    trace.system.resolved = c.resolved;
    trace.system.network.sent.clear();
    trace.restart();
    EXPECT_EQ(trace.system.renders[0], "Looking up host 203.0.113.9");
    EXPECT_EQ(trace.system.renders[1], c.shown);
    for (int i = 0; i < c.passesBeforeStop; ++i) trace.pass();
    if (c.passesBeforeStop < 0) trace.runUntilQuiet();
    size_t renders = trace.system.renders.size();
    trace.slot.stopRequested = 1;
    EXPECT_FALSE(trace.pass());
    EXPECT_EQ(trace.slot.inUse, 0u);
    EXPECT_FALSE(trace.system.network.isOpen);
    EXPECT_EQ(trace.system.renders.size(), renders) << "redrawn at the stop";
    if (c.sent == 0) continue;
    ASSERT_EQ(trace.system.network.sent.size(), c.sent);
    for (const SentProbe& probe : trace.system.network.sent) {
      EXPECT_EQ(probe.destination.family, c.resolved.family);
      EXPECT_EQ(probe.destination.address, c.resolved.address);
    }
    EXPECT_TRUE(c.sent != 1 || trace.system.network.sent[0].timeToLive == 1);
  }
}

TEST(Engine, EachRefusedTransportLeadsToTheNextAndTheLastToTheErrorLine) {
  const struct Case {
    int errors[2];  // what each transport's open() returns, in the order of choice
    int used;       // the one that carries the trace, -1 for none
  } cases[] = {{{0, 0}, 0}, {{1, 0}, 1}, {{1, 13}, -1}};
  for (const Case& c : cases) {
    SimTrace trace(TWO_ROUTERS);
    SimTransport transports[2];
    for (int i = 0; i < 2; ++i) {
      transports[i].clock = &trace.system.now;
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

TEST(Engine, HelperRepliesOfSuccessAndTimeToLiveExpiredAreAnswersAlone) {
  const struct Case {
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

// Half a minute natively: run by its own ctest entry, which sets ZARTA_LONG_RUN.
TEST(LongRun, QuietTraceStaysRightPast2To31PassesAndTheClocksWrap) {
  if (getenv("ZARTA_LONG_RUN") == nullptr) GTEST_SKIP() << "set ZARTA_LONG_RUN to run 2^31 passes";
  SimTrace trace("client 192.0.2.2\ntarget 203.0.113.9\nhop silent\nhop target\n", 0xFFFFF000u);
  trace.runUntilQuiet();
  const std::string quiet = trace.report();
  for (int64_t pass = 0; pass < (int64_t{1} << 31) + 1000; ++pass, ++trace.system.now) runPass(trace.engine);
  EXPECT_EQ(trace.report(), quiet);
  // The silent router answering at last is learnt, probed ten times and shown, as at the start.
  trace.system.network.deliver(trace.system.now, parseAddress("198.51.100.1"), answer(ICMP_TIME_EXCEEDED, 0, 0, 0));
  trace.pass();
  trace.runUntilQuiet();
  EXPECT_NE(trace.report().find("\n1\t?\t100%\t10\t198.51.100.1\t"), std::string::npos) << trace.report();
}

}  // namespace
