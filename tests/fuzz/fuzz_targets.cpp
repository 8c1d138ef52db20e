// The libFuzzer target: arbitrary datagrams, cut anywhere, from anyone, into a running engine.
// The hop table must stay consistent whatever comes in; the sanitizers catch the rest.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "sim/sim_system.h"

#define REQUIRE(condition) \
  if (!(condition)) abort()

namespace {

void checkHopTable(const SimTrace& trace) {
  REQUIRE(trace.engine.probeWindow >= 1 && trace.engine.probeWindow <= MAX_HOPS);
  REQUIRE(trace.engine.measureRound <= MAX_ROUND);
  int targets = 0;
  for (const HopRecord& hop : trace.slot.hops) {
    REQUIRE(hop.replyCount <= hop.probeCount && hop.discoveryProbes <= MAX_DISCOVERY_PROBES);
    REQUIRE(targets == 0 || hop.state == HOP_SILENT);  // nothing but silence behind the target
    targets += hop.state == HOP_TARGET;
  }
}

void fuzzReceive(FuzzedDataProvider& data) {
  SimTrace trace("client 192.0.2.2\ntarget 203.0.113.9\nhop 198.51.100.1 delay 3\nhop silent\nhop target delay 9\n",
                 data.ConsumeIntegral<uint32_t>(), data.ConsumeIntegral<uint8_t>());
  while (data.remaining_bytes() > 0) {
    uint8_t hop = data.ConsumeIntegralInRange<uint8_t>(0, MAX_HOPS + 1);
    switch (data.ConsumeIntegralInRange(0, 3)) {
      case 0: {  // anything at all
        std::string bytes = data.ConsumeRandomLengthString(RECEIVE_BUFFER_LENGTH + 100);
        trace.system.network.deliver(trace.system.now, data.ConsumeIntegral<uint32_t>(),
                                     std::vector<uint8_t>(bytes.begin(), bytes.end()));
        break;
      }
      case 1: {  // an answer to this trace's probe of a hop, cut anywhere, from anyone
        uint8_t probe[PROBE_LENGTH], out[200];
        buildProbe(probe, trace.system.pid, hop, trace.slot.traceTag,
                   hop < MAX_HOPS ? trace.slot.hops[hop].lastSendTime : 0);
        int length = synthesizeDatagram(data.ConsumeBool() ? ICMP_ECHO_REPLY : ICMP_TIME_EXCEEDED,
                                        data.ConsumeBool() ? trace.path.target : data.ConsumeIntegral<uint32_t>(),
                                        probe, PROBE_LENGTH, static_cast<uint16_t>(trace.system.pid), out, 200);
        trace.system.network.deliver(trace.system.now, 0,
                                     std::vector<uint8_t>(out, out + data.ConsumeIntegralInRange(0, length)));
        break;
      }
      case 2:
        for (int passes = data.ConsumeIntegralInRange(1, 300); passes > 0; --passes) {
          trace.pass();
          checkHopTable(trace);
        }
        break;
      case 3:
        trace.system.now += data.ConsumeIntegral<uint32_t>();
        break;
    }
  }
  trace.pass();
  checkHopTable(trace);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  FuzzedDataProvider data(bytes, size);
  fuzzReceive(data);
  return 0;
}
