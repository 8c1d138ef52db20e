// zarta-trace's command line: the options, their checks and the usage text.
#pragma once

#include <cstdint>

#include "core/trace_engine.h"
#include "core/trace_table.h"

enum ReportFormat { FORMAT_TEXT, FORMAT_JSON, FORMAT_CSV };

struct Options {
  double timeoutSeconds = 0;          // the run's time-out; the default grows with `count`
  uint32_t count = MAX_ROUND;         // pings per hop
  ReportFormat format = FORMAT_TEXT;  // of the final report
  bool noDns = false;                 // no reverse lookups
  bool wide = false;                  // the text with Best, Wrst and StDev
  uint32_t ipVersion = 0;             // 4 or 6 to trace that family alone; 0 for the resolver's first address
  const char* hosts[MAX_TRACES];      // the host texts, in the order given
  int hostCount;                      // of them
};

extern Options options;

// Reads the command line into `options`: options anywhere, as GNU tools take them, "--" ending them. -1 to go on;
// otherwise the exit status, the help, the version or the usage error already written.
int parseOptions(int argc, char** argv);

// Flushes the standard output: 0, or 1 with a message on stderr when what was written to it did not all get out.
int endOutput();

// Writes a usage error, naming `what`, and the usage text; returns the exit status of a usage error.
int usage(const char* message, const char* what = "");
