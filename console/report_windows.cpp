#include "console/report_windows.h"

#include <cstring>

#include "console/options.h"

ReportWindow windows[MAX_TRACES];
Changes changes;

namespace {

std::string windowText(int index) {
  char text[REPORT_LENGTH];
  {
    std::lock_guard<std::mutex> guard(windows[index].lock);
    memcpy(text, windows[index].text, sizeof text);
  }
  std::string out;
  for (const char* at = text; *at != '\0'; ++at)
    if (!(at[0] == '\r' && at[1] == '\n')) out += *at;
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
