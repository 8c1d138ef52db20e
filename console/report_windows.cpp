#include "console/report_windows.h"

#include <cstring>

#include "console/options.h"

ReportWindow windows[MAX_TRACES];
Changes changes;

namespace {

// The bytes of the character at `at`, and whether a terminal shows it as a character: ASCII does (the report shows
// its controls as "?"), and so does UTF-8 but for a C1 control (U+0080 to U+009F, which several terminals obey, as
// they obey the raw bytes 0x80 to 0x9F), an overlong form or a surrogate. A byte that begins no UTF-8 is one
// character not shown.
int characterLength(const unsigned char* at, bool& shown) {
  shown = at[0] < 0x80;
  if (shown || at[0] < 0xC2 || at[0] > 0xF4) return 1;
  int length = at[0] >= 0xF0 ? 4 : at[0] >= 0xE0 ? 3 : 2;
  uint32_t point = at[0] & (0x7Fu >> length);
  for (int i = 1; i < length; ++i) {
    if ((at[i] & 0xC0) != 0x80) return 1;  // a NUL too
    point = point << 6 | (at[i] & 0x3Fu);
  }
  const uint32_t least[] = {0, 0, 0xA0, 0x800, 0x10000};
  shown = point >= least[length] && (point < 0xD800 || point > 0xDFFF) && point <= 0x10FFFF;
  return length;
}

// The report with "\n" for "\r\n", and "?" for each character a terminal would not show as one: the report leaves
// the bytes above 127 to the window's code page.
std::string windowText(int index) {
  char text[REPORT_LENGTH];
  {
    std::lock_guard<std::mutex> guard(windows[index].lock);
    memcpy(text, windows[index].text, sizeof text);
  }
  std::string out;
  for (const char* at = text; *at != '\0';) {
    bool shown;
    int length = characterLength(reinterpret_cast<const unsigned char*>(at), shown);
    if (!shown)
      out += '?';
    else if (!(at[0] == '\r' && at[1] == '\n'))
      out.append(at, static_cast<size_t>(length));
    at += length;
  }
  return out;
}

}  // namespace

void Changes::notify() {
  {
    std::lock_guard<std::mutex> guard(lock);
    ++count;
  }
  signal.notify_one();
}

unsigned Changes::waitPast(unsigned seen, Clock::time_point until) {
  std::unique_lock<std::mutex> guard(lock);
  signal.wait_until(guard, until, [&] { return count != seen; });
  return count;
}

std::string allReports(int count) {
  std::string out;
  for (int i = 0; i < count; ++i) {
    if (i > 0) out += "\n";
    out += windowText(i);
  }
  return out;
}

bool pastResolution(int index) {
  std::lock_guard<std::mutex> guard(windows[index].lock);
  return windows[index].version >= 2;
}

void renderTraceReport(TraceSlot& slot, const char* statusText) {
  auto* window = static_cast<ReportWindow*>(slot.window);
  if (window == nullptr) return;
  char text[REPORT_LENGTH];
  buildTraceReport(slot, statusText, text, options.wide);
  {
    std::lock_guard<std::mutex> guard(window->lock);
    memcpy(window->text, text, sizeof text);
    ++window->version;
  }
  changes.notify();
}

bool NameWait::done(const TraceSlot& slot, const ReportWindow& window, Clock::time_point now) {
  bool nowQuiet = loadShared(slot.quiet) != 0;
  if (nowQuiet && !quiet) until = now + std::chrono::milliseconds(NAME_WAIT_MILLISECONDS);
  quiet = nowQuiet;
  return quiet && (window.pendingLookups.load() == 0 || now >= until);
}

TraceEnd howEnded(int index, const TraceSlot& slot) {
  if (!pastResolution(index)) return END_TIMEOUT_LOOKING_UP;
  if (loadShared(slot.ipVersion) == 0) return END_NOT_FOUND;
  if (loadShared(slot.socketError) != 0) return END_NO_SOCKET;
  return loadShared(slot.quiet) != 0 ? END_FINAL : END_TIMEOUT_MEASURING;
}
