// The trace report: the text of a trace window, built from one trace slot.
#pragma once

#include <cstddef>

#include "core/trace_table.h"

// Room for the largest report: 60 hop lines with 255-character names and ten-digit counts.
constexpr int REPORT_LENGTH = 24576;
constexpr int TAB_STOP_COUNT = 6;
extern const int REPORT_TAB_STOPS[TAB_STOP_COUNT];

// Builds the report of `slot` into `text` (with `statusText`, the status form). Returns its
// length. Reads the slot without changing it, safely while its worker updates it.
size_t buildTraceReport(const TraceSlot& slot, const char* statusText, char (&text)[REPORT_LENGTH]);

// Builds the report and puts it into the slot's window; the tab stops are set by every form
// but the status form. Each front end has its own.
void renderTraceReport(TraceSlot& slot, const char* statusText);

// Writes the dotted-quad form of an address in network byte order; `out` holds 16 bytes.
void formatAddress(uint32_t address, char (&out)[16]);

// The end of the reverse lookup of hop `hop`: its name, or "(no name)" for none.
void storeHopName(TraceSlot& slot, int hop, const char* name);
