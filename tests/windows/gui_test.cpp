// The tray program's windows in-process by its own message loop; a worker double starts no thread but for IPv6.
#include <gtest/gtest.h>
#include <ws2tcpip.h>

#include <tuple>

#include "display/trace_start.h"
#include "display/trace_window_win32.h"
#include "resources/resource.h"
#include "shell/shell_win32.h"

namespace {

int starts;          // by the worker double
TraceSlot* started;  // the slot it was given last
std::string seen;    // that slot's window as the worker found it: shown or hidden, and its caption

std::string text(HWND window) {  // by WM_GETTEXT, which reads another program's edit too
  static char got[1 << 16];
  return SendMessageTimeoutA(window, WM_GETTEXT, sizeof got, LPARAM(got), SMTO_ABORTIFHUNG, 5000, nullptr) ? got : "";
}
std::string two(long a, const char* between, long b) { return std::to_string(a) + between + std::to_string(b); }
RECT rectOf(HWND window, RECT r = {}) { return GetWindowRect(window, &r), r; }
std::string where(HWND window) {  // "left,top", whether in front and owned, and what of the host edit is selected
  const LRESULT s = SendDlgItemMessageA(window, IDC_HOST, EM_GETSEL, 0, 0);
  return two(rectOf(window).left, ",", rectOf(window).top) + (GetForegroundWindow() == window ? " in front" : "") +
         (GetWindow(window, GW_OWNER) == mainWindow ? " owned" : "") +
         (GetDlgItem(window, IDC_HOST) ? ", selected " + two(LOWORD(s), "-", HIWORD(s)) : "");
}
HWND windowOf(const TraceSlot* slot) { return static_cast<HWND>(slot->window); }
HWND editOf(const TraceSlot* slot) { return GetDlgItem(windowOf(slot), IDC_TRACE_TEXT); }
std::string state(const TraceSlot* slot) {  // of its window and its worker
  return std::string(IsWindowVisible(windowOf(slot)) ? "shown" : "hidden") + (slot->stopRequested ? " stopped" : "");
}
bool fakeWorker(TraceSlot& s) { return ++starts, started = &s, seen = state(&s) + " " + text(windowOf(&s)), true; }
void post(HWND window = nullptr, UINT message = WM_NULL, WPARAM wParam = 0, LPARAM lParam = 0) {
  PostMessageA(window, message, wParam, lParam), PostQuitMessage(0), runMessageLoop();  // till nothing is left queued
}
TraceSlot* start(const char* host) { return started = nullptr, startTrace(host, 100, 100), started; }  // or null
void until(auto done) {  // handling messages meanwhile, for 10 s at most
  for (DWORD begin = GetTickCount(); !done() && GetTickCount() - begin < 10000; Sleep(1)) post();
}
void expectTabStops(const TraceSlot* slot, std::initializer_list<int> stops) {  // in dialog units: a character at each
  SetWindowTextA(editOf(slot), "\t\t\t\t\t\t.");
  auto x = [&](int at) { return static_cast<short>(SendMessageA(editOf(slot), EM_POSFROMCHAR, at, 0)); };
  auto pixels = [&](RECT r) { return MapDialogRect(windowOf(slot), &r), r.right; };
  for (int tab = 0; int units : stops) EXPECT_NEAR(x(++tab) - x(0), pixels({0, 0, units, 0}), 1) << "tab " << tab;
}

struct GuiTest : testing::Test {
  void SetUp() override {  // no dialog of this thread (looking again from the first after each), no trace
    post(), memset(static_cast<void*>(traceTable), 0, sizeof traceTable), startWorkerThread = fakeWorker;
    for (HWND w = nullptr; (w = FindWindowExA(nullptr, w, "#32770", nullptr)) != nullptr;)
      if (GetWindowThreadProcessId(w, nullptr) == GetCurrentThreadId()) DestroyWindow(w), w = nullptr;
    nextTraceTag = 0, hostEntryDialog = nullptr, appInstance = GetModuleHandleA(nullptr), starts = 0;
  }
};

// A message at a time to a new trace: its result, the window and worker after, the edit's size (20 pixels less, or 0).
TEST_F(GuiTest, TraceWindowTakesHopNamesFitsItsEditAndSetsItsTabStops) {
  // clang-format off
  const std::tuple<UINT, WPARAM, LPARAM, const char*> cases[] = {
      {10010, 0, 0, "1 shown"}, {10069, 0, 0, "1 shown"}, {10070, 0, 0, "0 shown"},
      {WM_SYSCOMMAND, SC_KEYMENU, 0, "0 shown"}, {WM_SYSCOMMAND, SC_CLOSE | 3, 0, "0 hidden stopped"},
      {WM_SIZE, 0, MAKELPARAM(300, 200), "1 shown 280x180"}, {WM_SIZE, 0, MAKELPARAM(19, 19), "1 shown 0x0"}};
  // clang-format on
  TraceSlot* slot = nullptr;
  for (auto [message, wParam, lParam, after] : cases) {
    slot = start("target.example");
    const std::string result = std::to_string(traceWindowProc(windowOf(slot), message, wParam, lParam)) + " ";
    const RECT e = rectOf(editOf(slot));
    const std::string size = two(e.right - e.left, "x", e.bottom - e.top);
    EXPECT_EQ(result + state(slot) + (message == WM_SIZE ? " " + size : ""), after) << message;
  }
  SendMessageA(editOf(slot), WM_CHAR, 'x', 0);  // read-only, and no taskbar button for the window
  EXPECT_TRUE(text(editOf(slot)).empty() && GetWindowLongA(windowOf(slot), GWL_EXSTYLE) & WS_EX_TOOLWINDOW);
  renderTraceReport(*slot, nullptr), renderTraceReport(*slot, "Looking up host target.example");  // stops stay
  expectTabStops(slot, {20, 40, 60, 80, 140, 250});
}

// Given back, its window gone, when its worker or window cannot be had. Reused, zeroed but for its new window: the
// old one destroyed, the name its last trace asked (127.0.0.1) kept out, its own (::1, by resolver threads) let in.
TEST_F(GuiTest, SlotsLowestFreeFirstNoneWhenFullGivenBackOnFailureReusedFromNothing) {
  startWorkerThread = [](TraceSlot&) { return false; }, start("a.example");
  startWorkerThread = fakeWorker, appInstance = GetModuleHandleA("kernel32.dll");  // no trace window template
  start("a.example"), appInstance = GetModuleHandleA(nullptr);
  EXPECT_EQ(FindWindowA(nullptr, "Tracing route to a.example"), nullptr);
  for (int i = 0; i < MAX_TRACES; ++i) ASSERT_EQ(start("a.example"), &traceTable[i]);
  EXPECT_EQ(start("b.example"), nullptr);
  TraceSlot* slot = &traceTable[3];
  HWND old = windowOf(slot);
  auto answered = [slot] { until([slot] { return !reverseLookupPending(*slot, 1); }); };
  slot->hops[1].address = inet_addr("127.0.0.1"), requestReverseLookup(*slot, 1);
  memset(static_cast<void*>(slot), 0xAB, sizeof(TraceSlot));  // whatever its last trace left
  slot->window = old, slot->inUse = traceTable[17].inUse = 0;
  static TraceSlot expected;  // zero, padding too; no tag for the refused
  ASSERT_EQ(start("new.example"), slot);
  answered(), strcpy(expected.hostName, "new.example");
  expected.inUse = 1, expected.window = slot->window, expected.traceTag = MAX_TRACES + 2;
  EXPECT_EQ(memcmp(slot, &expected, sizeof expected), 0);
  EXPECT_FALSE(IsWindow(old));
  EXPECT_EQ(start("c.example"), &traceTable[17]);
  slot->ipVersion = 6, inet_pton(AF_INET6, "::1", slot->hops[1].address6), requestReverseLookup(*slot, 1), answered();
  EXPECT_STREQ(slot->hops[1].name, "ipv6-loopback.example");  // named in with_xvfb.sh
}

void keys(auto... down) {  // pressed in this order, then released
  (keybd_event(static_cast<BYTE>(down), 0, 0, 0), ...);
  (keybd_event(static_cast<BYTE>(down), 0, KEYEVENTF_KEYUP, 0), ...);
  post();
}
void copy(const std::string& text) {  // to the clipboard; no text at all for ""
  char* block = strcpy(static_cast<char*>(GlobalAlloc(GMEM_FIXED, text.size() + 1)), text.c_str());
  OpenClipboard(mainWindow), EmptyClipboard(), text.empty() || SetClipboardData(CF_TEXT, block), CloseClipboard();
}
void hotKey(char key) { keys(VK_CONTROL, VK_SHIFT, key); }
void command(WORD id) { post(mainWindow, WM_COMMAND, id); }
void notify(auto... mice) { (post(mainWindow, MSG_TRAY_NOTIFY, 1, mice), ...); }
void enter(HWND window) { post(window, WM_KEYDOWN, VK_RETURN, 1); }
HWND about(HWND after = nullptr) { return FindWindowExA(nullptr, after, nullptr, "About zarta"); }
HWND typed(const char* host) {  // the host entry box, with `host` in its edit
  return showHostEntryDialog(), SetDlgItemTextA(hostEntryDialog, IDC_HOST, host), hostEntryDialog;
}
void moved(int dx, int dy) {  // the first trace so far from where the box puts a trace, then Enter in the box
  SetWindowPos(windowOf(traceTable), nullptr, 544 + dx, 198 + dy, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  enter(GetDlgItem(typed("t.example"), IDC_HOST));
}

// After each event, with a first trace open: the traces started (the window as its worker found it, place, in
// front), the host entry box (place, in front, selection), About boxes (place, owner), the first unless shown.
TEST_F(GuiTest, TrayEventsHotKeysAndEnterDoWhatTheyAsk) {
  const std::string box = "; box at 724,618 in front, selected ", none = "0" + box + "0-0",
                    shown = "; about at 524,518", clip = "1: shown Tracing route to clip.example at ",
                    t = " shown Tracing route to t.example at 544,198" + box;
  static const std::string clipped = std::string(4987, ' ') + "clip.example" + std::string(1 << 20, 'x');  // 4999 read
  const std::pair<void (*)(), std::string> cases[] = {
      {[] { copy(clipped), keys(VK_SHIFT, VK_F11), copy(""), hotKey('D'); }, clip + "574,318 in front"},
      {[] { SendMessageA(typed("x"), WM_COMMAND, IDCANCEL, 0), hotKey('E'); }, none},
      {[] { notify(WM_LBUTTONDBLCLK); }, none},
      {[] { hostEntryDialogProc(typed("x"), WM_SYSCOMMAND, SC_CLOSE | 3, 0), notify(WM_LBUTTONDOWN, WM_LBUTTONUP); },
       "0"},
      {[] { typed(""), command(ID_ABOUT), command(ID_ABOUT), command(ID_CLOSE_WINDOWS); },  // the traces alone
       "0; box at 724,618, selected 0-0" + shown + " in front owned" + shown + " owned; first hidden stopped"},
      {[] { moved(-19, -19); }, "1:" + t + "0-9; first hidden stopped"},  // replaced: within 19 pixels of the place
      {[] { moved(20, 0), moved(0, 20); }, "2:" + t + "0-9"},
      {[] {  // Enter anywhere else, the box closed, then open
         command(ID_ABOUT), post(about(), WM_SYSCOMMAND, SC_CLOSE | 3);  // the low bits are the system's
         enter(editOf(traceTable)), enter(mainWindow), command(ID_ABOUT), typed("t.example");
         for (HWND w : {GetDlgItem(hostEntryDialog, IDOK), hostEntryDialog, windowOf(traceTable), about()}) enter(w);
       },
       none + shown + " owned"}};
  for (const auto& [event, then] : cases) {
    SetUp(), start("a.example"), SetCursorPos(1000, 700), copy("clip.example"), event();
    std::string now = std::to_string(starts - 1) + (starts > 1 ? ": " + seen + " at " + where(windowOf(started)) : "");
    if (HWND entry = FindWindowA(nullptr, "Enter host")) now += "; box at " + where(entry);
    for (HWND window = about(); window != nullptr; window = about(window)) now += "; about at " + where(window);
    EXPECT_EQ(state(traceTable) == "shown" ? now : now + "; first " + state(traceTable), then);
  }
}

// On $ZARTA_SCREEN, the host box, a trace from it, a clipboard trace from the bottom-right corner and the About box lie
// whole, About at its scaled distances; a second OK replaces the box's trace, also where lying whole moved it. The
// clipboard's IPv6 literal, traced by the real worker where no ICMPv6 transport opens (Wine 8: the last refusal named),
// says so in one line, sends nothing and keeps IPv6's columns; stopped, the worker gives the slot back.
TEST_F(GuiTest, Ipv6SaysItHasNoIcmpv6AndWindowsLieWholeOnAScaledScreen) {
  RECT screen = rectOf(GetDesktopWindow()), r = {};
  HDC dc = GetDC(nullptr);
  const int dpi = GetDeviceCaps(dc, LOGPIXELSX);
  ReleaseDC(nullptr, dc);
  ASSERT_EQ(two(screen.right, "x", screen.bottom) + " at " + std::to_string(dpi), getenv("ZARTA_SCREEN"));
  SetCursorPos(screen.right - 1, screen.bottom - 1), copy("2001:db8::1"), startWorkerThread = startTraceWorkerThread;
  hotKey('D'), startWorkerThread = fakeWorker;
  enter(GetDlgItem(typed("t.example"), IDC_HOST)), command(ID_ABOUT);
  const HWND fromBox = FindWindowA(nullptr, "Tracing route to t.example");
  for (HWND window : {hostEntryDialog, fromBox, windowOf(traceTable), about()}) {
    ASSERT_TRUE(GetWindowRect(window, &r));
    EXPECT_TRUE(r.left >= 0 && r.top >= 0 && r.right <= screen.right && r.bottom <= screen.bottom)
        << text(window) << " at " << where(window) << " to " << r.right << "," << r.bottom;
  }
  EXPECT_EQ(std::make_pair(r.left, r.top),
            std::make_pair(screen.right - (500 * dpi + 48) / 96, screen.bottom - (250 * dpi + 48) / 96));
  until([] { return text(editOf(traceTable)).find("Hop") != std::string::npos; });
  EXPECT_EQ(text(editOf(traceTable)),
            std::string("2001:db8::1 resolved to 2001:db8::1\r\nNo ICMPv6 socket (error 10043): ") +
                TRANSPORT_FIX_IPV6 + "\r\nHop\tPing\tLoss\tSent\tIP\tAddress\r\n1\t?\t0%\t0\t\t\r\n");
  expectTabStops(traceTable, {20, 40, 60, 80, 250, 360});
  enter(GetDlgItem(hostEntryDialog, IDC_HOST));
  EXPECT_FALSE(IsWindowVisible(fromBox));
  post(windowOf(traceTable), MSG_CLOSE_TRACE), until([] { return loadShared(traceTable->inUse) == 0; });
  EXPECT_EQ(traceTable->inUse, 0u);
}

}  // namespace

// As e2e_tray.sh runs it: `text CAPTION` prints the report so captioned, `post MESSAGE WPARAM` posts to zarta.exe's
// tray window; both before a tray window of its own could be the one found.
int main(int argc, char** argv) {
  if (argc == 3 && !strcmp(argv[1], "text"))
    return fputs(text(GetDlgItem(FindWindowA(nullptr, argv[2]), IDC_TRACE_TEXT)).c_str(), stdout) < 0;
  if (argc == 4 && !strcmp(argv[1], "post"))
    return !PostMessageA(FindWindowA("zarta", nullptr), std::stoul(argv[2], nullptr, 0), std::stoul(argv[3]), 0);
  testing::InitGoogleTest(&argc, argv);
  startTray(GetModuleHandleA(nullptr));
  return RUN_ALL_TESTS();
}
