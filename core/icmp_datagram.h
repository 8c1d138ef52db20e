// The bytes on the wire: the probe Zarta sends, the answers it matches, and the answers it rebuilds for transports
// that hand over less. Offsets are the protocols' own, named once here.
#pragma once

#include <cstdint>

// ICMP message types (RFC 792). Prefixed: the Windows SDK names a struct ICMP_ECHO_REPLY.
constexpr uint8_t ICMP_TYPE_ECHO_REPLY = 0;
constexpr uint8_t ICMP_TYPE_ECHO_REQUEST = 8;
constexpr uint8_t ICMP_TYPE_TIME_EXCEEDED = 11;
// ICMPv6 message types (RFC 4443).
constexpr uint8_t ICMPV6_TYPE_TIME_EXCEEDED = 3;
constexpr uint8_t ICMPV6_TYPE_ECHO_REQUEST = 128;
constexpr uint8_t ICMPV6_TYPE_ECHO_REPLY = 129;

// The echo header, and the probe behind it: type, code, checksum, then the identifier (the low 16 bits of the
// process id) and, in the sequence, the hop index and the trace tag; then the send timestamp, and zeros.
constexpr int ICMP_TYPE_AT = 0;
constexpr int ICMP_CHECKSUM_AT = 2;
constexpr int ECHO_IDENTIFIER_AT = 4;
constexpr int ECHO_HOP_AT = 6;
constexpr int ECHO_TAG_AT = 7;
constexpr int ECHO_TIMESTAMP_AT = 8;
constexpr int ICMP_HEADER_LENGTH = 8;    // of an echo or a time-exceeded; all that every router quotes of a probe
constexpr int PROBE_HEADER_LENGTH = 12;  // the echo header and the timestamp
constexpr int PROBE_LENGTH = 64;

// The IPv4 header (RFC 791), as a raw socket delivers it before each answer.
constexpr int IP_VERSION_LENGTH_AT = 0;  // version in the high nibble, header length in 32-bit words in the low
constexpr int IP_TOTAL_LENGTH_AT = 2;
constexpr int IP_TIME_TO_LIVE_AT = 8;
constexpr int IP_PROTOCOL_AT = 9;
constexpr int IP_SOURCE_AT = 12;
constexpr int IP_HEADER_LENGTH = 20;  // without options: the least a header takes, and all a rebuilt one has
constexpr uint8_t IP_PROTOCOL_ICMP = 1;

// The IPv6 header (RFC 8200), which a raw ICMPv6 socket never delivers: only the one a time-exceeded quotes.
constexpr int IPV6_PAYLOAD_LENGTH_AT = 4;
constexpr int IPV6_NEXT_HEADER_AT = 6;
constexpr int IPV6_HOP_LIMIT_AT = 7;
constexpr int IPV6_HEADER_LENGTH = 40;
constexpr uint8_t IPV6_NEXT_HEADER_ICMPV6 = 58;

// Status values of an ICMP helper API reply that are answers (the rest are not): Windows' IP_STATUS.
constexpr uint32_t HELPER_SUCCESS = 0;          // IP_SUCCESS: the destination's echo reply
constexpr uint32_t HELPER_TTL_EXPIRED = 11013;  // IP_TTL_EXPIRED_TRANSIT: a router's time-exceeded

// The Internet checksum (RFC 1071) of `length` bytes, to be stored in host byte order.
uint16_t internetChecksum(const uint8_t* data, int length);

// Little-endian fields of the probe: the engine writes them in the order it reads them back, whatever the host.
void putLittle16(uint8_t* at, uint32_t value);
void putLittle32(uint8_t* at, uint32_t value);
uint32_t getLittle32(const uint8_t* at);
// The identifier an echo header at `header` carries.
uint16_t probeIdentifier(const uint8_t* header);

// Writes the 64-byte echo request for hop `hop` into `out`: ICMP's, or with `ipv6` ICMPv6's, whose checksum covers
// addresses that only the system knows and fills in.
void buildProbe(uint8_t* out, uint32_t processId, uint8_t hop, uint8_t traceTag, uint32_t timestamp, bool ipv6 = false);

// The echo header fields that a received datagram carries back.
struct ProbeEcho {
  uint16_t identifier;  // low 16 bits of the sender's process id
  uint8_t hop;          // hop index
  uint8_t traceTag;     // trace tag
  bool expired;         // a router's time-exceeded: the probe never reached where it went
  bool hasTimestamp;    // false when a router quoted only the probe's first 8 bytes
  uint32_t timestamp;   // send timestamp, when it came back
};
// Finds the echo header of an IPv4 answer: an echo reply right behind its IP header, or the probe that a
// time-exceeded message quotes behind the quoted IP header; both headers' lengths are read. False for any other
// datagram, or one too short to hold the probe's first 8 bytes.
bool readProbeEcho(const uint8_t* datagram, int length, ProbeEcho& echo);
// The same for an ICMPv6 message as a raw ICMPv6 socket delivers it, without an IPv6 header: an echo reply, or a
// time-exceeded quoting the probe's IPv6 header (which must say ICMPv6 comes next) and the probe.
bool readProbeEcho6(const uint8_t* message, int length, ProbeEcho& echo);

// The IPv4 datagram a raw socket would deliver for an answer of ICMP `type` (ICMP_TYPE_ECHO_REPLY or
// ICMP_TYPE_TIME_EXCEEDED) from `sender` to the echo request `probe`, of which `length` bytes are at hand (a router
// may quote as few as 8): a 20-byte IP header, then the echo reply, or the time-exceeded header, the probe's IP
// header and the probe. The identifier is written as `identifier`, as the probe carried it. Returns the length, or
// -1 for another type or no room. Its checksums are not made right: nothing reads them.
int synthesizeDatagram(uint8_t type, uint32_t sender, const uint8_t* probe, int length, uint16_t identifier,
                       uint8_t* out, int capacity);

// The same for an ICMPv6 answer of `type` (ICMPV6_TYPE_ECHO_REPLY or ICMPV6_TYPE_TIME_EXCEEDED), as a raw ICMPv6 socket
// delivers it: the echo reply, or the time-exceeded header, a 40-byte IPv6 header and the probe. No sender: an
// ICMPv6 message carries none.
int synthesizeMessage6(uint8_t type, const uint8_t* probe, int length, uint16_t identifier, uint8_t* out, int capacity);

// The datagram for an ICMP helper API reply of `status` from `address` to `probe` (a whole 64-byte probe), a
// time-exceeded quoting the probe's first 8 bytes; -1 when the status is not an answer. With `ipv6`, the ICMPv6
// message for an answer of the IPv6 helper, whose statuses are the same.
int helperReplyDatagram(uint32_t status, uint32_t address, const uint8_t* probe, uint8_t* out, int capacity,
                        bool ipv6 = false);
