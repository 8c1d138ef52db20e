// zarta-trace's command line: the options, their checks and the usage text.
#pragma once

#include <cstdint>

#include "core/trace_engine.h"

enum ReportFormat { FORMAT_TEXT, FORMAT_JSON, FORMAT_CSV };

struct Options {
  double timeoutSeconds = 0;          // the run's time-out; the default grows with `count`
  uint32_t count = MAX_ROUND;         // pings per hop
  ReportFormat format = FORMAT_TEXT;  // of the final report
  bool noDns = false;                 // no reverse lookups
  bool wide = false;                  // the text with Best, Wrst and StDev
  char** hosts = nullptr;             // the host texts, in the order given
  int hostCount = 0;
};

extern Options options;

// Reads the command line into `options`. -1 to go on; otherwise the exit status, the help, the version or the
// usage error already written.
int parseOptions(int argc, char** argv);

// Writes a usage error, naming `what`, and the usage text; returns the exit status of a usage error.
int usage(const char* message, const char* what = "");
