#include "display/trace_report.h"

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
      if (static_cast<unsigned char>(text[i]) < ' ' || text[i] == '\x7F') text[i] = '?';
  }
  void addNumber(long long value) {
    char digits[24];
    snprintf(digits, sizeof digits, "%lld", value);
    add(digits);
  }
};

int lossPercent(uint32_t replies, uint32_t probes) {
  if (probes == 0) return 0;
  return static_cast<int>(100.0 - static_cast<double>(replies) / static_cast<double>(probes) * 100.0);
}

void addHopLine(ReportText& report, int k, const HopRecord& hop) {
  int32_t state = loadShared(hop.state);
  // The worker writes the probes, the replies, then the round-trip total (countAnswered): read the
  // other way round, the total is never ahead of its replies nor the replies of their probes, so
  // a redraw between two writes cannot overcount. A slot in any other state is held to that too.
  uint32_t rtt = loadShared(hop.rttTotal);
  uint32_t replies = loadShared(hop.replyCount);
  uint32_t probes = loadShared(hop.probeCount);
  if (replies > probes) replies = probes;
  report.addNumber(k + 1);
  report.add("\t");
  if (replies == 0)
    report.add("?");
  else
    report.addNumber(rtt / replies);
  report.add("\t");
  report.addNumber(lossPercent(replies, probes));
  report.add("%\t");
  report.addNumber(probes);
  report.add("\t");
  if (state != HOP_SILENT) {
    char address[16];
    formatAddress(loadShared(hop.address), address);
    report.add(address);
  }
  report.add("\t");
  char name[HOP_NAME_LENGTH];
  readHopName(hop, name);
  report.addVisible(name);
  report.add("\r\n");
}

}  // namespace

void formatAddress(uint32_t address, char (&out)[16]) {
  unsigned char bytes[4];
  memcpy(bytes, &address, 4);
  snprintf(out, sizeof out, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
}

size_t buildTraceReport(const TraceSlot& slot, const char* statusText, char (&text)[REPORT_LENGTH]) {
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
  report.add("Hop\tPing\tLoss\tSent\tIP\tAddress\r\n");
  int last = 0;
  for (int k = 0; k < MAX_HOPS; ++k)
    if (loadShared(slot.hops[k].state) != HOP_SILENT) last = k;
  for (int k = 0; k <= last; ++k) addHopLine(report, k, slot.hops[k]);
  return report.length;
}

void storeHopName(TraceSlot& slot, int hop, const char* name) {
  setHopName(slot.hops[hop], name != nullptr ? name : "(no name)");
}
