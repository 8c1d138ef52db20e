// Byte layouts: the checksum, the probe, the clock conversion and reading echoed headers.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "core/trace_engine.h"

namespace {

std::vector<uint8_t> checksumField(std::vector<uint8_t> bytes) {
  uint16_t sum = internetChecksum(bytes.data(), static_cast<int>(bytes.size()));
  std::vector<uint8_t> field(2);
  memcpy(field.data(), &sum, 2);
  return field;
}

TEST(Checksum, StoredInHostOrderGivesTheWireForm) {
  struct Case {
    std::vector<uint8_t> bytes;
    std::vector<uint8_t> field;
  } cases[] = {
      {{0x08, 0x00, 0x00, 0x00}, {0xF7, 0xFF}},
      {{0x08}, {0xF7, 0xFF}},                    // an odd last byte counts as if a zero followed
      {{0x08, 0x00, 0x01}, {0xF6, 0xFF}},        // 0x0800 + 0x0100
      {{}, {0xFF, 0xFF}},
      {{0xFF, 0xFF, 0xFF, 0xFF}, {0x00, 0x00}},  // the end-around carry folds back in
      {{0x08, 0x00, 0x00, 0x00, 0x34, 0x12, 0x02, 0x05, 0x03, 0x02, 0x01, 0x00}, {0xBD, 0xE6}},
  };
  for (const Case& c : cases) EXPECT_EQ(checksumField(c.bytes), c.field) << c.bytes.size() << " bytes";
}

TEST(Probe, BytesFollowTheWireLayout) {
  uint8_t probe[PROBE_LENGTH + 4];
  memset(probe, 0xAA, sizeof probe);
  buildProbe(probe, 0x00011234, 2, 5, 0x00010203);  // a process id above 65535 keeps its low half
  const uint8_t header[12] = {0x08, 0x00, 0xBD, 0xE6, 0x34, 0x12, 0x02, 0x05, 0x03, 0x02, 0x01, 0x00};
  EXPECT_EQ(memcmp(probe, header, 12), 0);
  for (int i = 12; i < PROBE_LENGTH; ++i) ASSERT_EQ(probe[i], 0) << "byte " << i;
  EXPECT_EQ(probe[PROBE_LENGTH], 0xAA) << "wrote past the probe";
  EXPECT_EQ(internetChecksum(probe, PROBE_LENGTH), 0) << "a valid message sums to zero";
}

TEST(Clock, TicksToMilliseconds) {
  struct Case {
    int64_t count, frequency;
    uint32_t expected;
  } cases[] = {
      {123456, 0, 0},                         // no performance counter: no division by zero
      {0, 10000000, 0},
      {10000000, 10000000, 1000},
      {15, 10000, 1},                         // truncated, not rounded
      {4294967296LL * 1000, 1000000, 0},      // 2^32 ms: the value wraps
      {(4294967296LL + 5) * 1000, 1000000, 5},
      {4294967295LL, 1000, 4294967295u},
  };
  for (const Case& c : cases)
    EXPECT_EQ(millisecondsFromTicks(c.count, c.frequency), c.expected) << c.count << "/" << c.frequency;
}

TEST(ProbeEcho, FoundBehindEitherTypeAndNeverPastTheEnd) {
  uint8_t datagram[RECEIVE_BUFFER_LENGTH] = {};
  buildProbe(datagram + 20, 0x4321, 7, 200, 0xA0B0C0D0);
  datagram[20] = ICMP_ECHO_REPLY;
  uint8_t exceeded[RECEIVE_BUFFER_LENGTH] = {};
  exceeded[20] = ICMP_TIME_EXCEEDED;
  buildProbe(exceeded + 48, 0x4321, 7, 200, 0xA0B0C0D0);
  struct Case {
    const uint8_t* bytes;
    int length;
    bool found;
  } cases[] = {
      {datagram, 32, true},  {datagram, 31, false}, {datagram, 20, false}, {datagram, -1, false},
      {exceeded, 60, true},  {exceeded, 59, false}, {exceeded, 32, false},
  };
  for (const Case& c : cases) {
    ProbeEcho echo = {};
    ASSERT_EQ(readProbeEcho(c.bytes, c.length, echo), c.found) << c.length;
    if (!c.found) continue;
    EXPECT_EQ(echo.identifier, 0x4321);
    EXPECT_EQ(echo.hop, 7);
    EXPECT_EQ(echo.traceTag, 200);
    EXPECT_EQ(echo.timestamp, 0xA0B0C0D0u);
  }
}

}  // namespace
