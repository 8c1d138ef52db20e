#include "platform/transport_choice.h"

int TransportChoice::open(uint16_t family) {
  close();
  int error = 0;
  for (int i = 0; i < count_; ++i) {
    error = candidates_[i]->open(family);
    if (error == 0) {
      chosen_ = candidates_[i];
      return 0;
    }
  }
  return error;
}

void TransportChoice::acceptOnly(uint16_t identifier, uint8_t traceTag) {
  if (chosen_ != nullptr) chosen_->acceptOnly(identifier, traceTag);
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

bool TransportChoice::wait(intptr_t wake, int64_t timeoutNanoseconds) {
  return chosen_ != nullptr && chosen_->wait(wake, timeoutNanoseconds);
}
