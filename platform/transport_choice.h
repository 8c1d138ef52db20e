// Several transports standing in for one: the first that opens carries the trace.
#pragma once

#include "core/trace_engine.h"
#include "core/trace_system.h"

// The first of several transports that opens, standing in for it: the engine sees one.
class TransportChoice : public IcmpTransport {
 public:
  TransportChoice(IcmpTransport* const* candidates, int count) : candidates_(candidates), count_(count) {}
  // Opens each candidate in order; the last refusal's error when every one refuses.
  int open() override;
  void close() override;
  void setTimeToLive(int timeToLive) override;
  void send(const uint8_t* message, int length, const SocketAddress& destination) override;
  bool datagramWaiting() override;
  int receive(uint8_t* buffer, int capacity, SocketAddress& sender, uint32_t& arrivedAt) override;
  bool wait(intptr_t wake, bool wakeOnly) override;

 private:
  IcmpTransport* const* candidates_;  // in the order of preference
  int count_;
  IcmpTransport* chosen_ = nullptr;  // the one that opened, or null
};

// A platform's two transports in their order of choice, behind the one choice the engine sees, run by the
// platform's `System`.
template <typename System, typename Preferred, typename Fallback>
struct TransportPair {
  Preferred preferred;
  Fallback fallback;
  IcmpTransport* const order[2] = {&preferred, &fallback};
  TransportChoice choice{order, 2};

  int trace(TraceSlot& slot, TraceFrontEnd& frontEnd) {
    System system(choice);
    return runTrace(slot, system, frontEnd);
  }
  int openError() {
    int error = choice.open();
    choice.close();
    return error;
  }
};
