#include "console/options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/trace_table.h"

Options options;

namespace {

constexpr double DEFAULT_TIMEOUT_SECONDS = 60;
constexpr double TIMEOUT_SECONDS_PER_ROUND = 6;  // added for each round above the tray's ten
constexpr double MAX_TIMEOUT_SECONDS = 86400;
constexpr uint32_t MAX_COUNT = 1000;
constexpr const char* USAGE =
    "usage: zarta-trace [OPTION]... HOST_TEXT...  (at most 50 hosts)\n"
    "Traces the route to each host, then pings every hop ten times; HOST_TEXT may be a URL.\n"
    "  -c, --count N        ping every hop N times, 1 to 1000 (default 10)\n"
    "  -n, --no-dns         no reverse lookups: the hops' names stay empty\n"
    "  --format FORMAT      text (the default, as the trace window shows it), json or csv\n"
    "  --wide               the text with the columns Best, Wrst and StDev after Ping\n"
    "  --timeout SECONDS    stop then, if the traces have not ended by themselves\n"
    "                       (default 60, and 6 more for each ping per hop above ten)\n"
    "  --help, --version\n";

// The value of the option at argv[i] when it is `name` or `shortName`: "--name=VALUE", or the next
// argument, which it then moves past. Null for another option; `missing` when the value is.
const char* optionValue(const char* name, const char* shortName, int argc, char** argv, int& i, bool& missing) {
  size_t length = strlen(name);
  if (strncmp(argv[i], name, length) == 0 && argv[i][length] == '=') return argv[i] + length + 1;
  if (strcmp(argv[i], name) != 0 && (shortName == nullptr || strcmp(argv[i], shortName) != 0)) return nullptr;
  missing = i + 1 >= argc;
  return missing ? nullptr : argv[++i];
}

// Reads the option at argv[i], and its value; -1 to go on, otherwise the exit status.
int parseOption(int argc, char** argv, int& i) {
  const char* option = argv[i];
  if (strcmp(option, "--help") == 0) {
    fputs(USAGE, stdout);
    return 0;
  }
  if (strcmp(option, "--version") == 0) {
    puts("zarta-trace, Zarta version .5");
    return 0;
  }
  if (strcmp(option, "-n") == 0 || strcmp(option, "--no-dns") == 0) {
    options.noDns = true;
    return -1;
  }
  if (strcmp(option, "--wide") == 0) {
    options.wide = true;
    return -1;
  }
  bool missing = false;
  char* end = nullptr;
  if (const char* value = optionValue("--count", "-c", argc, argv, i, missing)) {
    unsigned long count = strtoul(value, &end, 10);
    if (end == value || *end != '\0' || value[0] == '-' || count < 1 || count > MAX_COUNT)
      return usage("--count needs a number of pings from 1 to 1000");
    options.count = static_cast<uint32_t>(count);
  } else if (const char* format = optionValue("--format", nullptr, argc, argv, i, missing)) {
    const char* const names[] = {"text", "json", "csv"};
    int chosen = 0;
    while (chosen < 3 && strcmp(format, names[chosen]) != 0) ++chosen;
    if (chosen == 3) return usage("--format needs text, json or csv");
    options.format = static_cast<ReportFormat>(chosen);
  } else if (const char* seconds = optionValue("--timeout", nullptr, argc, argv, i, missing)) {
    options.timeoutSeconds = strtod(seconds, &end);
    if (end == seconds || *end != '\0' || !(options.timeoutSeconds > 0) || options.timeoutSeconds > MAX_TIMEOUT_SECONDS)
      return usage("--timeout needs a number of seconds above 0");
  } else {
    return usage(missing ? "a value is missing after " : "unknown option ", option);
  }
  return -1;
}

}  // namespace

int usage(const char* message, const char* what) {
  fprintf(stderr, "zarta-trace: %s%s\n%s", message, what, USAGE);
  return 2;
}

int parseOptions(int argc, char** argv) {
  int first = 1;
  for (; first < argc && argv[first][0] == '-'; ++first) {
    if (strcmp(argv[first], "--") == 0) {
      ++first;
      break;
    }
    if (int status = parseOption(argc, argv, first); status >= 0) return status;
  }
  if (options.timeoutSeconds == 0) {
    uint32_t extraRounds = options.count > MAX_ROUND ? options.count - MAX_ROUND : 0;
    options.timeoutSeconds = DEFAULT_TIMEOUT_SECONDS + TIMEOUT_SECONDS_PER_ROUND * extraRounds;
  }
  options.hosts = argv + first;
  options.hostCount = argc - first;
  if (options.hostCount < 1) return usage("no host given");
  if (options.hostCount > MAX_TRACES) return usage("too many hosts");
  return -1;
}
