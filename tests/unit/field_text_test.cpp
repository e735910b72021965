#include <gtest/gtest.h>

#include "inventory/field_text.h"

namespace kestrun {
namespace {

// A multi-string from its entries: each ended by a zero, then one more zero.
std::wstring MultiString(std::initializer_list<std::wstring> entries) {
  std::wstring text;
  for (const auto& entry : entries) {
    text += entry;
    text += L'\0';
  }
  text += L'\0';
  return text;
}

std::wstring Joined(DriverInventory& inventory, const wchar_t* field) {
  const auto line = JoinDependentFiles(inventory, field);
  EXPECT_NE(line, nullptr);
  return line ? std::wstring(line.get()) : std::wstring();
}

TEST(FieldText, FileNamePartKeepsTheLastComponent) {
  const std::pair<const wchar_t*, const wchar_t*> cases[] = {
      {L"C:\\Windows\\System32\\UNIDRV.DLL", L"UNIDRV.DLL"},
      {L"UNIDRV.DLL", L"UNIDRV.DLL"},
      {L"C:\\Drivers\\x64\\", L"x64"},
      {L"C:\\\\Drivers\\\\\\file.gpd", L"file.gpd"},
      {L"\\\\server\\share\\file", L"file"},
      {L"\\\\\\", L""},
      {L"", L""},
      {L"a\\b c\\d e.dll", L"d e.dll"},
  };
  for (const auto& [path, name] : cases) {
    EXPECT_EQ(FileNamePart(path), name) << std::wstring(path);
  }
  EXPECT_EQ(FileNamePart(std::wstring(600, L'x')).size(), 255u);
}

TEST(FieldText, DependentFilesBecomeOneLine) {
  DriverInventory inventory;
  ResetInventory(inventory);

  EXPECT_EQ(Joined(inventory, nullptr), L"");
  const std::wstring empty = MultiString({});
  EXPECT_EQ(Joined(inventory, empty.c_str()), L"");
  const std::wstring emptyFirst = MultiString({L"", L"B.DLL"});
  EXPECT_EQ(Joined(inventory, emptyFirst.c_str()), L"");

  const std::wstring one = MultiString({L"C:\\Drivers\\ONE.DLL"});
  EXPECT_EQ(Joined(inventory, one.c_str()), L"ONE.DLL");

  const std::wstring three = MultiString({L"C:\\x\\a.dll", L"b.gpd", L"\\\\srv\\c.ini"});
  EXPECT_EQ(Joined(inventory, three.c_str()), L"a.dll; b.gpd; c.ini; ");
  EXPECT_EQ(inventory.listEntryCount, 3);

  // A trailing backslash names the folder; backslashes alone give nothing but
  // still take their separator.
  const std::wstring odd = MultiString({L"C:\\Drivers\\", L"\\\\", L"z.dll"});
  EXPECT_EQ(Joined(inventory, odd.c_str()), L"Drivers; ; z.dll; ");
}

TEST(FieldText, SplitCutsLongEntriesToTheirSlot) {
  DriverInventory inventory;
  ResetInventory(inventory);
  const std::wstring longest(255, L'a');
  const std::wstring tooLong(1000, L'b');
  const std::wstring field = MultiString({longest, tooLong, L"c"});
  ASSERT_TRUE(SplitMultiString(inventory, field.c_str()));
  ASSERT_EQ(inventory.listEntryCount, 3);
  EXPECT_EQ(std::wstring(inventory.listEntries[0]), longest);
  EXPECT_EQ(std::wstring(inventory.listEntries[1]), std::wstring(255, L'b'));
  EXPECT_EQ(std::wstring(inventory.listEntries[2]), L"c");

  // Each split replaces the table; an empty multi-string leaves it empty.
  const std::wstring empty = MultiString({});
  ASSERT_TRUE(SplitMultiString(inventory, empty.c_str()));
  EXPECT_EQ(inventory.listEntryCount, 0);
  EXPECT_EQ(inventory.listEntries, nullptr);

  // The joined line of many long entries stays within its buffer.
  std::wstring many;
  for (int i = 0; i < 50; ++i) many += std::wstring(400, static_cast<wchar_t>(L'A' + i % 26)) + L'\0';
  many += L'\0';
  const std::wstring line = Joined(inventory, many.c_str());
  EXPECT_EQ(line.size(), 50u * (255 + 2));
}

TEST(FieldText, ALongDependentFilePathShowsItsFileName) {
  DriverInventory inventory;
  ResetInventory(inventory);
  // A path of `length` characters that ends in the file's name.
  const auto path = [](size_t length, const std::wstring& name) {
    const std::wstring prefix = L"C:\\";
    return prefix + std::wstring(length - prefix.size() - name.size() - 1, L'd') + L"\\" + name;
  };
  for (const size_t length : {255u, 256u, 259u, 300u, 2000u}) {
    SCOPED_TRACE(length);
    const std::wstring entry = path(length, L"UNIDRV.DLL");
    ASSERT_EQ(entry.size(), length);
    const std::wstring one = MultiString({entry});
    EXPECT_EQ(Joined(inventory, one.c_str()), L"UNIDRV.DLL");
    const std::wstring two = MultiString({entry, path(length, L"UNIRES.DLL")});
    EXPECT_EQ(Joined(inventory, two.c_str()), L"UNIDRV.DLL; UNIRES.DLL; ");
    // A path that fits its slot is kept whole there.
    EXPECT_EQ(std::wstring(inventory.listEntries[0]), length <= 255 ? entry : L"UNIDRV.DLL");
  }
  // A file name longer than a slot is cut to its first 255 characters.
  const std::wstring longName = L"C:\\x\\" + std::wstring(260, L'n') + L".dll";
  const std::wstring field = MultiString({longName});
  EXPECT_EQ(Joined(inventory, field.c_str()), std::wstring(255, L'n'));
}

TEST(FieldText, LowerCaseCopyFoldsOnlyAToZ) {
  EXPECT_EQ(std::wstring(LowerCaseCopy(L"").get()), L"");
  EXPECT_EQ(std::wstring(LowerCaseCopy(L"Contoso LaserJet 4200 PCL6").get()),
            L"contoso laserjet 4200 pcl6");
  EXPECT_EQ(std::wstring(LowerCaseCopy(L"\u00c9LITE \u0130 [@Z]").get()), L"\u00c9lite \u0130 [@z]");
  EXPECT_TRUE(EqualsIgnoringAsciiCase(L"-CrEaToR", L"-creator"));
  EXPECT_FALSE(EqualsIgnoringAsciiCase(L"-creato", L"-creator"));
  EXPECT_FALSE(EqualsIgnoringAsciiCase(L"\u00c9", L"\u00e9"));
}

TEST(FieldText, ShownTextTurnsControlsAndBidiControlsIntoQuestionMarks) {
  const std::pair<const wchar_t*, const wchar_t*> cases[] = {
      {L"Bidi \u202Etxt.exe\u202C end \u061C\u200E\u200F\u202A\u202B\u202D\u2066\u2067\u2068\u2069",
       L"Bidi ?txt.exe? end ??????????"},
      {L"tab\tline\r\n\x1b[2J\x7f", L"tab\tline???[2J?"},
      {L"\u200D\u2065\u206A\u202F\u0627", L"\u200D\u2065\u206A\u202F\u0627"},  // neighbours stay
  };
  for (const auto& [text, shown] : cases) {
    std::wstring out;
    AppendShownText(out, text);
    EXPECT_EQ(out, shown);
  }
}

// `ticks` of 100 ns after midnight starting 21 June 2013.
FILETIME June21At(ULONGLONG ticks) {
  const ULONGLONG at = 130162464000000000ULL + ticks;
  return {static_cast<DWORD>(at), static_cast<DWORD>(at >> 32)};
}

TEST(FieldText, VersionDateTypeAndAttributeTexts) {
  EXPECT_EQ(DriverVersionText(0x0006000325804407ULL), L"6.3.9600.17415");
  EXPECT_EQ(DriverVersionText(~0ULL), L"65535.65535.65535.65535");

  const ULONGLONG lastTick = 864000000000ULL - 1;  // 23:59:59.9999999
  const std::pair<FILETIME, const wchar_t*> dates[] = {
      {{0, 0}, L""},
      {June21At(0), L"2013-06-21"},
      {June21At(lastTick), L"2013-06-21"},
      {June21At(lastTick + 1), L"2013-06-22"},
      {{0, 0x80000000}, L""},  // beyond any calendar
  };
  for (const auto& [date, iso] : dates) {
    EXPECT_EQ(DriverDateText(date, DateForm::Iso), iso) << std::wstring(iso);
    EXPECT_EQ(DriverDateText(date, DateForm::UserShort).empty(), iso[0] == L'\0');
  }
  // The user's short form shows the same day at both ends of it.
  EXPECT_EQ(DriverDateText(June21At(lastTick), DateForm::UserShort),
            DriverDateText(June21At(0), DateForm::UserShort));

  const wchar_t* const types[] = {L"Type 0 - Windows 95/98/Me", L"Type 1 - Windows NT 3.51",
                                  L"Type 2 - Kernel Mode",      L"Type 3 - User Mode",
                                  L"Type 4 - User Mode",        L"5"};
  for (DWORD type = 0; type < 6; ++type) EXPECT_EQ(DriverTypeText(type), types[type]);
  EXPECT_STREQ(PackageAwareText(0xFFFFFFFE), L"No");
  EXPECT_STREQ(PackageAwareText(0x13), L"Yes");
}

}  // namespace
}  // namespace kestrun
