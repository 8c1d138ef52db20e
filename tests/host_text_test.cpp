// Cutting host names out of free text, and cutting names to their fields.
#include "display/host_text.h"

#include <gtest/gtest.h>

#include <string>

#include "display/trace_report.h"
#include "display/trace_start.h"

namespace {

std::string extract(const std::string& text) {
  static char result[HOST_TEXT_LENGTH];
  extractHostName(text.c_str(), result);
  return result;
}

TEST(HostText, ExtractsTheHostPart) {
  struct Case {
    const char* input;
    const char* result;
  } cases[] = {
      {"http://server.example/index.html", "server.example"},
      {"ftp://files.example:21/pub", "files.example"},
      {"server.example:8080", "server.example"},
      {"  192.168.0.1 more words", "192.168.0.1"},
      {"http://ftp://a.example", "a.example"},
      {"ftp://http://a.example", "http"},
      {"HTTP://a.example", "HTTP"},
      {" http://a.example", "http"},
      {"my_host.example", "myhost.example"},
      {"[fe80::1]", "fe80"},
      {"a.example\r\nb.example", "a.exampleb.example"},
      {"/index.html", ""},
      {"http://", ""},
      {"ftp://", ""},
      {"http:/a.example", "http"},
      {"\t a\tb c", "ab"},
      {"caf\xC3\xA9-bar.example", "caf-bar.example"},
      {"", ""},
      {"https://server.example/index.html", "server.example"},
      {"https://ftp://a.example", "a.example"},
      {"ftp://https://a.example", "https"},
      {"HTTPS://a.example", "HTTPS"},
      {"https:/a.example", "https"},
  };
  for (const Case& c : cases) EXPECT_EQ(extract(c.input), c.result) << "input: " << c.input;
}

TEST(HostText, LongTextsAreCutAtTheBuffer) {
  EXPECT_EQ(extract(std::string(6000, 'a')), std::string(HOST_TEXT_LENGTH - 1, 'a'));
  EXPECT_EQ(extract(std::string(4999, 'b') + "_c"), std::string(4999, 'b'));
}

TEST(HostText, SlotCaptionAndReportKeepTheSameFirst255Characters) {
  struct Case {
    size_t length;
    size_t kept;
  } cases[] = {{0, 0}, {254, 254}, {255, 255}, {256, 255}, {499, 255}, {4999, 255}};
  for (const Case& c : cases) {
    std::string host(c.length, 'h');
    TraceSlot* slot = claimTraceSlot(("http://" + host + "/x").c_str());
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(std::string(slot->hostName), host.substr(0, c.kept));
    char title[TITLE_LENGTH], report[REPORT_LENGTH];
    buildTraceTitle(*slot, title);
    EXPECT_EQ(std::string(title), "Tracing route to " + host.substr(0, c.kept));
    buildTraceReport(*slot, nullptr, report);
    EXPECT_EQ(std::string(report), host.substr(0, c.kept) + " not found \r\n");
    releaseTraceSlot(*slot);
  }
}

}  // namespace
