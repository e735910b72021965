// The dialogs as their templates lay them out: the resource bytes are parsed
// back and compared control by control.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "res/ids.h"

namespace kestrun {
namespace {

struct Control {
  DWORD id;
  WORD classOrdinal;  // 0x80 button, 0x81 edit, 0x82 static
  std::wstring text;  // the text, or "#N" for a resource ordinal
  short x, y, cx, cy;
  DWORD style;
};

struct Template {
  DWORD style = 0;
  short cx = 0, cy = 0;
  std::wstring caption, font;
  WORD pointSize = 0;
  std::vector<Control> controls;
};

class Reader {
 public:
  explicit Reader(const BYTE* at) : at_(at) {}
  WORD Word() { WORD v; memcpy(&v, at_, 2); at_ += 2; return v; }
  DWORD Dword() { DWORD v; memcpy(&v, at_, 4); at_ += 4; return v; }
  short Short() { return static_cast<short>(Word()); }
  std::wstring Text() {
    std::wstring text;
    for (WORD c; (c = Word()) != 0;) text += static_cast<wchar_t>(c);
    return text;
  }
  // A text, an ordinal (0xFFFF then the number) or nothing.
  std::wstring TextOrOrdinal(WORD* ordinal = nullptr) {
    WORD first;
    memcpy(&first, at_, 2);
    if (first == 0xFFFF) {
      Word();
      const WORD number = Word();
      if (ordinal) *ordinal = number;
      return L"#" + std::to_wstring(number);
    }
    return Text();
  }
  void AlignDword(const BYTE* base) {
    while ((at_ - base) % 4) ++at_;
  }
  void Skip(size_t bytes) { at_ += bytes; }

 private:
  const BYTE* at_;
};

Template LoadTemplate(int id) {
  Template result;
  const HMODULE module = ::GetModuleHandleW(nullptr);
  const HRSRC resource = ::FindResourceW(module, MAKEINTRESOURCEW(id), RT_DIALOG);
  if (!resource) return result;
  const auto* base = static_cast<const BYTE*>(::LockResource(::LoadResource(module, resource)));
  Reader read(base);
  EXPECT_EQ(read.Word(), 1);       // version
  EXPECT_EQ(read.Word(), 0xFFFF);  // extended template
  read.Dword();                    // help id
  read.Dword();                    // extended style
  result.style = read.Dword();
  const WORD count = read.Word();
  read.Short();
  read.Short();
  result.cx = read.Short();
  result.cy = read.Short();
  read.TextOrOrdinal();  // menu
  read.TextOrOrdinal();  // class
  result.caption = read.Text();
  if (result.style & DS_SETFONT) {
    result.pointSize = read.Word();
    read.Word();  // weight
    read.Word();  // italic, character set
    result.font = read.Text();
  }
  for (WORD i = 0; i < count; ++i) {
    read.AlignDword(base);
    Control control = {};
    read.Dword();  // help id
    read.Dword();  // extended style
    control.style = read.Dword();
    control.x = read.Short();
    control.y = read.Short();
    control.cx = read.Short();
    control.cy = read.Short();
    control.id = read.Dword();
    const std::wstring className = read.TextOrOrdinal(&control.classOrdinal);
    // A class named in full is the same control as its predefined ordinal.
    if (_wcsicmp(className.c_str(), L"Button") == 0) control.classOrdinal = 0x80;
    if (_wcsicmp(className.c_str(), L"Edit") == 0) control.classOrdinal = 0x81;
    if (_wcsicmp(className.c_str(), L"Static") == 0) control.classOrdinal = 0x82;
    control.text = read.TextOrOrdinal();
    read.Skip(read.Word());
    result.controls.push_back(control);
  }
  return result;
}

constexpr WORD kButton = 0x80, kEdit = 0x81, kStatic = 0x82;
constexpr DWORD kNoId = 0xFFFF;

void ExpectControls(const Template& dialog, const std::vector<Control>& expected) {
  ASSERT_EQ(dialog.controls.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    const Control& got = dialog.controls[i];
    const Control& want = expected[i];
    SCOPED_TRACE(testing::Message() << "control " << i);
    EXPECT_EQ(got.id & 0xFFFF, want.id);
    EXPECT_EQ(got.classOrdinal, want.classOrdinal);
    EXPECT_EQ(got.text, want.text);
    EXPECT_EQ(got.x, want.x);
    EXPECT_EQ(got.y, want.y);
    EXPECT_EQ(got.cx, want.cx);
    EXPECT_EQ(got.cy, want.cy);
    EXPECT_EQ(got.style & want.style, want.style) << std::hex << got.style;
    EXPECT_TRUE(got.style & WS_VISIBLE);
  }
}

TEST(DialogTemplates, FindDialog) {
  const Template find = LoadTemplate(IDD_FIND);
  EXPECT_EQ(find.style, 0x80C800C8u);
  EXPECT_EQ(find.caption, L"Find");
  EXPECT_EQ(find.cx, 186);
  EXPECT_EQ(find.cy, 62);
  EXPECT_EQ(find.font, L"MS Shell Dlg");
  EXPECT_EQ(find.pointSize, 8);
  ExpectControls(find, {
      {kNoId, kStatic, L"Find what:", 7, 8, 35, 8, 0},
      {1018, kEdit, L"", 7, 19, 172, 14, WS_BORDER | ES_AUTOHSCROLL | ES_WANTRETURN},
      {1019, kButton, L"Find Next", 76, 38, 50, 14, BS_DEFPUSHBUTTON},
      {2, kButton, L"Cancel", 129, 38, 50, 14, 0},
  });
}

TEST(DialogTemplates, SaveSelectedItemsDialog) {
  const Template save = LoadTemplate(IDD_SAVE);
  EXPECT_EQ(save.style, 0x00C800CCu);
  EXPECT_EQ(save.caption, L"Save Selected Items");
  EXPECT_EQ(save.cx, 233);
  EXPECT_EQ(save.cy, 233);
  EXPECT_EQ(save.font, L"MS Shell Dlg");
  EXPECT_EQ(save.pointSize, 8);
  const DWORD box = BS_AUTOCHECKBOX;
  // clang-format off
  ExpectControls(save, {
      {1, kButton, L"Save", 120, 206, 50, 14, BS_DEFPUSHBUTTON},
      {2, kButton, L"Cancel", 176, 206, 50, 14, 0},
      {1001, kButton, L"Save all columns", 13, 38, 68, 10, box},
      {1002, kButton, L"Driver Name", 13, 49, 55, 10, box},
      {1003, kButton, L"Provider", 13, 59, 43, 10, box},
      {1004, kButton, L"Dependent Files", 13, 71, 67, 10, box},
      {1005, kButton, L"Environment", 13, 82, 56, 10, box},
      {1006, kButton, L"Driver Path", 13, 93, 52, 10, box},
      {1008, kButton, L"Data File", 13, 104, 44, 10, box},
      {1009, kButton, L"Config File", 13, 115, 49, 10, box},
      {1010, kButton, L"Help File", 135, 38, 43, 10, box},
      {1011, kButton, L"Monitor Name", 135, 49, 60, 10, box},
      {1012, kButton, L"Default Data Types", 135, 60, 78, 10, box},
      {1007, kButton, L"Previous Names", 135, 71, 67, 10, box},
      {1013, kButton, L"Manufacturer Name", 135, 83, 79, 10, box},
      {1015, kButton, L"OEM URL", 135, 95, 45, 10, box},
      {1014, kButton, L"Hardware ID", 135, 106, 57, 10, box},
      {1020, kButton, L"Printers", 13, 130, 80, 10, box},
      {1021, kButton, L"Driver Version", 13, 141, 80, 10, box},
      {1022, kButton, L"Driver Date", 13, 152, 80, 10, box},
      {1023, kButton, L"Driver Type", 135, 130, 80, 10, box},
      {1024, kButton, L"Package-Aware", 135, 141, 80, 10, box},
      {1025, kButton, L"Driver Package", 135, 152, 80, 10, box},
      {kNoId, kButton, L"", 7, 29, 219, 138, BS_GROUPBOX},
      {kNoId, kStatic, L"Log file location:", 7, 176, 151, 8, 0},
      {1016, kEdit, L"", 7, 186, 219, 14, WS_BORDER | ES_READONLY | ES_AUTOHSCROLL},
      {1017, kButton, L"Browse", 6, 205, 50, 14, 0},
      {kNoId, kStatic, L"#103", 7, 7, 20, 20, SS_ICON},
      {kNoId, kStatic, L"Kestrun", 33, 14, 48, 8, 0},
  });
  // clang-format on
  // Every box starts unticked: none is a checked style of its own.
  for (size_t i = 2; i <= 22; ++i) {
    EXPECT_EQ(save.controls[i].style & 0xF, static_cast<DWORD>(BS_AUTOCHECKBOX));
  }
}

TEST(DialogTemplates, AboutDialog) {
  const Template about = LoadTemplate(IDD_ABOUT);
  EXPECT_EQ(about.style, static_cast<DWORD>(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME |
                                            DS_SETFONT | DS_FIXEDSYS));
  EXPECT_EQ(about.caption, L"About Kestrun");
  EXPECT_EQ(about.cx, 284);
  EXPECT_EQ(about.cy, 234);
  EXPECT_EQ(about.font, L"MS Shell Dlg");
  ExpectControls(about, {
      {1, kButton, L"OK", 116, 213, 50, 14, WS_TABSTOP | BS_DEFPUSHBUTTON},
      {kNoId, kStatic, L"#103", 41, 12, 20, 20, SS_ICON},
      {kNoId, kStatic, L"Kestrun v1.2.1.5", 100, 14, 81, 8, WS_GROUP},
      {kNoId, kStatic, L"Print driver inventory", 94, 24, 92, 8, WS_GROUP},
      {1018, kEdit, L"", 7, 36, 270, 170,
       WS_BORDER | WS_TABSTOP | ES_MULTILINE | ES_CENTER | ES_AUTOHSCROLL | ES_READONLY},
  });
}

}  // namespace
}  // namespace kestrun
