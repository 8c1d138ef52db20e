// Reverse lookups for zarta-trace: asked by workers, answered by resolver threads, handed back to the main loop
// as the trace window is handed its names.
#pragma once

#include "core/trace_table.h"

// Asks for the name of hops[hop].address of `slot`, whose window is a ReportWindow.
void askHopName(TraceSlot& slot, int hop);

// Starts the threads that answer, once the privileges are gone: they run until the process ends.
void startResolvers();

// Hands finished lookups to their traces, as the trace window does with its message, and redraws them.
void takeHopNames();
