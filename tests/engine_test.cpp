// The engine pass by pass on simulated paths with a virtual clock; a worker and the window sharing a slot, lock-free.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <random>
#include <thread>
#include <tuple>

#include "display/trace_report.h"
#include "sim/sim.h"

namespace {

auto* const TWO_ROUTERS = "client 192.0.2.2\ntarget 203.0.113.9\nhop 198.51.100.1\nhop 198.51.100.2\nhop target\n";

// Every scenario ends in exactly its report, whatever the clock at the start, tag, process id, timer tick and family;
// and a pass standing for a millisecond, every pass keeps the pacing: rounds held to the slowest hop, 1 ms after a
// discovery probe and 3 after a measurement probe, redraws 11 ms apart as soon as their countdown allows, none once
// quiet, nor a wake by the clock; a silent hop's four discovery probes a second apart.
TEST(Engine, ScenariosEndInTheirExactReportAndKeepThePacing) {
  const std::tuple<uint32_t, uint32_t, uint32_t, uint8_t, bool> runs[] = {
      // clock start, pid, tick (us), tag, IPv6
      // clang-format off
      {0, 0x1234, 1000, 0, 0}, {5, 0xFFFF, 1000, 127, 0}, {0x7FFFFF00u, 0x10000, 1000, 128, 0},
      {0x80000000u, 1, 1000, 255, 0}, {0xFFFFF800u, 0xFFFFFFFF, 1000, 9, 0}, {0xFFFFFFFFu, 0x12345678, 1000, 1, 0},
      {0, 0x1234, 15625, 0, 0}, {0xFFFFFFFFu, 0x10000, 15625, 200, 0}, {0xFFFFF800u, 0x10000, 1000, 9, 1},
      {0, 0x1234, 15625, 0, 1},
      // clang-format on
  };
  for (const TestFile* file = TEST_FILES; file->name != nullptr; ++file)
    for (auto [clockStart, pid, tick, tag, ipv6] : runs) {
      if (!strstr(file->name, ".path")) break;
      SCOPED_TRACE(testing::Message() << file->name << " from " << clockStart << ", tick " << tick << ", v6 " << ipv6);
      SimTrace trace(file->text, clockStart, tag, pid);
      trace.tickMicroseconds = tick;
      if (ipv6) trace.useIpv6();
      for (int pass = 1, quietAt = 0; quietAt == 0 || pass - quietAt < 3000; ++pass) {
        uint32_t round = trace.engine.measureRound, drawn = trace.drawnAt.back();
        bool wanted = trace.engine.refreshWanted;
        size_t renders = trace.renders.size();
        quietAt = trace.slot.quiet && quietAt == 0 ? pass : quietAt;
        ASSERT_LT(pass, 200000) << "never quiet";
        trace.pass();
        // A redraw wanted is drawn once its countdown allows, the worker woken for it a coarse tick late at most.
        ASSERT_TRUE(!trace.engine.refreshWanted || trace.engine.countedAt - trace.drawnAt.back() <= REFRESH_PASSES)
            << pass;
        ASSERT_TRUE(!wanted || trace.engine.countedAt - drawn <= REFRESH_PASSES + 1 + (tick + 999) / 1000) << pass;
        for (int k = 0; k < trace.engine.probeWindow && trace.engine.measureRound != round; ++k)
          ASSERT_TRUE(trace.slot.hops[k].state == HOP_SILENT || trace.slot.hops[k].probeCount >= round)
              << "round " << k;
        ASSERT_TRUE(quietAt == 0 || (trace.renders.size() == renders && !trace.next.timed)) << "quiet, pass " << pass;
      }
      for (size_t j = 2; j < trace.drawnAt.size(); ++j)  // the first is the resolved form, before any pass
        ASSERT_GE(trace.drawnAt[j] - trace.drawnAt[j - 1], j == 2 ? 1u : 11u) << "redraw " << j;
      for (size_t j = 1; j < trace.sent.size(); ++j)
        ASSERT_GE(trace.sent[j].at - trace.sent[j - 1].at, trace.sent[j - 1].address == trace.path.target ? 1u : 3u)
            << "probe " << j;
      for (size_t k = 0; k < trace.path.hops.size(); ++k) {  // discovery: four probes at most, a second apart
        const PathHop& hop = trace.path.hops[k];
        std::vector<uint32_t> at;
        for (const Datagram& probe : trace.sent)
          if (probe.bytes[ECHO_HOP_AT] == k && probe.address == trace.path.target) at.push_back(probe.at);
        EXPECT_TRUE(hop.silent ? at.size() == MAX_DISCOVERY_PROBES
                               : at.size() <= MAX_DISCOVERY_PROBES + (hop.isTarget ? MAX_ROUND : 0))
            << k;
        for (size_t j = 1; hop.silent && j < at.size(); ++j) EXPECT_GT(at[j] - at[j - 1], DISCOVERY_RETRY_MS);
      }
      EXPECT_EQ(trace.report(), ipv6 ? asIpv6Report(trace.path.expected) : trace.path.expected);
    }
}

// On a target 300 ms away, the first 16 ms send hops 0 to 15 their discovery probes; then the worker sleeps until hop
// 0's retry at 1001 ms, unless an answer comes first. (The stop or a real answer ending a sleep: the kernel tests.)
TEST(Engine, SleepsUntilSomethingIsDueOrAnAnswerComes) {
  // What; clock start; ms each send takes; the path answering; probe n leaves at ms, in pass; hop 0's total; options.
  const std::tuple<const char*, uint32_t, uint32_t, bool, size_t, uint32_t, int, uint32_t, const char*> cases[] = {
      {"an answer mid-sleep wakes it and is timed from its arrival", 0, 0, true, 16, 301, 18, 10 * 300, ""},
      {"the clock's wrap mid-sleep", 0xFFFFFFFFu - 500, 0, false, 16, 1001, 17, 0, ""},
      {"a deadline already past after a slow send", 0xFFFFFFF0u, 5, false, 15, 75, 16, 0, ""},
      {"a time-out lets the round rise in the next pass", 0, 0, true, 17, 1104, 35, 9 * 300, " lost 1"}};
  for (auto [what, clockStart, sendTakes, answering, probe, sentAt, pass, rttTotal, options] : cases) {
    SimTrace trace(std::string("client 192.0.2.2\ntarget 203.0.113.9\nhop target delay 300") + options + "\n",
                   clockStart);
    trace.answering = answering, trace.sendTakes = sendTakes;
    int passes = 0;
    while (trace.sent.size() <= probe && trace.now - clockStart < 5000) trace.pass(), ++passes;
    ASSERT_GT(trace.sent.size(), probe) << what;
    EXPECT_EQ(std::make_pair(passes, trace.sent[probe].at - clockStart), std::make_pair(pass, sentAt)) << what;
    trace.runUntilQuiet();
    EXPECT_EQ(trace.slot.hops[0].rttTotal, rttTotal) << what;
  }
}

// Best, worst and deviation of the answered round trips over as many pings as asked (0: ten), in the wide report. An
// arrival stamped before its probe left or after its read (the clock stepped) counts as the send-to-read time at most.
TEST(Engine, CountsBestWorstAndDeviationOfTheHeldRoundTrips) {
  const std::tuple<const char*, uint32_t, int32_t, const char*> cases[] = {
      // hop; rounds; stamps shifted; Hop to Sent
      {"delay 5,4,3,2,1", 0, 0, "1\t3\t1\t5\t1.49\t0%\t10"}, {"delay 3,9,6 lost 2", 3, 0, "1\t4\t3\t6\t2.12\t33%\t3"},
      {"delay 7", 1, 0, "1\t7\t7\t7\t0.00\t0%\t1"},          {"delay 1,3", 1000, 0, "1\t2\t1\t3\t1.00\t0%\t1000"},
      {"delay 5 lost 1,2", 2, 0, "1\t?\t?\t?\t?\t100%\t2"},  {"delay 4", 0, -5000, "1\t0\t0\t0\t0.00\t0%\t10"},
      {"delay 4", 0, 5000, "1\t4\t4\t4\t0.00\t0%\t10"}};
  for (auto [hop, rounds, stampShift, line] : cases) {
    SimTrace trace(std::string("client 192.0.2.2\ntarget 203.0.113.9\nhop target ") + hop + "\n");
    trace.slot.rounds = rounds, trace.stampShift = stampShift;
    trace.restart(), trace.runUntilQuiet();
    EXPECT_EQ(reportText(trace.slot, nullptr, true),
              "203.0.113.9 resolved to 203.0.113.9\r\nHop\tPing\tBest\tWrst\tStDev\tLoss\tSent\tIP\tAddress\r\n" +
                  std::string(line) + "\t203.0.113.9\t\r\n")
        << hop << ", stamps shifted " << stampShift;
  }
}

const uint8_t ECHO = ICMP_TYPE_ECHO_REPLY, EXPIRED = ICMP_TYPE_TIME_EXCEEDED;
// An answer as a raw socket delivers it (the simulator's), in a shape that differs from what the path would send.
enum Shape { PLAIN, OPTIONS, QUOTED_OPTIONS, LOOPED_REQUEST, UNREACHABLE, QUOTED_UDP };
std::vector<uint8_t> answer(uint8_t type, uint8_t hop, uint8_t tag, uint32_t timestamp, uint32_t pid = 0x1234,
                            Shape shape = PLAIN) {
  uint8_t probe[PROBE_LENGTH];
  buildProbe(probe, pid, hop, tag, timestamp);
  std::vector<uint8_t> bytes = answerDatagram(type, 0, 0, 0, probe, PROBE_LENGTH, PROBE_LENGTH);
  size_t header = shape == QUOTED_OPTIONS ? 28 : 0;  // four bytes of options behind the header
  if (shape == OPTIONS || shape == QUOTED_OPTIONS)
    bytes.insert(bytes.begin() + header + 20, {1, 1, 1, 0}), bytes[header] = 0x46;
  if (shape == LOOPED_REQUEST || shape == UNREACHABLE) bytes[20] = shape == UNREACHABLE ? 3 : ICMP_TYPE_ECHO_REQUEST;
  if (shape == QUOTED_UDP) bytes[IP_HEADER_LENGTH + ICMP_HEADER_LENGTH + IP_PROTOCOL_AT] = 17;
  return bytes;
}

// Only this trace's answer to a hop's latest probe counts, and only what routers send teaches a silent hop its router.
// Nothing else, whole or cut anywhere, changes the report, is read past its end, or keeps the right answer out.
TEST(Engine, TakesOnlyThisTracesAnswersAsRoutersSendThem) {
  const uint32_t ID = 0x7FFF1234;  // the trace's own process id, and its tag is 200
  const char* const R = "198.51.100.7";
  // What; the hop (0 has a measurement probe out, 1 is silent with a discovery probe out); the type; the shape; taken
  // (counted for hop 0, learnt for hop 1); the timestamp less the latest probe's; the id; the tag; the sender.
  const std::tuple<const char*, uint8_t, uint8_t, Shape, bool, int32_t, uint32_t, uint8_t, const char*> cases[] = {
      {"the id's low 16 bits", 0, ECHO, PLAIN, true, 0, 0x1234, 200, R},
      {"a header with options", 0, ECHO, OPTIONS, true, 0, ID, 200, R},
      {"a router's time-exceeded, whole: expired on its way", 0, EXPIRED, PLAIN, false, 0, ID, 200, R},
      {"an older probe's timestamp", 0, ECHO, PLAIN, false, -1, ID, 200, R},
      {"another identifier", 0, ECHO, PLAIN, false, 0, 0x7FFF1235, 200, R},
      {"another tag", 0, ECHO, PLAIN, false, 0, ID, 9, R},
      {"hop index 60", 60, ECHO, PLAIN, false, 0, ID, 200, R},
      {"hop index 255", 255, ECHO, PLAIN, false, 0, ID, 200, R},
      {"the probe itself, looped back", 0, ECHO, LOOPED_REQUEST, false, 0, ID, 200, R},
      {"a time-exceeded for a UDP datagram", 1, EXPIRED, QUOTED_UDP, false, 0, ID, 200, R},
      {"a router's headers with options", 1, EXPIRED, QUOTED_OPTIONS, true, 0, ID, 200, R},
      {"a router 0.0.0.0", 1, EXPIRED, PLAIN, false, 0, ID, 200, "0.0.0.0"},
      {"a router's unreachable", 1, EXPIRED, UNREACHABLE, false, 0, ID, 200, R},
      {"a router for hop 40, never probed", 40, EXPIRED, PLAIN, false, 0, ID, 200, R}};
  auto measuring = [ID](uint32_t clockStart) {  // the path answers no more
    auto trace = std::make_unique<SimTrace>("client 192.0.2.2\ntarget 203.0.113.9\nhop 198.51.100.1 delay 50\n",
                                            clockStart, 200, ID);
    trace->step(60), trace->waiting.clear(), trace->answering = false;
    return trace;
  };
  // The clock starts so that the probe leaves at 0, the timestamp of a quote that lacks it.
  const uint32_t clockStart = 0u - measuring(0)->slot.hops[0].lastSendTime;
  for (auto [what, k, type, shape, taken, delta, id, tag, sender] : cases) {
    std::unique_ptr<SimTrace> trace = measuring(clockStart);
    const HopRecord& hop = trace->slot.hops[0];
    ASSERT_TRUE(hop.awaitingReply == 1 && hop.lastSendTime == 0 && trace->slot.hops[1].discoveryProbes > 0);
    const std::string before = trace->report();
    std::vector<uint8_t> bytes = answer(type, k, tag, trace->slot.hops[k % MAX_HOPS].lastSendTime + delta, id, shape);
    for (size_t length = 0; length <= bytes.size(); ++length)
      trace->deliver(parseAddress(sender), std::vector<uint8_t>(bytes.begin(), bytes.begin() + length));
    EXPECT_EQ(trace->report() != before, taken) << what << "\n" << trace->report();
    trace->deliver(parseAddress("198.51.100.1"), answer(ECHO, 0, 200, 0, ID));
    EXPECT_EQ(hop.replyCount, 1u) << "the right answer after " << what;
  }
}

// Random datagrams from anyone, and this trace's answers for any hop index cut anywhere, between any number of
// passes: the hop table stays consistent, every probe out times out; the sanitizer builds catch the rest.
TEST(Engine, RandomAnswersKeepTheHopTableConsistent) {
  std::mt19937 random(12345);
  SimTrace trace(TWO_ROUTERS);
  trace.answering = false;  // the test alone answers
  for (int step = 0; step < 20000; ++step) {
    uint8_t hop = random() % 64, type = random() % 2 ? ECHO : EXPIRED;
    std::vector<uint8_t> bytes = answer(type, hop, 0, trace.slot.hops[hop % MAX_HOPS].lastSendTime);
    if (random() % 8 == 0) std::generate(bytes.begin(), bytes.end(), [&] { return uint8_t(random()); });
    if (random() % 8 == 0) bytes.resize(random() % bytes.size());
    trace.deliver(random() % 2 ? trace.path.target : parseAddress("198.51.100.1"), bytes, random() % 8);
    bool behindTarget = false;
    for (const HopRecord& k : trace.slot.hops) {
      ASSERT_TRUE(k.replyCount <= k.probeCount && k.discoveryProbes <= MAX_DISCOVERY_PROBES) << step;
      ASSERT_TRUE(!behindTarget || k.state == HOP_SILENT) << "a hop behind the target, step " << step;
      ASSERT_TRUE(!k.awaitingReply || trace.now - k.lastSendTime <= REPLY_TIMEOUT_MS + 1) << "not timed out, " << step;
      behindTarget |= k.state == HOP_TARGET;
    }
    ASSERT_TRUE(trace.engine.probeWindow >= 1 && trace.engine.probeWindow <= MAX_HOPS);
  }
}

// The target's answers for several hop indices: it ends at the lowest, the hops behind it reset, and a router
// learnt below it afterwards widens the window again. A measurement probe still out on a reset hop times out.
TEST(Engine, TargetSettlesLowestAndRoutersLearntBelowItWidenTheWindow) {
  SimTrace trace(TWO_ROUTERS);
  trace.answering = false, trace.step(20);  // the test alone answers
  const std::tuple<uint8_t, uint8_t, int, int> steps[] = {
      // answer type and hop; then the target's hop, the window
      {ECHO, 5, 5, 6}, {ECHO, 7, 5, 6}, {ECHO, 2, 2, 3}, {ECHO, 3, 2, 3}, {ECHO, 1, 1, 2}, {EXPIRED, 0, 1, 3}};
  for (auto [type, hop, targetAt, window] : steps) {
    uint32_t sender = type == ECHO ? trace.path.target : parseAddress("198.51.100.1");
    trace.deliver(sender, answer(type, hop, 0, trace.slot.hops[hop].lastSendTime), 4);
    EXPECT_TRUE(trace.slot.hops[targetAt].state == HOP_TARGET && trace.engine.probeWindow == window &&
                trace.slot.hops[targetAt + 1].state == HOP_SILENT)
        << "after the answer for hop " << int(hop);
  }
  ASSERT_EQ(trace.slot.hops[2].awaitingReply, 1u) << "hop 2 was reset with its measurement probe out";
  EXPECT_EQ(trace.slot.hops[5].address, trace.path.target) << "a hop reset behind the target keeps its address";
  trace.answering = true, trace.runUntilQuiet();
  int probes = 0;
  for (const Datagram& probe : trace.sent) probes += probe.bytes[ECHO_HOP_AT] == 2;
  EXPECT_EQ(probes, 1 + MAX_DISCOVERY_PROBES) << "hop 2 back in the window sends what it has left";
  EXPECT_EQ(trace.slot.hops[2].replyCount, 0u);
}

// The status form while the host is looked up; then not found (or 0.0.0.0, the local host), which sends nothing, and
// an end on stop, without a redraw. Stopped during the lookup, a trace may send one probe.
TEST(Engine, StartsInStatusFormAndStopsAtTheEndOfAPass) {
  const std::tuple<SocketAddress, int, size_t, std::string> cases[] = {
      // resolved; passes; probes sent; shown at stop
      {{}, 10000, 0, "203.0.113.9 not found \n"},
      {ipv4Address(0), 10000, 0, "203.0.113.9 not found \n"},
      {ipv4Address(parseAddress("203.0.113.9")), 0, 1,
       "203.0.113.9 resolved to 203.0.113.9\nHop\tPing\tLoss\tSent\tIP\tAddress\n1\t?\t0%\t0\t\t\n"}};
  for (const auto& [resolved, passes, sent, shown] : cases) {
    SimTrace trace(TWO_ROUTERS);
    trace.resolved = resolved, trace.restart();
    EXPECT_EQ(trace.renders[0], "Looking up host 203.0.113.9");
    for (int i = 0; i < passes; ++i) trace.pass();
    size_t renders = trace.renders.size();
    trace.slot.stopRequested = 1;
    EXPECT_FALSE(trace.pass() || trace.slot.inUse || trace.isOpen);
    EXPECT_EQ(trace.renders.size(), renders) << "redrawn at the stop";
    EXPECT_EQ(trace.report() + std::to_string(trace.sent.size()), shown + std::to_string(sent));
  }
}

// A name rewritten on one thread, as the window does, and answers counted, as the worker does, while another builds
// reports from them: no report shows half of one name and half of the other, nor a Ping above every round trip.
TEST(Threads, ReportsNeverShowATornNameNorOvercount) {
  static TraceSlot slot;
  for (HopRecord& hop : slot.hops) hop.state = HOP_ROUTER;
  slot.targetAddress = 1;
  std::atomic<bool> writing{true};
  std::atomic<long> torn{0}, over{0}, read{0};
  std::thread reader([&] {
    static char text[REPORT_LENGTH];
    for (char* end; writing; ++read) {
      buildTraceReport(slot, nullptr, text), torn += strstr(text, "ab") || strstr(text, "ba");
      for (const char* line = strchr(text, '\n'); line != nullptr; line = strchr(line + 1, '\n'))
        over += strtoul(line + 1, &end, 10) > 0 && strtoul(end + 1, nullptr, 10) > 65536;  // Ping "?" reads as 0
    }
  });
  for (int round = 0; round < 50000; ++round) storeHopName(slot, 0, std::string(200, "ab"[round % 2]).c_str());
  for (int answer = 0; answer < 65535; ++answer)  // each of 65536 ms: any total ahead of its replies shows
    for (HopRecord& hop : slot.hops) countAnswered(hop, 65536);
  writing = false, reader.join();
  EXPECT_EQ(torn + over, 0) << torn << " torn, " << over << " overcounting, of " << read << " reports";
}

}  // namespace
