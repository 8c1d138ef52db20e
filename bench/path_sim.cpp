// zarta_path_sim: plays a path model on a TUN device, so that zarta-trace and the tracers it is
// measured against meet the same path through the real network stack.
//
//   zarta_path_sim serve PATH DEVICE
//   zarta_path_sim info PATH          client, target and per-hop delays
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <queue>
#include <sstream>
#include <string>
#include <vector>

#include "core/trace_engine.h"
#include "sim/sim.h"

namespace {

volatile sig_atomic_t stopping = 0;

int64_t nowMicroseconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

std::string readFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    fprintf(stderr, "zarta_path_sim: cannot read %s\n", path);
    exit(2);
  }
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

PathModel loadScenario(const char* path) {
  PathModel model;
  std::string error = parsePathModel(readFile(path), model);
  if (!error.empty()) {
    fprintf(stderr, "zarta_path_sim: %s: %s\n", path, error.c_str());
    exit(2);
  }
  return model;
}

// The kernel drops a datagram whose header checksum is wrong or whose length field is not what
// arrived, before any socket sees it: such a datagram from the model is a fault of the model.
bool malformed(const std::vector<uint8_t>& datagram) {
  return datagram.size() < 20 || (datagram[0] >> 4) != 4 || internetChecksum(datagram.data(), 20) != 0 ||
         static_cast<size_t>((datagram[2] << 8) | datagram[3]) != datagram.size();
}

struct Pending {
  int64_t at;     // microseconds, monotonic clock
  long sequence;  // keeps the model's order among answers due at the same time
  std::vector<uint8_t> bytes;
  bool operator>(const Pending& other) const { return at != other.at ? at > other.at : sequence > other.sequence; }
};

int openTun(const char* device) {
  int fd = open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  ifreq request = {};
  request.ifr_flags = IFF_TUN | IFF_NO_PI;
  snprintf(request.ifr_name, sizeof request.ifr_name, "%s", device);
  if (ioctl(fd, TUNSETIFF, &request) < 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int serve(int argc, char** argv) {
  if (argc != 2) return 2;
  PathModel path = loadScenario(argv[0]);
  int tun = openTun(argv[1]);
  if (tun < 0) {
    fprintf(stderr, "zarta_path_sim: TUN device %s: %s\n", argv[1], strerror(errno));
    return 1;
  }
  struct sigaction onStop = {};
  onStop.sa_handler = [](int) { stopping = 1; };
  sigaction(SIGTERM, &onStop, nullptr);
  sigaction(SIGINT, &onStop, nullptr);
  printf("ready\n");
  fflush(stdout);

  std::priority_queue<Pending, std::vector<Pending>, std::greater<Pending>> due;
  long malformedAnswers = 0;
  long probes = 0, written = 0, sequence = 0;
  std::vector<Datagram> answers;
  uint8_t packet[65536];
  while (!stopping) {
    int64_t now = nowMicroseconds();
    while (!due.empty() && due.top().at <= now) {
      std::vector<uint8_t> bytes = due.top().bytes;
      due.pop();
      if (write(tun, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size())) ++written;
    }
    // Sleep until the next answer is due, to the microsecond: a millisecond timer would add up
    // to a millisecond to every delay that the tests compare against.
    timespec wait = {0, 200000000};
    if (!due.empty()) {
      int64_t left = due.top().at - now;
      wait = {static_cast<time_t>(left / 1000000), static_cast<long>(left % 1000000) * 1000};
    }
    pollfd readable = {tun, POLLIN, 0};
    if (ppoll(&readable, 1, &wait, nullptr) <= 0) continue;
    for (;;) {
      ssize_t length = read(tun, packet, sizeof packet);
      if (length <= 0) break;
      int64_t arrived = nowMicroseconds();
      uint32_t arrivedMs = static_cast<uint32_t>(arrived / 1000);
      if (length < 20 || (packet[0] >> 4) != 4 || packet[9] != 1) continue;  // ICMP over IPv4 only
      int header = (packet[0] & 0x0F) * 4;
      if (header < 20 || header >= length) continue;
      uint32_t destination;
      memcpy(&destination, packet + 16, 4);
      ++probes;
      answers.clear();
      answerProbe(path, packet + header, static_cast<int>(length - header), destination, packet[8], arrivedMs, answers);
      for (Datagram& answer : answers) {
        malformedAnswers += malformed(answer.bytes);
        int64_t delay = static_cast<int64_t>(static_cast<int32_t>(answer.at - arrivedMs)) * 1000;
        due.push({arrived + delay, sequence++, std::move(answer.bytes)});
      }
    }
  }
  fprintf(stderr, "zarta_path_sim: %ld probes, %ld answers written, %ld malformed\n", probes, written,
          malformedAnswers);
  close(tun);
  return malformedAnswers == 0 ? 0 : 1;
}

int info(const char* scenario) {
  PathModel path = loadScenario(scenario);
  printf("client %s\ntarget %s\n", addressText(path.client).c_str(), addressText(path.target).c_str());
  for (size_t k = 0; k < path.hops.size(); ++k) {
    const PathHop& hop = path.hops[k];
    if (!hop.silent) printf("delay %zu %u\n", k + 1, hop.delays[0]);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string command = argc > 1 ? argv[1] : "";
  if (command == "serve") return serve(argc - 2, argv + 2);
  if (command == "info" && argc == 3) return info(argv[2]);
  fprintf(stderr, "usage: zarta_path_sim serve PATH DEVICE | info PATH\n");
  return 2;
}
