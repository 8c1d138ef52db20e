// A path to a target, described as data: who answers a probe of a given time-to-live, after how
// long, or not at all. Drives the in-process simulated network and the TUN path simulator alike.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One hop of the path: the responder reached with time-to-live index + 1.
struct PathHop {
  uint32_t address = 0;             // network byte order
  bool isTarget = false;            // the target itself; it answers every time-to-live that reaches it
  bool silent = false;              // sends no time-exceeded (answers echoes to its own address)
  bool noEcho = false;              // answers time-exceeded but no echo to its own address
  uint32_t delay = 1;               // round-trip time of its answers, ms
  uint32_t discoveryDelay = 0;      // round-trip time of its discovery answers when not 0, ms
  std::vector<int> lost;            // measurement probes (1-based, counted per hop) that go unanswered
  std::vector<int> late;            // measurement probes answered only after `lateDelay`
  uint32_t lateDelay = 1500;        // round-trip time of the late answers, ms
  int copies = 1;                   // each answer sent this many times
  int dropEvery = 0;                // when not 0, every such answer (of any probe, any kind) is withheld
  int answered = 0;                 // answers due so far, for `dropEvery` (state of a run)
  std::string name;                 // the reverse-resolved name, or empty for "(no name)"
  int measured = 0;                 // measurement probes seen so far (state of a run)
  bool discovered = false;          // the target has answered its own discovery probe (state of a run)
};

// Extra datagrams that arrive beside the real answers.
struct PathNoise {
  bool foreignIdentifier = false;  // a copy of every answer with another identifier
  bool foreignTag = false;         // a copy of every answer with another trace tag
  bool shortDatagrams = false;     // a truncated copy of every answer, ahead of it
  bool highHopIndex = false;       // a copy of every answer naming hop index 60 + k
};

struct PathModel {
  std::string name;
  uint32_t client = 0;            // the probes' source address, network byte order
  uint32_t target = 0;            // the address that discovery probes go to
  std::vector<PathHop> hops;      // hops[k]: reached with time-to-live k + 1
  PathNoise noise;
  std::string expected;           // the expected final report, when the scenario gives one
};

// One datagram that the path sends back to the client: a whole IPv4 datagram.
struct PathAnswer {
  uint32_t deliverAt;          // clock value at which it reaches the client
  uint32_t sender;             // source address, network byte order
  std::vector<uint8_t> bytes;  // IP header and ICMP message
};

// Parses a scenario: one directive per line, '#' starts a comment.
//   client ADDRESS | target ADDRESS | noise foreign-identifier|foreign-tag|short|high-index
//   hop ADDRESS|silent|target [delay MS] [discovery-delay MS] [noecho] [lost N,N]
//       [late N,N] [late-delay MS] [copies N] [name NAME] [drop-every N]
//   routers COUNT FIRST_ADDRESS [delay MS]   (COUNT routers with consecutive addresses)
//   expect TEXT     (one line of the expected report; \t for a tab)
// Returns an empty string, or what is wrong and on which line.
std::string parsePathModel(const std::string& text, PathModel& model);

// The answers of the path to one ICMP message sent by the client at `now` to `destination`
// with time-to-live `timeToLive`. Appends them to `answers`.
void answerProbe(PathModel& model, const uint8_t* message, int length, uint32_t destination, int timeToLive,
                 uint32_t now, std::vector<PathAnswer>& answers);

// Dotted-quad text to network byte order, and back; 0 for text that is no address.
uint32_t parseAddress(const std::string& text);
std::string addressText(uint32_t address);
