// Bytes and texts: the checksum, the probe, the clock, the report, host names cut out of text.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "display/host_text.h"
#include "display/trace_report.h"
#include "display/trace_start.h"
#include "platform/platform.h"
#include "sim/path_model.h"

namespace {

TEST(Bytes, ChecksumStoredInHostOrderGivesTheWireForm) {
  const struct Case {
    std::vector<uint8_t> bytes, field;
  } cases[] = {
      {{0x08, 0x00, 0x00, 0x00}, {0xF7, 0xFF}},
      {{0x08}, {0xF7, 0xFF}},              // an odd last byte counts as if a zero followed
      {{0x08, 0x00, 0x01}, {0xF6, 0xFF}},  // 0x0800 + 0x0100
      {{}, {0xFF, 0xFF}},
      {{0xFF, 0xFF, 0xFF, 0xFF}, {0x00, 0x00}},              // the end-around carry folds back in
      {{0xFF, 0xFF, 0x00, 0x80, 0x00, 0x80}, {0xFE, 0xFF}},  // and the second fold's carry too
  };
  for (const Case& c : cases) {
    uint16_t sum = internetChecksum(c.bytes.data(), static_cast<int>(c.bytes.size()));
    EXPECT_EQ(memcmp(&sum, c.field.data(), 2), 0) << c.bytes.size() << " bytes";
  }
}

TEST(Bytes, ProbeFollowsTheWireLayout) {
  uint8_t probe[PROBE_LENGTH + 4];
  memset(probe, 0xAA, sizeof probe);
  buildProbe(probe, 0x00011234, 2, 5, 0x00010203);  // a process id above 65535 keeps its low half
  const uint8_t header[12] = {0x08, 0x00, 0xBD, 0xE6, 0x34, 0x12, 0x02, 0x05, 0x03, 0x02, 0x01, 0x00};
  EXPECT_EQ(memcmp(probe, header, 12), 0);
  for (int i = 12; i < PROBE_LENGTH; ++i) ASSERT_EQ(probe[i], 0) << "byte " << i;
  EXPECT_EQ(probe[PROBE_LENGTH], 0xAA) << "wrote past the probe";
}

TEST(Bytes, ClockTicksToMilliseconds) {
  const struct Case {
    int64_t count, frequency;
    uint32_t expected;
  } cases[] = {{123456, 0, 0},  // no performance counter: no division by zero
               {10000000, 10000000, 1000},        {15, 10000, 1},  // truncated, not rounded
               {(4294967296LL + 5) * 1000, 1000000, 5},  {4294967295LL, 1000, 4294967295u}};
  for (const Case& c : cases) EXPECT_EQ(millisecondsFromTicks(c.count, c.frequency), c.expected) << c.count;
}

std::string report(const TraceSlot& slot, const char* status = nullptr) {
  static char text[REPORT_LENGTH];
  size_t length = buildTraceReport(slot, status, text);
  EXPECT_EQ(length, strlen(text));
  return text;
}

struct Slot : TraceSlot {
  Slot() : TraceSlot() {
    strcpy(hostName, "target.example");
    targetAddress = parseAddress("10.1.2.3");
  }
  Slot& hop(int k, int32_t state, const char* address, uint32_t probes, uint32_t replies, uint32_t rtt,
            const char* name = "") {
    hops[k] = {state, 0, 0, 0, probes, replies, rtt, parseAddress(address), {}, {}, 0};
    setHopName(hops[k], name);
    return *this;
  }
};

const std::string HEAD = "target.example resolved to 10.1.2.3\r\nHop\tPing\tLoss\tSent\tIP\tAddress\r\n";

TEST(Report, ShowsEachForm) {
  Slot notFound, failed;
  notFound.hop(0, HOP_ROUTER, "192.0.2.1", 3, 3, 3, "r").targetAddress = 0;
  failed.socketError = 13;
  const struct Case {
    const char* what;
    TraceSlot slot;
    const char* status;
    std::string text;
  } cases[] = {
      {"the table", Slot()
                        .hop(0, HOP_ROUTER, "192.168.0.1", 10, 10, 41, "(no name)")
                        .hop(2, HOP_TARGET, "10.1.2.3", 10, 7, 350, "target.example")
                        .hop(3, HOP_SILENT, "10.9.9.9", 10, 10, 10, "behind.example"),  // reset behind the target
       nullptr,
       HEAD + "1\t4\t0%\t10\t192.168.0.1\t(no name)\r\n2\t?\t0%\t0\t\t\r\n3\t50\t30%\t10\t10.1.2.3\ttarget.example\r\n"},
      {"not found", notFound, nullptr, "target.example not found \r\n"},
      {"no socket", failed, nullptr,
       "target.example resolved to 10.1.2.3\r\nNo ICMP socket (error 13): " + std::string(TRANSPORT_FIX) + "\r\n" +
           HEAD.substr(HEAD.find("Hop")) + "1\t?\t0%\t0\t\t\r\n"},
      {"control characters", Slot().hop(0, HOP_ROUTER, "192.0.2.1", 1, 1, 1, "a\tb\r\nc\x1b[2J\x7F.example"), nullptr,
       HEAD + "1\t1\t0%\t1\t192.0.2.1\ta?b??c?[2J?.example\r\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(report(c.slot, c.status), c.text) << c.what;
}

TEST(Report, PingDropsTheRemainderAndLossCountsInDoubles) {
  const struct Case {
    uint32_t probes, replies, rtt;
    const char* figures;
  } cases[] = {
      {10, 7, 350, "50\t30%"},  {3, 1, 5, "5\t66%"},   {3, 2, 5, "2\t33%"},   {4, 4, 8, "2\t0%"},
      {5, 0, 0, "?\t100%"},     {20, 11, 11, "1\t44%"}, {25, 14, 0, "0\t43%"}, {7, 7, 500, "71\t0%"},
      {0, 0, 0, "?\t0%"},       {4294967295u, 1, 4294967295u, "4294967295\t99%"},
      {3, 5, 10, "3\t0%"},  // never more replies than probes, whatever the slot holds
      {0, 7, 70, "?\t0%"},      {1, 4294967295u, 4294967295u, "4294967295\t0%"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(report(Slot().hop(0, HOP_ROUTER, "192.0.2.1", c.probes, c.replies, c.rtt)),
              HEAD + "1\t" + c.figures + "\t" + std::to_string(c.probes) + "\t192.0.2.1\t\r\n")
        << c.replies << " of " << c.probes;
}

TEST(Report, SixtyHopsWithLongNamesAreShownWhole) {
  static Slot slot;
  std::string name(255, 'n');
  for (int k = 0; k < MAX_HOPS; ++k) {
    slot.hop(k, k == MAX_HOPS - 1 ? HOP_TARGET : HOP_ROUTER, "255.255.255.255", ~0u, ~0u, ~0u);
    storeHopName(slot, k, (name + "overlong").c_str());
  }
  slot.hops[1].nameVersion = 1;  // as if a rewrite never ended: shown all the same
  strcpy(slot.hostName, std::string(255, 'h').c_str());
  std::string text = report(slot);
  EXPECT_EQ(text.find(std::string(255, 'h') + " resolved to 10.1.2.3\r\n"), 0u);
  for (int k = 0; k < MAX_HOPS; ++k) {
    std::string line = std::to_string(k + 1) + "\t1\t0%\t4294967295\t255.255.255.255\t" + name + "\r\n";
    EXPECT_NE(text.find((k == 0 ? "Address\r\n" : "\r\n") + line), std::string::npos) << k;
  }
  storeHopName(slot, 59, nullptr);
  EXPECT_STREQ(slot.hops[59].name, "(no name)");
}

TEST(HostText, CutsTheHostOutOfTheText) {
  const struct Case {
    const char* input;
    const char* result;
  } cases[] = {
      {"http://server.example/index.html", "server.example"},
      {"https://server.example/index.html", "server.example"},
      {"ftp://files.example:21/pub", "files.example"},
      {"server.example:8080", "server.example"},
      {"  192.168.0.1 more words", "192.168.0.1"},
      {"http://ftp://a.example", "a.example"},
      {"ftp://http://a.example", "http"},
      {"https://ftp://a.example", "a.example"},
      {"ftp://https://a.example", "https"},
      {"HTTP://a.example", "HTTP"},
      {" http://a.example", "http"},
      {"my_host.example", "myhost.example"},
      {"[fe80::1]", "fe80"},
      {"a.example\r\nb.example", "a.exampleb.example"},
      {"/index.html", ""},
      {"http://", ""},
      {"ftp://", ""},
      {"http:/a.example", "http"},
      {"https:/a.example", "https"},
      {"\t a\tb c", "ab"},
      {"caf\xC3\xA9-bar.example", "caf-bar.example"},
      {"", ""},
  };
  static char result[HOST_TEXT_LENGTH];
  for (const Case& c : cases) {
    extractHostName(c.input, result);
    EXPECT_STREQ(result, c.result) << "input: " << c.input;
  }
  extractHostName((std::string(4999, 'b') + "_cd").c_str(), result);
  EXPECT_EQ(std::string(result), std::string(4999, 'b'));
}

TEST(HostText, SlotCaptionAndReportKeepTheSameFirst255Characters) {
  const struct Case {
    size_t length, kept;
  } cases[] = {{0, 0}, {254, 254}, {255, 255}, {256, 255}, {4999, 255}};
  for (const Case& c : cases) {
    std::string host(c.length, 'h');
    TraceSlot* slot = claimTraceSlot(("http://" + host + "/x").c_str());
    ASSERT_NE(slot, nullptr);
    char title[TITLE_LENGTH];
    buildTraceTitle(*slot, title);
    EXPECT_EQ(std::string(title), "Tracing route to " + host.substr(0, c.kept));
    EXPECT_EQ(report(*slot), host.substr(0, c.kept) + " not found \r\n");
    releaseTraceSlot(*slot);
  }
}

}  // namespace
