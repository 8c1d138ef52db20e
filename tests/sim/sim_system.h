// A simulated operating system for the engine: a virtual clock that each 1 ms sleep advances,
// and a network that answers from a path model.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/trace_engine.h"
#include "core/trace_system.h"
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
  int open() override;
  void close() override { isOpen = false; }
  void setTimeToLive(int value) override { timeToLive = value; }
  void send(const uint8_t* message, int length, const SocketAddress& destination) override;
  bool datagramWaiting() override;
  int receive(uint8_t* buffer, int capacity, SocketAddress& sender, uint32_t& arrivedAt) override;
  bool wait(intptr_t, bool) override { return false; }  // the simulated clock never waits

  // Queues a datagram that reaches the host at `at`.
  void deliver(uint32_t at, uint32_t sender, std::vector<uint8_t> bytes);

  // How answers reach the engine: as a raw socket delivers them, or as a ping socket or the ICMP
  // helper API hands them over (own answers only, without IP headers) and their transport
  // rebuilds them.
  enum class Answers { raw, ping, helper } handOver = Answers::raw;
  PathModel* path = nullptr;        // answers the probes, when set
  const uint32_t* clock = nullptr;  // the system's clock
  const uint32_t* pid = nullptr;    // the system's process id
  int openError = 0;                // what open() returns
  bool isOpen = false;
  int timeToLive = 0;
  std::vector<SentProbe> sent;      // every probe handed to send()
  std::vector<PathAnswer> waiting;  // answers not yet received, in delivery order
  long received = 0;                // datagrams handed to the engine
};

class SimSystem : public TraceSystem {
 public:
  SimSystem();
  IcmpTransport& transport() override { return chosen != nullptr ? *chosen : network; }
  uint32_t nowMilliseconds() override { return now; }
  // Ends a pass as the platform does: 1 ms on a fine timer, else until the next multiple of
  // `tickMicroseconds`, as Sleep(1) does on Windows.
  void waitForNextPass(const TraceSlot& slot, bool quiet) override;
  uint32_t processId() override { return pid; }
  SocketAddress resolveTarget(const char* hostText) override;
  void startReverseLookup(TraceSlot& slot, int hop) override;
  void render(TraceSlot& slot, const char* statusText) override;

  // Loads a scenario's path into the network; the target resolves to its target address.
  void usePath(PathModel& model);

  uint32_t now = 0;                  // the virtual clock, ms
  uint32_t microseconds = 0;         // and its microseconds past `now`
  uint32_t tickMicroseconds = 1000;  // the system timer's tick
  bool fineTimer = true;             // a timer that waits 1 ms whatever the tick
  uint32_t pid = 0x1234;             // the process id
  SocketAddress resolved = {};       // what every host name resolves to
  SimTransport network;
  IcmpTransport* chosen = nullptr;   // stands in for `network` when set
  std::vector<int> lookups;          // hop indices whose reverse lookup was started
  std::vector<std::string> renders;  // every report text shown, in order
};

// One trace run pass by pass on a simulated path.
struct SimTrace {
  // Parses `scenario` (failing the test on an error) and starts the engine on it.
  explicit SimTrace(const std::string& scenario, uint32_t clockStart = 0, uint8_t tag = 0, uint32_t pid = 0x1234,
                    SimTransport::Answers answers = SimTransport::Answers::raw);
  // Starts the engine again on a fresh slot, with what the test has changed in the system.
  void restart();
  // One pass and its sleep; false once the engine has ended.
  bool pass();
  // Passes until the slot reports quiet (plus `extra` more), at most `limit`. The passes run.
  int runUntilQuiet(int limit = 200000, int extra = 0);
  // Hands every started reverse lookup its name from the path, as the window would.
  void finishLookups();
  // The report as the window would show it, with "\n" for "\r\n".
  std::string report();

  PathModel path;
  SimSystem system;
  TraceSlot slot = {};
  TraceEngine engine = {};
  size_t lookupsDone = 0;
};
