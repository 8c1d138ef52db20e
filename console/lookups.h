// Reverse lookups for zarta-trace: asked by workers, answered by resolver threads, each address looked up once.
#pragma once

#include "core/trace_table.h"

// Asks for the name of hops[hop].address of `slot`, whose window is a ReportWindow.
void askHopName(TraceSlot& slot, int hop);

// Starts the threads that answer, once the privileges are gone: they run until the process ends.
void startResolvers();

// Hands the names found since the last call to the hops that asked, and redraws their traces.
void takeHopNames();
