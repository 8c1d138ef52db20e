// A path to a target as data: who answers a probe of a given time-to-live, after how long, or
// not at all. Drives the tests' simulated network and the benchmark's TUN path simulator.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One hop: the responder reached with time-to-live index + 1.
struct PathHop {
  uint32_t address = 0;         // network byte order
  bool isTarget = false;        // the target answers every time-to-live that reaches it
  bool silent = false;          // sends no time-exceeded, answers echoes to its own address
  uint32_t delay = 1;           // round-trip time of its answers, ms
  uint32_t discoveryDelay = 0;  // of its discovery answers, when not 0
  std::vector<int> lost;        // measurement probes (1-based, per hop) left unanswered
  std::vector<int> late;        // measurement probes answered only after lateDelay
  uint32_t lateDelay = 1500;    // ms
  int copies = 1;               // each answer sent this many times
  int dropEvery = 0;            // when not 0, every such answer of any kind is withheld
  std::string name;             // the reverse-resolved name; empty for "(no name)"
  int measured = 0;             // measurement probes seen so far (state of a run)
  int answered = 0;             // answers owed so far, for dropEvery (state of a run)
  bool discovered = false;      // the target has answered its own discovery probe (state of a run)
};

struct PathModel {
  uint32_t client = 0;        // the probes' source address
  uint32_t target = 0;        // where discovery probes go
  std::vector<PathHop> hops;  // hops[k]: reached with time-to-live k + 1
  std::string expected;       // the final report the scenario expects, if it gives one
};

// A whole IPv4 datagram that the path sends back to the client.
struct PathAnswer {
  uint32_t deliverAt;          // clock value at which it reaches the client
  uint32_t sender;             // network byte order
  std::vector<uint8_t> bytes;  // IP header and ICMP message
};

// One directive per line, '#' starts a comment:
//   client ADDRESS | target ADDRESS | routers COUNT FIRST_ADDRESS [delay MS]
//   hop ADDRESS|silent|target [delay MS] [discovery-delay MS] [lost N,N] [late N,N]
//       [late-delay MS] [copies N] [drop-every N] [name NAME]
//   expect LINE     (a line of the expected report; \t for a tab)
// Returns what is wrong and on which line, or an empty string.
std::string parsePathModel(const std::string& text, PathModel& model);

// Appends the path's answers to one ICMP message sent at `now` to `destination`.
void answerProbe(PathModel& model, const uint8_t* message, int length, uint32_t destination, int timeToLive,
                 uint32_t now, std::vector<PathAnswer>& answers);

// Dotted quad to network byte order (0 for anything else), and back.
uint32_t parseAddress(const std::string& text);
std::string addressText(uint32_t address);
