#include "core/trace_engine.h"

#include <cstdio>
#include <cstring>

namespace {

// Elapsed time as an unsigned difference, so that comparisons hold across the clock's wrap.
uint32_t elapsedSince(uint32_t now, uint32_t then) { return now - then; }

bool discoveryDue(const HopRecord& hop, uint32_t now) {
  // A hop never probed is due whatever the clock reads, the upper half of its range included.
  return hop.discoveryProbes == 0 || elapsedSince(now, hop.lastSendTime) > DISCOVERY_RETRY_MS;
}

void countDown(int32_t& counter, int32_t passes) {
  // Only the sign is ever tested; stopping at -1 keeps a quiet trace from overflowing.
  if (counter > -1) counter = counter - passes > -1 ? counter - passes : -1;
}

// The passes that the milliseconds since the last count stand for: the worker slept through the ones in which
// nothing could happen. A pass woken by an answer within the same millisecond stands for none, so that answers
// arriving close together cannot open a gate early.
void countPasses(TraceEngine& engine) {
  uint32_t now = engine.system->nowMilliseconds();
  int32_t passes = static_cast<int32_t>(now - engine.countedAt);
  if (passes <= 0) return;  // the clock never goes back; should it, nothing is counted
  countDown(engine.refreshCountdown, passes);
  countDown(engine.sendGate, passes);
  engine.countedAt = now;
}

bool isIpv6(const TraceEngine& engine) { return engine.target.family == INET6_FAMILY; }

void sendProbe(TraceEngine& engine, int hop, const SocketAddress& destination, uint32_t& timestamp) {
  TraceSystem& system = *engine.system;
  timestamp = system.nowMilliseconds();
  memset(engine.packet, 0, sizeof engine.packet);
  buildProbe(engine.packet, system.processId(), static_cast<uint8_t>(hop), engine.slot->traceTag, timestamp,
             isIpv6(engine));
  engine.transport->setTimeToLive(hop + 1);
  engine.transport->send(engine.packet, PROBE_LENGTH, destination);
}

// Where a hop's measurement probes go: its responder, in the target's family and zone.
SocketAddress hopDestination(const TraceEngine& engine, const HopRecord& hop) {
  SocketAddress destination = engine.target;
  destination.address = hop.address;
  if (isIpv6(engine)) loadAddress6(hop.address6, destination.address6);
  return destination;
}

void discoveryStep(TraceEngine& engine) {
  TraceSlot& slot = *engine.slot;
  for (int k = 0; k < engine.probeWindow; ++k) {
    HopRecord& hop = slot.hops[k];
    if (hop.state != HOP_SILENT || !discoveryDue(hop, engine.system->nowMilliseconds()) || engine.sendGate > 0 ||
        hop.discoveryProbes >= MAX_DISCOVERY_PROBES)
      continue;
    uint32_t timestamp;
    sendProbe(engine, k, engine.target, timestamp);
    hop.lastSendTime = engine.system->nowMilliseconds();
    ++hop.discoveryProbes;
    engine.sendGate = DISCOVERY_GATE;
    return;
  }
}

void learnResponder(TraceEngine& engine, int k, const SocketAddress& sender) {
  TraceSlot& slot = *engine.slot;
  HopRecord& hop = slot.hops[k];
  // 0.0.0.0 or :: answers nothing; it would even pass for an unresolved target.
  if (hop.state != HOP_SILENT || isUnspecified(sender) || sender.family != engine.target.family) return;
  for (int j = 0; j < k; ++j)
    if (slot.hops[j].state == HOP_TARGET) return;
  if (isIpv6(engine))
    storeAddress6(hop.address6, sender.address6);
  else
    storeShared(hop.address, sender.address);
  if (sameHost(sender, engine.target)) {
    storeShared(hop.state, HOP_TARGET);
    for (int j = k + 1; j < MAX_HOPS; ++j) storeShared(slot.hops[j].state, HOP_SILENT);
    engine.probeWindow = k + 1;
  } else {
    storeShared(hop.state, HOP_ROUTER);
    if (engine.probeWindow < MAX_HOPS) ++engine.probeWindow;
  }
  engine.refreshWanted = true;
  engine.frontEnd->startReverseLookup(slot, k);
}

// Best, worst and the sum of squares of a hop's answered round trips, before its reply is counted.
void addRoundTrip(HopRecord& hop, uint32_t roundTrip) {
  if (hop.replyCount == 0 || roundTrip < hop.rttBest) storeShared(hop.rttBest, roundTrip);
  if (roundTrip > hop.rttWorst) storeShared(hop.rttWorst, roundTrip);
  storeShared(hop.rttSquares, hop.rttSquares + uint64_t{roundTrip} * roundTrip);
}

void countReply(TraceEngine& engine, HopRecord& hop, uint32_t timestamp, uint32_t arrivedAt) {
  if (timestamp != hop.lastSendTime) return;  // only the latest probe of the hop counts
  // Timed at its arrival, not when the pass reads it, which may come up to a millisecond later.
  countAnswered(hop, roundTrip(timestamp, arrivedAt, engine.system->nowMilliseconds()));
  engine.refreshWanted = true;
  hop.awaitingReply = 0;
}

void receiveStep(TraceEngine& engine) {
  TraceSystem& system = *engine.system;
  IcmpTransport& transport = *engine.transport;
  for (int read = 0; read < MAX_DATAGRAMS_PER_PASS && transport.datagramWaiting(); ++read) {
    SocketAddress sender = {};
    uint32_t arrivedAt = 0;
    int length = transport.receive(engine.packet, RECEIVE_BUFFER_LENGTH, sender, arrivedAt);
    ProbeEcho echo;
    if (!(isIpv6(engine) ? readProbeEcho6(engine.packet, length, echo) : readProbeEcho(engine.packet, length, echo)))
      continue;
    if (echo.identifier != static_cast<uint16_t>(system.processId())) continue;
    if (echo.traceTag != engine.slot->traceTag) continue;
    if (echo.hop >= MAX_HOPS) continue;
    HopRecord& hop = engine.slot->hops[echo.hop];
    if (hop.discoveryProbes == 0) continue;  // no probe has gone out for that hop: no answer
    // A measurement probe that a router answers has expired on its way to the hop: a loss, whatever the router
    // quoted. How much it quoted, and so whether its answer carries the timestamp, only a raw socket sees; the
    // ICMP helper API does not tell (Wine hands back none of it), so a rule by the quote would differ by transport.
    if (hop.awaitingReply == 0)
      learnResponder(engine, echo.hop, sender);
    else if (echo.hasTimestamp && !echo.expired)
      countReply(engine, hop, echo.timestamp, arrivedAt);
  }
}

void measurementStep(TraceEngine& engine, uint32_t& minimum, bool& anyKnown) {
  TraceSlot& slot = *engine.slot;
  for (int k = 0; k < engine.probeWindow; ++k) {
    HopRecord& hop = slot.hops[k];
    if (hop.state != HOP_SILENT) {
      anyKnown = true;
      if (hop.probeCount < minimum) minimum = hop.probeCount;
      if (hop.awaitingReply == 0 && hop.probeCount < engine.measureRound && engine.sendGate <= 0) {
        uint32_t timestamp;
        sendProbe(engine, k, hopDestination(engine, hop), timestamp);
        hop.lastSendTime = timestamp;
        hop.awaitingReply = 1;
        engine.sendGate = MEASUREMENT_GATE;
      }
    }
    if (hop.awaitingReply == 1 && elapsedSince(engine.system->nowMilliseconds(), hop.lastSendTime) > REPLY_TIMEOUT_MS) {
      storeShared(hop.probeCount, hop.probeCount + 1);
      hop.awaitingReply = 0;
      engine.refreshWanted = true;
    }
  }
}

// Nothing left to send and no answer still expected: every silent hop of the window has had its
// discovery probes and their time to answer, every known hop its measurement probes.
bool isQuiet(const TraceEngine& engine, uint32_t now) {
  for (int k = 0; k < engine.probeWindow; ++k) {
    const HopRecord& hop = engine.slot->hops[k];
    if (hop.state == HOP_SILENT) {
      if (hop.discoveryProbes < MAX_DISCOVERY_PROBES || elapsedSince(now, hop.lastSendTime) <= DISCOVERY_RETRY_MS)
        return false;
    } else if (hop.probeCount < engine.rounds || hop.awaitingReply) {
      return false;
    }
  }
  return true;
}

void setQuiet(TraceEngine& engine, bool quiet) {
  if (loadShared(engine.slot->quiet) == static_cast<uint32_t>(quiet)) return;
  storeShared(engine.slot->quiet, static_cast<uint32_t>(quiet));
  engine.frontEnd->quietChanged(*engine.slot);
}

int openTransport(TraceEngine& engine, uint16_t family) {
  IcmpTransport& transport = engine.system->transport(family);
  int error = transport.open(family);
  if (error == 0) transport.acceptOnly(static_cast<uint16_t>(engine.system->processId()), engine.slot->traceTag);
  return error;
}

// Moves `due` (milliseconds after the last count) earlier to `at`, but not before the next pass.
void dueBy(int32_t& due, int32_t at) {
  if (at < 1) at = 1;
  if (at < due) due = at;
}

// Milliseconds from the last count until a time that lies `limit` after `then`: more than `limit` later, as the
// steps compare; at once when that has passed already.
int32_t afterLimit(const TraceEngine& engine, uint32_t now, uint32_t then, uint32_t limit) {
  int32_t sinceCount = static_cast<int32_t>(now - engine.countedAt);
  return elapsedSince(now, then) > limit ? sinceCount : sinceCount + static_cast<int32_t>(limit + 1 - (now - then));
}

// The earliest millisecond at which a pass can do something without an answer, reckoned as the steps reckon it. Early
// is harmless (a pass that finds nothing), late would hold a probe back; whatever only an answer can change (a hop
// learnt, a reply counted) wakes the worker by that answer.
NextDue nextDue(const TraceEngine& engine) {
  const TraceSlot& slot = *engine.slot;
  const int32_t none = INT32_MAX;
  uint32_t now = engine.system->nowMilliseconds();
  int32_t due = none;
  int32_t gateOpen = engine.sendGate;  // the pass whose count brings the gate to 0
  uint32_t minimum = UINT32_MAX;
  bool anyKnown = false;
  for (int k = 0; k < engine.probeWindow; ++k) {
    const HopRecord& hop = slot.hops[k];
    if (hop.state == HOP_SILENT) {
      if (engine.target.family == 0) continue;  // an unresolved target sends nothing, and nothing answers
      if (hop.discoveryProbes < MAX_DISCOVERY_PROBES) {
        int32_t retry = hop.discoveryProbes == 0 ? 0 : afterLimit(engine, now, hop.lastSendTime, DISCOVERY_RETRY_MS);
        dueBy(due, retry > gateOpen ? retry : gateOpen);
      } else if (elapsedSince(now, hop.lastSendTime) <= DISCOVERY_RETRY_MS) {
        // Its last probe's time to answer ends then, and the trace may go quiet.
        dueBy(due, afterLimit(engine, now, hop.lastSendTime, DISCOVERY_RETRY_MS));
      }
      continue;
    }
    anyKnown = true;
    if (hop.probeCount < minimum) minimum = hop.probeCount;
    if (hop.awaitingReply)
      dueBy(due, afterLimit(engine, now, hop.lastSendTime, REPLY_TIMEOUT_MS));
    else if (hop.probeCount < engine.measureRound)
      dueBy(due, gateOpen);
  }
  if (anyKnown && minimum >= engine.measureRound && engine.measureRound < engine.rounds) dueBy(due, 1);
  if (engine.refreshWanted) dueBy(due, engine.refreshCountdown + 1);
  return {due != none, engine.countedAt + static_cast<uint32_t>(due)};
}

}  // namespace

uint32_t millisecondsFromTicks(int64_t count, int64_t frequency) {
  if (frequency == 0) return 0;
  double milliseconds = static_cast<double>(count) / static_cast<double>(frequency) * 1000.0;
  return static_cast<uint32_t>(static_cast<int64_t>(milliseconds));
}

uint32_t ipVersion(const SocketAddress& address) {
  return address.family == INET_FAMILY ? 4 : address.family == INET6_FAMILY ? 6 : 0;
}

bool sameHost(const SocketAddress& a, const SocketAddress& b) {
  return a.family == b.family && a.address == b.address && memcmp(a.address6, b.address6, sizeof a.address6) == 0;
}

bool isUnspecified(const SocketAddress& address) {
  SocketAddress none = {};
  none.family = address.family;
  return sameHost(address, none);
}

IpVersions versionsOf(const char* hostText, uint32_t forced) {
  if (forced != 0) return {forced == 4, forced == 6};
  if (strchr(hostText, ':') != nullptr) return {false, true};
  // Digits and dots are an IPv4 address or nothing; anything else may be a name of either family.
  return {true, hostText[strspn(hostText, "0123456789.")] != '\0'};
}

uint32_t roundTrip(uint32_t sentAt, uint32_t arrivedAt, uint32_t now) {
  if (static_cast<int32_t>(arrivedAt - sentAt) < 0) return 0;
  uint32_t took = arrivedAt - sentAt, sinceSent = now - sentAt;
  return took < sinceSent ? took : sinceSent;
}

void countAnswered(HopRecord& hop, uint32_t roundTripTime) {
  addRoundTrip(hop, roundTripTime);
  storeShared(hop.probeCount, hop.probeCount + 1);
  storeShared(hop.replyCount, hop.replyCount + 1);
  storeShared(hop.rttTotal, hop.rttTotal + roundTripTime);
}

void startEngine(TraceEngine& engine, TraceSlot& slot, TraceSystem& system, TraceFrontEnd& frontEnd) {
  engine.slot = &slot;
  engine.system = &system;
  engine.frontEnd = &frontEnd;
  char status[HOST_NAME_LENGTH + 32];
  snprintf(status, sizeof status, "Looking up host %s", slot.hostName);
  frontEnd.render(slot, status);
  // The sockets before the lookup: where privileges gave them, they are given up before anything is read from the
  // network, the resolver's answers included. Only the families the host may turn out to have.
  IpVersions versions = versionsOf(slot.hostName, slot.forceVersion);
  int error4 = versions.ipv4 ? openTransport(engine, INET_FAMILY) : 0;
  int error6 = versions.ipv6 ? openTransport(engine, INET6_FAMILY) : 0;
  frontEnd.socketOpened(slot);
  engine.target = system.resolveTarget(slot.hostName, slot.forceVersion);
  // It reaches only this host: probes to it would trace nothing.
  uint32_t version = ipVersion(engine.target);
  if (isUnspecified(engine.target) || !(version == 4 ? versions.ipv4 : versions.ipv6)) engine.target = {};
  bool ipv6 = isIpv6(engine);
  engine.transport = &system.transport(ipv6 ? INET6_FAMILY : INET_FAMILY);
  if (ipv6 ? versions.ipv4 : versions.ipv6) system.transport(ipv6 ? INET_FAMILY : INET6_FAMILY).close();
  if (engine.target.family == 0) engine.transport->close();  // a host not found is sent nothing
  if (ipv6) storeAddress6(slot.targetAddress6, engine.target.address6);
  storeShared(slot.targetAddress, engine.target.address);
  storeShared(slot.socketError, ipv6 || (engine.target.family == 0 && error4 == 0) ? error6 : error4);
  storeShared(slot.ipVersion, engine.target.family != 0 ? version : 0);
  frontEnd.render(slot, nullptr);
  engine.sendGate = 0;
  // A target not found, or 0.0.0.0 (which is the local host), gets no probe: an empty window.
  engine.probeWindow = engine.target.family != 0 ? INITIAL_WINDOW : 0;
  engine.measureRound = 0;
  engine.rounds = slot.rounds != 0 ? slot.rounds : MAX_ROUND;
  engine.refreshWanted = false;
  engine.refreshCountdown = 0;
  engine.countedAt = system.nowMilliseconds();
  setQuiet(engine, isQuiet(engine, system.nowMilliseconds()));
}

bool runPass(TraceEngine& engine, NextDue& next) {
  TraceSlot& slot = *engine.slot;
  countPasses(engine);
  discoveryStep(engine);
  receiveStep(engine);
  uint32_t minimum = UINT32_MAX;
  bool anyKnown = false;
  measurementStep(engine, minimum, anyKnown);
  if (anyKnown && minimum >= engine.measureRound && engine.measureRound < engine.rounds) ++engine.measureRound;
  if (engine.refreshCountdown < 0 && engine.refreshWanted) {
    engine.refreshCountdown = REFRESH_PASSES;
    engine.refreshWanted = false;
    engine.frontEnd->render(slot, nullptr);
  }
  setQuiet(engine, isQuiet(engine, engine.system->nowMilliseconds()) && !engine.refreshWanted);
  if (loadShared(slot.stopRequested) != 0) {
    storeShared(slot.inUse, 0u);
    engine.transport->close();
    return false;
  }
  next = nextDue(engine);
  return true;
}

int runTrace(TraceSlot& slot, TraceSystem& system, TraceFrontEnd& frontEnd) {
  TraceEngine engine;
  startEngine(engine, slot, system, frontEnd);
  NextDue next;
  while (runPass(engine, next)) system.waitForNextPass(slot, next.timed, next.at);
  return 0;
}
