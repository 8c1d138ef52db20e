// Windows: the ICMP helper API, which sends echo requests of either IP version for programs without privileges and
// hands back, per request, the answering host, its status and the round trip.
// iphlpapi.h must come before icmpapi.h, which uses its types.
// clang-format off
#include "platform/win32.h"
#include <winternl.h>
#define PIO_APC_ROUTINE_DEFINED  // winternl.h declares it: icmpapi.h then types the routine with it
#include <iphlpapi.h>
#include <icmpapi.h>
// clang-format on

#include <cstring>

namespace {

// Windows writes the echo header itself, with an identifier and sequence of its choosing.
constexpr WORD DATA_LENGTH = PROBE_LENGTH - ICMP_HEADER_LENGTH;
// The hop index and trace tag sit in the header the system replaces: copied into the data, right
// after the timestamp, so that a capture still tells the probes apart.
constexpr int HOP_IN_DATA = 4;
// A silent hop learns its router from an answer to any of its discovery probes, however late, as
// over a raw socket: a request waits as long as the engine goes on probing a silent hop, from its
// first probe to its last probe's retry time.
constexpr DWORD REQUEST_TIMEOUT_MS = MAX_DISCOVERY_PROBES * DISCOVERY_RETRY_MS;
// That long, a hop can have all its discovery probes out, or an unanswered measurement probe per
// reply time-out; the table holds them for every hop.
static_assert(IcmpHelper::MAX_REQUESTS >=
              MAX_HOPS * (MAX_DISCOVERY_PROBES + REQUEST_TIMEOUT_MS / REPLY_TIMEOUT_MS + 1));

static_assert(IcmpHelper::REPLY_BYTES >=
              sizeof(icmp_echo_reply) + DATA_LENGTH + ICMP_HEADER_LENGTH + sizeof(IO_STATUS_BLOCK));
static_assert(IcmpHelper::REPLY_BYTES >=
              sizeof(Icmp6EchoReply) + DATA_LENGTH + ICMP_HEADER_LENGTH + sizeof(IO_STATUS_BLOCK));

// Looked up when the program starts, never imported: Icmp6ParseReplies is missing from Wine 8, whose two others are
// stubs, and a Windows without IPv6 could lack them all. The reply's status is read from the record instead.
const auto createFile6 = systemFunction<decltype(Icmp6CreateFile)>("iphlpapi.dll", "Icmp6CreateFile");
const auto sendEcho6 = systemFunction<decltype(Icmp6SendEcho2)>("iphlpapi.dll", "Icmp6SendEcho2");

// Does nothing: the events tell which requests ended. Wine 8 needs a routine to keep a request's
// IO_STATUS_BLOCK, which without one it frees on return while the request still runs, and the
// system then writes into freed memory. Its wrapper frees that block when the routine has run.
void NTAPI requestEnded(void*, IO_STATUS_BLOCK*, ULONG) {}

// Runs the routines of the requests that ended; they run only in an alertable wait.
void runEndedRoutines() { SleepEx(0, TRUE); }

}  // namespace

int IcmpHelper::open(uint16_t family) {
  close();
  if (family != AF_INET && family != AF_INET6) return WSAEAFNOSUPPORT;
  if (family == AF_INET6 && (createFile6 == nullptr || sendEcho6 == nullptr)) return ERROR_PROC_NOT_FOUND;
  HANDLE file = family == AF_INET6 ? createFile6() : IcmpCreateFile();
  if (file == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
  file_ = file;
  ipv6_ = family == AF_INET6;
  for (Request& request : requests_) {
    request.event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (request.event == nullptr) {
      int error = static_cast<int>(GetLastError());
      close();
      return error;
    }
  }
  return 0;
}

void IcmpHelper::close() {
  if (file_ == nullptr) return;
  // The system writes a request's reply until the request ends, so none may outlive the buffers;
  // cancelled, or at the latest at its own time-out, each ends soon. Before Vista only the requests
  // of the thread that made them can be cancelled, which is this one: the worker sends and closes.
  static const auto cancelAll = kernelFunction<decltype(CancelIoEx)>("CancelIoEx");
  if (cancelAll == nullptr || !cancelAll(file_, nullptr)) CancelIo(file_);
  for (Request& request : requests_) {
    if (request.busy) WaitForSingleObject(request.event, INFINITE);
    if (request.event != nullptr) CloseHandle(request.event);
    request.event = nullptr;
    request.busy = false;
  }
  runEndedRoutines();
  ended_ = -1;
  IcmpCloseHandle(file_);
  file_ = nullptr;
}

void IcmpHelper::setTimeToLive(int timeToLive) { timeToLive_ = timeToLive; }

void IcmpHelper::send(const uint8_t* message, int length, const SocketAddress& destination) {
  if (file_ == nullptr || length != PROBE_LENGTH) return;
  Request* request = nullptr;
  for (Request& candidate : requests_)
    if (!candidate.busy) {
      request = &candidate;
      break;
    }
  if (request == nullptr) return;  // as a failed sendto: the probe times out
  memcpy(request->probe, message, PROBE_LENGTH);
  uint8_t data[DATA_LENGTH];
  memcpy(data, message + ICMP_HEADER_LENGTH, DATA_LENGTH);
  data[HOP_IN_DATA] = message[ECHO_HOP_AT];
  data[HOP_IN_DATA + 1] = message[ECHO_TAG_AT];
  // A request that ends without a reply written (refused by the system) must read as no answer.
  memset(request->reply, 0, sizeof request->reply);
  if (ipv6_)
    reinterpret_cast<Icmp6EchoReply*>(request->reply)->status = IP_GENERAL_FAILURE;
  else
    reinterpret_cast<icmp_echo_reply*>(request->reply)->Status = IP_GENERAL_FAILURE;
  // The hop limit, for IPv6 too.
  IP_OPTION_INFORMATION options = {};
  options.Ttl = static_cast<UCHAR>(timeToLive_);
  request->busy = true;
  DWORD done;
  if (ipv6_) {
    // From the unspecified address: the system picks the source of the route, as for IPv4.
    sockaddr_in6 source = {}, to = {};
    source.sin6_family = AF_INET6;
    memcpy(&to, &destination, sizeof to);
    done = sendEcho6(file_, request->event, requestEnded, nullptr, &source, &to, data, DATA_LENGTH, &options,
                     request->reply, sizeof request->reply, REQUEST_TIMEOUT_MS);
  } else {
    done = IcmpSendEcho2(file_, request->event, requestEnded, nullptr, destination.address, data, DATA_LENGTH, &options,
                         request->reply, sizeof request->reply, REQUEST_TIMEOUT_MS);
  }
  // Finished at once, its reply is in the buffer: the set event hands it over like the others.
  if (done != 0)
    SetEvent(request->event);
  else if (GetLastError() != ERROR_IO_PENDING)
    request->busy = false;
}

int IcmpHelper::endedRequest() {
  // One wait for up to 64 requests rather than one each: under Wine every wait is a call to its
  // server, and each pass asks.
  HANDLE events[MAXIMUM_WAIT_OBJECTS];
  int indexes[MAXIMUM_WAIT_OBJECTS];
  DWORD count = 0;
  for (int i = 0; i < MAX_REQUESTS; ++i) {
    if (requests_[i].busy) {
      events[count] = requests_[i].event;
      indexes[count++] = i;
    }
    if (count > 0 && (count == MAXIMUM_WAIT_OBJECTS || i == MAX_REQUESTS - 1)) {
      DWORD ended = WaitForMultipleObjects(count, events, FALSE, 0) - WAIT_OBJECT_0;
      if (ended < count) return indexes[ended];
      count = 0;
    }
  }
  return -1;
}

bool IcmpHelper::datagramWaiting() {
  // Kept for the receive that follows: under Wine each look is a call to its server.
  ended_ = endedRequest();
  return ended_ >= 0;
}

bool IcmpHelper::wait(intptr_t wake, int64_t timeoutNanoseconds) {
  if (file_ == nullptr) return false;
  // Each answer carries its round trip, but may let the next probe leave: the first 63 requests still out wake the
  // worker (each ends by its time-out at the latest); the rest are seen when it next wakes.
  HANDLE handles[MAXIMUM_WAIT_OBJECTS] = {reinterpret_cast<HANDLE>(wake)};
  DWORD count = 1;
  for (int i = 0; i < MAX_REQUESTS && count < MAXIMUM_WAIT_OBJECTS; ++i)
    if (requests_[i].busy) handles[count++] = requests_[i].event;
  WaitForMultipleObjects(count, handles, FALSE, waitMilliseconds(timeoutNanoseconds));
  return true;
}

int IcmpHelper::receive(uint8_t* buffer, int capacity, SocketAddress& sender, uint32_t& arrivedAt) {
  int index = ended_ >= 0 ? ended_ : endedRequest();
  ended_ = -1;
  if (index < 0) return -1;
  Request& request = requests_[index];
  request.busy = false;
  ResetEvent(request.event);
  runEndedRoutines();
  if (ipv6_) return readIcmp6Reply(request.reply, request.probe, buffer, capacity, sender, arrivedAt);
  // The count is 0 for a request that got no answer; the status says which, in either case.
  IcmpParseReplies(request.reply, sizeof request.reply);
  const icmp_echo_reply& reply = *reinterpret_cast<const icmp_echo_reply*>(request.reply);
  // Built from the request's own probe: the answer belongs to the probe that asked. How much of it a
  // router quoted the reply does not say (Wine gives a time-exceeded no data at all), so the datagram
  // quotes the 8 bytes that every router quotes.
  int length = helperReplyDatagram(reply.Status, reply.Address, request.probe, buffer, capacity);
  if (length < 0) return -1;
  sender = ipv4Address(reply.Address);
  arrivedAt = getLittle32(request.probe + ECHO_TIMESTAMP_AT) + reply.RoundTripTime;
  return length;
}

int readIcmp6Reply(const uint8_t* reply, const uint8_t* probe, uint8_t* buffer, int capacity, SocketAddress& sender,
                   uint32_t& arrivedAt) {
  Icmp6EchoReply record;
  memcpy(&record, reply, sizeof record);
  // An ICMPv6 message carries no sender: the record does.
  int length = helperReplyDatagram(record.status, 0, probe, buffer, capacity, true);
  if (length < 0) return -1;
  sender = {};
  sender.family = AF_INET6;
  memcpy(sender.address6, record.sender.address, sizeof sender.address6);
  sender.scope = ntohl(record.sender.scope);
  arrivedAt = getLittle32(probe + ECHO_TIMESTAMP_AT) + record.roundTripTime;
  return length;
}
