// Starting a trace: the lowest free slot, the host name cut out of the user's text, the window.
#pragma once

#include "core/trace_table.h"

constexpr int TITLE_LENGTH = 500;

// The steps every front end shares: takes the lowest free slot, zeroes it, sets `inUse`, the
// next trace tag and `hostName` (cut to 255 characters). Null when all 50 slots are in use.
// The caller then gives the slot its window and starts its worker. `previousWindow`, when given,
// receives the window the slot's last trace left in it.
TraceSlot* claimTraceSlot(const char* hostText, WindowHandle* previousWindow = nullptr);

// Gives a claimed slot back when its window or worker could not be had.
void releaseTraceSlot(TraceSlot& slot);

// "Tracing route to " and the slot's host name.
void buildTraceTitle(const TraceSlot& slot, char (&title)[TITLE_LENGTH]);

// Starts a trace of the host named in `hostText` in a new window at screen position (x, y).
void startTrace(const char* hostText, int x, int y);
