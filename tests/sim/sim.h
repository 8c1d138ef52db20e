// A path as data, which the benchmark's TUN simulator plays too, and a trace on it with a virtual clock and socket.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/trace_engine.h"

// One hop: the responder reached with time-to-live index + 1. Options are lists, so that one parser fills them all.
struct PathHop {
  uint32_t address = 0;                  // network byte order
  bool isTarget = false;                 // the target answers every time-to-live that reaches it
  bool silent = false;                   // sends no time-exceeded, answers echoes to its own address
  std::vector<int> delays = {1};         // round trips of its measurement answers in turn, ms; the first for the rest
  std::vector<int> discoveryDelay{0};    // of its discovery answers, when not 0
  std::vector<int> lost, expire;         // measurement probes (1-based, per hop) unanswered; expired in transit
  std::vector<int> quote{PROBE_LENGTH};  // bytes of the probe that its time-exceeded messages quote
  std::vector<int> dropEvery{0};         // when not 0, every such answer of any kind is withheld
  uint32_t measured = 0, answered = 0;   // measurement probes seen and answers owed so far, in a run
  bool discovered = false;               // the target has answered its own discovery probe, in a run
};

struct PathModel {
  uint32_t client = 0, target = 0;  // the probes' source; where discovery probes go
  std::vector<PathHop> hops;        // hops[k]: reached with time-to-live k + 1
  std::string expected;             // the final report the scenario expects, if it gives one
};

// A datagram on the simulated wire: a probe as it left, or an answer, IP header first, as it arrives.
struct Datagram {
  uint32_t at;                 // clock value of its sending or arrival
  uint32_t address;            // where it went, or who sent it; network byte order
  std::vector<uint8_t> bytes;  // the probe's ICMP message; the answer's whole IPv4 datagram
};

// A directive a line, '#' a comment: client ADDRESS | target ADDRESS | expect LINE (of the report, \t a tab) | hop
// ADDRESS|silent|target [delay MS,...] [discovery-delay MS] [lost N,...] [expire N,...] [quote BYTES] [drop-every N].
// Returns what is wrong and on which line, or an empty string.
std::string parsePathModel(const std::string& text, PathModel& model);

// Appends the path's answers to one ICMP message sent at `now` to `destination`.
void answerProbe(PathModel& model, const uint8_t* message, int length, uint32_t destination, int timeToLive,
                 uint32_t now, std::vector<Datagram>& answers);

// The IPv4 datagram, checksums filled in, of ICMP `type` from `sender` answering `client`'s `probe` to `destination`;
// a time-exceeded quotes the probe's IP header and `quoted` bytes of it.
std::vector<uint8_t> answerDatagram(uint8_t type, uint32_t sender, uint32_t client, uint32_t destination,
                                    const uint8_t* probe, int length, int quoted);

// Dotted quad to network byte order (0 for anything else), and back.
uint32_t parseAddress(const std::string& text);
std::string addressText(uint32_t address);
// A path traced over IPv6 has the same hops: an address a.b.c.d stands for 2001:db8::a.b.c.d; a report so written.
std::string asIpv6Report(const std::string& report);

// The report of `slot` as a window shows it, or a text that no report has when its length comes back wrong.
std::string reportText(const TraceSlot& slot, const char* statusText = nullptr, bool wide = false);

struct TestFile {
  const char *name, *text;  // a file of tests/scenarios or tests/expected, built in for tests under Wine
};
extern const TestFile TEST_FILES[];             // to {nullptr, nullptr}
std::string testFile(const std::string& name);  // the text of TEST_FILES' `name`, empty if there is none

// One trace run pass by pass on a scenario's path, on a simulated clock and raw socket, shown in a simulated window.
struct SimTrace : TraceSystem, IcmpTransport, TraceFrontEnd {
  explicit SimTrace(const std::string& scenario, uint32_t clockStart = 0, uint8_t tag = 0, uint32_t pid = 0x1234);
  IcmpTransport& transport(uint16_t) override { return *this; }
  uint32_t nowMilliseconds() override { return now; }
  // Until the first waiting answer arrives, or the deadline on a fine timer, else the first tick at or after it, as a
  // coarse timer ends a wait on Windows; untimed with nothing to come, on by 1 ms, a wake by anything at all.
  void waitForNextPass(const TraceSlot& slot, bool timed, uint32_t deadline) override;
  uint32_t processId() override { return pid; }
  SocketAddress resolveTarget(const char*, uint32_t) override { return resolved; }
  void startReverseLookup(TraceSlot&, int) override {}
  void render(TraceSlot& shown, const char* statusText) override;
  int open(uint16_t) override { return isOpen = true, 0; }
  void close() override { isOpen = false; }
  void setTimeToLive(int value) override { timeToLive = value; }
  void send(const uint8_t* message, int length, const SocketAddress& destination) override;
  bool datagramWaiting() override { return isOpen && !waiting.empty() && int32_t(now - waiting.front().at) >= 0; }
  int receive(uint8_t* buffer, int capacity, SocketAddress& sender, uint32_t& arrivedAt) override;
  bool wait(intptr_t, int64_t) override { return false; }

  void restart();         // the engine started again on a fresh slot
  void useIpv6();         // traced over IPv6, from a fresh slot
  bool pass();            // one pass and its wait; false once the engine has ended
  void step(int passes);  // passes a millisecond apart, each as if woken by an answer, without the waits
  void runUntilQuiet() {
    for (int passes = 0; passes < 200000 && !slot.quiet && pass(); ++passes) continue;
  }
  // Queues a datagram that arrives at `at`, in clock order across the wrap.
  void deliver(uint32_t at, uint32_t sender, std::vector<uint8_t> bytes);
  void deliver(uint32_t sender, std::vector<uint8_t> bytes, int passes = 1);  // now, then steps
  std::string report();                                                       // as the window shows it, "\n" for "\r\n"

  PathModel path;
  bool answering = true;   // the path answers the probes; else only what the test delivers
  bool ipv6 = false;       // the probes and answers are ICMPv6's; the path is the same
  int32_t stampShift = 0;  // added to every arrival stamp: the stamping clock stepped back by as much
  uint32_t sendTakes = 0;  // ms that each send holds the worker up: a slow system
  uint32_t now, microseconds = 0, tickMicroseconds = 1000;  // the virtual clock; the timer's tick if coarse
  uint32_t pid;
  SocketAddress resolved;            // what every host name resolves to
  bool isOpen = false;               // the socket
  int timeToLive = 0;                // of the socket's sends
  std::vector<Datagram> sent;        // every probe sent
  std::vector<Datagram> waiting;     // answers not yet received, in order of arrival
  std::vector<std::string> renders;  // every report shown, in order
  std::vector<uint32_t> drawnAt;     // clock value of each report shown
  TraceSlot slot = {};
  TraceEngine engine = {};
  NextDue next = {};  // what the last pass asked to wait for
};
