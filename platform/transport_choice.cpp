// The choice among a platform's transports, and the datagrams a raw socket would have delivered
// for the transports that hand over only answers.
#include <cstring>

#include "platform/platform.h"

namespace {

constexpr int IP_HEADER_LENGTH = 20;
constexpr int ICMP_HEADER_LENGTH = 8;
constexpr uint8_t IP_VERSION_4_LENGTH_20 = 0x45;
constexpr uint8_t PROTOCOL_ICMP = 1;
constexpr uint8_t DEFAULT_TIME_TO_LIVE = 64;

void putIpHeader(uint8_t* at, int totalLength, uint32_t source) {
  memset(at, 0, IP_HEADER_LENGTH);
  at[0] = IP_VERSION_4_LENGTH_20;
  at[2] = static_cast<uint8_t>(totalLength >> 8);
  at[3] = static_cast<uint8_t>(totalLength);
  at[8] = DEFAULT_TIME_TO_LIVE;
  at[9] = PROTOCOL_ICMP;
  memcpy(at + 12, &source, 4);
}

}  // namespace

int TransportChoice::open() {
  close();
  int error = 0;
  for (int i = 0; i < count_; ++i) {
    error = candidates_[i]->open();
    if (error == 0) {
      chosen_ = candidates_[i];
      return 0;
    }
  }
  return error;
}

void TransportChoice::close() {
  if (chosen_ != nullptr) chosen_->close();
  chosen_ = nullptr;
}

void TransportChoice::setTimeToLive(int timeToLive) {
  if (chosen_ != nullptr) chosen_->setTimeToLive(timeToLive);
}

void TransportChoice::send(const uint8_t* message, int length, const SocketAddress& destination) {
  if (chosen_ != nullptr) chosen_->send(message, length, destination);
}

bool TransportChoice::datagramWaiting() { return chosen_ != nullptr && chosen_->datagramWaiting(); }

int TransportChoice::receive(uint8_t* buffer, int capacity, SocketAddress& sender, uint32_t& arrivedAt) {
  return chosen_ != nullptr ? chosen_->receive(buffer, capacity, sender, arrivedAt) : -1;
}

bool TransportChoice::wait(intptr_t wake, bool wakeOnly) { return chosen_ != nullptr && chosen_->wait(wake, wakeOnly); }

int synthesizeDatagram(uint8_t type, uint32_t sender, const uint8_t* probe, int length, uint16_t identifier,
                       uint8_t* out, int capacity) {
  if (length < ICMP_HEADER_LENGTH) return -1;
  int echoAt = IP_HEADER_LENGTH;
  if (type == ICMP_TIME_EXCEEDED)
    echoAt += ICMP_HEADER_LENGTH + IP_HEADER_LENGTH;
  else if (type != ICMP_ECHO_REPLY)
    return -1;
  int total = echoAt + length;
  if (total > capacity) return -1;
  putIpHeader(out, total, sender);
  if (type == ICMP_TIME_EXCEEDED) {
    memset(out + IP_HEADER_LENGTH, 0, ICMP_HEADER_LENGTH);
    out[IP_HEADER_LENGTH] = ICMP_TIME_EXCEEDED;
    // The probe's own header as a router quotes it; its addresses are not read.
    putIpHeader(out + IP_HEADER_LENGTH + ICMP_HEADER_LENGTH, IP_HEADER_LENGTH + length, 0);
  }
  memcpy(out + echoAt, probe, length);
  out[echoAt] = type == ICMP_TIME_EXCEEDED ? ICMP_ECHO_REQUEST : ICMP_ECHO_REPLY;
  out[echoAt + 4] = static_cast<uint8_t>(identifier);
  out[echoAt + 5] = static_cast<uint8_t>(identifier >> 8);
  return total;
}

int helperReplyDatagram(uint32_t status, uint32_t address, const uint8_t* probe, uint8_t* out, int capacity) {
  uint8_t type = status == HELPER_SUCCESS ? ICMP_ECHO_REPLY : status == HELPER_TTL_EXPIRED ? ICMP_TIME_EXCEEDED : 0xFF;
  uint16_t identifier = static_cast<uint16_t>(probe[4] | (probe[5] << 8));
  // The API does not say how much of the probe a router quoted: its first 8 bytes are all that every router
  // quotes, and all that the engine reads of a time-exceeded.
  int quoted = type == ICMP_TIME_EXCEEDED ? ICMP_HEADER_LENGTH : PROBE_LENGTH;
  return synthesizeDatagram(type, address, probe, quoted, identifier, out, capacity);
}
