// The report text in its three forms.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "display/trace_report.h"
#include "sim/path_model.h"

namespace {

struct SlotFixture : ::testing::Test {
  TraceSlot slot = {};
  void SetUp() override {
    memset(static_cast<void*>(&slot), 0, sizeof slot);
    strcpy(slot.hostName, "target.example");
    slot.targetAddress = parseAddress("10.1.2.3");
  }
  void hop(int k, int32_t state, const char* address, uint32_t probes, uint32_t replies, uint32_t rtt,
           const char* name) {
    HopRecord& h = slot.hops[k];
    h.state = state;
    h.address = parseAddress(address);
    h.probeCount = probes;
    h.replyCount = replies;
    h.rttTotal = rtt;
    setHopName(h, name);
  }
  std::string report(const char* status = nullptr) {
    static char text[REPORT_LENGTH];
    size_t length = buildTraceReport(slot, status, text);
    EXPECT_EQ(length, strlen(text));
    return text;
  }
};

using TraceReport = SlotFixture;

TEST_F(TraceReport, ShowsTheTable) {
  hop(0, HOP_ROUTER, "192.168.0.1", 10, 10, 41, "(no name)");
  hop(2, HOP_TARGET, "10.1.2.3", 10, 7, 350, "target.example");
  hop(3, HOP_SILENT, "10.9.9.9", 10, 10, 10, "behind.example");  // reset behind the target: not listed
  EXPECT_EQ(report(),
            "target.example resolved to 10.1.2.3\r\n"
            "Hop\tPing\tLoss\tSent\tIP\tAddress\r\n"
            "1\t4\t0%\t10\t192.168.0.1\t(no name)\r\n"
            "2\t?\t0%\t0\t\t\r\n"
            "3\t50\t30%\t10\t10.1.2.3\ttarget.example\r\n");
}

TEST_F(TraceReport, StatusAndNotFoundForms) {
  hop(0, HOP_ROUTER, "192.0.2.1", 3, 3, 3, "r");
  EXPECT_EQ(report("Looking up host target.example"), "Looking up host target.example");
  slot.targetAddress = 0;
  EXPECT_EQ(report(), "target.example not found \r\n");
}

TEST_F(TraceReport, EverySilentListsOneHop) {
  EXPECT_EQ(report(),
            "target.example resolved to 10.1.2.3\r\nHop\tPing\tLoss\tSent\tIP\tAddress\r\n1\t?\t0%\t0\t\t\r\n");
}

TEST_F(TraceReport, PingAndLossFigures) {
  struct Case {
    uint32_t probes, replies, rtt;
    const char* ping;
    const char* loss;
  } cases[] = {
      {10, 7, 350, "50", "30%"},
      {3, 1, 5, "5", "66%"},
      {3, 2, 5, "2", "33%"},
      {4, 4, 8, "2", "0%"},
      {5, 0, 0, "?", "100%"},
      {20, 11, 11, "1", "44%"},
      {25, 14, 0, "0", "43%"},
      {10, 10, 41, "4", "0%"},
      {7, 7, 500, "71", "0%"},
      {0, 0, 0, "?", "0%"},
      {4294967295u, 1, 4294967295u, "4294967295", "99%"},
      // Never more replies than probes, whatever the slot holds.
      {3, 5, 10, "3", "0%"},
      {0, 7, 70, "?", "0%"},
      {1, 4294967295u, 4294967295u, "4294967295", "0%"},
  };
  for (const Case& c : cases) {
    hop(0, HOP_ROUTER, "192.0.2.1", c.probes, c.replies, c.rtt, "");
    std::string expected =
        std::string("1\t") + c.ping + "\t" + c.loss + "\t" + std::to_string(c.probes) + "\t192.0.2.1\t\r\n";
    std::string text = report();
    EXPECT_EQ(text.substr(text.find("\r\n1\t") + 2), expected) << c.replies << " of " << c.probes;
  }
}

TEST_F(TraceReport, SixtyHopsWithLongNamesAreShownWhole) {
  std::string name(255, 'n');
  for (int k = 0; k < MAX_HOPS; ++k)
    hop(k, k == MAX_HOPS - 1 ? HOP_TARGET : HOP_ROUTER, "255.255.255.255", 4294967295u, 4294967295u, 4294967295u,
        (name + "overlong").c_str());
  strcpy(slot.hostName, std::string(255, 'h').c_str());
  std::string text = report();
  size_t lines = 0;
  for (size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos; at += 2) ++lines;
  EXPECT_EQ(lines, 2u + MAX_HOPS);
  EXPECT_NE(text.find("60\t1\t0%\t4294967295\t255.255.255.255\t" + name + "\r\n"), std::string::npos);
  EXPECT_LT(text.size(), static_cast<size_t>(REPORT_LENGTH));
}

TEST_F(TraceReport, NamesTheMissingRawSocketAndItsFix) {
  slot.socketError = 13;
  std::string text = report();
  EXPECT_EQ(text.find("target.example resolved to 10.1.2.3\r\nNo ICMP socket (error 13): "), 0u);
  EXPECT_NE(text.find("\r\nHop\tPing"), std::string::npos);
}

TEST_F(TraceReport, ControlCharactersInNamesShowAsQuestionMarks) {
  hop(0, HOP_ROUTER, "192.0.2.1", 1, 1, 1, "a\tb\r\nc\x1b[2J\x7F.example");
  slot.hops[1] = slot.hops[0];
  slot.hops[1].nameVersion = 1;  // as if a rewrite never ended: shown all the same
  std::string text = report();
  EXPECT_NE(text.find("\t192.0.2.1\ta?b??c?[2J?.example\r\n2\t"), std::string::npos) << text;
  EXPECT_NE(text.find("\t192.0.2.1\ta?b??c?[2J?.example\r\n", text.find("\r\n2\t")), std::string::npos) << text;
}

TEST_F(TraceReport, HopNamesKeepAtMost255Characters) {
  storeHopName(slot, 0, std::string(300, 'x').c_str());
  EXPECT_EQ(std::string(slot.hops[0].name), std::string(255, 'x'));
  storeHopName(slot, 59, nullptr);
  EXPECT_STREQ(slot.hops[59].name, "(no name)");
}

}  // namespace
