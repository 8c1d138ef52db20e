#include "sim/path_model.h"

#include <algorithm>
#include <cstring>
#include <sstream>

namespace {

uint16_t checksum(const uint8_t* data, size_t length) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < length; i += 2) sum += (data[i] << 8) | data[i + 1];
  if (length & 1) sum += data[length - 1] << 8;
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

void putBig16(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value >> 8);
  at[1] = static_cast<uint8_t>(value);
}

// A 20-byte IPv4 header followed by `icmp`, with its checksums filled in.
std::vector<uint8_t> ipDatagram(uint32_t source, uint32_t destination, std::vector<uint8_t> icmp) {
  putBig16(&icmp[2], 0);
  putBig16(&icmp[2], checksum(icmp.data(), icmp.size()));
  std::vector<uint8_t> out(20);
  out[0] = 0x45;
  putBig16(&out[2], static_cast<uint16_t>(20 + icmp.size()));
  out[8] = 64;
  out[9] = 1;
  memcpy(&out[12], &source, 4);
  memcpy(&out[16], &destination, 4);
  putBig16(&out[10], checksum(out.data(), 20));
  out.insert(out.end(), icmp.begin(), icmp.end());
  return out;
}

std::vector<uint8_t> echoReply(const uint8_t* message, int length) {
  std::vector<uint8_t> icmp(message, message + length);
  icmp[0] = 0;
  return icmp;
}

std::vector<uint8_t> timeExceeded(const PathModel& model, uint32_t destination, const uint8_t* message, int length) {
  // The quoted probe as a router quotes it: its IP header as it arrived (time-to-live 1), then
  // the whole probe.
  std::vector<uint8_t> quoted = ipDatagram(model.client, destination, std::vector<uint8_t>(message, message + length));
  quoted[8] = 1;
  std::vector<uint8_t> icmp(8, 0);
  icmp[0] = 11;
  icmp.insert(icmp.end(), quoted.begin(), quoted.end());
  return icmp;
}

// Loss that any prober sees, not only Zarta's direct pings: it counts every answer the hop owes.
bool withheld(PathHop& hop) { return hop.dropEvery > 0 && ++hop.answered % hop.dropEvery == 0; }

bool contains(const std::vector<int>& list, int value) { return std::find(list.begin(), list.end(), value) != list.end(); }

std::vector<int> parseList(const std::string& text) {
  std::vector<int> out;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) out.push_back(std::stoi(item));
  return out;
}

void addAnswer(const PathModel& model, std::vector<PathAnswer>& answers, uint32_t at, uint32_t sender,
               std::vector<uint8_t> icmp, int copies) {
  std::vector<uint8_t> bytes = ipDatagram(sender, model.client, std::move(icmp));
  const int echoAt = bytes[20] == 11 ? 48 : 20;
  auto variant = [&](int offset, uint8_t change) {
    std::vector<uint8_t> copy = bytes;
    copy[echoAt + offset] = static_cast<uint8_t>(copy[echoAt + offset] + change);
    answers.push_back({at, sender, copy});
  };
  if (model.noise.shortDatagrams) {
    std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + std::min<size_t>(bytes.size(), echoAt + 6));
    answers.push_back({at, sender, cut});
  }
  if (model.noise.foreignIdentifier) variant(4, 1);
  if (model.noise.foreignTag) variant(7, 1);
  if (model.noise.highHopIndex) variant(6, 60);
  for (int i = 0; i < copies; ++i) answers.push_back({at, sender, bytes});
}

}  // namespace

uint32_t parseAddress(const std::string& text) {
  unsigned a, b, c, d;
  char end;
  if (sscanf(text.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &end) != 4 || a > 255 || b > 255 || c > 255 || d > 255)
    return 0;
  uint8_t bytes[4] = {static_cast<uint8_t>(a), static_cast<uint8_t>(b), static_cast<uint8_t>(c), static_cast<uint8_t>(d)};
  uint32_t out;
  memcpy(&out, bytes, 4);
  return out;
}

std::string addressText(uint32_t address) {
  uint8_t bytes[4];
  memcpy(bytes, &address, 4);
  return std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." + std::to_string(bytes[2]) + "." +
         std::to_string(bytes[3]);
}

std::string parsePathModel(const std::string& text, PathModel& model) {
  std::stringstream lines(text);
  std::string line;
  for (int number = 1; std::getline(lines, line); ++number) {
    std::string where = "line " + std::to_string(number) + ": ";
    if (line.rfind("expect ", 0) == 0) {
      std::string row = line.substr(7);
      for (size_t at; (at = row.find("\\t")) != std::string::npos;) row.replace(at, 2, "\t");
      model.expected += row + "\n";
      continue;
    }
    line = line.substr(0, line.find('#'));
    std::stringstream words(line);
    std::string word;
    if (!(words >> word)) continue;
    if (word == "name") {
      words >> model.name;
    } else if (word == "client" || word == "target") {
      std::string address;
      words >> address;
      (word == "client" ? model.client : model.target) = parseAddress(address);
      if (parseAddress(address) == 0) return where + "bad address";
    } else if (word == "noise") {
      while (words >> word) {
        if (word == "foreign-identifier") model.noise.foreignIdentifier = true;
        else if (word == "foreign-tag") model.noise.foreignTag = true;
        else if (word == "short") model.noise.shortDatagrams = true;
        else if (word == "high-index") model.noise.highHopIndex = true;
        else return where + "unknown noise " + word;
      }
    } else if (word == "routers") {
      int count = 0;
      std::string first, option;
      words >> count >> first;
      uint32_t delay = 1;
      if (words >> option && option == "delay") words >> delay;
      uint32_t base = parseAddress(first);
      if (count <= 0 || base == 0) return where + "routers COUNT FIRST_ADDRESS";
      uint8_t bytes[4];
      memcpy(bytes, &base, 4);
      for (int i = 0; i < count; ++i) {
        PathHop hop;
        uint8_t next[4] = {bytes[0], bytes[1], bytes[2], static_cast<uint8_t>(bytes[3] + i)};
        memcpy(&hop.address, next, 4);
        hop.delay = delay;
        model.hops.push_back(hop);
      }
    } else if (word == "hop") {
      PathHop hop;
      std::string who;
      words >> who;
      if (who == "silent") hop.silent = true;
      else if (who == "target") hop.isTarget = true;
      else if ((hop.address = parseAddress(who)) == 0) return where + "bad hop " + who;
      std::string option;
      while (words >> option) {
        std::string value;
        if (option == "noecho") {
          hop.noEcho = true;
          continue;
        }
        if (!(words >> value)) return where + option + " needs a value";
        if (option == "delay") hop.delay = static_cast<uint32_t>(std::stoul(value));
        else if (option == "discovery-delay") hop.discoveryDelay = static_cast<uint32_t>(std::stoul(value));
        else if (option == "lost") hop.lost = parseList(value);
        else if (option == "late") hop.late = parseList(value);
        else if (option == "late-delay") hop.lateDelay = static_cast<uint32_t>(std::stoul(value));
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
  if (model.client == 0 || model.target == 0) return "a scenario needs a client and a target";
  return "";
}

void answerProbe(PathModel& model, const uint8_t* message, int length, uint32_t destination, int timeToLive,
                 uint32_t now, std::vector<PathAnswer>& answers) {
  if (length < 8 || message[0] != 8) return;
  // How far the probe goes: to the hop whose address it is sent to, or until its time-to-live ends.
  int reach = -1;
  for (size_t k = 0; k < model.hops.size(); ++k) {
    if (model.hops[k].address == destination) {
      reach = static_cast<int>(k);
      break;
    }
  }
  // A target that is not on the path (a routing loop, say) is never reached.
  if (reach < 0 && destination == model.target) reach = static_cast<int>(model.hops.size());
  if (reach < 0) return;  // nobody on this path has that address
  if (timeToLive <= reach) {
    if (timeToLive < 1) return;
    PathHop& router = model.hops[timeToLive - 1];
    if (router.silent || router.isTarget || withheld(router)) return;
    uint32_t delay = router.discoveryDelay ? router.discoveryDelay : router.delay;
    addAnswer(model, answers, now + delay, router.address, timeExceeded(model, destination, message, length),
              router.copies);
    return;
  }
  if (reach == static_cast<int>(model.hops.size())) return;
  PathHop& hop = model.hops[reach];
  if (hop.noEcho) return;
  uint32_t delay = hop.delay;
  // Measurement probes of a hop carry its own index; the target's first such probe is its discovery.
  bool measurement = length > 6 && message[6] == reach && (!hop.isTarget || hop.discovered);
  if (hop.isTarget && length > 6 && message[6] == reach) hop.discovered = true;
  if (measurement) {
    int n = ++hop.measured;
    if (contains(hop.lost, n)) return;
    if (contains(hop.late, n)) delay = hop.lateDelay;
  } else if (hop.discoveryDelay) {
    delay = hop.discoveryDelay;
  }
  if (withheld(hop)) return;
  addAnswer(model, answers, now + delay, hop.address, echoReply(message, length), hop.copies);
}
