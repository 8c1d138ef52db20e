// The ICMP helper's IPv6 reply record read from bytes put where Windows documents them: packed, unlike MinGW-w64's.
#include <gtest/gtest.h>

#include "core/icmp_datagram.h"
#include "platform/win32.h"

namespace {

// Port, flow information, address, zone (packed: 26 bytes), padding, status, round trip: the message as the engine's
// reader finds it, the sender and the arrival. Non-zero flow and padding show a field read from the wrong place.
TEST(Icmp6Reply, RecordReadAsWindowsLaysItOut) {
  const std::pair<std::string, std::string> cases[] = {
      {"00 00 12 34 56 78 20 01 0d b8 00 01 00 00 00 00 00 00 00 00 00 01 00 00 00 00 EE EE 05 2B 00 00 07 00 00 00",
       "56: expired 1 hop 2 tag 5 from 2001:db8:1::1%0 at 1007"},
      {"00 00 12 34 56 78 fe 80 00 00 00 00 00 00 00 00 00 00 00 00 00 01 00 00 00 03 EE EE 00 00 00 00 2C 01 00 00",
       "64: expired 0 hop 2 tag 5 from fe80::1%3 at 1300"},
      {"00 00 12 34 56 78 20 01 0d b8 00 01 00 00 00 00 00 00 00 00 00 01 00 00 00 00 EE EE 02 2B 00 00 07 00 00 00",
       "-1"},  // IP_REQ_TIMED_OUT: no answer
  };
  uint8_t probe[PROBE_LENGTH], reply[200] = {}, message[RECEIVE_BUFFER_LENGTH];
  buildProbe(probe, 0x1234, 2, 5, 1000, true);
  for (const auto& [hex, expected] : cases) {
    for (size_t i = 0; i < hex.size(); i += 3) reply[i / 3] = static_cast<uint8_t>(std::stoi(hex.substr(i, 2), 0, 16));
    SocketAddress sender = {};
    uint32_t arrivedAt = 0;
    ProbeEcho echo = {};
    char text[128] = "", address[INET6_ADDRSTRLEN];
    int length = readIcmp6Reply(reply, probe, message, sizeof message, sender, arrivedAt);
    if (length > 0 && readProbeEcho6(message, length, echo) && sender.family == AF_INET6)
      snprintf(text, sizeof text, ": expired %d hop %d tag %d from %s%%%u at %u", echo.expired, echo.hop, echo.traceTag,
               inet_ntop(AF_INET6, sender.address6, address, sizeof address), sender.scope, arrivedAt);
    EXPECT_EQ(std::to_string(length) + text, expected);
  }
}

}  // namespace
