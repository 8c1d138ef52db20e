#include "sim/sim_system.h"

#include <algorithm>
#include <cstring>

#include <gtest/gtest.h>

#include "display/trace_report.h"

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
  auto later = std::upper_bound(waiting.begin(), waiting.end(), answer,
                                [](const PathAnswer& a, const PathAnswer& b) { return a.deliverAt < b.deliverAt; });
  waiting.insert(later, std::move(answer));
}

bool SimTransport::datagramWaiting() {
  return isOpen && !waiting.empty() && static_cast<int32_t>(*clock - waiting.front().deliverAt) >= 0;
}

int SimTransport::receive(uint8_t* buffer, int capacity, SocketAddress& sender, uint32_t& arrivedAt) {
  if (!datagramWaiting()) return -1;
  PathAnswer answer = std::move(waiting.front());
  waiting.erase(waiting.begin());
  int length = std::min(capacity, static_cast<int>(answer.bytes.size()));
  memcpy(buffer, answer.bytes.data(), length);
  sender = {INET_FAMILY, 0, answer.sender, {}};
  arrivedAt = answer.deliverAt;
  ++received;
  return length;
}

SimSystem::SimSystem() { network.clock = &now; }

SocketAddress SimSystem::resolveTarget(const char*) { return resolved; }

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

SimTrace::SimTrace(const std::string& scenario, uint32_t clockStart, uint8_t tag, uint32_t pid) {
  std::string error = parsePathModel(scenario, path);
  if (!error.empty()) ADD_FAILURE() << error;
  system.now = clockStart;
  system.pid = pid;
  system.usePath(path);
  strcpy(slot.hostName, addressText(path.target).c_str());
  slot.traceTag = tag;
  slot.inUse = 1;
  startEngine(engine, slot, system);
}

bool SimTrace::pass() {
  bool running = runPass(engine);
  system.sleepOneMillisecond();
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
