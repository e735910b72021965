#include <gtest/gtest.h>

#include "report/command_line.h"

namespace kestrun {
namespace {

struct GrammarCase {
  const wchar_t* text;
  RequestKind kind;
  const wchar_t* target;
  const wchar_t* logPath;
};

TEST(CommandLineGrammar, ArgumentTextsGiveTheirRequests) {
  const GrammarCase cases[] = {
      // A target alone: a report without a log.
      {L"PRINTSRV", RequestKind::Report, L"PRINTSRV", L""},
      {L"\"PRINTSRV\"", RequestKind::Report, L"PRINTSRV", L""},
      {L"\\\\PRINTSRV", RequestKind::Report, L"\\\\PRINTSRV", L""},
      // Only blanks and quotes: the local machine, no log.
      {L"\"\"", RequestKind::Report, L"", L""},
      {L"  \" \" ", RequestKind::Report, L"", L""},
      // Target and a csv path.
      {L"PRINTSRV C:\\Logs\\drivers.csv", RequestKind::Report, L"PRINTSRV",
       L"C:\\Logs\\drivers.csv"},
      {L"PRINTSRV C:\\Logs\\DRIVERS.CSV", RequestKind::Report, L"PRINTSRV",
       L"C:\\Logs\\DRIVERS.CSV"},
      {L"PRINTSRV C:\\Logs\\drivers.Csv", RequestKind::Report, L"PRINTSRV",
       L"C:\\Logs\\drivers.Csv"},
      {L"PRINTSRV C:\\Logs\\driverscsv", RequestKind::Report, L"PRINTSRV", L"C:\\Logs\\driverscsv"},
      {L"PRINTSRV csv", RequestKind::Report, L"PRINTSRV", L"csv"},
      // Paths with blanks, quoted or not; the quotes are not part of the path.
      {L"PRINTSRV C:\\Log Files\\all drivers.csv", RequestKind::Report, L"PRINTSRV",
       L"C:\\Log Files\\all drivers.csv"},
      {L"PRINTSRV \"C:\\Log Files\\all drivers.csv\"", RequestKind::Report, L"PRINTSRV",
       L"C:\\Log Files\\all drivers.csv"},
      // A quoted target and a quoted path; blanks and quotes before a path are skipped.
      {L"\"PRINTSRV\" \"C:\\Log File Path.csv\"", RequestKind::Report, L"PRINTSRV",
       L"C:\\Log File Path.csv"},
      {L"\"SRV\" \"C:\\a.csv\"", RequestKind::Report, L"SRV", L"C:\\a.csv"},
      {L"\"PRINTSRV\"C:\\a.csv", RequestKind::Report, L"PRINTSRV", L"C:\\a.csv"},
      {L"SRV  C:\\a.csv", RequestKind::Report, L"SRV", L"C:\\a.csv"},
      {L"SRV \t C:\\a.csv", RequestKind::Report, L"SRV", L"\t C:\\a.csv"},  // only blanks skip
      {L"SRV    \"C:\\Log Files\\a.csv\"", RequestKind::Report, L"SRV", L"C:\\Log Files\\a.csv"},
      // Blanks alone after the target: no log, however many.
      {L"PRINTSRV ", RequestKind::Report, L"PRINTSRV", L""},
      {L"PRINTSRV  ", RequestKind::Report, L"PRINTSRV", L""},
      {L"PRINTSRV   ", RequestKind::Report, L"PRINTSRV", L""},
      // Blanks after the path still belong to it.
      {L"SRV C:\\a.csv ", RequestKind::Usage, L"SRV", L"C:\\a.csv "},
      // Not csv, too short, or something after the path: the usage block.
      {L"PRINTSRV C:\\Logs\\drivers.txt", RequestKind::Usage, L"PRINTSRV",
       L"C:\\Logs\\drivers.txt"},
      {L"PRINTSRV sv", RequestKind::Usage, L"PRINTSRV", L"sv"},
      {L"PRINTSRV \"C:\\Log File Path.csv\" extra", RequestKind::Usage, L"PRINTSRV",
       L"C:\\Log File Path.csv"},
      {L"PRINTSRV \"C:\\a.csv\"\"\" \"", RequestKind::Report, L"PRINTSRV", L"C:\\a.csv"},
      {L"PRINTSRV \"C:\\a.csv\"x", RequestKind::Usage, L"PRINTSRV", L"C:\\a.csv"},
      // The author box: any case, first token only, the rest ignored.
      {L"-creator", RequestKind::Author, L"-creator", L""},
      {L"-CREATOR", RequestKind::Author, L"-CREATOR", L""},
      {L"-Creator C:\\x.txt anything", RequestKind::Author, L"-Creator", L""},
      {L"\"-creator\"", RequestKind::Author, L"-creator", L""},
      {L"PRINTSRV -creator", RequestKind::Usage, L"PRINTSRV", L"-creator"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "argument text: [" << std::wstring(c.text) << "]");
    const ReportRequest request = ParseReportArguments(c.text);
    EXPECT_EQ(request.kind, c.kind);
    if (request.kind != RequestKind::TargetTooLong) {
      EXPECT_EQ(request.target, c.target);
    }
    EXPECT_EQ(request.logPath, c.logPath);
  }
}

TEST(CommandLineGrammar, OverLongTargetsAndPathsAreRefusedAtTheirLimits) {
  const std::wstring longestTarget(253, L'M');
  EXPECT_EQ(ParseReportArguments(longestTarget).kind, RequestKind::Report);
  EXPECT_EQ(ParseReportArguments(longestTarget).target, longestTarget);
  EXPECT_EQ(ParseReportArguments(longestTarget + L"M").kind, RequestKind::TargetTooLong);
  // Typed as UNC: the backslashes do not count, and the target stays as typed.
  EXPECT_EQ(ParseReportArguments(L"\\\\" + longestTarget).kind, RequestKind::Report);
  EXPECT_EQ(ParseReportArguments(L"\\\\" + longestTarget).target, L"\\\\" + longestTarget);
  EXPECT_EQ(ParseReportArguments(std::wstring(5000, L'M') + L" C:\\a.csv").kind,
            RequestKind::TargetTooLong);

  const std::wstring longestPath = L"C:\\" + std::wstring(312, L'p') + L".csv";
  ASSERT_EQ(longestPath.size(), 319u);
  EXPECT_EQ(ParseReportArguments(L"SRV " + longestPath).kind, RequestKind::Report);
  EXPECT_EQ(ParseReportArguments(L"SRV " + longestPath).logPath, longestPath);
  EXPECT_EQ(ParseReportArguments(L"SRV x" + longestPath).kind, RequestKind::PathTooLong);
  EXPECT_EQ(ParseReportArguments(L"SRV \"" + std::wstring(40000, L'q') + L"csv\"").kind,
            RequestKind::PathTooLong);
}

}  // namespace
}  // namespace kestrun
