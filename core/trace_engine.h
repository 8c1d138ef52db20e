// The trace engine: one worker's discovery and measurement passes over its slot's hop table.
#pragma once

#include <cstdint>

#include "core/icmp_datagram.h"
#include "core/trace_system.h"
#include "core/trace_table.h"

constexpr int RECEIVE_BUFFER_LENGTH = 500;
constexpr int INITIAL_WINDOW = 16;
constexpr int MAX_DISCOVERY_PROBES = 4;
constexpr uint32_t DISCOVERY_RETRY_MS = 1000;
constexpr uint32_t REPLY_TIMEOUT_MS = 800;
constexpr uint32_t MAX_ROUND = 10;  // measurement probes per hop in the tray, and by default
// The gates count passes, and a pass stands for a millisecond of the clock: a worker that sleeps n ms has passed n.
constexpr int DISCOVERY_GATE = 1;
constexpr int MEASUREMENT_GATE = 3;
constexpr int REFRESH_PASSES = 10;
// Datagrams read in one pass at most, so that a flood of foreign ICMP cannot keep a worker
// from its sends and from seeing a stop request. High enough that a pass reads faster than any
// flood the socket's queue can take (about a million a second), low enough that a pass stays short.
constexpr int MAX_DATAGRAMS_PER_PASS = 1024;

// A worker's private state, kept between passes.
struct TraceEngine {
  TraceSlot* slot;                        // the slot this worker runs
  TraceSystem* system;                    // clock, socket and waits of this worker
  TraceFrontEnd* frontEnd;                // its window and reverse lookups
  SocketAddress target;                   // destination of every discovery probe; family 0 when not found
  IcmpTransport* transport;               // the transport of the target's family
  int32_t probeWindow;                    // hops 0..probeWindow-1 are examined, never above MAX_HOPS
  uint32_t measureRound;                  // hops are measured while probeCount < measureRound
  uint32_t rounds;                        // measurement probes each hop gets: the slot's, or MAX_ROUND
  int32_t sendGate;                       // a probe may leave only while this is <= 0
  int32_t refreshCountdown;               // a redraw may happen only while this is < 0
  uint32_t countedAt;                     // clock value up to which the gates have been counted down
  bool refreshWanted;                     // something shown has changed since the last redraw
  uint8_t packet[RECEIVE_BUFFER_LENGTH];  // outgoing probe, then each received datagram
};

// count / frequency * 1000 in double precision, truncated, low 32 bits; 0 when frequency is 0.
uint32_t millisecondsFromTicks(int64_t count, int64_t frequency);

// The round trip of an answer to a probe sent at `sentAt` that arrived at `arrivedAt`, read at `now`: the arrival
// held to [sentAt, now]. A transport's stamp can lie outside it, as when the real-time clock that Linux stamps
// arrivals with steps between an arrival and its read; the difference would then wrap to billions.
uint32_t roundTrip(uint32_t sentAt, uint32_t arrivedAt, uint32_t now);
// Counts an answered measurement probe of `roundTripTime` ms: its best, worst and squares, the probes, the replies,
// then the total. A report reads them the other way round, so that a redraw between two writes shows neither more
// replies than probes nor a total ahead of its replies, whose average would spike for a frame.
void countAnswered(HopRecord& hop, uint32_t roundTripTime);

// The IP versions a host text may resolve to: the version forced (4 or 6), if any; IPv6 alone for an IPv6 literal,
// IPv4 alone for a dotted one.
struct IpVersions {
  bool ipv4, ipv6;
};
IpVersions versionsOf(const char* hostText, uint32_t forced);

// Worker start, steps up to the first pass: status text, resolution, the socket.
void startEngine(TraceEngine& engine, TraceSlot& slot, TraceSystem& system, TraceFrontEnd& frontEnd);
// When the worker next has something to do without an answer: a probe allowed to leave, a time-out, a redraw, the
// trace going quiet. Not `timed` when only an answer (or the stop) can bring anything.
struct NextDue {
  bool timed;
  uint32_t at;  // clock value, at least the millisecond after the last pass's
};

// One pass, without its closing wait. False once the stop request has been acted on:
// the slot is free and the socket closed. Otherwise `next` says how long the worker may wait.
bool runPass(TraceEngine& engine, NextDue& next);
// The whole worker: start, then passes separated by waits until something is due, until the stop. Returns 0.
int runTrace(TraceSlot& slot, TraceSystem& system, TraceFrontEnd& frontEnd);
