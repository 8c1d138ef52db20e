// libFuzzer targets, one per build (ZARTA_FUZZ_TARGET): arbitrary datagrams into a running
// engine, host texts, reports of arbitrary slots, trace starts from arbitrary texts. Each
// checks what must hold whatever comes in; the sanitizers catch the rest.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "display/host_text.h"
#include "display/trace_report.h"
#include "display/trace_start.h"
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

[[maybe_unused]] void fuzzReceive(FuzzedDataProvider& data) {
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

[[maybe_unused]] void fuzzHostText(FuzzedDataProvider& data) {
  std::string text = data.ConsumeRemainingBytesAsString();
  static char result[HOST_TEXT_LENGTH];  // AddressSanitizer guards its end
  extractHostName(text.c_str(), result);
  REQUIRE(strlen(result) < HOST_TEXT_LENGTH);
  REQUIRE(strspn(result, "-.0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") == strlen(result));
}

[[maybe_unused]] void fuzzReport(FuzzedDataProvider& data) {
  static TraceSlot slot;
  memset(static_cast<void*>(&slot), 0, sizeof slot);
  data.ConsumeData(&slot, sizeof slot);
  slot.window = nullptr;
  // An odd name version holds a report up for 100 ms, which a unit test shows ends; here it would
  // only slow the search.
  for (HopRecord& hop : slot.hops) hop.nameVersion &= ~1u;
  static char text[REPORT_LENGTH];
  size_t length = buildTraceReport(slot, nullptr, text);
  REQUIRE(length == strlen(text) && length < sizeof text);
  // Every line ends in "\r\n"; no other control character is shown; Loss stays within 0..100.
  for (const char* line = text; *line != '\0'; line = strstr(line, "\r\n") + 2) {
    const char* end = strstr(line, "\r\n");
    REQUIRE(end != nullptr);
    int tabs = 0;
    const char* loss = nullptr;
    for (const char* c = line; c < end; ++c) {
      REQUIRE(*c == '\t' || static_cast<unsigned char>(*c) >= ' ');
      if (*c == '\t' && ++tabs == 2) loss = c + 1;
    }
    if (tabs == 5 && line[0] != 'H') REQUIRE(atoi(loss) >= 0 && atoi(loss) <= 100);
  }
}

[[maybe_unused]] void fuzzTraceStart(FuzzedDataProvider& data) {
  std::string text = data.ConsumeRemainingBytesAsString();
  TraceSlot* slot = claimTraceSlot(text.c_str());
  REQUIRE(slot != nullptr && strlen(slot->hostName) < HOST_NAME_LENGTH);
  char title[TITLE_LENGTH], host[HOST_TEXT_LENGTH];
  buildTraceTitle(*slot, title);
  extractHostName(text.c_str(), host);
  // The caption and the slot keep the same cut of the same host text.
  REQUIRE(strncmp(host, slot->hostName, HOST_NAME_LENGTH - 1) == 0);
  REQUIRE(std::string(title) == std::string("Tracing route to ") + slot->hostName);
  releaseTraceSlot(*slot);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  FuzzedDataProvider data(bytes, size);
  ZARTA_FUZZ_TARGET(data);
  return 0;
}
