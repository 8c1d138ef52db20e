// The tray program's windows in-process, against the real templates and procedures: started as
// zarta.exe starts and run by its own message loop, with a worker double that starts no thread.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <tuple>

#include "core/trace_engine.h"  // MSG_HOP_NAME_BASE
#include "display/trace_start.h"
#include "display/trace_window_win32.h"
#include "resources/resource.h"
#include "shell/shell_win32.h"

namespace {

int starts;          // by the worker double
TraceSlot* started;  // the slot it was given last
std::string seen;    // that slot's window as the worker found it: shown or hidden, and its caption

std::string text(HWND window) {
  static char buffer[1 << 16];
  GetWindowTextA(window, buffer, sizeof buffer);
  return buffer;
}
std::string corner(HWND window, bool size = false) {  // "left,top", and " widthxheight"
  RECT r = {};
  GetWindowRect(window, &r);
  std::string at = std::to_string(r.left) + "," + std::to_string(r.top);
  return size ? at + " " + std::to_string(r.right - r.left) + "x" + std::to_string(r.bottom - r.top) : at;
}
std::string where(HWND window) { return corner(window) + (GetForegroundWindow() == window ? " in front" : ""); }
HWND windowOf(const TraceSlot* slot) { return static_cast<HWND>(slot->window); }
HWND editOf(const TraceSlot* slot) { return GetDlgItem(windowOf(slot), IDC_TRACE_TEXT); }
std::string state(const TraceSlot* slot) {  // of its window and its worker
  return std::string(IsWindowVisible(windowOf(slot)) ? "shown" : "hidden") + (slot->stopRequested ? " stopped" : "");
}
bool fakeWorker(TraceSlot& slot) {
  return ++starts, started = &slot, seen = state(&slot) + " " + text(windowOf(&slot)), true;
}
void post(HWND window = nullptr, UINT message = WM_NULL, WPARAM wParam = 0, LPARAM lParam = 0) {
  PostMessageA(window, message, wParam, lParam), PostQuitMessage(0);
  runMessageLoop();  // the program's own, until all that is queued, and all that queues, is handled
}
TraceSlot* start(const char* host) { return started = nullptr, startTrace(host, 100, 100), started; }  // or null
HWND trace() { return FindWindowA(nullptr, "Tracing route to a.example"); }
HWND about(HWND after = nullptr) { return FindWindowExA(nullptr, after, nullptr, "About zarta"); }
HWND typed(const std::string& host) {  // the host entry box, with `host` in its edit
  return showHostEntryDialog(), SetDlgItemTextA(hostEntryDialog, IDC_HOST, host.c_str()), hostEntryDialog;
}

struct GuiTest : testing::Test {
  void SetUp() override {  // no dialog of this thread (looking again from the first after each), no trace
    post();
    for (HWND w = nullptr; (w = FindWindowExA(nullptr, w, "#32770", nullptr)) != nullptr;)
      if (GetWindowThreadProcessId(w, nullptr) == GetCurrentThreadId()) DestroyWindow(w), w = nullptr;
    memset(static_cast<void*>(traceTable), 0, sizeof traceTable);
    nextTraceTag = 0, hostEntryDialog = nullptr, appInstance = GetModuleHandleA(nullptr), starts = 0;
  }
};

// Each dialog as created from its template and its controls in tab order: id, class, client size in
// dialog units, style, extended style (an edit's WS_BORDER is drawn as WS_EX_CLIENTEDGE), text.
const std::vector<std::string> DIALOGS[] = {
    {"103 #32770 294x233 04CC0044 10180 Dialog", "1001 Edit 280x219 50210884 220 "},
    {"104 #32770 186x39 84C800C4 10101 Enter host", "1005 Edit 119x15 50011080 200 ", "1 Button 50x13 50010001 0 OK",
     "2 Button 50x12 50010000 0 Close", "-1 Static 83x11 50020000 0 Enter host or url"},
    {"105 #32770 250x36 84C800C4 10101 About zarta", "1 Button 50x14 50010001 0 OK",
     "-1 Static 57x9 50020000 0 Zarta version .5", "-1 Static 80x8 50020000 0 *", "-1 Static 82x8 50020000 0 *",
     "-1 Static 111x11 50020000 0 Controls: Ctrl-shift-d and ctrl-shift-e"}};  // *: the credits, any text

TEST(TemplateTest, DialogsAsDrawn) {
  for (const auto& rows : DIALOGS) {
    HWND c = CreateDialogParamA(appInstance, MAKEINTRESOURCEA(stoi(rows[0])), nullptr, nullptr, 0), dialog = c;
    RECT r, base = {0, 0, 4, 8};  // the pixels of 4 dialog units across, 8 down
    MapDialogRect(dialog, &base);
    for (size_t i = 0; i < rows.size(); ++i, c = GetWindow(i == 1 ? dialog : c, i == 1 ? GW_CHILD : GW_HWNDNEXT)) {
      ASSERT_NE(c, nullptr) << rows[i];
      char name[16], line[256];
      GetClassNameA(c, name, sizeof name), i ? GetWindowRect(c, &r) : GetClientRect(c, &r);
      OffsetRect(&r, -r.left, -r.top);  // its size
      snprintf(line, sizeof line, "%d %s %dx%d %08lX %lX %s",
               i ? static_cast<short>(GetDlgCtrlID(c)) : std::stoi(rows[0]), name, MulDiv(r.right, 4, base.right),
               MulDiv(r.bottom, 8, base.bottom), GetWindowLongA(c, GWL_STYLE),
               GetWindowLongA(c, GWL_EXSTYLE) & ~WS_EX_NOPARENTNOTIFY, rows[i].back() == '*' ? "*" : text(c).c_str());
      EXPECT_EQ(line, rows[i]);
    }
    EXPECT_EQ(c, nullptr) << "a control more in " << rows[0];
  }
}

TEST(TemplateTest, TrayMenuInTwoColumnsAndTheIconBackWhenTheShellRestarts) {
  std::string entries;
  for (int i = 0; i < GetMenuItemCount(trayMenu); ++i) {
    char name[64] = {};
    MENUITEMINFOA item = {};
    item.cbSize = sizeof item, item.fMask = MIIM_ID | MIIM_FTYPE | MIIM_STRING, item.dwTypeData = name, item.cch = 64;
    GetMenuItemInfoA(trayMenu, i, TRUE, &item);  // an entry without text may read as a separator too
    entries += std::to_string(item.wID) + (item.fType & MFT_MENUBARBREAK ? " | " : " ") + name + ";";
  }
  EXPECT_EQ(entries, "40006 Traceroute to\tCtrl+Shift+E;0 ;40005 Close windows;40008 | ;40007 About;40002 Exit;");
  Shell_NotifyIconA(NIM_DELETE, &trayIcon);
  SendMessageA(mainWindow, taskbarCreatedMessage, 0, 0);
  EXPECT_TRUE(Shell_NotifyIconA(NIM_MODIFY, &trayIcon));
}

// A message at a time: the result, window and worker after it, hops named (all r.example but the second), edit.
TEST_F(GuiTest, TraceWindowNamesHopsFitsItsEditAndClosesOnRequest) {
  for (auto [message, wParam, lParam, after] :
       {std::tuple{10010, 0, 0, "1 shown 1 r.example"},
        {10011, 0, 0, "1 shown 2 (no name)"},
        {10069, 0, 0, "1 shown 60 r.example"},
        {10070, 0, 0, "0 shown"},
        {WM_SYSCOMMAND, SC_CLOSE, 0, "0 hidden stopped"},
        {MSG_CLOSE_TRACE, 0, 0, "0 hidden stopped"},
        {WM_SYSCOMMAND, SC_KEYMENU, 0, "0 shown"},
        {WM_SIZE, 0, MAKELPARAM(300, 200), "1 shown 116,131 280x180"},  // less 20 pixels, never below none
        {WM_SIZE, 0, MAKELPARAM(15, 300), "1 shown 116,131 0x280"},
        {WM_SIZE, 0, MAKELPARAM(300, 19), "1 shown 116,131 280x0"}}) {
    TraceSlot* slot = start("target.example");
    slot->targetAddress = inet_addr("198.51.100.2");
    for (int k = 0; k < MAX_HOPS; ++k) {  // as the relay leaves the buffers
      slot->hops[k].state = HOP_ROUTER, slot->hops[k].address = inet_addr("192.0.2.1") + (k << 24);
      auto* entry = reinterpret_cast<hostent*>(slot->hops[k].lookupBuffer);
      entry->h_name = k == 1 ? nullptr : strcpy(reinterpret_cast<char*>(entry + 1), "r.example");
    }
    std::string now = std::to_string(traceWindowProc(windowOf(slot), message, wParam, lParam)) + " ";
    now += state(slot);
    std::istringstream report(text(editOf(slot)));
    for (std::string line; std::getline(report, line, '\r');)  // "\n1\t?\t0%\t0\t192.0.2.1\tname"
      if (line.size() > line.rfind('\t') + 1 && line.find("\t192.0.2.") != std::string::npos)
        now.append(" ").append(line, 1, line.find('\t') - 1).append(" ").append(line, line.rfind('\t') + 1);
    EXPECT_EQ(message == WM_SIZE ? now + " " + corner(editOf(slot), true) : now, after) << message << " " << wParam;
  }
}

TEST_F(GuiTest, ReportColumnsStartAtTheTabStopsAlsoAfterAStatusText) {
  TraceSlot* slot = start("a.example");
  renderTraceReport(*slot, nullptr), renderTraceReport(*slot, "Looking up host a.example");
  SetWindowTextA(editOf(slot), "\t\t\t\t\t\t.");  // a character at each tab stop
  auto x = [&](int at) { return static_cast<short>(SendMessageA(editOf(slot), EM_POSFROMCHAR, at, 0)); };
  int tab = 0;
  for (int units : {20, 40, 60, 80, 140, 250}) {  // in dialog units
    RECT stop = {0, 0, units, 0};
    MapDialogRect(windowOf(slot), &stop);
    EXPECT_NEAR(x(++tab) - x(0), stop.right, 1) << "tab " << tab;
  }
}

TEST_F(GuiTest, SlotsLowestFreeFirstNoneWhenFullReusedFromNothing) {
  for (int i = 0; i < MAX_TRACES; ++i) ASSERT_EQ(start("a.example"), &traceTable[i]);
  EXPECT_EQ(start("b.example"), nullptr);
  HWND old = windowOf(&traceTable[3]);
  memset(static_cast<void*>(&traceTable[3]), 0xAB, sizeof(TraceSlot));  // whatever its last trace left
  traceTable[3].window = old, traceTable[3].inUse = traceTable[17].inUse = 0;
  ASSERT_EQ(start("new.example"), &traceTable[3]);
  TraceSlot expected;
  memset(static_cast<void*>(&expected), 0, sizeof expected);
  expected.inUse = 1, expected.window = traceTable[3].window, expected.traceTag = MAX_TRACES;  // none for the refused
  strcpy(expected.hostName, "new.example");
  EXPECT_EQ(memcmp(&traceTable[3], &expected, sizeof expected), 0);
  EXPECT_FALSE(IsWindow(old));
  EXPECT_EQ(start("c.example"), &traceTable[17]);
}

// A window no slot holds still closes; a slot whose worker or window cannot be had is given back.
TEST_F(GuiTest, OrphanWindowClosesAloneAndAFailedStartGivesItsSlotBack) {
  HWND orphan = CreateDialogParamA(appInstance, MAKEINTRESOURCEA(IDD_TRACE), nullptr, traceWindowProc, 0);
  ShowWindow(orphan, SW_SHOW), SendMessageA(orphan, WM_SYSCOMMAND, SC_CLOSE, 0);
  EXPECT_FALSE(IsWindowVisible(orphan));
  startWorkerThread = [](TraceSlot&) { return false; };
  start("a.example");
  startWorkerThread = fakeWorker, appInstance = GetModuleHandleA("kernel32.dll");  // no trace window template
  start("a.example");
  EXPECT_EQ(traceTable[0].inUse, 0u);
  EXPECT_EQ(traceTable[0].window, nullptr);
  EXPECT_EQ(FindWindowA(nullptr, "Tracing route to a.example"), nullptr);
}

// The relay names 127.0.0.1 (the hosts file) for a slot's window of the moment, never for its next trace.
TEST_F(GuiTest, LateLookupAnswerNeverLandsInTheSlotsNextTrace) {
  TraceWindowFrontEnd relay;
  TraceSlot* slot = start("127.0.0.1");
  for (const char* name : {"", "localhost"}) {  // the answer to the slot's earlier trace; then to its own
    slot->hops[1].address = inet_addr("127.0.0.1"), slot->hops[1].state = HOP_TARGET;
    relay.startReverseLookup(*slot, 1);
    if (*name == '\0') SendMessageA(windowOf(slot), MSG_CLOSE_TRACE, 0, 0), slot->inUse = 0, start("127.0.0.1");
    for (DWORD begin = GetTickCount(); reverseLookupPending(*slot, 1) && GetTickCount() - begin < 10000; Sleep(1))
      post();
    EXPECT_STREQ(slot->hops[1].name, name);
  }
}

template <typename... Key>
void keys(Key... down) {  // pressed in this order, released in reverse
  const BYTE key[] = {static_cast<BYTE>(down)...};
  for (BYTE k : key) keybd_event(k, 0, 0, 0);
  for (size_t i = sizeof key; i-- > 0;) keybd_event(key[i], 0, KEYEVENTF_KEYUP, 0);
  post();
}
void enter(HWND window, LPARAM key = 1) { post(window, WM_KEYDOWN, VK_RETURN, key); }  // bit 30: held down
std::function<void()> moved(int dx, int dy) {  // the trace window so far from where the box puts a trace, then OK
  return [=] {
    SetWindowPos(trace(), nullptr, 544 + dx, 198 + dy, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    SendMessageA(typed("t.example"), WM_COMMAND, IDOK, 0);
  };
}

// After each event, with a first trace open: the traces started (the window as its worker found it, place, in
// front), the host entry box (place, in front, selection), About boxes (place, owner), the first unless shown.
TEST_F(GuiTest, TrayEventsHotKeysAndEnterDoWhatTheyAsk) {
  const std::string url = "http://clip.example/a.html", box = "; box at 724,618 in front, selected ", to = "1: shown ";
  const std::string none = "0" + box + "0-0", about1 = "; about at 524,518 owned",
                    typedTrace = to + "Tracing route to t.example at 544,198" + box + "0-9";
  auto clip = [to](const std::string& host, const char* at = "574,318") {
    return to + "Tracing route to " + host + " at " + at + " in front";
  };
  auto hotKey = [] { keys(VK_CONTROL, VK_SHIFT, 'D'); };
  auto ok = [](const std::string& host) { return [host] { SendMessageA(typed(host), WM_COMMAND, IDOK, 0); }; };
  const std::tuple<std::string, std::function<void()>, std::string> cases[] = {
      {std::string(4987, ' ') + "host.example", hotKey, clip("host.example")},  // 4999 of the clipboard's text
      {std::string(4988, ' ') + "host.example", hotKey, clip("host.exampl")},
      {std::string(1 << 20, 'a'), hotKey, clip(std::string(255, 'a'))},  // of which the slot keeps 255
      {"", hotKey, "0"},
      {url, [] { SetCursorPos(600, 300), keys(VK_CONTROL, VK_SHIFT, 'D'); }, clip("clip.example", "574,300")},
      {url, [] { keys(VK_SHIFT, VK_F11); }, clip("clip.example")},
      {url, [] { SendMessageA(typed("x"), WM_COMMAND, IDCANCEL, 0), keys(VK_CONTROL, VK_SHIFT, 'E'); }, none},
      {url, [] { post(mainWindow, MSG_TRAY_NOTIFY, 1, WM_LBUTTONDBLCLK); }, none},
      {url, [] { post(mainWindow, MSG_TRAY_NOTIFY, 1, WM_LBUTTONUP); }, "0"},
      {url, [] { post(typed("x"), WM_SYSCOMMAND, SC_CLOSE); }, "0"},
      {url, [] { post(mainWindow, WM_COMMAND, ID_ABOUT), post(mainWindow, WM_COMMAND, ID_ABOUT); },
       "0" + about1 + about1},
      {url, [] { post(mainWindow, WM_COMMAND, ID_ABOUT), post(about(), WM_COMMAND, IDOK); }, "0"},
      {url, [] { post(mainWindow, WM_COMMAND, ID_ABOUT), post(about(), WM_SYSCOMMAND, SC_CLOSE); }, "0"},
      {url, [] { typed(""), post(mainWindow, WM_COMMAND, ID_ABOUT), post(mainWindow, WM_COMMAND, ID_CLOSE_WINDOWS); },
       "0; box at 724,618, selected 0-0" + about1 + "; first hidden stopped"},  // the traces alone
      {url, [] { post(mainWindow, WM_COMMAND, ID_TRACEROUTE_TO); }, none},
      {url, ok("http://target.example/page"), to + "Tracing route to target.example at 544,198" + box + "0-26"},
      {url, ok(std::string(480, ' ') + "abcdefghijklmnopqrstuvwxyz"),  // 499 characters of the text
       to + "Tracing route to abcdefghijklmnopqrs at 544,198" + box + "0-506"},
      {url, moved(-19, -19), typedTrace + "; first hidden stopped"},  // replaced: within 19 pixels of the place
      {url, moved(20, 0), typedTrace},
      {url, moved(0, 20), typedTrace},
      {url, [] { enter(GetDlgItem(typed("t.example"), IDC_HOST)); }, typedTrace},
      {url, [] { enter(GetDlgItem(typed("t.example"), IDC_HOST), 0x40000001); }, typedTrace},
      {url,  // Enter anywhere else, the box open
       [] {
         post(mainWindow, WM_COMMAND, ID_ABOUT);
         for (HWND w : {GetDlgItem(typed("t.example"), IDOK), GetDlgItem(hostEntryDialog, IDCANCEL), hostEntryDialog,
                        trace(), GetDlgItem(trace(), IDC_TRACE_TEXT), about()})
           enter(w);
       },
       none + about1},
      {url, [] { enter(GetDlgItem(trace(), IDC_TRACE_TEXT)), enter(mainWindow); }, "0"}};
  int n = 0;
  for (const auto& [clipboard, event, then] : cases) {
    SCOPED_TRACE(testing::Message() << "case " << n++);
    SetUp();
    TraceSlot* first = start("a.example");
    SetCursorPos(1000, 700), OpenClipboard(mainWindow), EmptyClipboard();
    if (!clipboard.empty())
      SetClipboardData(CF_TEXT,
                       strcpy(static_cast<char*>(GlobalAlloc(GMEM_FIXED, clipboard.size() + 1)), clipboard.c_str()));
    CloseClipboard();
    event();
    std::string scene = std::to_string(starts - 1);  // but the first
    if (starts > 1) scene += ": " + seen + " at " + where(windowOf(started));
    HWND entry = FindWindowA(nullptr, "Enter host");
    const LRESULT selected = SendDlgItemMessageA(entry, IDC_HOST, EM_GETSEL, 0, 0);
    if (entry != nullptr)
      scene += "; box at " + where(entry) + ", selected " + std::to_string(LOWORD(selected)) + "-" +
               std::to_string(HIWORD(selected));
    for (HWND window = about(); window != nullptr; window = about(window))
      scene += "; about at " + corner(window) + (GetWindow(window, GW_OWNER) == mainWindow ? " owned" : "");
    EXPECT_EQ(state(first) == "shown" ? scene : scene + "; first " + state(first), then);
  }
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  startTray(GetModuleHandleA(nullptr));
  startWorkerThread = fakeWorker;
  return RUN_ALL_TESTS();
}
