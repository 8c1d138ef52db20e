// Linux: the raw ICMP socket of either family, for root or a program granted CAP_NET_RAW.
#include <linux/filter.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/icmp_datagram.h"
#include "platform/posix.h"

namespace {

// Classic BPF, as SO_ATTACH_FILTER takes it.
constexpr sock_filter statement(uint16_t code, uint32_t value) { return {code, 0, 0, value}; }
constexpr sock_filter jumpIfEqual(uint32_t value, uint8_t ifEqual, uint8_t otherwise) {
  return {BPF_JMP | BPF_JEQ | BPF_K, ifEqual, otherwise, value};
}
constexpr uint16_t LOAD_BYTE = BPF_LD | BPF_B | BPF_IND, LOAD_HALF = BPF_LD | BPF_H | BPF_IND;
constexpr uint32_t KEEP_ALL = 0xFFFFFFFF, DROP = 0;

// The identifier as a filter's 16-bit load reads it: the probe carries it least significant byte first, and the
// filter reads in network byte order.
uint32_t asLoaded(uint16_t identifier) { return static_cast<uint32_t>((identifier & 0xFF) << 8 | identifier >> 8); }

// Completes a program whose `locate` part leaves in the index register where the echo header starts (its jumps past
// the end land on the last statement, which drops): the identifier and the tag must be the trace's own.
int withEchoCheck(const sock_filter* locate, int count, uint16_t identifier, uint8_t traceTag, sock_filter* program) {
  const sock_filter check[] = {
      statement(LOAD_HALF, ECHO_IDENTIFIER_AT), jumpIfEqual(asLoaded(identifier), 0, 3),
      statement(LOAD_BYTE, ECHO_TAG_AT),        jumpIfEqual(traceTag, 0, 1),
      statement(BPF_RET | BPF_K, KEEP_ALL),     statement(BPF_RET | BPF_K, DROP),
  };
  memcpy(program, locate, count * sizeof *locate);
  memcpy(program + count, check, sizeof check);
  return count + static_cast<int>(std::size(check));
}

// An IPv4 datagram, header first, whose headers (its own, and the one a time-exceeded quotes) may carry options: the
// index register holds where the echo header starts, for each of the two forms. A load past the end drops it.
constexpr sock_filter LOCATE_ECHO_4[] = {
    statement(BPF_LDX | BPF_B | BPF_MSH, IP_VERSION_LENGTH_AT),  // the header's length
    statement(LOAD_BYTE, ICMP_TYPE_AT),
    jumpIfEqual(ICMP_TYPE_ECHO_REPLY, 11, 0),
    jumpIfEqual(ICMP_TYPE_TIME_EXCEEDED, 0, 15),
    statement(LOAD_BYTE, ICMP_HEADER_LENGTH + IP_PROTOCOL_AT),  // what the quoted datagram carried
    jumpIfEqual(IP_PROTOCOL_ICMP, 0, 13),
    statement(LOAD_BYTE, ICMP_HEADER_LENGTH + IP_VERSION_LENGTH_AT),  // the quoted header's length, to the index
    statement(BPF_ALU | BPF_AND | BPF_K, 0x0F),
    statement(BPF_ALU | BPF_LSH | BPF_K, 2),
    statement(BPF_ALU | BPF_ADD | BPF_X, 0),
    statement(BPF_ALU | BPF_ADD | BPF_K, ICMP_HEADER_LENGTH),
    statement(BPF_MISC | BPF_TAX, 0),
    statement(LOAD_BYTE, ICMP_TYPE_AT),
    jumpIfEqual(ICMP_TYPE_ECHO_REQUEST, 0, 5),
};

// An ICMPv6 message, which comes without its IPv6 header: the reply's echo header at 0, or the request's behind the
// quoted IPv6 header, which Zarta's probes follow with no extension header.
constexpr sock_filter LOCATE_ECHO_6[] = {
    statement(BPF_LDX | BPF_IMM, 0),
    statement(LOAD_BYTE, ICMP_TYPE_AT),
    jumpIfEqual(ICMPV6_TYPE_ECHO_REPLY, 6, 0),
    jumpIfEqual(ICMPV6_TYPE_TIME_EXCEEDED, 0, 10),
    statement(LOAD_BYTE, ICMP_HEADER_LENGTH + IPV6_NEXT_HEADER_AT),
    jumpIfEqual(IPV6_NEXT_HEADER_ICMPV6, 0, 8),
    statement(BPF_LDX | BPF_IMM, ICMP_HEADER_LENGTH + IPV6_HEADER_LENGTH),
    statement(LOAD_BYTE, ICMP_TYPE_AT),
    jumpIfEqual(ICMPV6_TYPE_ECHO_REQUEST, 0, 5),
};

}  // namespace

int RawIcmpSocket::open(uint16_t family) {
  close();
  bool ipv6 = family == AF_INET6;
  int handle = socket(family, SOCK_RAW | SOCK_CLOEXEC, ipv6 ? int{IPPROTO_ICMPV6} : int{IPPROTO_ICMP});
  if (handle < 0) return errno;
  if (ipv6) {
    // Every neighbour solicitation and router advertisement would come here too.
    icmp6_filter answers;
    ICMP6_FILTER_SETBLOCKALL(&answers);
    ICMP6_FILTER_SETPASS(ICMP6_ECHO_REPLY, &answers);
    ICMP6_FILTER_SETPASS(ICMP6_TIME_EXCEEDED, &answers);
    setsockopt(handle, IPPROTO_ICMPV6, ICMP6_FILTER, &answers, sizeof answers);
  }
  // Where its filter is refused, a raw socket sees every trace's answers: with 50 traces the
  // default queue overflows in the first burst of discovery. Forcing the size needs CAP_NET_ADMIN;
  // the plain request is capped by net.core.rmem_max.
  int size = RECEIVE_QUEUE_BYTES;
  if (setsockopt(handle, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
    setsockopt(handle, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  requestReceiveTimes(handle);
  handle_ = handle;
  family_ = family;
  return 0;
}

void RawIcmpSocket::acceptOnly(uint16_t identifier, uint8_t traceTag) {
  sock_filter program[24];
  bool ipv6 = family_ == AF_INET6;
  int length = withEchoCheck(ipv6 ? LOCATE_ECHO_6 : LOCATE_ECHO_4,
                             static_cast<int>(ipv6 ? std::size(LOCATE_ECHO_6) : std::size(LOCATE_ECHO_4)), identifier,
                             traceTag, program);
  sock_fprog filter = {static_cast<unsigned short>(length), program};
  // Refused, the socket stays as it was: the engine still drops what is not its own.
  if (setsockopt(handle_, SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter) != 0) return;
  // What came before the filter, unfiltered, is left out too.
  while (datagramWaiting()) recv(handle_, nullptr, 0, MSG_DONTWAIT | MSG_TRUNC);
}

void RawIcmpSocket::close() {
  if (handle_ >= 0) ::close(handle_);
  handle_ = -1;
}

void RawIcmpSocket::setTimeToLive(int timeToLive) { setHopLimit(handle_, family_, timeToLive); }

void RawIcmpSocket::send(const uint8_t* message, int length, const SocketAddress& destination) {
  sendTo(handle_, message, length, destination);
}

bool RawIcmpSocket::datagramWaiting() {
  if (handle_ < 0) return false;
  pollfd waiting = {handle_, POLLIN, 0};
  return poll(&waiting, 1, 0) > 0 && (waiting.revents & POLLIN);
}

bool RawIcmpSocket::wait(intptr_t wake, int64_t timeoutNanoseconds) {
  return waitForSocket(handle_, wake, timeoutNanoseconds, POLLIN);
}

int RawIcmpSocket::receive(uint8_t* buffer, int capacity, SocketAddress& sender, uint32_t& arrivedAt) {
  ReceivedMessage received;
  ssize_t length = receiveStamped(handle_, buffer, capacity, 0, received, arrivedAt);
  if (length < 0) return -1;
  sender = senderOf(received);
  return static_cast<int>(length);
}
