#include "display/trace_report.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

const int REPORT_TAB_STOPS[TAB_STOP_COUNT] = {20, 40, 60, 80, 140, 250};

namespace {

// Appends to the report buffer, never past its end.
struct ReportText {
  char (&text)[REPORT_LENGTH];
  size_t length = 0;

  void add(const char* part) { length += copyCut(text + length, REPORT_LENGTH - length, part); }
  // Text from the slot, which a reverse name can fill with anything: a control character would
  // break the columns and lines (or, in a terminal, do worse), so each shows as "?".
  void addVisible(const char* part) {
    size_t start = length;
    add(part);
    for (size_t i = start; i < length; ++i)
      if (isControlCharacter(text[i])) text[i] = '?';
  }
  void addNumber(long long value) {
    char digits[24];
    snprintf(digits, sizeof digits, "%lld", value);
    add(digits);
  }
};

void addDecimal(ReportText& report, uint64_t hundredths) {
  char digits[24];
  formatHundredths(hundredths, digits);
  report.add(digits);
}

void addHopLine(ReportText& report, int k, const HopRecord& hop, bool wide) {
  HopFigures figures = readHopFigures(hop);
  report.addNumber(k + 1);
  report.add("\t");
  if (figures.replies == 0) {
    report.add(wide ? "?\t?\t?\t?" : "?");
  } else {
    report.addNumber(figures.total / figures.replies);
    if (wide) {
      report.add("\t");
      report.addNumber(figures.best);
      report.add("\t");
      report.addNumber(figures.worst);
      report.add("\t");
      addDecimal(report, deviationHundredths(figures));
    }
  }
  report.add("\t");
  report.addNumber(lossPercent(figures.replies, figures.probes));
  report.add("%\t");
  report.addNumber(figures.probes);
  report.add("\t");
  if (figures.state != HOP_SILENT) {
    char address[16];
    formatAddress(figures.address, address);
    report.add(address);
  }
  report.add("\t");
  char name[HOP_NAME_LENGTH];
  readHopName(hop, name);
  report.addVisible(name);
  report.add("\r\n");
}

}  // namespace

const char NO_NAME[] = "(no name)";

bool isControlCharacter(char c) { return static_cast<unsigned char>(c) < ' ' || c == '\x7F'; }

int lastListedHop(const TraceSlot& slot) {
  int last = 0;
  for (int k = 0; k < MAX_HOPS; ++k)
    if (loadShared(slot.hops[k].state) != HOP_SILENT) last = k;
  return last;
}

HopFigures readHopFigures(const HopRecord& hop) {
  HopFigures figures;
  figures.state = loadShared(hop.state);
  // The worker writes the best, worst and squares, the probes, the replies, then the total
  // (countAnswered): read the other way round, the total is never ahead of its replies nor the
  // replies of their probes, so a redraw between two writes cannot overcount. A slot in any other
  // state is held to that too.
  figures.total = loadShared(hop.rttTotal);
  figures.replies = loadShared(hop.replyCount);
  figures.probes = loadShared(hop.probeCount);
  if (figures.replies > figures.probes) figures.replies = figures.probes;
  figures.squares = loadShared(hop.rttSquares);
  figures.worst = loadShared(hop.rttWorst);
  figures.best = loadShared(hop.rttBest);
  figures.address = loadShared(hop.address);
  return figures;
}

int lossPercent(uint32_t replies, uint32_t probes) {
  if (probes == 0 || replies >= probes) return 0;
  return static_cast<int>(uint64_t{probes - replies} * 100 / probes);
}

uint64_t averageHundredths(const HopFigures& figures) { return uint64_t{figures.total} * 100 / figures.replies; }

uint64_t deviationHundredths(const HopFigures& figures) {
  if (figures.replies < 2) return 0;
  long double count = figures.replies, total = figures.total;
  // n * squares - total^2 is n^2 times the spread; a report read while a reply is counted may see
  // the squares a moment behind the total.
  long double spread = count * static_cast<long double>(figures.squares) - total * total;
  if (spread <= 0) return 0;
  return static_cast<uint64_t>(llroundl(sqrtl(spread / (count * (count - 1))) * 100));
}

void formatHundredths(uint64_t hundredths, char (&out)[24]) {
  snprintf(out, sizeof out, "%llu.%02u", static_cast<unsigned long long>(hundredths / 100),
           static_cast<unsigned>(hundredths % 100));
}

void formatAddress(uint32_t address, char (&out)[16]) {
  unsigned char bytes[4];
  memcpy(bytes, &address, 4);
  snprintf(out, sizeof out, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
}

size_t buildTraceReport(const TraceSlot& slot, const char* statusText, char (&text)[REPORT_LENGTH], bool wide) {
  ReportText report{text};
  text[0] = '\0';
  if (statusText != nullptr) {
    report.addVisible(statusText);
    return report.length;
  }
  uint32_t target = loadShared(slot.targetAddress);
  char host[HOST_NAME_LENGTH];
  copyCut(host, sizeof host, slot.hostName);
  report.addVisible(host);
  if (target == 0) {
    report.add(" not found \r\n");
    return report.length;
  }
  char address[16];
  formatAddress(target, address);
  report.add(" resolved to ");
  report.add(address);
  report.add("\r\n");
  if (int32_t error = loadShared(slot.socketError)) {
    report.add("No ICMP socket (error ");
    report.addNumber(error);
    report.add("): ");
    report.add(TRANSPORT_FIX);
    report.add("\r\n");
  }
  report.add(wide ? "Hop\tPing\tBest\tWrst\tStDev\tLoss\tSent\tIP\tAddress\r\n"
                  : "Hop\tPing\tLoss\tSent\tIP\tAddress\r\n");
  for (int k = 0, last = lastListedHop(slot); k <= last; ++k) addHopLine(report, k, slot.hops[k], wide);
  return report.length;
}

void storeHopName(TraceSlot& slot, int hop, const char* name) {
  setHopName(slot.hops[hop], name != nullptr ? name : NO_NAME);
}
