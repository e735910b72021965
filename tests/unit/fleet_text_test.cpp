#include <gtest/gtest.h>

#include <windows.h>

#include "report/action_run.h"
#include "report/fleet.h"
#include "report/fleet_list.h"

namespace kestrun {
namespace {

std::string Utf16Le(std::wstring_view text) {
  std::string bytes = "\xFF\xFE";
  for (const wchar_t c : text) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>(c >> 8);
  }
  return bytes;
}

TEST(FleetList, ListFilesGiveTheirMachines) {
  using Names = std::vector<std::wstring>;
  const std::pair<std::string, Names> cases[] = {
      // Line ends of every kind, with or without one at the end.
      {"SRV1\r\nSRV2\r\n", {L"SRV1", L"SRV2"}},
      {"SRV1\nSRV2", {L"SRV1", L"SRV2"}},
      {"SRV1\rSRV2\r", {L"SRV1", L"SRV2"}},
      // UTF-8 with or without its BOM, UTF-16 LE with its BOM.
      {"\xEF\xBB\xBFSRV1\r\nDr\xC3\xBC"
       "cker\r\n",
       {L"SRV1", L"Dr\u00fccker"}},
      {"Dr\xC3\xBC"
       "cker\r\n\xE5\x8D\xB0",
       {L"Dr\u00fccker", L"\u5370"}},
      {Utf16Le(L"SRV1\r\n  Dr\u00fccker\r\n\u5370"), {L"SRV1", L"Dr\u00fccker", L"\u5370"}},
      {Utf16Le(L"SRV1") + "\x41", {L"SRV1"}},  // an odd last byte is no character
      // Blanks and tabs trimmed; empty and blank lines skipped.
      {"  SRV1 \t\r\n\t\tSRV2  ", {L"SRV1", L"SRV2"}},
      {"\r\n\r\n   \r\n\t\r\n\tSRV1\r\n\r\n", {L"SRV1"}},
      {"PRINT SRV\r\n", {L"PRINT SRV"}},
      // Whole-line comments only.
      {"# site A\r\n  # indented\r\n#SRV0\r\nSRV1 # main office\r\na#b",
       {L"SRV1 # main office", L"a#b"}},
      // Leading backslashes dropped; backslashes alone name nothing.
      {"\\\\SRV1\r\n\\SRV2\r\n\\\\\\\\SRV3\r\n\\\\\r\n \\ \r\n", {L"SRV1", L"SRV2", L"SRV3"}},
      {"\\\\files\\share", {L"files\\share"}},
      // A machine listed again is listed once, the first spelling kept.
      {"SRV1\r\nsrv1\r\n\\\\SRV1\r\nSRV2\r\n Srv2", {L"SRV1", L"SRV2"}},
      // Nothing to list.
      {"", {}},
      {"\xEF\xBB\xBF", {}},
      {"\xFF\xFE", {}},
      {"# only a comment\r\n\r\n", {}},
      // Bytes that are not UTF-8, and control characters (here the zeros of a
      // UTF-16 file without its BOM), give a name that fails rather than another one.
      {"SR\xC3V", {L"SR\uFFFDV"}},
      // UTF-16 without its BOM, and big-endian, are read as such; Windows folds their case.
      {std::string("S\0R\0V\0\r\0\n\0", 10), {L"SRV"}},
      {Utf16Le(L"\u00c4SRV\r\n\u00e4srv").substr(2), {L"\u00c4SRV"}},
      {std::string("\xFE\xFF\0S\0R\0V\0\n\x4e\x2d", 12), {L"SRV", L"\u4e2d"}},
      {std::string("\0S\0R\0V\0\r\0\n\0B", 12), {L"SRV", L"B"}},
      {"SRV\x1b[31m", {L"SRV?[31m"}},
  };
  for (const auto& [bytes, names] : cases) {
    EXPECT_EQ(ParseFleetList(bytes), names) << "list bytes: [" << bytes << "]";
  }
  // No limit on a name's length here: an over-long one fails when it is listed.
  const std::string longName(300, 'M');
  EXPECT_EQ(ParseFleetList(longName + "\r\n"), std::vector<std::wstring>{std::wstring(300, L'M')});
  // Zeros that no encoding explains: refused, never nonsense names.
  EXPECT_EQ(ParseFleetList(std::string("SRV1\r\nS\0RV2\r\n", 13)), std::nullopt);
}

TEST(FleetList, AFileThatCannotBeReadGivesTheSystemsCode) {
  std::vector<std::wstring> machines{L"left alone"};
  DWORD error = 0;
  EXPECT_FALSE(ReadFleetList(L"Z:\\no such folder\\servers.txt", machines, error));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  wchar_t folder[MAX_PATH];
  ::GetTempPathW(MAX_PATH, folder);
  EXPECT_FALSE(ReadFleetList(std::wstring(folder) + L"no such list.txt", machines, error));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(machines, std::vector<std::wstring>{L"left alone"});

  const std::wstring path = std::wstring(folder) + L"kestrun-fleet-list.txt";
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  ::WriteFile(file, "SRV1\r\n\\\\SRV2", 12, &written, nullptr);
  ::CloseHandle(file);
  EXPECT_TRUE(ReadFleetList(path, machines, error));
  EXPECT_EQ(machines, (std::vector<std::wstring>{L"SRV1", L"SRV2"}));
  ::DeleteFileW(path.c_str());
}

TEST(FleetLines, EachMachineGetsOneLineAndTheRunASummary) {
  EXPECT_EQ(FleetAnsweredLine(3, 64, L"PRINTSRV01", 123, 45, 12),
            L"[3/64] PRINTSRV01  123 drivers (45 non-native, 12 unused)\r\n");
  EXPECT_EQ(FleetAnsweredLine(1, 1, L"SRV", 1, 0, 0),
            L"[1/1] SRV  1 driver (0 non-native, 0 unused)\r\n");
  EXPECT_EQ(FleetAnsweredLine(2, 2, L"SRV", 0, 0, kUnusedUnknown),
            L"[2/2] SRV  0 drivers (0 non-native, ? unused)\r\n");
  EXPECT_EQ(FleetAnsweredLine(1, 2, L"SRV\x1b[2J", 2, 2, 1),
            L"[1/2] SRV?[2J  2 drivers (2 non-native, 1 unused)\r\n");

  EXPECT_EQ(FleetFailedLine(2, 5, L"BADSRV", 1722, L"The RPC server is unavailable.\r\n"),
            L"[2/5] BADSRV  failed: 1722 The RPC server is unavailable.\r\n");
  EXPECT_EQ(FleetFailedLine(5, 5, L"SRV", 5, L"  Access denied.\r\n  Try again.\r\n\r\n"),
            L"[5/5] SRV  failed: 5 Access denied. Try again.\r\n");
  EXPECT_EQ(FleetFailedLine(1, 1, L"SRV", 3001, L""), L"[1/1] SRV  failed: 3001\r\n");
  EXPECT_EQ(FleetFailedLine(1, 1, std::wstring(10000000, L'M'), 123, L"x"),
            L"[1/1] " + std::wstring(253, L'M') + L"  failed: name too long\r\n");

  EXPECT_EQ(FleetSummaryLine(63, 1, 0, 18900),
            L"\r\nMachines: 63 answered, 1 failed. Drivers: 18900.\r\n");
  EXPECT_EQ(FleetSummaryLine(40, 1, 23, 12000),
            L"\r\nMachines: 40 answered, 1 failed, 23 not finished. Drivers: 12000.\r\n");
  EXPECT_EQ(FleetSummaryLine(0, 0, 0, 0), L"\r\nMachines: 0 answered, 0 failed. Drivers: 0.\r\n");
  EXPECT_EQ(FleetSummaryLine(6, 0, 1, 30, 1),
            L"\r\nMachines: 6 answered, 0 failed, 1 not finished, 1 not written to the log. "
            L"Drivers: 30.\r\n");
  ActionTotals restore;  // a restore stopped by Ctrl+C before its printers
  restore.machinesNotFinished = restore.printersNotTried = 2;
  EXPECT_EQ(ActionSummaryLine(restore, false, kRestoreWords),
            L"\r\nMachines: 0 restored, 0 failed, 2 not finished. Drivers: 0 restored, 0 kept, 0 "
            L"failed. Printers: 0 restored, 2 not tried. Packages: 0 restored, 0 kept.\r\n");
}

}  // namespace
}  // namespace kestrun
