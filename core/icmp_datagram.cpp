#include "core/icmp_datagram.h"

#include <cstring>

namespace {

constexpr uint8_t IP_VERSION_4_LENGTH_20 = 0x45;
constexpr uint8_t DEFAULT_TIME_TO_LIVE = 64;

// The length of the IPv4 header at `ip`, or -1 when `length` bytes cannot hold it.
int ipHeaderLength(const uint8_t* ip, int length) {
  if (length < IP_HEADER_LENGTH) return -1;
  int header = (ip[IP_VERSION_LENGTH_AT] & 0x0F) * 4;
  return header >= IP_HEADER_LENGTH && header <= length ? header : -1;
}

void putIpHeader(uint8_t* at, int totalLength, uint32_t source) {
  memset(at, 0, IP_HEADER_LENGTH);
  at[IP_VERSION_LENGTH_AT] = IP_VERSION_4_LENGTH_20;
  at[IP_TOTAL_LENGTH_AT] = static_cast<uint8_t>(totalLength >> 8);
  at[IP_TOTAL_LENGTH_AT + 1] = static_cast<uint8_t>(totalLength);
  at[IP_TIME_TO_LIVE_AT] = DEFAULT_TIME_TO_LIVE;
  at[IP_PROTOCOL_AT] = IP_PROTOCOL_ICMP;
  memcpy(at + IP_SOURCE_AT, &source, 4);
}

// The echo header fields at `header`, of which `length` bytes (8 or more) are at hand.
void readEcho(const uint8_t* header, int length, ProbeEcho& echo) {
  echo.identifier = probeIdentifier(header);
  echo.hop = header[ECHO_HOP_AT];
  echo.traceTag = header[ECHO_TAG_AT];
  echo.hasTimestamp = length >= PROBE_HEADER_LENGTH;
  echo.timestamp = echo.hasTimestamp ? getLittle32(header + ECHO_TIMESTAMP_AT) : 0;
}

}  // namespace

uint16_t internetChecksum(const uint8_t* data, int length) {
  uint32_t sum = 0;
  int i = 0;
  for (; length - i > 1; i += 2) {
    uint16_t word;
    memcpy(&word, data + i, 2);
    sum += word;
  }
  if (i < length) {
    uint8_t last[2] = {data[i], 0};
    uint16_t word;
    memcpy(&word, last, 2);
    sum += word;
  }
  sum = (sum >> 16) + (sum & 0xFFFF);
  sum += sum >> 16;
  return static_cast<uint16_t>(~sum);
}

void putLittle16(uint8_t* at, uint32_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
}

void putLittle32(uint8_t* at, uint32_t value) {
  putLittle16(at, value);
  putLittle16(at + 2, value >> 16);
}

uint32_t getLittle32(const uint8_t* at) {
  return at[0] | (at[1] << 8) | (at[2] << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

uint16_t probeIdentifier(const uint8_t* header) {
  return static_cast<uint16_t>(header[ECHO_IDENTIFIER_AT] | (header[ECHO_IDENTIFIER_AT + 1] << 8));
}

void buildProbe(uint8_t* out, uint32_t processId, uint8_t hop, uint8_t traceTag, uint32_t timestamp, bool ipv6) {
  memset(out, 0, PROBE_LENGTH);
  out[ICMP_TYPE_AT] = ipv6 ? ICMPV6_TYPE_ECHO_REQUEST : ICMP_TYPE_ECHO_REQUEST;
  putLittle16(out + ECHO_IDENTIFIER_AT, processId);
  out[ECHO_HOP_AT] = hop;
  out[ECHO_TAG_AT] = traceTag;
  putLittle32(out + ECHO_TIMESTAMP_AT, timestamp);
  uint16_t checksum = internetChecksum(out, PROBE_HEADER_LENGTH);
  memcpy(out + ICMP_CHECKSUM_AT, &checksum, 2);
}

bool readProbeEcho(const uint8_t* datagram, int length, ProbeEcho& echo) {
  int at = ipHeaderLength(datagram, length);
  if (at < 0 || length - at < ICMP_HEADER_LENGTH) return false;
  echo.expired = datagram[at + ICMP_TYPE_AT] == ICMP_TYPE_TIME_EXCEEDED;
  if (echo.expired) {
    const uint8_t* quoted = datagram + at + ICMP_HEADER_LENGTH;
    int quotedHeader = ipHeaderLength(quoted, length - at - ICMP_HEADER_LENGTH);
    // Another program's UDP or TCP datagram could carry our identifier where an echo has it.
    if (quotedHeader < 0 || quoted[IP_PROTOCOL_AT] != IP_PROTOCOL_ICMP) return false;
    at += ICMP_HEADER_LENGTH + quotedHeader;
    if (length - at < ICMP_HEADER_LENGTH) return false;
  } else if (datagram[at + ICMP_TYPE_AT] != ICMP_TYPE_ECHO_REPLY) {
    return false;
  }
  readEcho(datagram + at, length - at, echo);
  return true;
}

bool readProbeEcho6(const uint8_t* message, int length, ProbeEcho& echo) {
  if (length < ICMP_HEADER_LENGTH) return false;
  int at = 0;
  echo.expired = message[ICMP_TYPE_AT] == ICMPV6_TYPE_TIME_EXCEEDED;
  if (echo.expired) {
    // The quoted header's payload could be another program's UDP or TCP, with our identifier where an echo has it.
    at = ICMP_HEADER_LENGTH + IPV6_HEADER_LENGTH;
    if (length - at < ICMP_HEADER_LENGTH ||
        message[ICMP_HEADER_LENGTH + IPV6_NEXT_HEADER_AT] != IPV6_NEXT_HEADER_ICMPV6)
      return false;
  } else if (message[ICMP_TYPE_AT] != ICMPV6_TYPE_ECHO_REPLY) {
    return false;
  }
  readEcho(message + at, length - at, echo);
  return true;
}

int synthesizeDatagram(uint8_t type, uint32_t sender, const uint8_t* probe, int length, uint16_t identifier,
                       uint8_t* out, int capacity) {
  if (length < ICMP_HEADER_LENGTH) return -1;
  int echoAt = IP_HEADER_LENGTH;
  if (type == ICMP_TYPE_TIME_EXCEEDED)
    echoAt += ICMP_HEADER_LENGTH + IP_HEADER_LENGTH;
  else if (type != ICMP_TYPE_ECHO_REPLY)
    return -1;
  int total = echoAt + length;
  if (total > capacity) return -1;
  putIpHeader(out, total, sender);
  if (type == ICMP_TYPE_TIME_EXCEEDED) {
    memset(out + IP_HEADER_LENGTH, 0, ICMP_HEADER_LENGTH);
    out[IP_HEADER_LENGTH + ICMP_TYPE_AT] = ICMP_TYPE_TIME_EXCEEDED;
    // The probe's own header as a router quotes it; its addresses are not read.
    putIpHeader(out + IP_HEADER_LENGTH + ICMP_HEADER_LENGTH, IP_HEADER_LENGTH + length, 0);
  }
  memcpy(out + echoAt, probe, length);
  out[echoAt + ICMP_TYPE_AT] = type == ICMP_TYPE_TIME_EXCEEDED ? ICMP_TYPE_ECHO_REQUEST : ICMP_TYPE_ECHO_REPLY;
  putLittle16(out + echoAt + ECHO_IDENTIFIER_AT, identifier);
  return total;
}

int synthesizeMessage6(uint8_t type, const uint8_t* probe, int length, uint16_t identifier, uint8_t* out,
                       int capacity) {
  if (length < ICMP_HEADER_LENGTH) return -1;
  int echoAt = 0;
  if (type == ICMPV6_TYPE_TIME_EXCEEDED)
    echoAt = ICMP_HEADER_LENGTH + IPV6_HEADER_LENGTH;
  else if (type != ICMPV6_TYPE_ECHO_REPLY)
    return -1;
  if (echoAt + length > capacity) return -1;
  if (type == ICMPV6_TYPE_TIME_EXCEEDED) {
    // The probe's own header as a router quotes it; its addresses are not read.
    memset(out, 0, echoAt);
    out[ICMP_TYPE_AT] = ICMPV6_TYPE_TIME_EXCEEDED;
    uint8_t* quoted = out + ICMP_HEADER_LENGTH;
    quoted[0] = 0x60;  // version 6
    quoted[IPV6_PAYLOAD_LENGTH_AT] = static_cast<uint8_t>(length >> 8);
    quoted[IPV6_PAYLOAD_LENGTH_AT + 1] = static_cast<uint8_t>(length);
    quoted[IPV6_NEXT_HEADER_AT] = IPV6_NEXT_HEADER_ICMPV6;
    quoted[IPV6_HOP_LIMIT_AT] = 1;
  }
  memcpy(out + echoAt, probe, length);
  out[echoAt + ICMP_TYPE_AT] = type == ICMPV6_TYPE_TIME_EXCEEDED ? ICMPV6_TYPE_ECHO_REQUEST : ICMPV6_TYPE_ECHO_REPLY;
  putLittle16(out + echoAt + ECHO_IDENTIFIER_AT, identifier);
  return echoAt + length;
}

int helperReplyDatagram(uint32_t status, uint32_t address, const uint8_t* probe, uint8_t* out, int capacity,
                        bool ipv6) {
  bool expired = status == HELPER_TTL_EXPIRED;
  if (!expired && status != HELPER_SUCCESS) return -1;
  // The API does not say how much of the probe a router quoted: its first 8 bytes are all that every router
  // quotes, and all that the engine reads of a time-exceeded.
  int quoted = expired ? ICMP_HEADER_LENGTH : PROBE_LENGTH;
  if (ipv6)
    return synthesizeMessage6(expired ? ICMPV6_TYPE_TIME_EXCEEDED : ICMPV6_TYPE_ECHO_REPLY, probe, quoted,
                              probeIdentifier(probe), out, capacity);
  return synthesizeDatagram(expired ? ICMP_TYPE_TIME_EXCEEDED : ICMP_TYPE_ECHO_REPLY, address, probe, quoted,
                            probeIdentifier(probe), out, capacity);
}
