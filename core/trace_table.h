// The trace table: every trace's target, window and per-hop statistics, shared by all subsystems.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

constexpr int MAX_TRACES = 50;
constexpr int MAX_HOPS = 60;
constexpr int HOST_NAME_LENGTH = 256;  // 255 characters and the NUL
constexpr int HOP_NAME_LENGTH = 256;
constexpr int LOOKUP_BUFFER_LENGTH = 1024;

constexpr int32_t HOP_SILENT = 0;
constexpr int32_t HOP_ROUTER = 1;
constexpr int32_t HOP_TARGET = 2;

// A window handle of whichever front end runs the trace (HWND on Windows).
using WindowHandle = void*;

struct HopRecord {
  int32_t state;               // HOP_SILENT, HOP_ROUTER or HOP_TARGET
  uint32_t awaitingReply;      // 1 while a measurement probe is outstanding
  int32_t discoveryProbes;     // discovery probes sent, at most 4
  uint32_t lastSendTime;       // clock value of the last probe, discovery or measurement
  uint32_t probeCount;         // measurement probes answered or timed out ("Sent")
  uint32_t replyCount;         // measurement probes answered in time
  uint32_t rttTotal;           // sum of the answered probes' round-trip times, ms
  uint32_t address;            // responder, network byte order; valid unless HOP_SILENT, in an IPv4 trace
  char name[HOP_NAME_LENGTH];  // reverse-resolved name, "(no name)", or empty while unknown
  alignas(void*) unsigned char lookupBuffer[LOOKUP_BUFFER_LENGTH];  // result area of the reverse lookup
  uint32_t nameVersion;            // odd while `name` is being rewritten, so readers never see half a name
  uint32_t rttBest;                // shortest answered round trip, ms; valid once replyCount is above 0
  uint32_t rttWorst;               // longest answered round trip, ms
  alignas(8) uint64_t rttSquares;  // sum of the answered round trips' squares, for their deviation
  uint32_t address6[4];            // responder in an IPv6 trace, network byte order; each word written whole
};

struct TraceSlot {
  uint32_t inUse;                   // 1 while the slot's worker has not ended
  WindowHandle window;              // the trace window; kept after the trace ends
  uint32_t threadId;                // the worker's thread identifier, informational
  char hostName[HOST_NAME_LENGTH];  // host text cut from the user's text, at most 255 characters
  uint8_t traceTag;                 // carried in every probe, required in every reply
  uint32_t targetAddress;           // network byte order; 0 until resolved, and for good when not found
  uint32_t stopRequested;           // set by the trace window; the worker ends when it sees it
  HopRecord hops[MAX_HOPS];         // entry k: the responder reached with time-to-live k + 1
  int32_t socketError;              // the platform's error code when the raw socket could not be opened
  uint32_t quiet;                   // 1 while the worker has nothing left to send or wait for
  uint32_t rounds;                  // measurement probes per hop; 0 for MAX_ROUND, as the tray has it
  uint32_t ipVersion;               // 4 or 6 once the target is found, written after its address; 0 until then
  uint32_t targetAddress6[4];       // the target of an IPv6 trace, network byte order
  uint32_t forceVersion;            // 4 or 6 to trace that IP version alone; 0 for the resolver's first address
};

extern TraceSlot traceTable[MAX_TRACES];
extern uint8_t nextTraceTag;

// Fields that one thread writes while another reads them go through these, so that
// the lock-free sharing between a worker and the user-interface thread is well defined.
template <typename T>
inline T loadShared(const T& field) {
  return std::atomic_ref<T>(const_cast<T&>(field)).load(std::memory_order_acquire);
}
template <typename T>
inline void storeShared(T& field, T value) {
  std::atomic_ref<T>(field).store(value, std::memory_order_release);
}

// Copies `text` into `out` of `capacity` bytes, keeping as many leading characters as fit.
// The one rule for cutting a host name, a caption or a hop name.
size_t copyCut(char* out, size_t capacity, const char* text);

// An IPv6 address in the table, written and read a word at a time (a 16-byte atomic is not lock-free everywhere):
// it is written once before the state or version that makes it valid, so a reader sees it whole.
void storeAddress6(uint32_t (&to)[4], const uint8_t (&bytes)[16]);
void loadAddress6(const uint32_t (&from)[4], uint8_t (&bytes)[16]);

// Publishes a hop's name; the only writer is the user-interface thread.
void setHopName(HopRecord& hop, const char* name);
// Reads a hop's name whole, as it was before or after any concurrent setHopName.
void readHopName(const HopRecord& hop, char (&out)[HOP_NAME_LENGTH]);

// The slot whose `window` is `window` (lowest index, in use or not), or null.
TraceSlot* findSlotByWindow(WindowHandle window);
