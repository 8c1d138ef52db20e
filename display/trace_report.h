// The trace report: the text of a trace window, built from one trace slot.
#pragma once

#include <cstddef>

#include "core/trace_table.h"

// Room for the largest report: 60 hop lines with 255-character names and ten-digit counts.
constexpr int REPORT_LENGTH = 24576;
constexpr int TAB_STOP_COUNT = 6;
extern const int REPORT_TAB_STOPS[TAB_STOP_COUNT];
// An IPv6 trace's: its IP column holds 39 characters.
extern const int REPORT_TAB_STOPS_IPV6[TAB_STOP_COUNT];
// Room for an address's text: IPv6's longest, with a dotted tail, and the NUL.
constexpr int ADDRESS_TEXT_LENGTH = 46;

// Builds the report of `slot` into `text` (with `statusText`, the status form). Returns its
// length. Reads the slot without changing it, safely while its worker updates it. `wide` adds the
// Best, Wrst and StDev columns after Ping; the tray's window never has them.
size_t buildTraceReport(const TraceSlot& slot, const char* statusText, char (&text)[REPORT_LENGTH], bool wide = false);

// A hop's figures, read once so that every column shown of it agrees.
struct HopFigures {
  int32_t state;         // HOP_SILENT, HOP_ROUTER or HOP_TARGET
  uint32_t address;      // responder of an IPv4 trace, network byte order
  uint8_t address6[16];  // responder of an IPv6 trace, network byte order
  uint32_t probes;       // measurement probes completed ("Sent")
  uint32_t replies;      // of them answered, never more than `probes`
  uint32_t total;        // sum of the answered round trips, ms
  uint32_t best;         // shortest answered round trip, ms
  uint32_t worst;        // longest answered round trip, ms
  uint64_t squares;      // sum of the answered round trips' squares
};
HopFigures readHopFigures(const HopRecord& hop);

// The window's Loss: 100 * (probes - replies) / probes, exact and truncated; 0 without probes.
int lossPercent(uint32_t replies, uint32_t probes);
// The average round trip in hundredths of a millisecond, the remainder dropped as the window's Ping
// drops it, so that the Ping is always its whole part. Needs a reply.
uint64_t averageHundredths(const HopFigures& figures);
// The standard deviation of the answered round trips (of a sample: divided by replies - 1, 0 for
// a single reply), in hundredths of a millisecond, rounded. Needs a reply.
uint64_t deviationHundredths(const HopFigures& figures);
// Hundredths as a decimal number with two places: 1234 as "12.34".
void formatHundredths(uint64_t hundredths, char (&out)[24]);

// The name a failed reverse lookup leaves in a hop.
extern const char NO_NAME[];

// What the report shows as "?" of a text from the network: it would break columns and lines.
bool isControlCharacter(char c);

// The last hop a report lists: the highest that is not silent, or hop 0 when all are.
int lastListedHop(const TraceSlot& slot);

// Builds the report and puts it into the slot's window; the tab stops are set by every form
// but the status form. Each front end has its own.
void renderTraceReport(TraceSlot& slot, const char* statusText);

// Writes the dotted-quad form of an address in network byte order; `out` holds 16 bytes.
void formatAddress(uint32_t address, char (&out)[16]);
// Writes an IPv6 address in its standard short form (RFC 5952): lower case, no leading zeros, the first longest run
// of two or more zero groups as "::", and an IPv4-mapped address with its dotted tail.
void formatAddress6(const uint8_t (&bytes)[16], char (&out)[ADDRESS_TEXT_LENGTH]);
// The target's address as the report shows it; false when the target was not found.
bool formatTarget(const TraceSlot& slot, char (&out)[ADDRESS_TEXT_LENGTH]);
// A hop's responder as the report shows it, in the family of the trace of `slot`.
void formatHopAddress(const TraceSlot& slot, const HopFigures& figures, char (&out)[ADDRESS_TEXT_LENGTH]);

// The end of the reverse lookup of hop `hop`: its name, or "(no name)" for none.
void storeHopName(TraceSlot& slot, int hop, const char* name);
