#include "sim/sim_system.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "display/trace_report.h"
#include "platform/platform.h"

int SimTransport::open() {
  isOpen = openError == 0;
  return openError;
}

void SimTransport::send(const uint8_t* message, int length, const SocketAddress& destination) {
  if (!isOpen) return;
  sent.push_back({*clock, timeToLive, destination, std::vector<uint8_t>(message, message + length)});
  if (destination.family != INET_FAMILY || path == nullptr) return;
  std::vector<PathAnswer> answers;
  answerProbe(*path, message, length, destination.address, timeToLive, *clock, answers);
  for (PathAnswer& answer : answers) deliver(answer.deliverAt, answer.sender, std::move(answer.bytes));
}

void SimTransport::deliver(uint32_t at, uint32_t sender, std::vector<uint8_t> bytes) {
  PathAnswer answer{at, sender, std::move(bytes)};
  auto later = std::upper_bound(
      waiting.begin(), waiting.end(), answer,
      // in clock order across the wrap
      [](const PathAnswer& a, const PathAnswer& b) { return static_cast<int32_t>(a.deliverAt - b.deliverAt) < 0; });
  waiting.insert(later, std::move(answer));
}

bool SimTransport::datagramWaiting() {
  return isOpen && !waiting.empty() && static_cast<int32_t>(*clock - waiting.front().deliverAt) >= 0;
}

int SimTransport::receive(uint8_t* buffer, int capacity, SocketAddress& sender, uint32_t& arrivedAt) {
  if (!datagramWaiting()) return -1;
  PathAnswer answer = std::move(waiting.front());
  waiting.erase(waiting.begin());
  sender = {INET_FAMILY, 0, answer.sender, {}};
  arrivedAt = answer.deliverAt;
  ++received;
  std::vector<uint8_t>& bytes = answer.bytes;
  if (handOver == Answers::raw) {
    int length = std::min(capacity, static_cast<int>(bytes.size()));
    if (length > 0) memcpy(buffer, bytes.data(), length);
    return length;
  }
  // The probe as answered (an echo reply) or quoted (behind a time-exceeded header).
  uint8_t type = bytes.size() > 20 ? bytes[20] : 0xFF;
  size_t at = type == ICMP_TIME_EXCEEDED ? 48 : 20;
  if (bytes.size() < at + 6) return -1;
  uint8_t* probe = bytes.data() + at;
  // Neither transport is handed answers to other programs' probes.
  if (static_cast<uint32_t>(probe[4] | probe[5] << 8) != (*pid & 0xFFFF)) return -1;
  int length = static_cast<int>(bytes.size() - at);
  const std::vector<uint8_t> raw = bytes;
  int rebuilt;
  if (handOver == Answers::helper) {
    uint8_t whole[PROBE_LENGTH] = {};
    memcpy(whole, probe, std::min(length, PROBE_LENGTH));
    uint32_t status = type == ICMP_ECHO_REPLY      ? HELPER_SUCCESS
                      : type == ICMP_TIME_EXCEEDED ? HELPER_TTL_EXPIRED
                                                   : 11003;
    rebuilt = helperReplyDatagram(status, answer.sender, whole, buffer, capacity);
  } else {
    probe[4] = 0xEF;  // the kernel's own identifier, as the ping socket receives it
    probe[5] = 0xBE;
    rebuilt = synthesizeDatagram(type, answer.sender, probe, length, static_cast<uint16_t>(*pid), buffer, capacity);
  }
  // The engine must get what the raw socket got: the type, and the probe where it looks for it.
  if (rebuilt > 0 && (buffer[20] != type || memcmp(buffer + at, raw.data() + at, std::min<size_t>(12, length)) != 0))
    ADD_FAILURE() << "rebuilt answer differs from the raw one";
  return rebuilt;
}

SimSystem::SimSystem() {
  network.clock = &now;
  network.pid = &pid;
}

SocketAddress SimSystem::resolveTarget(const char*) { return resolved; }

void SimSystem::waitForNextPass(const TraceSlot&, bool) {
  if (fineTimer) {
    now += 1;
    return;
  }
  uint64_t at = uint64_t{now} * 1000 + microseconds;
  uint64_t next = (at / tickMicroseconds + 1) * tickMicroseconds;
  now = static_cast<uint32_t>(next / 1000);
  microseconds = static_cast<uint32_t>(next % 1000);
}

void SimSystem::startReverseLookup(TraceSlot&, int hop) { lookups.push_back(hop); }

void SimSystem::render(TraceSlot& slot, const char* statusText) {
  char text[REPORT_LENGTH];
  buildTraceReport(slot, statusText, text);
  renders.emplace_back(text);
}

void SimSystem::usePath(PathModel& model) {
  network.path = &model;
  resolved = {INET_FAMILY, 0, model.target, {}};
}

SimTrace::SimTrace(const std::string& scenario, uint32_t clockStart, uint8_t tag, uint32_t pid,
                   SimTransport::Answers answers) {
  std::string error = parsePathModel(scenario, path);
  if (!error.empty()) ADD_FAILURE() << error;
  system.now = clockStart;
  system.pid = pid;
  system.network.handOver = answers;
  system.usePath(path);
  slot.traceTag = tag;
  restart();
}

void SimTrace::restart() {
  uint8_t tag = slot.traceTag;
  slot = {};
  slot.traceTag = tag;
  slot.inUse = 1;
  strcpy(slot.hostName, addressText(path.target).c_str());
  system.renders.clear();
  startEngine(engine, slot, system);
}

bool SimTrace::pass() {
  bool running = runPass(engine);
  system.waitForNextPass(slot, slot.quiet != 0);
  return running;
}

int SimTrace::runUntilQuiet(int limit, int extra) {
  int passes = 0;
  while (passes < limit && !slot.quiet && pass()) ++passes;
  for (int i = 0; i < extra && pass(); ++i) ++passes;
  return passes;
}

void SimTrace::finishLookups() {
  for (; lookupsDone < system.lookups.size(); ++lookupsDone) {
    int hop = system.lookups[lookupsDone];
    const char* name = nullptr;
    for (const PathHop& candidate : path.hops)
      if (candidate.address == slot.hops[hop].address && !candidate.name.empty()) name = candidate.name.c_str();
    storeHopName(slot, hop, name);
  }
}

std::string SimTrace::report() {
  char text[REPORT_LENGTH];
  buildTraceReport(slot, nullptr, text);
  std::string out;
  for (const char* at = text; *at; ++at)
    if (!(at[0] == '\r' && at[1] == '\n')) out += *at;
  return out;
}
