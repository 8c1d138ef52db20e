#include "display/trace_report.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

const int REPORT_TAB_STOPS[TAB_STOP_COUNT] = {20, 40, 60, 80, 140, 250};
const int REPORT_TAB_STOPS_IPV6[TAB_STOP_COUNT] = {20, 40, 60, 80, 250, 360};

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

void addHopLine(ReportText& report, const TraceSlot& slot, int k, bool wide) {
  const HopRecord& hop = slot.hops[k];
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
    char address[ADDRESS_TEXT_LENGTH];
    formatHopAddress(slot, figures, address);
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
  loadAddress6(hop.address6, figures.address6);
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

void formatAddress6(const uint8_t (&bytes)[16], char (&out)[ADDRESS_TEXT_LENGTH]) {
  static const uint8_t MAPPED[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  bool mapped = memcmp(bytes, MAPPED, sizeof MAPPED) == 0;
  int groups = mapped ? 6 : 8, zerosAt = -1, zeros = 1;  // a single zero group stays "0"
  unsigned group[8];
  for (int i = 0; i < 8; ++i) group[i] = bytes[2 * i] << 8 | bytes[2 * i + 1];
  for (int i = 0, run = 0; i < groups; ++i) {
    run = group[i] == 0 ? run + 1 : 0;
    if (run > zeros) zeros = run, zerosAt = i - run + 1;
  }
  size_t length = 0;
  for (int i = 0; i < groups; ++i) {
    if (i == zerosAt) {
      length += copyCut(out + length, sizeof out - length, "::");
      i += zeros - 1;
      continue;
    }
    bool afterRun = zerosAt >= 0 && i == zerosAt + zeros;
    length += snprintf(out + length, sizeof out - length, i > 0 && !afterRun ? ":%x" : "%x", group[i]);
  }
  if (mapped)
    snprintf(out + length, sizeof out - length, "%s%u.%u.%u.%u", out[length - 1] == ':' ? "" : ":", bytes[12],
             bytes[13], bytes[14], bytes[15]);
}

bool formatTarget(const TraceSlot& slot, char (&out)[ADDRESS_TEXT_LENGTH]) {
  // The version is written after the address: once it reads 6, the address is whole.
  if (loadShared(slot.ipVersion) == 6) {
    uint8_t bytes[16];
    loadAddress6(slot.targetAddress6, bytes);
    formatAddress6(bytes, out);
    return true;
  }
  char dotted[16];
  uint32_t target = loadShared(slot.targetAddress);
  formatAddress(target, dotted);
  copyCut(out, sizeof out, dotted);
  return target != 0;
}

void formatHopAddress(const TraceSlot& slot, const HopFigures& figures, char (&out)[ADDRESS_TEXT_LENGTH]) {
  if (loadShared(slot.ipVersion) == 6) return formatAddress6(figures.address6, out);
  char dotted[16];
  formatAddress(figures.address, dotted);
  copyCut(out, sizeof out, dotted);
}

size_t buildTraceReport(const TraceSlot& slot, const char* statusText, char (&text)[REPORT_LENGTH], bool wide) {
  ReportText report{text};
  text[0] = '\0';
  if (statusText != nullptr) {
    report.addVisible(statusText);
    return report.length;
  }
  char host[HOST_NAME_LENGTH], address[ADDRESS_TEXT_LENGTH];
  copyCut(host, sizeof host, slot.hostName);
  report.addVisible(host);
  if (!formatTarget(slot, address)) {
    report.add(" not found \r\n");
    return report.length;
  }
  report.add(" resolved to ");
  report.add(address);
  report.add("\r\n");
  if (int32_t error = loadShared(slot.socketError)) {
    bool ipv6 = loadShared(slot.ipVersion) == 6;
    report.add(ipv6 ? "No ICMPv6 socket (error " : "No ICMP socket (error ");
    report.addNumber(error);
    report.add("): ");
    report.add(ipv6 ? TRANSPORT_FIX_IPV6 : TRANSPORT_FIX);
    report.add("\r\n");
  }
  report.add(wide ? "Hop\tPing\tBest\tWrst\tStDev\tLoss\tSent\tIP\tAddress\r\n"
                  : "Hop\tPing\tLoss\tSent\tIP\tAddress\r\n");
  for (int k = 0, last = lastListedHop(slot); k <= last; ++k) addHopLine(report, slot, k, wide);
  return report.length;
}

void storeHopName(TraceSlot& slot, int hop, const char* name) {
  setHopName(slot.hops[hop], name != nullptr ? name : NO_NAME);
}
