#include "display/report_formats.h"

#include <chrono>
#include <cstring>

#include "core/trace_engine.h"
#include "display/trace_report.h"

namespace {

// A JSON string of single-byte text, all ASCII: control characters and bytes above 127 (taken
// as U+0080..U+00FF) as \u escapes, so that any name from the network gives valid JSON.
void writeJsonString(FILE* out, const char* text) {
  fputc('"', out);
  for (const char* at = text; *at != '\0'; ++at) {
    auto c = static_cast<unsigned char>(*at);
    if (c == '"' || c == '\\')
      fprintf(out, "\\%c", c);
    else if (isControlCharacter(*at) || c > 127)
      fprintf(out, "\\u%04x", c);
    else
      fputc(c, out);
  }
  fputc('"', out);
}

// A CSV cell, quoted when it holds a comma or a quote. Control characters show as "?", as the
// window shows them, so that no cell breaks a row.
void writeCsvCell(FILE* out, const char* text) {
  bool quoted = strpbrk(text, ",\"") != nullptr;
  if (quoted) fputc('"', out);
  for (const char* at = text; *at != '\0'; ++at) {
    if (*at == '"') fputc('"', out);
    fputc(isControlCharacter(*at) ? '?' : *at, out);
  }
  if (quoted) fputc('"', out);
}

// The fields of one record, written as JSON members, as CSV cells, or as the CSV header of their
// keys; a field with no value is JSON's null and an empty cell.
struct Fields {
  enum Form { JSON, CSV, CSV_HEADER };
  FILE* out;
  Form form;
  int written = 0;

  // True when the value is to follow.
  bool next(const char* key) {
    if (written++ > 0) fputs(form == JSON ? ", " : ",", out);
    if (form == JSON) fprintf(out, "\"%s\": ", key);
    if (form == CSV_HEADER) fputs(key, out);
    return form != CSV_HEADER;
  }
  void number(const char* key, const char* digits) {
    if (next(key)) fputs(digits != nullptr ? digits : form == JSON ? "null" : "", out);
  }
  void integer(const char* key, long long value, bool known) {
    char digits[24];
    snprintf(digits, sizeof digits, "%lld", value);
    number(key, known ? digits : nullptr);
  }
  void hundredths(const char* key, uint64_t value, bool known) {
    char digits[24];
    formatHundredths(value, digits);
    number(key, known ? digits : nullptr);
  }
  void text(const char* key, const char* value) {
    if (!next(key)) return;
    if (value == nullptr)
      fputs(form == JSON ? "null" : "", out);
    else if (form == JSON)
      writeJsonString(out, value);
    else
      writeCsvCell(out, value);
  }
};

void traceFields(Fields& fields, const TraceRun& run) {
  const TraceSlot& slot = *run.slot;
  int32_t error = loadShared(slot.socketError);
  char address[ADDRESS_TEXT_LENGTH], start[32], end[32];
  bool found = formatTarget(slot, address);
  formatUtcTime(run.startedAt, start);
  formatUtcTime(run.endedAt, end);
  fields.text("hostText", run.hostText);
  fields.text("host", slot.hostName);
  fields.text("targetAddress", found ? address : nullptr);
  fields.integer("ipVersion", loadShared(slot.ipVersion), found);
  fields.text("start", start);
  fields.text("end", end);
  fields.integer("rounds", slot.rounds != 0 ? slot.rounds : MAX_ROUND, true);
  fields.integer("socketError", error, error != 0);
  static const char* const ENDS[] = {"final", "not-found", "no-socket", "timeout-lookup", "timeout-measuring"};
  fields.text("ended", ENDS[run.ended]);
}

// The figures of hop `k` as the window's line shows them; all empty when it is not `listed`.
void hopFields(Fields& fields, const TraceSlot& slot, int k, bool listed) {
  const HopRecord& hop = slot.hops[k];
  HopFigures figures = readHopFigures(hop);
  bool known = listed && figures.state != HOP_SILENT, probed = listed && figures.probes > 0,
       answered = listed && figures.replies > 0;
  char address[ADDRESS_TEXT_LENGTH], name[HOP_NAME_LENGTH];
  formatHopAddress(slot, figures, address);
  readHopName(hop, name);
  bool named = listed && name[0] != '\0' && strcmp(name, NO_NAME) != 0;
  fields.integer("hop", k + 1, listed);
  fields.text("address", known ? address : nullptr);
  fields.text("name", named ? name : nullptr);
  fields.integer("loss", lossPercent(figures.replies, figures.probes), probed);
  fields.integer("sent", figures.probes, listed);
  fields.integer("received", figures.replies, listed);
  fields.hundredths("average", answered ? averageHundredths(figures) : 0, answered);
  fields.integer("best", figures.best, answered);
  fields.integer("worst", figures.worst, answered);
  fields.hundredths("stdev", answered ? deviationHundredths(figures) : 0, answered);
}

// The hops the window lists: none for a target not found.
int listedHops(const TraceSlot& slot) {
  char address[ADDRESS_TEXT_LENGTH];
  return formatTarget(slot, address) ? lastListedHop(slot) + 1 : 0;
}

}  // namespace

void writeJsonReport(FILE* out, const TraceRun* runs, int count) {
  fputs("[", out);
  for (int i = 0; i < count; ++i) {
    fputs(i > 0 ? ",\n  {" : "\n  {", out);
    Fields trace{out, Fields::JSON};
    traceFields(trace, runs[i]);
    trace.next("hops");
    fputs("[", out);
    for (int k = 0, hops = listedHops(*runs[i].slot); k < hops; ++k) {
      fputs(k > 0 ? ",\n    {" : "\n    {", out);
      Fields hop{out, Fields::JSON};
      hopFields(hop, *runs[i].slot, k, true);
      fputs("}", out);
    }
    fputs("]}", out);
  }
  fputs(count > 0 ? "\n]\n" : "]\n", out);
}

void writeCsvReport(FILE* out, const TraceRun* runs, int count) {
  static const TraceSlot noSlot = {};
  const TraceRun noRun = {"", &noSlot, 0, 0, END_FINAL};  // the header takes only the keys
  Fields header{out, Fields::CSV_HEADER};
  traceFields(header, noRun);
  hopFields(header, noSlot, 0, false);
  fputs("\r\n", out);
  for (int i = 0; i < count; ++i) {
    int hops = listedHops(*runs[i].slot);
    for (int k = 0; k < (hops > 0 ? hops : 1); ++k) {
      Fields row{out, Fields::CSV};
      traceFields(row, runs[i]);
      hopFields(row, *runs[i].slot, k, k < hops);
      fputs("\r\n", out);
    }
  }
}

void formatUtcTime(int64_t milliseconds, char (&out)[32]) {
  using namespace std::chrono;
  sys_time<std::chrono::milliseconds> at{std::chrono::milliseconds{milliseconds}};
  sys_days day = floor<days>(at);
  year_month_day date{day};
  hh_mm_ss<std::chrono::milliseconds> time{at - day};
  snprintf(out, sizeof out, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
           static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
           static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
           static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
}
