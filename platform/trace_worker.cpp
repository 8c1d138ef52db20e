#include "core/trace_engine.h"
#include "display/trace_report.h"
#include "platform/platform.h"

void NativeTraceSystem::render(TraceSlot& slot, const char* statusText) { renderTraceReport(slot, statusText); }

int traceWorker(TraceSlot& slot) {
  NativeTraceSystem system;
  return runTrace(slot, system);
}
