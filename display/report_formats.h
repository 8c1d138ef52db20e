// The machine-readable reports of traces, JSON and CSV, with the figures of the window's text.
#pragma once

#include <cstdint>
#include <cstdio>

#include "core/trace_table.h"

// How a trace's run ended, which tells a script what its figures are worth.
enum TraceEnd {
  END_FINAL,               // its figures are final: every hop pinged as asked
  END_NOT_FOUND,           // its host was not found (or is 0.0.0.0): nothing sent
  END_NO_SOCKET,           // it had no ICMP socket: nothing sent
  END_TIMEOUT_LOOKING_UP,  // the time-out came while its host was still being looked up
  END_TIMEOUT_MEASURING,   // the time-out came before its figures were final
};

// One trace as these reports give it.
struct TraceRun {
  const char* hostText;   // the text its host name was cut from
  const TraceSlot* slot;  // its target and figures
  int64_t startedAt;      // wall-clock time of its start, milliseconds since 1970 UTC
  int64_t endedAt;        // when its figures were taken, likewise
  TraceEnd ended;         // how it ended
};

// One JSON array holding an object per trace, its listed hops in it.
void writeJsonReport(FILE* out, const TraceRun* runs, int count);

// CSV (RFC 4180): a header row, then a row per listed hop of every trace, each with the trace's
// host, address and start; a trace not found has one row with the hop's cells empty.
void writeCsvReport(FILE* out, const TraceRun* runs, int count);

// ISO 8601 in UTC to the millisecond, such as "2026-12-07T10:00:00.000Z".
void formatUtcTime(int64_t milliseconds, char (&out)[32]);
