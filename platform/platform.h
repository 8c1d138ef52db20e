// What a front end asks of this system's platform layer: a trace's worker, the start-up check, the stop.
#pragma once

#include "core/trace_system.h"
#include "core/trace_table.h"

// The ways out named when no transport can be had, after the platform's error code: for IPv4, and for IPv6.
extern const char TRANSPORT_FIX[];
extern const char TRANSPORT_FIX_IPV6[];

// The worker of one trace on this platform's transports, in their order of choice: runs it until its stop request.
// Returns 0.
int traceWorker(TraceSlot& slot, TraceFrontEnd& frontEnd);

// 0 when one of this platform's transports can be opened; otherwise the last one's error code.
int transportOpenError();

// Asks the worker of `slot` to stop, and wakes it from a quiet wait.
void requestStop(TraceSlot& slot);
