#include "sim/path_model.h"

#include <algorithm>
#include <cstring>
#include <sstream>
#include <utility>

#include "core/trace_engine.h"

namespace {

void putChecksum(uint8_t* at, const uint8_t* data, int length) {
  uint16_t sum = internetChecksum(data, length);
  memcpy(at, &sum, 2);
}

// A 20-byte IPv4 header before `icmp`, both checksums filled in, as the kernel wants them.
std::vector<uint8_t> ipDatagram(uint32_t source, uint32_t destination, std::vector<uint8_t> icmp) {
  icmp[2] = icmp[3] = 0;
  putChecksum(&icmp[2], icmp.data(), static_cast<int>(icmp.size()));
  std::vector<uint8_t> out(20);
  out[0] = 0x45;
  out[2] = static_cast<uint8_t>((20 + icmp.size()) >> 8);
  out[3] = static_cast<uint8_t>(20 + icmp.size());
  out[8] = 64;
  out[9] = 1;
  memcpy(&out[12], &source, 4);
  memcpy(&out[16], &destination, 4);
  putChecksum(&out[10], out.data(), 20);
  out.insert(out.end(), icmp.begin(), icmp.end());
  return out;
}

bool contains(const std::vector<int>& list, int value) { return std::find(list.begin(), list.end(), value) != list.end(); }

std::vector<int> parseList(const std::string& text) {
  std::vector<int> out;
  std::stringstream in(text);
  for (std::string item; std::getline(in, item, ',');) out.push_back(std::stoi(item));
  return out;
}

void addAnswer(PathModel& model, PathHop& hop, std::vector<PathAnswer>& answers, uint32_t at,
               std::vector<uint8_t> icmp) {
  if (hop.dropEvery > 0 && ++hop.answered % hop.dropEvery == 0) return;
  for (int i = 0; i < hop.copies; ++i) answers.push_back({at, hop.address, ipDatagram(hop.address, model.client, icmp)});
}

}  // namespace

uint32_t parseAddress(const std::string& text) {
  unsigned a, b, c, d;
  char end;
  if (sscanf(text.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &end) != 4 || (a | b | c | d) > 255) return 0;
  uint8_t bytes[4] = {static_cast<uint8_t>(a), static_cast<uint8_t>(b), static_cast<uint8_t>(c), static_cast<uint8_t>(d)};
  uint32_t out;
  memcpy(&out, bytes, 4);
  return out;
}

std::string addressText(uint32_t address) {
  uint8_t b[4];
  memcpy(b, &address, 4);
  return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." + std::to_string(b[3]);
}

std::string parsePathModel(const std::string& text, PathModel& model) {
  std::stringstream lines(text);
  std::string line, word;
  for (int number = 1; std::getline(lines, line); ++number) {
    std::string where = "line " + std::to_string(number) + ": ";
    if (line.rfind("expect ", 0) == 0) {
      for (size_t at; (at = line.find("\\t")) != std::string::npos;) line.replace(at, 2, "\t");
      model.expected += line.substr(7) + "\n";
      continue;
    }
    std::stringstream words(line.substr(0, line.find('#')));
    if (!(words >> word)) continue;
    std::string who, option, value;
    words >> who;
    if (word == "client" || word == "target") {
      (word == "client" ? model.client : model.target) = parseAddress(who);
    } else if (word == "routers") {
      std::string first;
      uint32_t delay = 1;
      words >> first;
      if (words >> option >> delay && option != "delay") return where + "routers COUNT FIRST_ADDRESS [delay MS]";
      uint32_t base = parseAddress(first);
      uint8_t bytes[4];
      memcpy(bytes, &base, 4);
      for (int i = 0; i < std::stoi(who); ++i, ++bytes[3]) {
        PathHop hop;
        memcpy(&hop.address, bytes, 4);
        hop.delay = delay;
        model.hops.push_back(hop);
      }
    } else if (word == "hop") {
      PathHop hop;
      hop.silent = who == "silent";
      hop.isTarget = who == "target";
      if (!hop.silent && !hop.isTarget && (hop.address = parseAddress(who)) == 0) return where + "bad hop " + who;
      while (words >> option >> value) {
        if (option == "delay") hop.delay = std::stoi(value);
        else if (option == "discovery-delay") hop.discoveryDelay = std::stoi(value);
        else if (option == "lost") hop.lost = parseList(value);
        else if (option == "late") hop.late = parseList(value);
        else if (option == "late-delay") hop.lateDelay = std::stoi(value);
        else if (option == "copies") hop.copies = std::stoi(value);
        else if (option == "drop-every") hop.dropEvery = std::stoi(value);
        else if (option == "name") hop.name = value;
        else return where + "unknown option " + option;
      }
      model.hops.push_back(hop);
    } else {
      return where + "unknown directive " + word;
    }
  }
  for (PathHop& hop : model.hops)
    if (hop.isTarget) hop.address = model.target;
  return model.client == 0 || model.target == 0 ? "a scenario needs a client and a target" : "";
}

void answerProbe(PathModel& model, const uint8_t* message, int length, uint32_t destination, int timeToLive,
                 uint32_t now, std::vector<PathAnswer>& answers) {
  if (length < 8 || message[0] != ICMP_ECHO_REQUEST || timeToLive < 1) return;
  // The probe goes to the hop it is addressed to, or until its time-to-live ends; a target
  // that is not on the path (a routing loop) is never reached.
  int size = static_cast<int>(model.hops.size()), reach = 0;
  while (reach < size && model.hops[reach].address != destination) ++reach;
  if (reach == size && destination != model.target) return;
  if (timeToLive <= reach) {
    PathHop& router = model.hops[timeToLive - 1];
    if (router.silent || router.isTarget) return;
    // The router quotes the probe's IP header as it arrived, time-to-live 1, and the whole probe.
    std::vector<uint8_t> quoted = ipDatagram(model.client, destination, std::vector<uint8_t>(message, message + length));
    quoted[8] = 1;
    std::vector<uint8_t> icmp(8, 0);
    icmp[0] = ICMP_TIME_EXCEEDED;
    icmp.insert(icmp.end(), quoted.begin(), quoted.end());
    addAnswer(model, router, answers, now + (router.discoveryDelay ? router.discoveryDelay : router.delay), icmp);
    return;
  }
  if (reach == size) return;
  PathHop& hop = model.hops[reach];
  uint32_t delay = hop.discoveryDelay ? hop.discoveryDelay : hop.delay;
  // A hop's measurement probes carry its own index; the target's first such probe is its discovery.
  if (length > 6 && message[6] == reach && (!hop.isTarget || std::exchange(hop.discovered, true))) {
    int n = ++hop.measured;
    if (contains(hop.lost, n)) return;
    delay = contains(hop.late, n) ? hop.lateDelay : hop.delay;
  }
  std::vector<uint8_t> icmp(message, message + length);
  icmp[0] = ICMP_ECHO_REPLY;
  addAnswer(model, hop, answers, now + delay, icmp);
}
