// The dialog templates and the tray menu, read back from the linked resources.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "gui_test_support.h"
#include "resources/resource.h"
#include "shell/shell_win32.h"

namespace {

struct Control {
  int id;
  std::string className;
  std::string text;
  int x, y, width, height;
  DWORD style, exStyle;
};

struct Dialog {
  bool extended;
  DWORD style, exStyle;
  int width, height;
  std::string caption;
  int pointSize, weight, italic, charset;
  std::string font;
  std::vector<Control> controls;
};

// Reads a dialog template in either format, as the dialog manager would.
class TemplateReader {
 public:
  explicit TemplateReader(const unsigned char* data) : base_(data), at_(data) {}

  Dialog dialog() {
    Dialog result = {};
    result.extended = word(2) == 0xFFFF && word(0) == 1;
    if (result.extended) {
      at_ += 8;  // version, signature, help id
      result.exStyle = dword();
      result.style = dword();
    } else {
      result.style = dword();
      result.exStyle = dword();
    }
    int count = word();
    at_ += 4;  // x, y
    result.width = word();
    result.height = word();
    nameOrOrdinal();  // menu
    nameOrOrdinal();  // class
    result.caption = string();
    if (result.style & DS_SETFONT) {
      result.pointSize = word();
      if (result.extended) {
        result.weight = word();
        result.italic = *at_++;
        result.charset = *at_++;
      }
      result.font = string();
    }
    for (int i = 0; i < count; ++i) result.controls.push_back(control(result.extended));
    return result;
  }

 private:
  Control control(bool extended) {
    align();
    Control result = {};
    if (extended) {
      at_ += 4;  // help id
      result.exStyle = dword();
      result.style = dword();
    } else {
      result.style = dword();
      result.exStyle = dword();
    }
    result.x = static_cast<short>(word());
    result.y = static_cast<short>(word());
    result.width = word();
    result.height = word();
    result.id = extended ? static_cast<int>(dword()) : static_cast<short>(word());
    result.className = nameOrOrdinal();
    result.text = nameOrOrdinal();
    at_ += word();  // creation data
    return result;
  }
  unsigned word(int offset = -1) {
    unsigned value;
    if (offset >= 0) return static_cast<unsigned>(at_[offset] | at_[offset + 1] << 8);
    value = static_cast<unsigned>(at_[0] | at_[1] << 8);
    at_ += 2;
    return value;
  }
  DWORD dword() {
    DWORD low = word();
    return low | static_cast<DWORD>(word()) << 16;
  }
  std::string string() {
    std::string text;
    for (unsigned c; (c = word()) != 0;) text += static_cast<char>(c);
    return text;
  }
  std::string nameOrOrdinal() {
    if (word(0) != 0xFFFF) return string();
    at_ += 2;
    switch (unsigned ordinal = word()) {
      case 0x80:
        return "BUTTON";
      case 0x81:
        return "EDIT";
      case 0x82:
        return "STATIC";
      default: {
        char name[16];
        snprintf(name, sizeof name, "#%u", ordinal);
        return name;
      }
    }
  }
  void align() { at_ = base_ + ((at_ - base_ + 3) & ~3); }

  const unsigned char* base_;
  const unsigned char* at_;
};

Dialog loadDialog(int id) {
  HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(5));  // RT_DIALOG
  if (found == nullptr) return {};
  return TemplateReader(static_cast<const unsigned char*>(LockResource(LoadResource(nullptr, found)))).dialog();
}

constexpr DWORD CHILD = WS_CHILD | WS_VISIBLE;
constexpr DWORD LABEL = CHILD | WS_GROUP | SS_LEFT;

struct TemplateCase {
  const char* name;
  int id;
  Dialog expected;
};

std::string templateName(const testing::TestParamInfo<TemplateCase>& param) { return param.param.name; }

class TemplateTest : public testing::TestWithParam<TemplateCase> {};

TEST_P(TemplateTest, MatchesItsLayout) {
  Dialog actual = loadDialog(GetParam().id);
  const Dialog& expected = GetParam().expected;
  EXPECT_EQ(actual.extended, expected.extended);
  EXPECT_EQ(actual.style, expected.style);
  EXPECT_EQ(actual.exStyle, expected.exStyle);
  EXPECT_EQ(actual.width, expected.width);
  EXPECT_EQ(actual.height, expected.height);
  EXPECT_EQ(actual.caption, expected.caption);
  EXPECT_EQ(actual.pointSize, expected.pointSize);
  EXPECT_EQ(actual.weight, expected.weight);
  EXPECT_EQ(actual.italic, expected.italic);
  EXPECT_EQ(actual.charset, expected.charset);
  EXPECT_EQ(actual.font, expected.font);
  ASSERT_EQ(actual.controls.size(), expected.controls.size());
  for (size_t i = 0; i < expected.controls.size(); ++i) {
    const Control& a = actual.controls[i];
    const Control& e = expected.controls[i];
    EXPECT_EQ(a.id, e.id) << "control " << i;
    EXPECT_EQ(a.className, e.className) << "control " << i;
    if (!e.text.empty()) {
      EXPECT_EQ(a.text, e.text) << "control " << i;
    }
    EXPECT_EQ(a.x, e.x) << "control " << i;
    EXPECT_EQ(a.y, e.y) << "control " << i;
    EXPECT_EQ(a.width, e.width) << "control " << i;
    EXPECT_EQ(a.height, e.height) << "control " << i;
    EXPECT_EQ(a.style, e.style) << std::hex << "control " << i;
    EXPECT_EQ(a.exStyle, e.exStyle) << std::hex << "control " << i;
  }
}

// clang-format off
const Dialog TRACE = {true, 0x00CC0040, WS_EX_TOOLWINDOW, 294, 233, "Dialog", 8, 0, 0, DEFAULT_CHARSET,
                      "MS Sans Serif",
                      {{IDC_TRACE_TEXT, "EDIT", "", 7, 7, 280, 219,
                        CHILD | WS_BORDER | WS_VSCROLL | WS_TABSTOP | ES_MULTILINE | ES_AUTOHSCROLL | ES_READONLY,
                        WS_EX_CLIENTEDGE | WS_EX_TRANSPARENT}}};
const Dialog HOST_ENTRY = {true, 0x80C800C0, WS_EX_CONTROLPARENT, 186, 39, "Enter host", 8, 0, 0, DEFAULT_CHARSET,
                           "MS Sans Serif",
                           {{IDC_HOST, "EDIT", "", 7, 18, 119, 15, 0x50811080, 0},
                            {IDOK, "BUTTON", "OK", 129, 7, 50, 13, 0x50010001, 0},
                            {IDCANCEL, "BUTTON", "Close", 129, 21, 50, 12, 0x50010000, 0},
                            {-1, "STATIC", "Enter host or url", 7, 7, 83, 11, 0x50020000, 0}}};
// The credit lines' texts are free; their places are not.
const Dialog ABOUT = {false, 0x80C800C0, 0, 250, 36, "About zarta", 8, 0, 0, 0, "MS Sans Serif",
                      {{IDOK, "BUTTON", "OK", 193, 7, 50, 14, 0x50010001, 0},
                       {-1, "STATIC", "Zarta version .5", 7, 7, 57, 9, LABEL, 0},
                       {-1, "STATIC", "", 7, 20, 80, 8, LABEL, 0},
                       {-1, "STATIC", "", 101, 21, 82, 8, LABEL, 0},
                       {-1, "STATIC", "Controls: Ctrl-shift-d and ctrl-shift-e", 71, 7, 111, 11, LABEL, 0}}};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Dialogs, TemplateTest,
                         testing::Values(TemplateCase{"Trace", IDD_TRACE, TRACE},
                                         TemplateCase{"HostEntry", IDD_HOST_ENTRY, HOST_ENTRY},
                                         TemplateCase{"About", IDD_ABOUT, ABOUT}),
                         templateName);

struct MenuEntry {
  UINT id;
  const char* text;
  UINT type;
};

TEST(TrayMenuTest, HoldsItsEntriesInTwoColumns) {
  const MenuEntry expected[] = {
      {ID_TRACEROUTE_TO, "Traceroute to\tCtrl+Shift+E", MFT_STRING},
      {0, "", MFT_SEPARATOR},
      {ID_CLOSE_WINDOWS, "Close windows", MFT_STRING},
      {ID_MENU_COLUMN_BREAK, "", MFT_MENUBARBREAK},
      {ID_ABOUT, "About", MFT_STRING},
      {ID_EXIT, "Exit", MFT_STRING},
  };
  ASSERT_EQ(GetMenuItemCount(trayMenu), 6);
  for (int i = 0; i < 6; ++i) {
    char text[64] = {};
    MENUITEMINFOA item = {};
    item.cbSize = sizeof item;
    item.fMask = MIIM_ID | MIIM_FTYPE | MIIM_STRING;
    item.dwTypeData = text;
    item.cch = sizeof text;
    ASSERT_TRUE(GetMenuItemInfoA(trayMenu, static_cast<UINT>(i), TRUE, &item));
    EXPECT_EQ(item.wID, expected[i].id) << "entry " << i;
    EXPECT_STREQ(text, expected[i].text) << "entry " << i;
    // An entry without text may read as a separator as well; what matters is where the column breaks.
    EXPECT_EQ(item.fType & expected[i].type, expected[i].type) << "entry " << i;
    EXPECT_EQ((item.fType & MFT_MENUBARBREAK) != 0, i == 3) << "entry " << i;
  }
}

class TrayIconTest : public testing::TestWithParam<int> {};

TEST_P(TrayIconTest, GroupHoldsA16ColourImageWithMask) {
  HRSRC group = FindResourceA(nullptr, MAKEINTRESOURCEA(IDI_TRAY), MAKEINTRESOURCEA(14));  // RT_GROUP_ICON
  ASSERT_NE(group, nullptr);
  auto* bits = static_cast<PBYTE>(LockResource(LoadResource(nullptr, group)));
  int id = LookupIconIdFromDirectoryEx(bits, TRUE, GetParam(), GetParam(), LR_DEFAULTCOLOR);
  HRSRC image = FindResourceA(nullptr, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(3));  // RT_ICON
  ASSERT_NE(image, nullptr);
  const auto* header = static_cast<const BITMAPINFOHEADER*>(LockResource(LoadResource(nullptr, image)));
  EXPECT_EQ(header->biWidth, GetParam());
  EXPECT_EQ(header->biHeight, 2 * GetParam());  // colour image and mask
  EXPECT_EQ(header->biBitCount, 4);
  EXPECT_EQ(header->biPlanes, 1);
  size_t colourBytes = static_cast<size_t>(GetParam() * GetParam() / 2);
  size_t maskBytes = static_cast<size_t>(((GetParam() + 31) / 32) * 4 * GetParam());
  EXPECT_EQ(SizeofResource(nullptr, image), sizeof *header + 16 * sizeof(RGBQUAD) + colourBytes + maskBytes);
}

INSTANTIATE_TEST_SUITE_P(Sizes, TrayIconTest, testing::Values(32, 16));

}  // namespace
