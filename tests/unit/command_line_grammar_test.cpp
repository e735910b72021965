#include <gtest/gtest.h>

#include "inventory/driver_inventory.h"
#include "report/cleanup.h"
#include "report/command_line.h"
#include "report/fleet_list.h"

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
      // Blanks after the path (a batch line's end) are no part of it.
      {L"SRV C:\\a.csv \t ", RequestKind::Report, L"SRV", L"C:\\a.csv"},
      {L"SRV \"C:\\a b.csv \"  ", RequestKind::Report, L"SRV", L"C:\\a b.csv"},
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

TEST(CommandLineGrammar, AFirstTokenStartingWithAtNamesAMachineList) {
  struct FleetCase {
    const wchar_t* text;
    RequestKind kind;
    const wchar_t* listPath;
    const wchar_t* logPath;
  };
  const FleetCase cases[] = {
      {L"@servers.txt", RequestKind::Fleet, L"servers.txt", L""},
      {L"@servers.txt C:\\fleet.csv", RequestKind::Fleet, L"servers.txt", L"C:\\fleet.csv"},
      {L"  @servers.txt   C:\\fleet.csv", RequestKind::Fleet, L"servers.txt", L"C:\\fleet.csv"},
      {L"@\\\\files\\lists\\servers.txt \"C:\\Logs\\fleet log.csv\"", RequestKind::Fleet,
       L"\\\\files\\lists\\servers.txt", L"C:\\Logs\\fleet log.csv"},
      // A list path with blanks, quoted either way; the log path as for one target.
      {L"\"@C:\\My Lists\\servers.txt\" \"C:\\Logs\\fleet log.csv\"", RequestKind::Fleet,
       L"C:\\My Lists\\servers.txt", L"C:\\Logs\\fleet log.csv"},
      {L"@\"C:\\My Lists\\servers.txt\" C:\\Logs\\fleet log.csv", RequestKind::Fleet,
       L"C:\\My Lists\\servers.txt", L"C:\\Logs\\fleet log.csv"},
      {L"\"@C:\\My Lists\\servers.txt\"", RequestKind::Fleet, L"C:\\My Lists\\servers.txt", L""},
      {L"@\"servers.txt\"C:\\fleet.csv", RequestKind::Fleet, L"servers.txt", L"C:\\fleet.csv"},
      // Unquoted, a list path ends at its first blank.
      {L"@C:\\My Lists\\servers.txt", RequestKind::Usage, L"C:\\My", L"Lists\\servers.txt"},
      // The log path must end in csv, and nothing may follow it.
      {L"@servers.txt C:\\fleet.txt", RequestKind::Usage, L"servers.txt", L"C:\\fleet.txt"},
      {L"@servers.txt \"C:\\fleet.csv\" extra", RequestKind::Usage, L"servers.txt",
       L"C:\\fleet.csv"},
      // No list path.
      {L"@", RequestKind::Usage, L"", L""},
      {L"@ servers.txt", RequestKind::Usage, L"", L""},
      {L"\"@\"", RequestKind::Usage, L"", L""},
      // An "@" later on is part of a single target's log path.
      {L"SRV @list.csv", RequestKind::Report, L"", L"@list.csv"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "argument text: [" << std::wstring(c.text) << "]");
    const ReportRequest request = ParseReportArguments(c.text);
    EXPECT_EQ(request.kind, c.kind);
    EXPECT_EQ(request.listPath, c.listPath);
    EXPECT_EQ(request.logPath, c.logPath);
    if (request.kind == RequestKind::Fleet) {
      EXPECT_EQ(request.target, L"");
    }
  }
  EXPECT_EQ(ParseReportArguments(L"@l.txt C:\\" + std::wstring(400, L'p') + L".csv").kind,
            RequestKind::PathTooLong);
}

TEST(CommandLineGrammar, OptionsComeBeforeTheTargetOrTheList) {
  struct OptionCase {
    const wchar_t* text;
    RequestKind kind;
    unsigned timeoutSeconds;
    const wchar_t* targetOrList;  // the option not understood, for UnknownOption
  };
  const OptionCase cases[] = {
      {L"SRV", RequestKind::Report, 120, L"SRV"},
      {L"/timeout:60 SRV C:\\a.csv", RequestKind::Report, 60, L"SRV"},
      {L"-TIMEOUT:0 \"@C:\\My Lists\\s.txt\" C:\\f.csv", RequestKind::Fleet, 0,
       L"C:\\My Lists\\s.txt"},
      {L"/timeout:0000000000086400 @s.txt", RequestKind::Fleet, 86400, L"s.txt"},
      {L"\"/timeout:7\"", RequestKind::Report, 7, L""},
      // A bad value: the usage block.
      {L"/timeout:86401 SRV", RequestKind::Usage, 120, L""},
      {L"/timeout: SRV", RequestKind::Usage, 120, L""},
      {L"/timeout SRV", RequestKind::Usage, 120, L""},
      {L"/timeout:-1 SRV", RequestKind::Usage, 120, L""},
      {L"/timeout:1e3 SRV", RequestKind::Usage, 120, L""},
      {L"/timeout:0000060 SRV", RequestKind::Report, 60, L"SRV"},
      {L"/timeout:5 /timeout:86400 @s.txt", RequestKind::Usage, 5, L""},
      // Help, in every spelling, whatever follows.
      {L"/?", RequestKind::Help, 120, L""},
      {L"-?", RequestKind::Help, 120, L""},
      {L"/HELP SRV", RequestKind::Help, 120, L""},
      {L"-h", RequestKind::Help, 120, L""},
      {L"--help", RequestKind::Help, 120, L""},
      {L"/timeout:9 /?", RequestKind::Help, 120, L""},  // "/?" anywhere, before all else
      // Anything else that starts like an option.
      {L"/x SRV", RequestKind::UnknownOption, 120, L"/x"},
      {L"--timeout:5 SRV", RequestKind::UnknownOption, 120, L"--timeout:5"},
      {L"/timeouts:5", RequestKind::UnknownOption, 120, L"/timeouts:5"},
      {L"-", RequestKind::UnknownOption, 120, L"-"},
      {L"/timeout:5 -creator", RequestKind::Author, 5, L"-creator"},
      // After the target, an option-like word is a log path.
      {L"SRV /timeout:5", RequestKind::Usage, 120, L"SRV"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "argument text: [" << std::wstring(c.text) << "]");
    const ReportRequest request = ParseReportArguments(c.text);
    EXPECT_EQ(request.kind, c.kind);
    EXPECT_EQ(request.timeoutSeconds, c.timeoutSeconds);
    if (c.kind != RequestKind::Usage && c.kind != RequestKind::Help) {
      EXPECT_EQ(request.kind == RequestKind::UnknownOption ? request.option
                : request.kind == RequestKind::Fleet       ? request.listPath
                                                           : request.target,
                c.targetOrList);
    }
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

namespace kestrun {
namespace {

TEST(CommandLineGrammar, DeleteNeedsASelectionAndATargetOrList) {
  struct DeleteCase {
    const wchar_t* text;
    RequestKind kind;
    const wchar_t* patterns;  // joined by "|"
    const wchar_t* environment;
    const wchar_t* targetOrList;
  };
  const DeleteCase cases[] = {
      {L"/delete /driver:Acme* SRV", RequestKind::Delete, L"Acme*", L"", L"SRV"},
      {L"/DELETE /driver:\"HP Universal*\" /driver:x? @s.txt C:\\a.csv", RequestKind::Delete,
       L"HP Universal*|x?", L"", L"s.txt"},
      {L"/delete \"/driver:HP Universal*\" /environment:\"Windows NT x86\" SRV",
       RequestKind::Delete, L"HP Universal*", L"Windows NT x86", L"SRV"},
      {L"/delete /unused /printers /packages /timeout:9 SRV", RequestKind::Delete, L"", L"",
       L"SRV"},
      {L"/unused /delete SRV", RequestKind::Delete, L"", L"", L"SRV"},
      // No selection: there is no "delete everything".
      {L"/delete SRV", RequestKind::Usage, L"", L"", L""},
      {L"/delete /environment:\"Windows x64\" /printers SRV", RequestKind::Usage, L"", L"", L""},
      // No target, an empty value, or the options without /delete.
      {L"/delete /unused", RequestKind::Usage, L"", L"", L""},
      {L"/delete /driver: SRV", RequestKind::Usage, L"", L"", L""},
      {L"/delete /driver:\"\" SRV", RequestKind::Usage, L"", L"", L""},
      {L"/unused SRV", RequestKind::Usage, L"", L"", L""},
      {L"/driver:x @s.txt", RequestKind::Usage, L"", L"", L""},
      {L"/delete /unused SRV C:\\a.txt", RequestKind::Usage, L"", L"", L""},
      {L"/delete /unused /bogus SRV", RequestKind::UnknownOption, L"", L"", L""},
      {L"/delete /unused /? SRV", RequestKind::Help, L"", L"", L""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "argument text: [" << std::wstring(c.text) << "]");
    const ReportRequest request = ParseReportArguments(c.text);
    EXPECT_EQ(request.kind, c.kind);
    if (c.kind != RequestKind::Delete) continue;
    std::wstring patterns;
    for (const auto& p : request.cleanup.driverPatterns) {
      patterns += (patterns.empty() ? L"" : L"|") + p;
    }
    EXPECT_EQ(patterns, c.patterns);
    EXPECT_EQ(request.cleanup.environment, c.environment);
    EXPECT_EQ(request.listPath.empty() ? request.target : request.listPath, c.targetOrList);
  }
  const ReportRequest flags = ParseReportArguments(L"/delete /unused /printers /packages SRV");
  EXPECT_TRUE(flags.cleanup.unused && flags.cleanup.printers && flags.cleanup.packages);
}

TEST(CommandLineGrammar, QueuesNeedOneTargetOrListAndNoOtherCommand) {
  const std::pair<const wchar_t*, RequestKind> cases[] = {
      {L"/queues SRV", RequestKind::Queues},
      {L"/QUEUES /timeout:30 @s.txt C:\\q.csv", RequestKind::Queues},
      {L"/queues", RequestKind::Usage},
      {L"/queues SRV C:\\q.txt", RequestKind::Usage},
      {L"/queues /delete /unused SRV", RequestKind::Usage},
      {L"/queues /unused SRV", RequestKind::Usage},
      {L"/queues /probe SRV", RequestKind::Queues},
      {L"/queues /PROBE /probe-timeout:600 SRV", RequestKind::Queues},
      {L"/queues /probe /probe-timeout:0 SRV", RequestKind::Usage},
      {L"/queues /probe /probe-timeout:601 SRV", RequestKind::Usage},
      {L"/queues /probe /probe-timeout:2 /probe-timeout:2 SRV", RequestKind::Usage},
      {L"/queues /probe-timeout:2 SRV", RequestKind::Usage},
      {L"/probe SRV", RequestKind::Usage},
      {L"/restore /probe C:\\snap", RequestKind::Usage},
  };
  for (const auto& [text, kind] : cases) {
    EXPECT_EQ(ParseReportArguments(text).kind, kind) << std::wstring(text);
  }
  const ReportRequest probe = ParseReportArguments(L"/queues /probe /probe-timeout:007 SRV");
  EXPECT_TRUE(probe.probe);
  EXPECT_EQ(probe.probeSeconds, 7u);
  EXPECT_EQ(ParseReportArguments(L"/queues /probe SRV").probeSeconds, kDefaultProbeSeconds);
}

TEST(CleanupSelection, PatternsEnvironmentsNativesAndUnused) {
  const DWORD unused = 0;
  const DWORD used = 2;
  struct SelectionCase {
    const wchar_t* patterns;  // "|"-separated; empty: none
    const wchar_t* environment;
    bool unusedOnly;
    const wchar_t* name;
    const wchar_t* driverEnvironment;
    bool native;
    const DWORD* printers;
    bool selected;
  };
  const SelectionCase cases[] = {
      {L"Acme*", L"", false, L"acme PCL6", L"Windows x64", false, &used, true},
      {L"*pcl?", L"", false, L"Acme PCL6", L"Windows x64", false, nullptr, true},
      {L"*pcl?", L"", false, L"Acme PCL66", L"Windows x64", false, nullptr, false},
      {L"a*b*c", L"", false, L"aXbYbZc", L"Windows x64", false, nullptr, true},
      {L"a*b*c", L"", false, L"aXbYcZ", L"Windows x64", false, nullptr, false},
      {L"Ä*", L"", false, L"äpfel", L"Windows x64", false, nullptr, true},  // beyond ASCII
      {L"[ab]", L"", false, L"a", L"Windows x64", false, nullptr, false},   // no brackets
      {L"x|Acme*", L"", false, L"Acme", L"Windows x64", false, nullptr, true},
      // The environment.
      {L"Acme*", L"windows nt x86", false, L"Acme", L"Windows NT x86", false, nullptr, true},
      {L"Acme*", L"Windows NT x86", false, L"Acme", L"Windows x64", false, nullptr, false},
      // Natives: only an exact pattern names one.
      {L"Microsoft*", L"", false, L"Microsoft XPS", L"Windows x64", true, &unused, false},
      {L"*", L"", false, L"Microsoft XPS", L"Windows x64", true, &unused, false},
      {L"microsoft xps", L"", false, L"Microsoft XPS", L"Windows x64", true, &unused, true},
      {L"microsoft xps", L"", true, L"Microsoft XPS", L"Windows x64", true, &unused, false},
      // /unused: a count of 0 only, never unknown; alone, every unused non-native.
      {L"", L"", true, L"Acme", L"Windows x64", false, &unused, true},
      {L"", L"", true, L"Acme", L"Windows x64", false, &used, false},
      {L"", L"", true, L"Acme", L"Windows x64", false, nullptr, false},
      {L"", L"", true, L"Microsoft XPS", L"Windows x64", true, &unused, false},
      {L"Acme*", L"", true, L"Acme", L"Windows x64", false, &used, false},
      {L"Acme*", L"", true, L"Other", L"Windows x64", false, &unused, false},
      {L"", L"", false, L"Acme", L"Windows x64", false, &unused, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::wstring(c.patterns) << " / " << std::wstring(c.name));
    CleanupOptions options;
    for (std::wstring_view rest = c.patterns; !rest.empty();) {
      const size_t bar = rest.find(L'|');
      options.driverPatterns.emplace_back(rest.substr(0, bar));
      rest = bar == std::wstring_view::npos ? std::wstring_view() : rest.substr(bar + 1);
    }
    options.environment = c.environment;
    options.unused = c.unusedOnly;
    EXPECT_EQ(SelectsDriver(options, c.name, c.driverEnvironment, c.native, c.printers),
              c.selected);
  }
}

}  // namespace
}  // namespace kestrun

namespace kestrun {
namespace {

TEST(CommandLineGrammar, RefusalsSayWhyAndTheLocalMachineHasManyNames) {
  const struct {
    const wchar_t* text;
    RequestKind kind;
    const wchar_t* problem;  // above the usage block
  } cases[] = {
      {L"/delete /unused /environment:x64 SRV", RequestKind::Usage, L"Unknown environment: x64"},
      {L"/delete /unused /environment:\"Windows x64\" /environment:\"Windows NT x86\" SRV",
       RequestKind::Usage, L"/environment: may be given once."},
      {L"/timeout:5 /timeout:6 SRV", RequestKind::Usage, L"/timeout: may be given once."},
      {L"/delete /driver:\"  \" SRV", RequestKind::Usage,
       L"/driver: needs a driver name or pattern."},
      {L"/delete /unused SRV /yes", RequestKind::Usage,
       L"Options come before the target or the list: /yes"},
      {L"/delete /unused @s.txt C:\\a.csv /printers", RequestKind::Usage,
       L"Options come before the target or the list: /printers"},
      {L"/delete /unused SRV C:\\a.csv /?", RequestKind::Help, L""},
      {L"SRV /? C:\\a.csv", RequestKind::Help, L""},
      {L"/delete /unused /environment:\"windows nt X86\" SRV", RequestKind::Delete, L""},
      {L"/delete /unused /nosnapshot /snapshots:\"C:\\S s\" SRV", RequestKind::Delete, L""},
      {L"/nosnapshot SRV", RequestKind::Usage, L"/nosnapshot goes with /delete."},
      {L"/yes .", RequestKind::Usage, L"/yes goes with /delete, /restore or /copy."},
      {L"/delete .", RequestKind::Usage,
       L"/delete needs /driver:, /unused or /orphans to say what goes."},
      {L"/delete /unused", RequestKind::Usage,
       L"/delete needs a target machine or a machine list."},
      {L". out.txt", RequestKind::Usage, L"After the target only a .csv log may follow: out.txt"},
      {L"SRV1 SRV2", RequestKind::Usage, L"After the target only a .csv log may follow: SRV2"},
      {L"@s.txt SRV2", RequestKind::Usage,
       L"After the machine list only a .csv log may follow: SRV2"},
      {L"SRV \"C:\\a.csv\" SRV2", RequestKind::Usage, L"Nothing may follow the log: SRV2"},
      {L"C:\\x.csv", RequestKind::Usage,
       L"The target comes first, then the log (. is this computer): C:\\x.csv"},
      {L"@", RequestKind::Usage,
       L"The machine list's path comes right after the @: @C:\\Machines.txt"},
      // Every option at most once; the patterns may repeat.
      {L"/queues /queues SRV", RequestKind::Usage, L"/queues may be given once."},
      {L"/delete /unused /UNUSED SRV", RequestKind::Usage, L"/unused may be given once."},
      {L"/queues /probe /probe SRV", RequestKind::Usage, L"/probe may be given once."},
      {L"/delete /delete /unused SRV", RequestKind::Usage, L"/delete may be given once."},
      {L"/delete /driver:a /driver:b SRV", RequestKind::Delete, L""},
      {L"/posture /timeout:9 @s.txt C:\\p.csv", RequestKind::Posture, L""},
      {L"/posture /queues SRV", RequestKind::Usage,
       L"/posture takes only /timeout: before the target or the list."},
      {L"/restore /yes /timeout:9 \"C:\\My Snapshots\\SRV\\x\" C:\\a.csv", RequestKind::Restore,
       L""},
      {L"/restore /driver:x C:\\s", RequestKind::Usage,
       L"/restore takes only /to:, /yes and /timeout: before the snapshot folder."},
      {L"/restore ", RequestKind::Usage, L"/restore needs the snapshot folder."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "argument text: [" << std::wstring(c.text) << "]");
    const ReportRequest request = ParseReportArguments(c.text);
    EXPECT_EQ(request.kind, c.kind);
    EXPECT_EQ(request.problem, c.problem);
  }
  const ReportRequest restore =
      ParseReportArguments(L"/restore /yes \"C:\\My Snapshots\\SRV\\x\" C:\\a.csv");
  EXPECT_EQ(restore.snapshotFolder, L"C:\\My Snapshots\\SRV\\x");
  EXPECT_EQ(restore.logPath, L"C:\\a.csv");
  EXPECT_TRUE(restore.cleanup.yes);
  EXPECT_EQ(ParseReportArguments(L"/delete /unused /snapshots:\"C:\\S s\" SRV").cleanup.snapshotsRoot,
            L"C:\\S s");
  // An environment is kept in the spooler's spelling.
  EXPECT_EQ(ParseReportArguments(L"/delete /unused /environment:\"windows nt X86\" SRV")
                .cleanup.environment,
            L"Windows NT x86");

  wchar_t own[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  ASSERT_TRUE(::GetComputerNameW(own, &size));
  const std::wstring ownNames[] = {L".", L"localhost", L"\\\\LOCALHOST", L"127.0.0.1", own,
                                   L"\\\\" + std::wstring(own)};
  for (const std::wstring& local : ownNames) {
    EXPECT_TRUE(IsLocalMachineName(local)) << std::string(local.begin(), local.end());
  }
  for (const wchar_t* remote : {L"", L"\\\\", L"PRINTSRV01", L"..", L"localhost2"}) {
    EXPECT_FALSE(IsLocalMachineName(remote));
  }
  // In a list they are one machine under the first spelling; a log names it by its own name.
  std::vector<std::wstring> list = {L"SRV", L"localhost", L"::1", own, L".", L"srv2"};
  EXPECT_EQ(OneEntryPerMachine(list), L"::1: same machine as localhost\r\n" + std::wstring(own) +
                                          L": same machine as localhost\r\n.: same machine as "
                                          L"localhost\r\n");
  EXPECT_EQ(list, (std::vector<std::wstring>{L"SRV", L"localhost", L"srv2"}));
  for (const wchar_t* local : {L"", L".", L"\\\\127.0.0.1"})
    EXPECT_EQ(LoggedMachineName(local), own);
  EXPECT_EQ(LoggedMachineName(L"\\\\SRV"), L"\\\\SRV");
}

TEST(CommandLineGrammar, CopyTakesASourceAndATargetAndRestoreAnotherMachine) {
  const std::wstring longest(253, L'M');
  const struct {
    std::wstring text;
    RequestKind kind;
    std::wstring source;  // the target, or "@" and the list
    std::wstring onto;    // the copy's target, or the restore's
    const wchar_t* problem;
  } cases[] = {
      {L"/copy SRCA SRCB", RequestKind::Copy, L"SRCA", L"SRCB", L""},
      {L"/COPY /printer:\"HR *\" \"/printer:Lobby B\" /yes /snapshots:C:\\S /timeout:9 @s.txt TGT "
       L"C:\\a.csv",
       RequestKind::Copy, L"@s.txt", L"TGT", L""},
      {L"/copy \"@C:\\My Lists\\s.txt\" \"TGT\"", RequestKind::Copy, L"@C:\\My Lists\\s.txt",
       L"TGT", L""},
      {L"/copy " + longest + L" \\\\" + longest, RequestKind::Copy, longest, L"\\\\" + longest,
       L""},
      {L"/restore /to:\"SRVB\" /yes C:\\snap C:\\a.csv", RequestKind::Restore, L"", L"SRVB", L""},
      {L"/restore \"/to:" + longest + L"\" C:\\snap", RequestKind::Restore, L"", longest, L""},
      {L"/copy SRC " + longest + L"M", RequestKind::TargetTooLong, L"", L"", L""},
      {L"/restore /to:" + longest + L"M C:\\snap", RequestKind::TargetTooLong, L"", L"", L""},
      // Refusals.
      {L"/printer:x SRV", RequestKind::Usage, L"", L"", L"/printer: goes with /copy."},
      {L"/to:SRVB /delete /unused SRV", RequestKind::Usage, L"", L"", L"/to: goes with /restore."},
      {L"/copy /delete SRC TGT", RequestKind::Usage, L"", L"",
       L"/copy goes with no other command: give one of them."},
      {L"/copy /unused SRC TGT", RequestKind::Usage, L"", L"",
       L"/copy takes only /printer:, /timeout:, /snapshots: and /yes before the source."},
      {L"/copy SRC", RequestKind::Usage, L"", L"",
       L"/copy needs the source and the target machine."},
      {L"/copy SRC @t.txt", RequestKind::Usage, L"", L"",
       L"/copy copies onto one target machine, not a list."},
      {L"/copy SRC /yes TGT", RequestKind::Usage, L"", L"",
       L"Options come before the target or the list: /yes"},
      {L"/copy SRC TGT THIRD", RequestKind::Usage, L"", L"",
       L"/copy takes one source and one target, then the log: THIRD"},
      {L"/restore /to:A /to:B C:\\snap", RequestKind::Usage, L"", L"", L"/to: may be given once."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "argument text: [" << c.text << "]");
    const ReportRequest request = ParseReportArguments(c.text);
    EXPECT_EQ(request.kind, c.kind);
    EXPECT_EQ(request.problem, c.problem);
    if (c.kind != RequestKind::Copy && c.kind != RequestKind::Restore) continue;
    EXPECT_EQ(request.listPath.empty() ? request.target : L"@" + request.listPath, c.source);
    EXPECT_EQ(c.kind == RequestKind::Copy ? request.copy.target : request.restoreTarget, c.onto);
  }
  const ReportRequest copy = ParseReportArguments(cases[1].text);
  EXPECT_EQ(copy.copy.printerPatterns, (std::vector<std::wstring>{L"HR *", L"Lobby B"}));
  EXPECT_TRUE(copy.cleanup.yes && copy.cleanup.snapshotsRoot == L"C:\\S" &&
              copy.logPath == L"C:\\a.csv");
}

}  // namespace
}  // namespace kestrun
