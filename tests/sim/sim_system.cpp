#include "sim/sim_system.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "display/trace_report.h"

void SimTransport::send(const uint8_t* message, int length, const SocketAddress& destination) {
  if (!isOpen) return;
  sent.push_back({*clock, timeToLive, destination, std::vector<uint8_t>(message, message + length)});
  std::vector<PathAnswer> answers;
  if (path != nullptr && destination.family == INET_FAMILY)
    answerProbe(*path, message, length, destination.address, timeToLive, *clock, answers);
  for (PathAnswer& answer : answers) deliver(answer.deliverAt, answer.sender, std::move(answer.bytes));
}

void SimTransport::deliver(uint32_t at, uint32_t sender, std::vector<uint8_t> bytes) {
  auto later = std::upper_bound(waiting.begin(), waiting.end(), at, [](uint32_t t, const PathAnswer& a) {
    return static_cast<int32_t>(t - a.deliverAt) < 0;
  });
  waiting.insert(later, {at, sender, std::move(bytes)});
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
  int length = std::min(capacity, static_cast<int>(answer.bytes.size()));
  if (length > 0) memcpy(buffer, answer.bytes.data(), length);
  return length;
}

void SimSystem::waitForNextPass(const TraceSlot&, bool) {
  uint64_t at = uint64_t{now} * 1000 + microseconds;
  uint64_t next = tickMicroseconds == 1000 ? at + 1000 : (at / tickMicroseconds + 1) * tickMicroseconds;
  now = static_cast<uint32_t>(next / 1000);
  microseconds = static_cast<uint32_t>(next % 1000);
}

void SimSystem::render(TraceSlot& slot, const char* statusText) {
  char text[REPORT_LENGTH];
  buildTraceReport(slot, statusText, text);
  renders.emplace_back(text);
}

SimTrace::SimTrace(const std::string& scenario, uint32_t clockStart, uint8_t tag, uint32_t pid) {
  std::string error = parsePathModel(scenario, path);
  if (!error.empty()) ADD_FAILURE() << error;
  system.now = clockStart;
  system.pid = pid;
  system.network.path = &path;
  system.resolved = {INET_FAMILY, 0, path.target, {}};
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

void SimTrace::runUntilQuiet(int limit) {
  for (int passes = 0; passes < limit && !slot.quiet && pass(); ++passes) {
  }
}

void SimTrace::finishLookups() {
  for (int hop : system.lookups) {
    const char* name = nullptr;
    for (const PathHop& candidate : path.hops)
      if (candidate.address == slot.hops[hop].address && !candidate.name.empty()) name = candidate.name.c_str();
    storeHopName(slot, hop, name);
  }
  system.lookups.clear();
}

std::string SimTrace::report() {
  char text[REPORT_LENGTH];
  buildTraceReport(slot, nullptr, text);
  std::string out = text;
  std::erase(out, '\r');
  return out;
}
