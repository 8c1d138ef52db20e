// Several transports standing in for one: the first that opens carries the trace.
#pragma once

#include "core/trace_engine.h"
#include "core/trace_system.h"

// The first of several transports that opens, standing in for it: the engine sees one.
class TransportChoice : public IcmpTransport {
 public:
  TransportChoice(IcmpTransport* const* candidates, int count) : candidates_(candidates), count_(count) {}
  // Opens each candidate in order; the last refusal's error when every one refuses.
  int open(uint16_t family) override;
  void acceptOnly(uint16_t identifier, uint8_t traceTag) override;
  void close() override;
  void setTimeToLive(int timeToLive) override;
  void send(const uint8_t* message, int length, const SocketAddress& destination) override;
  bool datagramWaiting() override;
  int receive(uint8_t* buffer, int capacity, SocketAddress& sender, uint32_t& arrivedAt) override;
  bool wait(intptr_t wake, int64_t timeoutNanoseconds) override;

 private:
  IcmpTransport* const* candidates_;  // in the order of preference
  int count_;
  IcmpTransport* chosen_ = nullptr;  // the one that opened, or null
};

// A platform's two transports in their order of choice, behind the one choice the engine sees.
template <typename Preferred, typename Fallback>
struct TransportPair {
  Preferred preferred;
  Fallback fallback;
  IcmpTransport* const order[2] = {&preferred, &fallback};
  TransportChoice choice{order, 2};
};

// A trace on the platform's `System` with a pair of each family, chosen apart: where one family's preferred transport
// cannot be had, the other's still may be.
template <typename System, typename Preferred, typename Fallback>
int traceOn(TraceSlot& slot, TraceFrontEnd& frontEnd) {
  TransportPair<Preferred, Fallback> ipv4, ipv6;
  System system(ipv4.choice, ipv6.choice);
  return runTrace(slot, system, frontEnd);
}

// 0 when one of the pair opens for IPv4; otherwise the last one's error code.
template <typename Preferred, typename Fallback>
int openError() {
  TransportPair<Preferred, Fallback> pair;
  int error = pair.choice.open(INET_FAMILY);
  pair.choice.close();
  return error;
}
