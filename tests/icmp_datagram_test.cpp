// The wire bytes pinned by hand: the checksum, the probe, and every answer the ping socket and the helper hand over.
#include "core/icmp_datagram.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

// Bytes from hex pairs; "00*52" stands for 52 zero bytes.
std::vector<uint8_t> hex(const std::string& text) {
  std::vector<uint8_t> bytes;
  std::istringstream words(text);
  for (std::string word; words >> word;) {
    unsigned byte = 0, count = 1;
    sscanf(word.c_str(), "%x*%u", &byte, &count);
    bytes.insert(bytes.end(), count, static_cast<uint8_t>(byte));
  }
  return bytes;
}

// Stored in host order, the checksum gives the wire form; both carries fold back in, an odd last byte is padded. The
// probe keeps a process id's low half, writing nothing past its 64 bytes. What the ping socket and the helper hand
// over, as a raw socket would deliver it from 198.51.100.7: a 20-byte header, then the answer with the probe's
// identifier put back (the ping socket's kernel sends its own); a time-exceeded quotes the probe behind a header of its
// own, the helper's only the 8 bytes every router quotes. Nothing for another type or status, a quote shorter than the
// echo header, or no room; nothing past the end.
TEST(Wire, ChecksumProbeAndAnswersAsTheWireHasThem) {
  const uint8_t carries[] = {0xFF, 0xFF, 0x00, 0x80, 0x00, 0x80}, odd[] = {0x08, 0x00, 0x01};
  const uint16_t sums[] = {internetChecksum(carries, 6), internetChecksum(odd, 3), internetChecksum(odd, 0)};
  EXPECT_EQ(memcmp(sums, "\xFE\xFF\xF6\xFF\xFF\xFF", 6), 0);
  constexpr uint32_t PING_SOCKET = 1;  // not a helper status: the ping socket's rebuild of `type`
  const std::string probeRest = " 02 05 03 02 01 00 00*52";
  uint8_t probe[PROBE_LENGTH + 1];
  memset(probe, 0xAA, sizeof probe), buildProbe(probe, 0x00011234, 2, 5, 0x00010203);
  EXPECT_EQ(std::vector<uint8_t>(probe, probe + sizeof probe), hex("08 00 BD E6 34 12" + probeRest + " AA"));
  uint32_t sender;
  memcpy(&sender, "\xC6\x33\x64\x07", 4);
  const std::string from = " 00 00 00 00 40 01 00 00 C6 33 64 07 00 00 00 00 ";
  const std::string quoting = " 00 00 00 00 40 01 00 00 00 00 00 00 00 00 00 00 ";
  // What; a helper reply's status, or PING_SOCKET; type, bytes quoted, room; the bytes, none if empty.
  const std::tuple<const char*, uint32_t, uint8_t, int, int, std::string> cases[] = {
      {"echo reply", PING_SOCKET, ICMP_TYPE_ECHO_REPLY, 64, 84, "45 00 00 54" + from + "00 00 BD E6 CD AB" + probeRest},
      {"time-exceeded quoting the whole probe", PING_SOCKET, ICMP_TYPE_TIME_EXCEEDED, 64, 112,
       "45 00 00 70" + from + "0B 00*7 45 00 00 54" + quoting + "08 00 BD E6 CD AB" + probeRest},
      {"time-exceeded quoting 8 bytes", PING_SOCKET, ICMP_TYPE_TIME_EXCEEDED, 8, 200,
       "45 00 00 38" + from + "0B 00*7 45 00 00 1C" + quoting + "08 00 BD E6 CD AB 02 05"},
      {"no room for the last byte", PING_SOCKET, ICMP_TYPE_TIME_EXCEEDED, 64, 111, ""},
      {"a quote of 7 bytes", PING_SOCKET, ICMP_TYPE_TIME_EXCEEDED, 7, 200, ""},
      {"destination unreachable", PING_SOCKET, 3, 64, 200, ""},
      {"the helper's success", HELPER_SUCCESS, 0, 0, 200, "45 00 00 54" + from + "00 00 BD E6 34 12" + probeRest},
      {"the helper's time-exceeded", HELPER_TTL_EXPIRED, 0, 0, 200,
       "45 00 00 38" + from + "0B 00*7 45 00 00 1C" + quoting + "08 00 BD E6 34 12 02 05"},
      {"the helper's unreachable", 11003, 0, 0, 200, ""},
  };
  for (const auto& [what, status, type, quoted, capacity, expected] : cases) {
    uint8_t out[201];
    memset(out, 0xAA, sizeof out);
    int length = status == PING_SOCKET ? synthesizeDatagram(type, sender, probe, quoted, 0xABCD, out, capacity)
                                       : helperReplyDatagram(status, sender, probe, out, capacity);
    EXPECT_EQ(std::vector<uint8_t>(out, out + std::max(length, 0) + 1), hex(expected + " AA")) << what;
  }
}

}  // namespace
