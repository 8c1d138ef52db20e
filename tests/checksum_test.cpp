// Byte layouts: the checksum, the probe and the clock conversion.
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
      {{0x08}, {0xF7, 0xFF}},              // an odd last byte counts as if a zero followed
      {{0x08, 0x00, 0x01}, {0xF6, 0xFF}},  // 0x0800 + 0x0100
      {{}, {0xFF, 0xFF}},
      {{0xFF, 0xFF, 0xFF, 0xFF}, {0x00, 0x00}},              // the end-around carry folds back in
      {{0xFF, 0xFF, 0x00, 0x80, 0x00, 0x80}, {0xFE, 0xFF}},  // and the second fold's carry too
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
      {123456, 0, 0},  // no performance counter: no division by zero
      {0, 10000000, 0},
      {10000000, 10000000, 1000},
      {15, 10000, 1},                     // truncated, not rounded
      {4294967296LL * 1000, 1000000, 0},  // 2^32 ms: the value wraps
      {(4294967296LL + 5) * 1000, 1000000, 5},
      {4294967295LL, 1000, 4294967295u},
  };
  for (const Case& c : cases)
    EXPECT_EQ(millisecondsFromTicks(c.count, c.frequency), c.expected) << c.count << "/" << c.frequency;
}

}  // namespace
