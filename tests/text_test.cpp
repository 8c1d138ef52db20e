// Texts and the clock: the report in each format, host names cut out of text, ticks to milliseconds.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>
#include <tuple>

#include "display/host_text.h"
#include "display/report_formats.h"
#include "display/trace_report.h"
#include "platform/platform.h"
#include "sim/sim.h"

namespace {

// Ticks to milliseconds: none without a performance counter, truncated, not rounded, the low 32 bits.
TEST(Clock, TicksToMillisecondsAsTheCounterHasThem) {
  // clang-format off
  const int64_t ticks[][3] = {{123456, 0, 0}, {10000000, 10000000, 1000}, {15, 10000, 1},
                              {(4294967296LL + 5) * 1000, 1000000, 5}, {4294967295LL, 1000, 4294967295LL}};
  // clang-format on
  for (const auto& c : ticks) EXPECT_EQ(millisecondsFromTicks(c[0], c[1]), static_cast<uint32_t>(c[2])) << c[0];
}

struct Slot : TraceSlot {
  Slot() : TraceSlot() { strcpy(hostName, "target.example"), targetAddress = parseAddress("10.1.2.3"), ipVersion = 4; }
  Slot& hop(int k, int32_t state, const char* address, uint32_t probes, uint32_t replies, uint32_t rtt,
            const char* name = "", uint32_t best = 0, uint32_t worst = 0, uint64_t squares = 0) {
    hops[k] = {state, 0, 0, 0, probes, replies, rtt, parseAddress(address), {}, {}, 0, best, worst, squares, {}};
    return setHopName(hops[k], name), *this;
  }
};

const std::string HEAD = "target.example resolved to 10.1.2.3\r\nHop\tPing\tLoss\tSent\tIP\tAddress\r\n";

TEST(Report, ShowsEachFormWholeToSixtyHopsWithLongNames) {
  static Slot notFound, failed, sixty;
  notFound.hop(0, HOP_ROUTER, "192.0.2.1", 3, 3, 3, "r").targetAddress = notFound.ipVersion = 0;
  failed.socketError = 13;
  std::string name(255, 'n'), lines;
  for (int k = 0; k < MAX_HOPS; ++k) {
    sixty.hop(k, k == MAX_HOPS - 1 ? HOP_TARGET : HOP_ROUTER, "255.255.255.255", ~0u, ~0u, ~0u);
    storeHopName(sixty, k, (name + "overlong").c_str());
    lines += std::to_string(k + 1) + "\t1\t0%\t4294967295\t255.255.255.255\t" + name + "\r\n";
  }
  sixty.hops[1].nameVersion = 1;  // as if a rewrite never ended: shown all the same
  strcpy(sixty.hostName, std::string(255, 'h').c_str());
  static const std::tuple<const char*, TraceSlot, std::string> cases[] = {
      {"the table",
       Slot()
           .hop(0, HOP_ROUTER, "192.168.0.1", 10, 10, 41, "(no name)")
           .hop(2, HOP_TARGET, "10.1.2.3", 10, 7, 350, "target.example")
           .hop(3, HOP_SILENT, "10.9.9.9", 10, 10, 10, "behind.example"),  // reset behind the target
       HEAD +
           "1\t4\t0%\t10\t192.168.0.1\t(no name)\r\n2\t?\t0%\t0\t\t\r\n3\t50\t30%\t10\t10.1.2.3\ttarget.example\r\n"},
      {"not found", notFound, "target.example not found \r\n"},
      {"no socket", failed,
       "target.example resolved to 10.1.2.3\r\nNo ICMP socket (error 13): " + std::string(TRANSPORT_FIX) + "\r\n" +
           HEAD.substr(HEAD.find("Hop")) + "1\t?\t0%\t0\t\t\r\n"},
      {"control characters", Slot().hop(0, HOP_ROUTER, "192.0.2.1", 1, 1, 1, "a\tb\r\nc\x1b[2J\x7F.example"),
       HEAD + "1\t1\t0%\t1\t192.0.2.1\ta?b??c?[2J?.example\r\n"},
      {"sixty hops", sixty, std::string(255, 'h') + HEAD.substr(HEAD.find(" resolved")) + lines},
  };
  for (const auto& [what, slot, text] : cases) EXPECT_EQ(reportText(slot), text) << what;
}

// Probes, replies, round trips' total; Ping and Loss shown, never more replies than probes whatever the slot holds.
TEST(Report, PingDropsTheRemainderAndLossIsExact) {
  const std::tuple<uint32_t, uint32_t, uint32_t, const char*> cases[] = {
      // clang-format off
      {3, 1, 5, "5\t66%"}, {3, 2, 5, "2\t33%"}, {5, 0, 0, "?\t100%"}, {20, 11, 11, "1\t45%"}, {25, 14, 0, "0\t44%"},
      {0, 0, 0, "?\t0%"}, {4294967295u, 1, 4294967295u, "4294967295\t99%"}, {3, 5, 10, "3\t0%"}, {0, 7, 70, "?\t0%"},
      {1, 4294967295u, 4294967295u, "4294967295\t0%"},
      // clang-format on
  };
  for (auto [probes, replies, rtt, figures] : cases)
    EXPECT_EQ(reportText(Slot().hop(0, HOP_ROUTER, "192.0.2.1", probes, replies, rtt)),
              HEAD + "1\t" + figures + "\t" + std::to_string(probes) + "\t192.0.2.1\t\r\n")
        << replies << " of " << probes;
}

std::string written(void (*write)(FILE*, const TraceRun*, int), const TraceRun* runs) {
  FILE* file = tmpfile();
  write(file, runs, 2);
  std::string text(static_cast<size_t>(ftell(file)), '\0');
  rewind(file), text.resize(fread(text.data(), 1, text.size(), file));  // a short read shows as a short text
  return fclose(file), text;
}

// JSON and CSV give the window's figures (its Ping is the average's whole part) and any name intact; a hop unknown or
// unanswered has nulls (its loss too, unprobed), a trace not found no hops; each trace says how it ended.
TEST(Report, JsonAndCsvGiveTheWindowsFiguresAndAnyName) {
  static Slot traced, notFound;
  traced.hop(0, HOP_ROUTER, "192.0.2.1", 10, 7, 500, "q\"c,t\te\x1b[2J\\.example\xE9", 3, 99, 40000);
  traced.hop(2, HOP_TARGET, "10.1.2.3", 10, 10, 41, "(no name)", 4, 5, 169);
  traced.rounds = 3, traced.socketError = 13, notFound.targetAddress = notFound.ipVersion = 0;
  const TraceRun runs[] = {{"https://target.example/", &traced, 0, 1709251199999, END_NO_SOCKET},
                           {"a\tb,c", &notFound, 0, 0, END_NOT_FOUND}};
  EXPECT_EQ(written(writeJsonReport, runs), testFile("report.json"));
  EXPECT_EQ(written(writeCsvReport, runs), std::regex_replace(testFile("report.csv"), std::regex("\n"), "\r\n"));
}

TEST(HostText, CutsTheHostOutOfTheText) {
  const std::string cases[][2] = {
      // clang-format off
      {"http://server.example/index.html", "server.example"}, {"https://server.example/index.html", "server.example"},
      {"ftp://files.example:21/pub", "files.example"}, {"  192.168.0.1 more words", "192.168.0.1"},
      {"http://ftp://a.example", "a.example"}, {"HTTP://a.example", "HTTP"}, {" http://a.example", "http"},
      {"http://", ""}, {"ftp://", ""}, {"http:/a.example", "http"}, {"a.example\r\nb.example", "a.exampleb.example"},
      {"\t a\tb c", "ab"}, {"caf\xC3\xA9-bar.example", "caf-bar.example"}, {"", ""},
      // IPv6 literals, bracketed or bare, with a zone, a dotted tail; one colon stays a port's
      {"[fe80::1]", "fe80::1"}, {"http://[2001:db8::1]:8080/x", "2001:db8::1"}, {"2001:DB8::1", "2001:DB8::1"},
      {" fe80::1%eth0 up", "fe80::1%eth0"}, {"::ffff:192.0.2.1.", "::ffff:192.0.2.1"}, {"2001:db8::", "2001:db8::"},
      {"2001:db8::1:", "2001:db8::1"}, {"[2001:db8::1%2]:80", "2001:db8::1%2"}, {"dead:beef", "dead"},
      {"x[2001:db8::1]", "x2001"},
      {std::string(4999, 'b') + "_cd", std::string(4999, 'b')},
      // clang-format on
  };
  static char result[HOST_TEXT_LENGTH];
  for (const auto& c : cases) EXPECT_EQ((extractHostName(c[0].c_str(), result), result), c[1]) << c[0].size();
}

}  // namespace
