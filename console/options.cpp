#include "console/options.h"

#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

Options options;

namespace {

constexpr double DEFAULT_TIMEOUT_SECONDS = 60;
constexpr double TIMEOUT_SECONDS_PER_ROUND = 6;  // added for each round above the tray's ten
constexpr unsigned long MAX_COUNT = 1000;
constexpr const char* USAGE =
    "usage: zarta-trace [OPTION]... HOST_TEXT...  (at most 50 hosts)\n"
    "Traces the route to each host, then pings every hop ten times; HOST_TEXT may be a URL.\n"
    "  -c, --count N        ping every hop N times, 1 to 1000 (default 10)\n"
    "  -n, --no-dns         no reverse lookups: the hops' names stay empty\n"
    "  -4, -6               over IPv4 or IPv6 alone (default: the resolver's first address)\n"
    "  --format FORMAT      text (the default, as the trace window shows it), json or csv\n"
    "  --wide               the text with the columns Best, Wrst and StDev after Ping\n"
    "  --timeout SECONDS    stop then, if the traces have not ended by themselves, at most 86400\n"
    "                       (default 60, and 6 more for each ping per hop above ten)\n"
    "  --help, --version\n";

// The long options' own codes, past every character.
enum { OPTION_FORMAT = 256, OPTION_WIDE, OPTION_TIMEOUT, OPTION_HELP, OPTION_VERSION };
const option LONG_OPTIONS[] = {{"count", required_argument, nullptr, 'c'},
                               {"no-dns", no_argument, nullptr, 'n'},
                               {"format", required_argument, nullptr, OPTION_FORMAT},
                               {"wide", no_argument, nullptr, OPTION_WIDE},
                               {"timeout", required_argument, nullptr, OPTION_TIMEOUT},
                               {"help", no_argument, nullptr, OPTION_HELP},
                               {"version", no_argument, nullptr, OPTION_VERSION},
                               {nullptr, 0, nullptr, 0}};

int writeOut(const char* text) {
  fputs(text, stdout);
  return endOutput();
}

// Takes the option `chosen` with its value; -1 to go on, otherwise the exit status.
int takeOption(int chosen, const char* value) {
  char* end = nullptr;
  switch (chosen) {
    case 'c': {
      unsigned long count = strtoul(value, &end, 10);
      if (!(value[0] >= '0' && value[0] <= '9') || *end != '\0' || count < 1 || count > MAX_COUNT)
        return usage("--count needs a number of pings from 1 to 1000");
      options.count = static_cast<uint32_t>(count);
      return -1;
    }
    case 'n':
      options.noDns = true;
      return -1;
    case '4':
    case '6':
      options.ipVersion = chosen - '0';
      return -1;
    case OPTION_FORMAT:
      if (strcmp(value, "text") == 0)
        options.format = FORMAT_TEXT;
      else if (strcmp(value, "json") == 0)
        options.format = FORMAT_JSON;
      else if (strcmp(value, "csv") == 0)
        options.format = FORMAT_CSV;
      else
        return usage("--format needs text, json or csv");
      return -1;
    case OPTION_WIDE:
      options.wide = true;
      return -1;
    case OPTION_TIMEOUT:
      options.timeoutSeconds = strtod(value, &end);
      if (end == value || *end != '\0' || !(options.timeoutSeconds > 0) || options.timeoutSeconds > 86400)
        return usage("--timeout needs a number of seconds above 0 and at most 86400");
      return -1;
    case OPTION_HELP:
      return writeOut(USAGE);
    default:  // OPTION_VERSION
      return writeOut("zarta-trace, Zarta version .5\n");
  }
}

}  // namespace

int usage(const char* message, const char* what) {
  fprintf(stderr, "zarta-trace: %s%s\n%s", message, what, USAGE);
  return 2;
}

int endOutput() {
  if (fflush(stdout) == 0 && !ferror(stdout)) return 0;
  fprintf(stderr, "zarta-trace: cannot write the standard output: %s\n", strerror(errno));
  return 1;
}

int parseOptions(int argc, char** argv) {
  int hosts = 0;
  auto addHost = [&hosts](const char* host) {
    if (hosts < MAX_TRACES) options.hosts[hosts] = host;
    ++hosts;
  };
  opterr = 0;
  // "-": each host text comes back in its place (as option 1), options after it still read, whatever
  // POSIXLY_CORRECT says; ":": a missing value is told apart from an unknown option.
  for (int chosen; (chosen = getopt_long(argc, argv, "-:c:n46", LONG_OPTIONS, nullptr)) != -1;) {
    char shortName[] = {'-', static_cast<char>(optopt), '\0'};
    const char* typed = argv[optind - 1];  // the option as given, its value with it
    if (chosen == 1)
      addHost(optarg);
    else if (chosen == ':')
      return usage("a value is missing after ", typed);
    else if (chosen == '?')
      return usage("unknown option ", strncmp(typed, "--", 2) == 0 ? typed : shortName);
    else if (int status = takeOption(chosen, optarg); status >= 0)
      return status;
  }
  while (optind < argc) addHost(argv[optind++]);  // behind "--"
  if (options.timeoutSeconds == 0) {
    uint32_t extraRounds = options.count > MAX_ROUND ? options.count - MAX_ROUND : 0;
    options.timeoutSeconds = DEFAULT_TIMEOUT_SECONDS + TIMEOUT_SECONDS_PER_ROUND * extraRounds;
  }
  options.hostCount = hosts;
  if (hosts < 1) return usage("no host given");
  if (hosts > MAX_TRACES) return usage("too many hosts");
  return -1;
}
