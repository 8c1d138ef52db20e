// The dialog templates, the tray menu and the tray icon, read back from the linked resources.
#include <cstdio>
#include <vector>

#include "gui_test_support.h"
#include "resources/resource.h"
#include "shell/shell_win32.h"

namespace {

// Reads a dialog template of either format into one line for the dialog and one per control.
std::vector<std::string> readTemplate(const unsigned char* base) {
  const unsigned char* at = base;
  auto peek = [&at](int offset) { return static_cast<unsigned>(at[offset] | at[offset + 1] << 8); };
  auto word = [&at, &peek] { return at += 2, peek(-2); };
  auto dword = [&word] {
    DWORD low = word();
    return low | static_cast<DWORD>(word()) << 16;
  };
  auto text = [&]() -> std::string {  // a string, or an ordinal: a predefined class by name, others as numbers
    const char* classes[] = {"BUTTON", "EDIT", "STATIC"};
    unsigned ordinal = peek(0) == 0xFFFF ? (at += 2, word()) : 0;
    if (ordinal != 0) return ordinal - 0x80 < 3 ? classes[ordinal - 0x80] : std::to_string(ordinal);
    std::string result;
    for (unsigned c; (c = word()) != 0;) result += static_cast<char>(c);
    return result;
  };
  bool extended = peek(0) == 1 && peek(2) == 0xFFFF;
  if (extended) at += 8;  // version, signature, help id
  DWORD style = dword(), exStyle = dword();
  if (extended) std::swap(style, exStyle);
  unsigned count = word();
  at += 4;  // x, y
  unsigned width = word(), height = word();
  text(), text();  // menu, class
  std::string caption = text();
  unsigned points = style & DS_SETFONT ? word() : 0, weight = 0, italic = 0, charset = 0;
  if (extended && (style & DS_SETFONT)) weight = word(), italic = *at++, charset = *at++;
  char line[256];
  snprintf(line, sizeof line, "%s %08lX %lX %ux%u \"%s\" %u %u %u %u ", extended ? "EX" : "DIALOG", style, exStyle,
           width, height, caption.c_str(), points, weight, italic, charset);
  std::vector<std::string> result = {line + (style & DS_SETFONT ? text() : "")};
  while (count-- > 0) {
    at = base + ((at - base + 3) & ~3);
    if (extended) at += 4;  // help id
    style = dword(), exStyle = dword();
    if (extended) std::swap(style, exStyle);
    int x = static_cast<short>(word()), y = static_cast<short>(word());
    width = word(), height = word();
    int id = extended ? static_cast<int>(dword()) : static_cast<short>(word());
    std::string className = text();
    snprintf(line, sizeof line, "%d %s %d,%d %ux%u %08lX %lX \"", id, className.c_str(), x, y, width, height, style,
             exStyle);
    result.push_back(line + text() + "\"");
    at += word();  // creation data
  }
  return result;
}

struct Template {
  int id;
  std::vector<std::string> lines;  // a line ending in an open quote leaves the control's text free
};

class TemplateTest : public testing::TestWithParam<Template> {};

TEST_P(TemplateTest, MatchesItsLayout) {
  HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(GetParam().id), MAKEINTRESOURCEA(5));  // RT_DIALOG
  ASSERT_NE(found, nullptr);
  std::vector<std::string> actual =
      readTemplate(static_cast<const unsigned char*>(LockResource(LoadResource(nullptr, found))));
  ASSERT_EQ(actual.size(), GetParam().lines.size());
  for (size_t i = 0; i < actual.size(); ++i) {
    const std::string& expected = GetParam().lines[i];
    EXPECT_EQ(expected.back() == '"' && expected.find('"') == expected.size() - 1 ? actual[i].substr(0, expected.size())
                                                                                  : actual[i],
              expected);
  }
}

// The credit lines' texts are free; their places are not.
INSTANTIATE_TEST_SUITE_P(
    Dialogs, TemplateTest,
    testing::Values(Template{IDD_TRACE,
                             {"EX 00CC0040 80 294x233 \"Dialog\" 8 0 0 1 MS Sans Serif",
                              "1001 EDIT 7,7 280x219 50A10884 220 \"\""}},
                    Template{IDD_HOST_ENTRY,
                             {"EX 80C800C0 10000 186x39 \"Enter host\" 8 0 0 1 MS Sans Serif",
                              "1005 EDIT 7,18 119x15 50811080 0 \"\"", "1 BUTTON 129,7 50x13 50010001 0 \"OK\"",
                              "2 BUTTON 129,21 50x12 50010000 0 \"Close\"",
                              "-1 STATIC 7,7 83x11 50020000 0 \"Enter host or url\""}},
                    Template{
                        IDD_ABOUT,
                        {"DIALOG 80C800C0 0 250x36 \"About zarta\" 8 0 0 0 MS Sans Serif",
                         "1 BUTTON 193,7 50x14 50010001 0 \"OK\"", "-1 STATIC 7,7 57x9 50020000 0 \"Zarta version .5\"",
                         "-1 STATIC 7,20 80x8 50020000 0 \"", "-1 STATIC 101,21 82x8 50020000 0 \"",
                         "-1 STATIC 71,7 111x11 50020000 0 \"Controls: Ctrl-shift-d and ctrl-shift-e\""}}));

TEST(TrayMenuTest, HoldsItsEntriesInTwoColumns) {
  const char* expected[] = {
      "40006 Traceroute to\tCtrl+Shift+E", "0 - ", "40005 Close windows", "40008 | ", "40007 About", "40002 Exit"};
  ASSERT_EQ(GetMenuItemCount(trayMenu), 6);
  for (UINT i = 0; i < 6; ++i) {
    char text[64] = {}, line[96];
    MENUITEMINFOA item = {};
    item.cbSize = sizeof item;
    item.fMask = MIIM_ID | MIIM_FTYPE | MIIM_STRING;
    item.dwTypeData = text;
    item.cch = sizeof text;
    ASSERT_TRUE(GetMenuItemInfoA(trayMenu, i, TRUE, &item));
    // An entry without text may read as a separator as well; what matters is where the column breaks.
    const char* kind = item.fType & MFT_MENUBARBREAK ? "| " : item.fType & MFT_SEPARATOR ? "- " : "";
    snprintf(line, sizeof line, "%u %s%s", item.wID, kind, text);
    EXPECT_STREQ(line, expected[i]);
  }
}

TEST(TrayIconTest, HoldsA16ColourImageWithMaskInEachSize) {
  HRSRC group = FindResourceA(nullptr, MAKEINTRESOURCEA(IDI_TRAY), MAKEINTRESOURCEA(14));  // RT_GROUP_ICON
  ASSERT_NE(group, nullptr);
  auto* directory = static_cast<PBYTE>(LockResource(LoadResource(nullptr, group)));
  const struct {
    int size;
    const char* image;  // width x height (image and mask), planes, bits per pixel, bytes
  } cases[] = {{32, "32x64 1 4 744"}, {16, "16x32 1 4 296"}};
  for (const auto& c : cases) {
    int id = LookupIconIdFromDirectoryEx(directory, TRUE, c.size, c.size, LR_DEFAULTCOLOR);
    HRSRC image = FindResourceA(nullptr, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(3));  // RT_ICON
    ASSERT_NE(image, nullptr) << c.size;
    const auto* header = static_cast<const BITMAPINFOHEADER*>(LockResource(LoadResource(nullptr, image)));
    char line[64];
    snprintf(line, sizeof line, "%ldx%ld %u %u %lu", header->biWidth, header->biHeight, header->biPlanes,
             header->biBitCount, SizeofResource(nullptr, image));
    EXPECT_STREQ(line, c.image);
  }
}

}  // namespace
