// The trace engine: one worker's discovery and measurement passes over its slot's hop table.
#pragma once

#include <cstdint>

#include "core/trace_system.h"
#include "core/trace_table.h"

constexpr int PROBE_LENGTH = 64;
constexpr int PROBE_HEADER_LENGTH = 12;
constexpr int RECEIVE_BUFFER_LENGTH = 500;
constexpr int INITIAL_WINDOW = 16;
constexpr int MAX_DISCOVERY_PROBES = 4;
constexpr uint32_t DISCOVERY_RETRY_MS = 1000;
constexpr uint32_t REPLY_TIMEOUT_MS = 800;
constexpr uint32_t MAX_ROUND = 10;
constexpr int DISCOVERY_GATE = 1;
constexpr int MEASUREMENT_GATE = 3;
constexpr int REFRESH_PASSES = 10;
constexpr int MSG_HOP_NAME_BASE = 10010;
// Datagrams read in one pass at most, so that a flood of foreign ICMP cannot keep a worker
// from its sends and from seeing a stop request. High enough that a pass reads faster than any
// flood the socket's queue can take (about a million a second), low enough that a pass stays short.
constexpr int MAX_DATAGRAMS_PER_PASS = 1024;

constexpr uint8_t ICMP_ECHO_REPLY = 0;
constexpr uint8_t ICMP_TIME_EXCEEDED = 11;
constexpr uint8_t ICMP_ECHO_REQUEST = 8;

// A worker's private state, kept between passes.
struct TraceEngine {
  TraceSlot* slot;                        // the slot this worker runs
  TraceSystem* system;                    // clock, socket and window of this worker
  SocketAddress target;                   // destination of every discovery probe
  int32_t probeWindow;                    // hops 0..probeWindow-1 are examined, never above MAX_HOPS
  uint32_t measureRound;                  // hops are measured while probeCount < measureRound
  uint32_t rounds;                        // measurement probes each hop gets: the slot's, or MAX_ROUND
  int32_t sendGate;                       // a probe may leave only while this is <= 0
  int32_t refreshCountdown;               // a redraw may happen only while this is < 0
  bool refreshWanted;                     // something shown has changed since the last redraw
  uint8_t packet[RECEIVE_BUFFER_LENGTH];  // outgoing probe, then each received datagram
};

// The Internet checksum (RFC 1071) of `length` bytes, to be stored in host byte order.
uint16_t internetChecksum(const uint8_t* data, int length);

// count / frequency * 1000 in double precision, truncated, low 32 bits; 0 when frequency is 0.
uint32_t millisecondsFromTicks(int64_t count, int64_t frequency);

// Writes the 64-byte echo request for hop `hop` into `out`.
void buildProbe(uint8_t* out, uint32_t processId, uint8_t hop, uint8_t traceTag, uint32_t timestamp);

// The echo header fields that a received datagram carries back.
struct ProbeEcho {
  uint16_t identifier;  // low 16 bits of the sender's process id
  uint8_t hop;          // hop index
  uint8_t traceTag;     // trace tag
  bool expired;         // a router's time-exceeded: the probe never reached where it went
  bool hasTimestamp;    // false when a router quoted only the probe's first 8 bytes
  uint32_t timestamp;   // send timestamp, when it came back
};
// Finds the echo header of an answer: an echo reply right behind its IP header, or the probe
// that a time-exceeded message quotes behind the quoted IP header; both headers' lengths are
// read. False for any other datagram, or one too short to hold the probe's first 8 bytes.
bool readProbeEcho(const uint8_t* datagram, int length, ProbeEcho& echo);

// The round trip of an answer to a probe sent at `sentAt` that arrived at `arrivedAt`, read at `now`: the arrival
// held to [sentAt, now]. A transport's stamp can lie outside it, as when the real-time clock that Linux stamps
// arrivals with steps between an arrival and its read; the difference would then wrap to billions.
uint32_t roundTrip(uint32_t sentAt, uint32_t arrivedAt, uint32_t now);
// Counts an answered measurement probe of `roundTripTime` ms: its best, worst and squares, the probes, the replies,
// then the total. A report reads them the other way round, so that a redraw between two writes shows neither more
// replies than probes nor a total ahead of its replies, whose average would spike for a frame.
void countAnswered(HopRecord& hop, uint32_t roundTripTime);

// Worker start, steps up to the first pass: status text, the socket, then the resolution.
void startEngine(TraceEngine& engine, TraceSlot& slot, TraceSystem& system);
// One pass, without its closing sleep. False once the stop request has been acted on:
// the slot is free and the socket closed.
bool runPass(TraceEngine& engine);
// The whole worker: start, then passes separated by waits of 1 ms or more until the stop. Returns 0.
int runTrace(TraceSlot& slot, TraceSystem& system);
