#include "sim/sim.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "display/trace_report.h"

namespace {

// A 20-byte IPv4 header before `icmp`, both checksums filled in, as the kernel wants them.
std::vector<uint8_t> ipDatagram(uint32_t source, uint32_t destination, std::vector<uint8_t> icmp) {
  icmp[2] = icmp[3] = 0;
  uint16_t sum = internetChecksum(icmp.data(), static_cast<int>(icmp.size()));
  memcpy(&icmp[2], &sum, 2);
  const size_t total = 20 + icmp.size();
  uint8_t header[20] = {0x45, 0, static_cast<uint8_t>(total >> 8), static_cast<uint8_t>(total), 0, 0, 0, 0, 64, 1};
  memcpy(header + 12, &source, 4), memcpy(header + 16, &destination, 4);
  sum = internetChecksum(header, 20), memcpy(header + 10, &sum, 2);
  return icmp.insert(icmp.begin(), header, header + 20), icmp;
}

SocketAddress ipv6Of(uint32_t address) {
  SocketAddress ipv6 = {};
  return ipv6.family = INET6_FAMILY, memcpy(ipv6.address6, "\x20\x01\x0d\xb8", 4),
         memcpy(ipv6.address6 + 12, &address, 4), ipv6;
}

std::string ipv6Text(uint32_t address) {
  const uint8_t* b = reinterpret_cast<const uint8_t*>(&address);
  char text[40];
  return snprintf(text, sizeof text, "2001:db8::%x:%x", b[0] << 8 | b[1], b[2] << 8 | b[3]), text;
}

// The path's answer as a raw ICMPv6 socket hands it over: no IP header; echo reply 129, or time-exceeded 3 quoting
// the probe (an echo request, 128) behind its 40-byte IPv6 header.
std::vector<uint8_t> asIcmpv6(const std::vector<uint8_t>& datagram) {
  std::vector<uint8_t> icmp(datagram.begin() + 20, datagram.end());
  if (icmp[0] == ICMP_TYPE_ECHO_REPLY) return icmp[0] = 129, icmp;
  std::vector<uint8_t> out = {3, 0, 0, 0, 0, 0, 0, 0, 0x60, 0, 0, 0, 0, uint8_t(icmp.size() - 28), 58, 1};
  out.resize(48), out.insert(out.end(), icmp.begin() + 28, icmp.end());
  return out[48] = 128, out;
}

}  // namespace

std::vector<uint8_t> answerDatagram(uint8_t type, uint32_t sender, uint32_t client, uint32_t destination,
                                    const uint8_t* probe, int length, int quoted) {
  std::vector<uint8_t> icmp(probe, probe + length);
  if (type == ICMP_TYPE_TIME_EXCEEDED) {  // the probe's IP header as it arrived, time-to-live 1, and its start
    std::vector<uint8_t> original = ipDatagram(client, destination, icmp);
    original[8] = 1, icmp.assign(8, 0), icmp[0] = ICMP_TYPE_TIME_EXCEEDED;
    icmp.insert(icmp.end(), original.begin(), original.begin() + 20 + std::min(quoted, length));
  }
  icmp[0] = type;
  return ipDatagram(sender, client, icmp);
}

uint32_t parseAddress(const std::string& text) {
  unsigned a[4];
  char end;
  if (sscanf(text.c_str(), "%u.%u.%u.%u%c", &a[0], &a[1], &a[2], &a[3], &end) != 4 || (a[0] | a[1] | a[2] | a[3]) > 255)
    return 0;
  uint8_t bytes[4] = {uint8_t(a[0]), uint8_t(a[1]), uint8_t(a[2]), uint8_t(a[3])};
  uint32_t out;
  return memcpy(&out, bytes, 4), out;
}

std::string addressText(uint32_t address) {
  char text[16];
  return formatAddress(address, text), text;
}

std::string parsePathModel(const std::string& text, PathModel& model) {
  std::stringstream lines(text);
  std::string line, option, value, item;
  for (int number = 1; std::getline(lines, line); ++number) {
    std::stringstream words(line.substr(0, line.find('#')));
    std::string word, who, where = "line " + std::to_string(number) + ": ";
    if (line.rfind("expect ", 0) == 0) {
      model.expected += std::regex_replace(line.substr(7), std::regex(R"(\\t)"), "\t") + "\n";
    } else if (words >> word >> who && (word == "client" || word == "target")) {
      (word == "client" ? model.client : model.target) = parseAddress(who);
    } else if (word == "hop") {
      PathHop& hop = model.hops.emplace_back();
      hop.silent = who == "silent", hop.isTarget = who == "target";
      hop.address = hop.isTarget ? model.target : parseAddress(who);
      if (hop.address == 0 && !hop.silent) return where + "a hop needs an address, and the target its own";
      const std::map<std::string, std::vector<int>*> options = {
          {"delay", &hop.delays}, {"discovery-delay", &hop.discoveryDelay},
          {"lost", &hop.lost},    {"expire", &hop.expire},
          {"quote", &hop.quote},  {"drop-every", &hop.dropEvery}};
      while (words >> option >> value) {
        if (options.count(option) == 0) return where + "unknown option " + option;
        options.at(option)->clear();
        for (std::stringstream items(value); std::getline(items, item, ',');)
          options.at(option)->push_back(std::atoi(item.c_str()));
      }
    } else if (!word.empty()) {
      return where + "unknown directive " + word;
    }
  }
  return model.client == 0 || model.target == 0 ? "a scenario needs a client and a target" : "";
}

void answerProbe(PathModel& model, const uint8_t* message, int length, uint32_t destination, int timeToLive,
                 uint32_t now, std::vector<Datagram>& answers) {
  if (length < 8 || message[0] != ICMP_TYPE_ECHO_REQUEST || timeToLive < 1) return;
  // The probe goes to its hop, or until its time-to-live ends; a target not on the path (a loop) is never reached.
  int size = static_cast<int>(model.hops.size()), reach = 0;
  while (reach < size && model.hops[reach].address != destination) ++reach;
  if (reach == size && destination != model.target) return;
  const bool expired = timeToLive <= reach;
  if (!expired && reach == size) return;
  PathHop& hop = model.hops[expired ? timeToLive - 1 : reach];
  if (expired && (hop.silent || hop.isTarget)) return;
  uint8_t type = expired ? ICMP_TYPE_TIME_EXCEEDED : ICMP_TYPE_ECHO_REPLY;
  uint32_t delay = hop.discoveryDelay[0] ? hop.discoveryDelay[0] : hop.delays[0];
  // A hop's measurement probes carry its own index; the target's first such probe is its discovery.
  if (!expired && message[ECHO_HOP_AT] == reach && (!hop.isTarget || std::exchange(hop.discovered, true))) {
    if (std::count(hop.lost.begin(), hop.lost.end(), ++hop.measured) > 0) return;
    if (std::count(hop.expire.begin(), hop.expire.end(), hop.measured) > 0) type = ICMP_TYPE_TIME_EXCEEDED;
    delay = hop.delays[(hop.measured - 1) % hop.delays.size()];
  }
  if (hop.dropEvery[0] > 0 && ++hop.answered % hop.dropEvery[0] == 0) return;
  answers.push_back({now + delay, hop.address,
                     answerDatagram(type, hop.address, model.client, destination, message, length, hop.quote[0])});
}

std::string testFile(const std::string& name) {
  for (const TestFile* file = TEST_FILES; file->name != nullptr; ++file)
    if (file->name == name) return file->text;
  return "";
}

std::string asIpv6Report(const std::string& report) {
  std::string out, rest = report;
  for (std::smatch dotted; std::regex_search(rest, dotted, std::regex("\\d+\\.\\d+\\.\\d+\\.\\d+"));
       rest = dotted.suffix())
    out += dotted.prefix().str() + ipv6Text(parseAddress(dotted.str()));
  return out + rest;
}

void SimTrace::send(const uint8_t* message, int length, const SocketAddress& destination) {
  if (!isOpen) return;
  uint32_t to = destination.address;
  if (ipv6) memcpy(&to, destination.address6 + 12, 4);
  sent.push_back({now, to, std::vector<uint8_t>(message, message + length)});
  now += sendTakes;
  // The path answers the probe as ICMP's; over IPv6 its answers are carried over to ICMPv6.
  std::vector<uint8_t> probe = sent.back().bytes;
  if (ipv6) probe[0] = probe[0] == 128 ? ICMP_TYPE_ECHO_REQUEST : 0xFF;
  std::vector<Datagram> answers;
  if (answering && destination.family == (ipv6 ? INET6_FAMILY : INET_FAMILY))
    answerProbe(path, probe.data(), length, to, timeToLive, now, answers);
  for (Datagram& answer : answers) deliver(answer.at, answer.address, ipv6 ? asIcmpv6(answer.bytes) : answer.bytes);
}

void SimTrace::deliver(uint32_t at, uint32_t sender, std::vector<uint8_t> bytes) {
  auto later = std::upper_bound(waiting.begin(), waiting.end(), at,
                                [](uint32_t t, const Datagram& d) { return static_cast<int32_t>(t - d.at) < 0; });
  waiting.insert(later, {at, sender, std::move(bytes)});
}

int SimTrace::receive(uint8_t* buffer, int capacity, SocketAddress& sender, uint32_t& arrivedAt) {
  if (!datagramWaiting()) return -1;
  Datagram answer = std::move(waiting.front());
  waiting.erase(waiting.begin());
  sender = ipv6 ? ipv6Of(answer.address) : ipv4Address(answer.address), arrivedAt = answer.at + stampShift;
  int length = std::min(capacity, static_cast<int>(answer.bytes.size()));
  return std::copy_n(answer.bytes.begin(), std::max(length, 0), buffer), length;
}

SimTrace::SimTrace(const std::string& scenario, uint32_t clockStart, uint8_t tag, uint32_t processId)
    : now(clockStart), pid(processId) {
  if (std::string error = parsePathModel(scenario, path); !error.empty()) throw std::invalid_argument(error);
  resolved = ipv4Address(path.target), slot.traceTag = tag, restart();
}

void SimTrace::waitForNextPass(const TraceSlot& waiter, bool timed, uint32_t deadline) {
  if (loadShared(waiter.stopRequested) != 0 || datagramWaiting() || (timed && int32_t(deadline - now) <= 0)) return;
  // Microseconds on a clock that does not wrap; the millisecond clock is its low 32 bits.
  uint64_t at = uint64_t{now} * 1000 + microseconds, wake = at + 1000;
  if (timed)
    wake = (at + uint64_t(deadline - now) * 1000 - microseconds + tickMicroseconds - 1) / tickMicroseconds *
           tickMicroseconds;
  if (isOpen && !waiting.empty()) wake = std::min(wake, at + uint64_t(waiting.front().at - now) * 1000 - microseconds);
  now = static_cast<uint32_t>(wake / 1000), microseconds = static_cast<uint32_t>(wake % 1000);
}

void SimTrace::useIpv6() { ipv6 = true, resolved = ipv6Of(path.target), restart(); }

void SimTrace::render(TraceSlot& shown, const char* statusText) {
  renders.push_back(reportText(shown, statusText)), drawnAt.push_back(now);
}

void SimTrace::restart() {
  const uint32_t tag = slot.traceTag, rounds = slot.rounds;
  slot = {}, slot.inUse = 1, slot.traceTag = static_cast<uint8_t>(tag), slot.rounds = rounds;
  strcpy(slot.hostName, (ipv6 ? ipv6Text(path.target) : addressText(path.target)).c_str());
  renders.clear(), drawnAt.clear(), startEngine(engine, slot, *this, *this);
}

bool SimTrace::pass() {
  bool running = runPass(engine, next);
  waitForNextPass(slot, next.timed, next.at);
  return running;
}

void SimTrace::step(int passes) {
  for (int i = 0; i < passes; ++i) runPass(engine, next), ++now;
}

void SimTrace::deliver(uint32_t sender, std::vector<uint8_t> bytes, int passes) {
  deliver(now, sender, std::move(bytes)), step(passes);
}

std::string SimTrace::report() {
  std::string text = reportText(slot);
  return std::erase(text, '\r'), text;
}

std::string reportText(const TraceSlot& slot, const char* statusText, bool wide) {
  char text[REPORT_LENGTH];
  size_t length = buildTraceReport(slot, statusText, text, wide);
  return length == strlen(text) ? text : "length " + std::to_string(length);
}
