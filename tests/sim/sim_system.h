// A simulated operating system for the engine: a virtual clock that each pass's wait advances,
// and a network that answers from a path model as a raw socket delivers it.
#pragma once

#include <string>
#include <vector>

#include "core/trace_engine.h"
#include "sim/path_model.h"

// One probe as it left the simulated host.
struct SentProbe {
  uint32_t at;                 // clock value of the send
  int timeToLive;              // the socket's time-to-live then
  SocketAddress destination;   // where it went
  std::vector<uint8_t> bytes;  // the ICMP message
};

class SimTransport : public IcmpTransport {
 public:
  int open() override { return isOpen = openError == 0, openError; }
  void close() override { isOpen = false; }
  void setTimeToLive(int value) override { timeToLive = value; }
  void send(const uint8_t* message, int length, const SocketAddress& destination) override;
  bool datagramWaiting() override;
  int receive(uint8_t* buffer, int capacity, SocketAddress& sender, uint32_t& arrivedAt) override;
  bool wait(intptr_t, bool) override { return false; }
  // Queues a datagram that reaches the host at `at`, in clock order across the wrap.
  void deliver(uint32_t at, uint32_t sender, std::vector<uint8_t> bytes);

  PathModel* path = nullptr;        // answers the probes, when set
  const uint32_t* clock = nullptr;  // the system's clock
  int openError = 0;                // what open() returns
  bool isOpen = false;
  int timeToLive = 0;
  std::vector<SentProbe> sent;      // every probe handed to send()
  std::vector<PathAnswer> waiting;  // answers not yet received
};

class SimSystem : public TraceSystem {
 public:
  SimSystem() { network.clock = &now; }
  IcmpTransport& transport() override { return chosen != nullptr ? *chosen : network; }
  uint32_t nowMilliseconds() override { return now; }
  // 1 ms on a fine timer, else on to the next tick, as Sleep(1) ends a pass on Windows.
  void waitForNextPass(const TraceSlot& slot, bool quiet) override;
  uint32_t processId() override { return pid; }
  SocketAddress resolveTarget(const char*) override { return resolved; }
  void startReverseLookup(TraceSlot&, int hop) override { lookups.push_back(hop); }
  void render(TraceSlot& slot, const char* statusText) override;

  uint32_t now = 0, microseconds = 0;  // the virtual clock
  uint32_t tickMicroseconds = 1000;    // the system timer's tick when the timer is not fine
  uint32_t pid = 0x1234;
  SocketAddress resolved = {};         // what every host name resolves to
  SimTransport network;
  IcmpTransport* chosen = nullptr;     // stands in for `network` when set
  std::vector<int> lookups;            // hops whose reverse lookup was started
  std::vector<std::string> renders;    // every report shown, in order
};

// One trace run pass by pass on a scenario's path.
struct SimTrace {
  explicit SimTrace(const std::string& scenario, uint32_t clockStart = 0, uint8_t tag = 0, uint32_t pid = 0x1234);
  void restart();  // the engine started again on a fresh slot
  bool pass();     // one pass and its wait; false once the engine has ended
  void runUntilQuiet(int limit = 200000);
  void finishLookups();  // every started lookup given its name from the path, as the window does
  std::string report();  // as the window shows it, "\n" for "\r\n"

  PathModel path;
  SimSystem system;
  TraceSlot slot = {};
  TraceEngine engine = {};
};
