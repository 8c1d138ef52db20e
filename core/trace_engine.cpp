#include "core/trace_engine.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr int MIN_IP_HEADER_LENGTH = 20;
constexpr int ICMP_HEADER_LENGTH = 8;  // type, code, checksum, identifier, and hop and tag in the sequence
constexpr int IP_PROTOCOL_OFFSET = 9;
constexpr uint8_t PROTOCOL_ICMP = 1;

void putLittle16(uint8_t* at, uint32_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
}

void putLittle32(uint8_t* at, uint32_t value) {
  putLittle16(at, value);
  putLittle16(at + 2, value >> 16);
}

uint32_t getLittle32(const uint8_t* at) {
  return at[0] | (at[1] << 8) | (at[2] << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

// Elapsed time as an unsigned difference, so that comparisons hold across the clock's wrap.
uint32_t elapsedSince(uint32_t now, uint32_t then) { return now - then; }

bool discoveryDue(const HopRecord& hop, uint32_t now) {
  // A hop never probed is due whatever the clock reads, the upper half of its range included.
  return hop.discoveryProbes == 0 || elapsedSince(now, hop.lastSendTime) > DISCOVERY_RETRY_MS;
}

void countDown(int32_t& counter) {
  // Only the sign is ever tested; stopping at -1 keeps a quiet trace from overflowing.
  if (counter > -1) --counter;
}

void sendProbe(TraceEngine& engine, int hop, const SocketAddress& destination, uint32_t& timestamp) {
  TraceSystem& system = *engine.system;
  timestamp = system.nowMilliseconds();
  memset(engine.packet, 0, sizeof engine.packet);
  buildProbe(engine.packet, system.processId(), static_cast<uint8_t>(hop), engine.slot->traceTag, timestamp);
  system.transport().setTimeToLive(hop + 1);
  system.transport().send(engine.packet, PROBE_LENGTH, destination);
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

// The length of the IPv4 header at `ip`, or -1 when `length` bytes cannot hold it.
int ipHeaderLength(const uint8_t* ip, int length) {
  if (length < MIN_IP_HEADER_LENGTH) return -1;
  int header = (ip[0] & 0x0F) * 4;
  return header >= MIN_IP_HEADER_LENGTH && header <= length ? header : -1;
}

void learnResponder(TraceEngine& engine, int k, uint32_t sender) {
  TraceSlot& slot = *engine.slot;
  HopRecord& hop = slot.hops[k];
  // 0.0.0.0 answers nothing; it would even pass for an unresolved target.
  if (hop.state != HOP_SILENT || sender == 0) return;
  for (int j = 0; j < k; ++j)
    if (slot.hops[j].state == HOP_TARGET) return;
  storeShared(hop.address, sender);
  if (sender == slot.targetAddress) {
    storeShared(hop.state, HOP_TARGET);
    for (int j = k + 1; j < MAX_HOPS; ++j) storeShared(slot.hops[j].state, HOP_SILENT);
    engine.probeWindow = k + 1;
  } else {
    storeShared(hop.state, HOP_ROUTER);
    if (engine.probeWindow < MAX_HOPS) ++engine.probeWindow;
  }
  engine.refreshWanted = true;
  engine.system->startReverseLookup(slot, k);
}

// Best, worst and the sum of squares of a hop's answered round trips, before its reply is counted.
void addRoundTrip(HopRecord& hop, uint32_t roundTrip) {
  if (hop.replyCount == 0 || roundTrip < hop.rttBest) storeShared(hop.rttBest, roundTrip);
  if (roundTrip > hop.rttWorst) storeShared(hop.rttWorst, roundTrip);
  storeShared(hop.rttSquares, hop.rttSquares + uint64_t{roundTrip} * roundTrip);
}

void countReply(TraceEngine& engine, HopRecord& hop, uint32_t timestamp, uint32_t arrivedAt) {
  if (timestamp != hop.lastSendTime) return;  // only the latest probe of the hop counts
  // Timed at its arrival, not when the pass reads it: a pass ends with a wait of 1 ms or more.
  countAnswered(hop, roundTrip(timestamp, arrivedAt, engine.system->nowMilliseconds()));
  engine.refreshWanted = true;
  hop.awaitingReply = 0;
}

void receiveStep(TraceEngine& engine) {
  TraceSystem& system = *engine.system;
  IcmpTransport& transport = system.transport();
  for (int read = 0; read < MAX_DATAGRAMS_PER_PASS && transport.datagramWaiting(); ++read) {
    SocketAddress sender = {};
    uint32_t arrivedAt = 0;
    int length = transport.receive(engine.packet, RECEIVE_BUFFER_LENGTH, sender, arrivedAt);
    ProbeEcho echo;
    if (!readProbeEcho(engine.packet, length, echo)) continue;
    if (echo.identifier != static_cast<uint16_t>(system.processId())) continue;
    if (echo.traceTag != engine.slot->traceTag) continue;
    if (echo.hop >= MAX_HOPS) continue;
    HopRecord& hop = engine.slot->hops[echo.hop];
    if (hop.discoveryProbes == 0) continue;  // no probe has gone out for that hop: no answer
    // A measurement probe that a router answers has expired on its way to the hop: a loss, whatever the router
    // quoted. How much it quoted, and so whether its answer carries the timestamp, only a raw socket sees; the
    // ICMP helper API does not tell (Wine hands back none of it), so a rule by the quote would differ by transport.
    if (hop.awaitingReply == 0)
      learnResponder(engine, echo.hop, sender.address);
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
        SocketAddress destination = {INET_FAMILY, 0, hop.address, {}};
        uint32_t timestamp;
        sendProbe(engine, k, destination, timestamp);
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

}  // namespace

uint16_t internetChecksum(const uint8_t* data, int length) {
  uint32_t sum = 0;
  int i = 0;
  for (; length - i > 1; i += 2) {
    uint16_t word;
    memcpy(&word, data + i, 2);
    sum += word;
  }
  if (i < length) {
    uint8_t last[2] = {data[i], 0};
    uint16_t word;
    memcpy(&word, last, 2);
    sum += word;
  }
  sum = (sum >> 16) + (sum & 0xFFFF);
  sum += sum >> 16;
  return static_cast<uint16_t>(~sum);
}

uint32_t millisecondsFromTicks(int64_t count, int64_t frequency) {
  if (frequency == 0) return 0;
  double milliseconds = static_cast<double>(count) / static_cast<double>(frequency) * 1000.0;
  return static_cast<uint32_t>(static_cast<int64_t>(milliseconds));
}

void buildProbe(uint8_t* out, uint32_t processId, uint8_t hop, uint8_t traceTag, uint32_t timestamp) {
  memset(out, 0, PROBE_LENGTH);
  out[0] = ICMP_ECHO_REQUEST;
  putLittle16(out + 4, processId);
  out[6] = hop;
  out[7] = traceTag;
  putLittle32(out + 8, timestamp);
  uint16_t checksum = internetChecksum(out, PROBE_HEADER_LENGTH);
  memcpy(out + 2, &checksum, 2);
}

bool readProbeEcho(const uint8_t* datagram, int length, ProbeEcho& echo) {
  int at = ipHeaderLength(datagram, length);
  if (at < 0 || length - at < ICMP_HEADER_LENGTH) return false;
  echo.expired = datagram[at] == ICMP_TIME_EXCEEDED;
  if (echo.expired) {
    const uint8_t* quoted = datagram + at + ICMP_HEADER_LENGTH;
    int quotedHeader = ipHeaderLength(quoted, length - at - ICMP_HEADER_LENGTH);
    // Another program's UDP or TCP datagram could carry our identifier where an echo has it.
    if (quotedHeader < 0 || quoted[IP_PROTOCOL_OFFSET] != PROTOCOL_ICMP) return false;
    at += ICMP_HEADER_LENGTH + quotedHeader;
    if (length - at < ICMP_HEADER_LENGTH) return false;
  } else if (datagram[at] != ICMP_ECHO_REPLY) {
    return false;
  }
  const uint8_t* header = datagram + at;
  echo.identifier = static_cast<uint16_t>(header[4] | (header[5] << 8));
  echo.hop = header[6];
  echo.traceTag = header[7];
  echo.hasTimestamp = length - at >= PROBE_HEADER_LENGTH;
  echo.timestamp = echo.hasTimestamp ? getLittle32(header + 8) : 0;
  return true;
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

void startEngine(TraceEngine& engine, TraceSlot& slot, TraceSystem& system) {
  engine.slot = &slot;
  engine.system = &system;
  char status[HOST_NAME_LENGTH + 32];
  snprintf(status, sizeof status, "Looking up host %s", slot.hostName);
  system.render(slot, status);
  // The socket before the name: a front end that opens it with privileges gives them up before any lookup.
  storeShared(slot.socketError, system.transport().open());
  system.socketOpened(slot);
  engine.target = system.resolveTarget(slot.hostName);
  storeShared(slot.targetAddress, engine.target.address);
  system.render(slot, nullptr);
  engine.sendGate = 0;
  // A target not found, or 0.0.0.0 (which is the local host), gets no probe: an empty window.
  engine.probeWindow = engine.target.address != 0 ? INITIAL_WINDOW : 0;
  engine.measureRound = 0;
  engine.rounds = slot.rounds != 0 ? slot.rounds : MAX_ROUND;
  engine.refreshWanted = false;
  engine.refreshCountdown = 0;
  storeShared(slot.quiet, static_cast<uint32_t>(isQuiet(engine, system.nowMilliseconds())));
}

bool runPass(TraceEngine& engine) {
  TraceSlot& slot = *engine.slot;
  discoveryStep(engine);
  receiveStep(engine);
  uint32_t minimum = UINT32_MAX;
  bool anyKnown = false;
  measurementStep(engine, minimum, anyKnown);
  if (anyKnown && minimum >= engine.measureRound && engine.measureRound < engine.rounds) ++engine.measureRound;
  if (engine.refreshCountdown < 0 && engine.refreshWanted) {
    engine.refreshCountdown = REFRESH_PASSES;
    engine.refreshWanted = false;
    engine.system->render(slot, nullptr);
  }
  countDown(engine.refreshCountdown);
  countDown(engine.sendGate);
  storeShared(slot.quiet,
              static_cast<uint32_t>(isQuiet(engine, engine.system->nowMilliseconds()) && !engine.refreshWanted));
  if (loadShared(slot.stopRequested) != 0) {
    storeShared(slot.inUse, 0u);
    engine.system->transport().close();
    return false;
  }
  return true;
}

int runTrace(TraceSlot& slot, TraceSystem& system) {
  TraceEngine engine;
  startEngine(engine, slot, system);
  while (runPass(engine)) system.waitForNextPass(slot, loadShared(slot.quiet) != 0);
  return 0;
}
