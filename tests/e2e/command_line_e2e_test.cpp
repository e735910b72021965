// The shipped Kestrun.exe, run the way an admin runs it: from a console, with a
// target and a log path, against Wine's own spooler or the test spooler DLL.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <map>
#include <sstream>

#include "inventory/field_text.h"
#include "report/console.h"
#include "report/csv_log.h"
#include "tests/support/console_capture.h"
#include "tests/support/fake_spooler.h"
#include "tests/support/test_paths.h"
#include "ui/column_table.h"

namespace kestrun::testing {
namespace {

constexpr char kHeader[] =
    "Driver Name,Provider,Dependent Files(s),Environment,Driver Path,Data File,"
    "Configuration File(s),Help File,Monitor Name,Default Data Types,Previous Names,"
    "Manufacturer Name,OEM URL,Hardware ID,\r\n";

// Wine reads DLL overrides for a program from its registry; an override in the
// environment does not reach processes started from a Windows process. With
// "native,builtin" a Kestrun.exe that has a winspool.drv beside it loads that
// one, and any other Kestrun.exe the system's.
void PreferSpoolerDllBesideKestrun() {
  HKEY key = nullptr;
  ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER,
                              L"Software\\Wine\\AppDefaults\\Kestrun.exe\\DllOverrides", 0,
                              nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const wchar_t order[] = L"native,builtin";
  ::RegSetValueExW(key, L"winspool.drv", 0, REG_SZ, reinterpret_cast<const BYTE*>(order),
                   sizeof(order));
  ::RegCloseKey(key);
}

// A folder holding Kestrun.exe and the test spooler DLL beside it.
class FakeSpoolerInstall {
 public:
  explicit FakeSpoolerInstall(const std::wstring& name) : folder_(MakeScratchDirectory(name)) {
    PreferSpoolerDllBesideKestrun();
    ::CopyFileW(KestrunExePath().c_str(), Exe().c_str(), FALSE);
    ::CopyFileW((FakeBinDirectory() + L"\\winspool.drv").c_str(),
                (folder_ + L"\\winspool.drv").c_str(), FALSE);
  }
  std::wstring Exe() const { return folder_ + L"\\Kestrun.exe"; }
  std::wstring Folder() const { return folder_; }
  Environment Scenario(const std::wstring& scenario) const {
    return {{L"KESTRUN_FAKE_SPOOLER", scenario}};
  }
  ConsoleRun Run(const std::wstring& arguments, const std::wstring& scenario = L"sample") const {
    return RunInConsole(L"\"" + Exe() + L"\" " + arguments, Scenario(scenario));
  }

 private:
  std::wstring folder_;
};

std::vector<std::string> Lines(const std::string& bytes) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < bytes.size()) {
    const size_t end = bytes.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(bytes.substr(start) + "<unterminated>");
      break;
    }
    lines.push_back(bytes.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

// The rows the log must hold for the fake spooler's drivers, in spooler order.
std::string ExpectedRows(const std::vector<FakeDriver>& fakes) {
  std::vector<BYTE> buffer(DriverBufferSize(fakes));
  PackDrivers(fakes, buffer.data());
  const auto* drivers = reinterpret_cast<const DRIVER_INFO_6*>(buffer.data());
  DriverInventory inventory;
  ResetInventory(inventory);
  std::string rows;
  for (size_t i = 0; i < fakes.size(); ++i) {
    const auto line = JoinDependentFiles(inventory, drivers[i].pDependentFiles);
    AppendDriverRow(rows, drivers[i], line.get());
  }
  return rows;
}

TEST(CommandLineReport, NamedTargetPrintsEveryDriverAndWritesTheLog) {
  FakeSpoolerInstall install(L"report-log");
  const std::wstring log = install.Folder() + L"\\drivers.csv";
  WriteFileBytes(log, "earlier content\r\n");

  const ConsoleRun run = install.Run(L"PRINTSRV " + log);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0u);

  const std::wstring text = run.Text();
  EXPECT_EQ(text.find(L"before"), std::wstring::npos);
  EXPECT_EQ(text.rfind(L"Kestrun v1.2.1.5\n", 0), 0u) << "the console is cleared first";
  EXPECT_NE(text.find(L"\n===========================================\n"), std::wstring::npos);
  EXPECT_NE(text.find(L"Driver Name: Contoso LaserJet 4200 PCL6\nProvider: Contoso, Ltd.\n\n"
                      L"Dependent Files:\nUNIRES.DLL; STDNAMES.GPD; LOCALE.GPD;\n\n"
                      L"Environment: Windows x64\n"
                      L"Driver Path: C:\\Windows\\System32\\spool\\DRIVERS\\x64\\3\\UNIDRV.DLL\n"),
            std::wstring::npos)
      << std::wstring(text);
  EXPECT_NE(text.find(L"Previous Names: Contoso LaserJet 4200 PCL6 (old)\n"), std::wstring::npos);
  EXPECT_NE(text.find(L"OEM Url: http://www.example.com/printers\nHardware ID: example_printer_1234"),
            std::wstring::npos);
  // An absent field prints its label alone.
  EXPECT_NE(text.find(L"Driver Name: Generic / Text Only\nProvider:\n\nDependent Files:\n\n\n"),
            std::wstring::npos);
  EXPECT_NE(text.find(L"Driver Name: Fabrikam Imagewriter \u00c9lite \u4e2d"), std::wstring::npos);
  EXPECT_NE(text.find(L"\n\n\nDriver output successfully written to file."), std::wstring::npos);

  EXPECT_EQ(run.ColourOf(L"Kestrun v1.2.1.5"), kRed);
  EXPECT_EQ(run.ColourOf(L"Driver Name: Contoso"), kBlue);
  EXPECT_EQ(run.ColourOf(L"Provider: Contoso"), kRed);
  EXPECT_EQ(run.ColourOf(L"Driver output successfully"), kGreen);

  EXPECT_EQ(ReadFileBytes(log),
            "earlier content\r\n" + std::string(kHeader) + ExpectedRows(SampleDrivers()));

  // A second run appends a second header and its rows; so does one with a
  // quoted target and blanks before the path.
  ASSERT_EQ(install.Run(L"PRINTSRV \"" + log + L"\"").exitCode, 0u);
  const std::string once = std::string(kHeader) + ExpectedRows(SampleDrivers());
  EXPECT_EQ(ReadFileBytes(log), "earlier content\r\n" + once + once);
  ASSERT_EQ(install.Run(L"\"PRINTSRV\"  \"" + log + L"\"").exitCode, 0u);
  EXPECT_EQ(ReadFileBytes(log), "earlier content\r\n" + once + once + once);
}

TEST(CommandLineReport, ReportWithoutLogAndWithNoDrivers) {
  FakeSpoolerInstall install(L"report-empty");
  const std::wstring log = install.Folder() + L"\\empty.csv";
  const ConsoleRun run = install.Run(L"PRINTSRV \"" + log + L"\"", L"empty");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(ReadFileBytes(log), kHeader);
  EXPECT_NE(run.Text().find(L"===========================================\n\n\n\n"
                            L"Driver output successfully written to file."),
            std::wstring::npos)
      << run.Text();

  const ConsoleRun plain = install.Run(L"PRINTSRV");
  EXPECT_EQ(plain.exitCode, 0u);
  EXPECT_EQ(plain.Text().find(L"successfully"), std::wstring::npos);
  EXPECT_NE(plain.Text().find(L"Driver Name: Norvex Universal Print Class Driver"),
            std::wstring::npos);
}

TEST(CommandLineReport, BadArgumentsPrintTheUsageBlock) {
  FakeSpoolerInstall install(L"usage");
  const std::wstring expected =
      L"Kestrun Help\n====================\n\nUse the following syntax only:\n\n"
      L"Kestrun TargetMachine\n\nKestrun TargetMachine C:\\LogFilePath.csv\n\n"
      L"Kestrun TargetMachine \"C:\\Log File Path.csv\"\n\nLog file must be csv format!";
  for (const std::wstring arguments :
       {L"PRINTSRV C:\\Logs\\drivers.txt", L"PRINTSRV \"C:\\Log File Path.csv\" extra"}) {
    const ConsoleRun run = install.Run(arguments);
    EXPECT_EQ(run.exitCode, 2u);
    EXPECT_EQ(run.Text().rfind(expected, 0), 0u) << run.Text();
    EXPECT_EQ(run.ColourOf(L"Kestrun TargetMachine C:"), kGreen);
    EXPECT_EQ(run.ColourOf(L"Log file must"), kRed);
  }
}

TEST(CommandLineReport, UnopenableLogGivesTheHelpBlockAndEnumeratesNothing) {
  FakeSpoolerInstall install(L"unopenable");
  const std::wstring missingFolder = install.Folder() + L"\\no such folder\\drivers.csv";
  const std::wstring locked = install.Folder() + L"\\locked.csv";
  HANDLE holder = ::CreateFileW(locked.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);

  for (const std::wstring& path : {missingFolder, locked}) {
    const ConsoleRun run = install.Run(L"PRINTSRV \"" + path + L"\"");
    EXPECT_EQ(run.exitCode, 1u);
    const std::wstring text = run.Text();
    EXPECT_NE(text.find(L"Kestrun Help\n====================\n\nUnable to create log file.\n"
                        L"Ensure that any previously saved logs are closed.\n"
                        L"Also ensure that the path entered is a valid path that already exists."),
              std::wstring::npos)
        << text;
    EXPECT_EQ(text.find(L"Driver Name"), std::wstring::npos);
    EXPECT_EQ(text.find(L"Kestrun v1.2.1.5"), std::wstring::npos);
  }
  ::CloseHandle(holder);
  EXPECT_EQ(ReadFileBytes(locked), "");
}

TEST(CommandLineReport, FailuresNameTheTargetAndTheNumericCode) {
  FakeSpoolerInstall install(L"failures");
  const std::wstring log = install.Folder() + L"\\kept.csv";
  WriteFileBytes(log, "kept\r\n");

  const ConsoleRun unreachable = install.Run(L"NOWHERE \"" + log + L"\"");
  EXPECT_EQ(unreachable.exitCode, 1u);
  EXPECT_NE(unreachable.Text().find(
                L"Failed to get print driver information from: NOWHERE\nError code: 1722"),
            std::wstring::npos)
      << unreachable.Text();
  EXPECT_EQ(ReadFileBytes(log), "kept\r\n");

  const ConsoleRun denied = install.Run(L"PRINTSRV", L"fail:5");
  EXPECT_EQ(denied.exitCode, 1u);
  EXPECT_NE(denied.Text().find(L"from: PRINTSRV\nError code: 5\n"), std::wstring::npos);

  const ConsoleRun tooLong = install.Run(std::wstring(300, L'M'));
  EXPECT_EQ(tooLong.exitCode, 1u);
  EXPECT_NE(tooLong.Text().find(L"at most 253 characters"), std::wstring::npos);

  const ConsoleRun longPath = install.Run(L"PRINTSRV C:\\" + std::wstring(400, L'p') + L".csv");
  EXPECT_EQ(longPath.exitCode, 1u);
  EXPECT_NE(longPath.Text().find(L"at most 319 characters"), std::wstring::npos);
}

TEST(CommandLineReport, ParallelReportsIntoOneLogKeepEveryLineWholeAndEveryRunTogether) {
  FakeSpoolerInstall install(L"parallel");
  const std::wstring log = install.Folder() + L"\\shared.csv";
  constexpr int kRuns = 8;
  constexpr size_t kDrivers = 400;  // several batches of lines per run
  DetachConsole();  // nobody watches these runs: their console writes fail at once
  std::vector<HANDLE> processes;
  for (int i = 0; i < kRuns; ++i) {
    processes.push_back(StartProcess(L"\"" + install.Exe() + L"\" PRINTSRV \"" + log + L"\"",
                                     install.Scenario(L"generated:" + std::to_wstring(kDrivers))));
    ASSERT_NE(processes.back(), nullptr);
  }
  for (HANDLE process : processes) {
    ASSERT_EQ(::WaitForSingleObject(process, 120000), WAIT_OBJECT_0);
    DWORD code = 99;
    ::GetExitCodeProcess(process, &code);
    EXPECT_EQ(code, 0u);
    ::CloseHandle(process);
  }

  std::map<std::string, int> expected;
  for (const auto& line : Lines(ExpectedRows(GeneratedDrivers(kDrivers)))) expected[line] += kRuns;
  expected[std::string(kHeader, sizeof(kHeader) - 3)] += kRuns;

  std::map<std::string, int> found;
  const std::string bytes = ReadFileBytes(log);
  for (const auto& line : Lines(bytes)) found[line] += 1;
  EXPECT_EQ(found.size(), expected.size());
  EXPECT_TRUE(found == expected) << "lines were lost, split or interleaved";

  // Each run's header and rows arrive together: the log is the runs one after another.
  const std::string once = std::string(kHeader) + ExpectedRows(GeneratedDrivers(kDrivers));
  std::string runs;
  for (int i = 0; i < kRuns; ++i) runs += once;
  EXPECT_TRUE(bytes == runs) << "one run's rows were interleaved with another's";
}

// Run inside a pseudo-terminal (tests/e2e/terminal_e2e_test.sh): the shipped
// report's characters and colours as they reach the terminal.
TEST(TerminalReport, TheReportReachesTheTerminalInItsColoursAndLeavesTheConsolesOwn) {
  if (!TerminalTranscript::Available()) GTEST_SKIP() << "runs inside a pseudo-terminal only";
  const HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
  CONSOLE_SCREEN_BUFFER_INFO own = {};
  ASSERT_TRUE(::GetConsoleScreenBufferInfo(output, &own)) << "no console";
  DWORD modeBefore = 0;
  ::GetConsoleMode(output, &modeBefore);

  FakeSpoolerInstall install(L"terminal");
  const TerminalTranscript transcript;
  transcript.Mark("report");
  // Started with this test's console, which is the pseudo-terminal's.
  HANDLE process = StartProcess(L"\"" + install.Exe() + L"\" PRINTSRV", install.Scenario(L"sample"));
  ASSERT_NE(process, nullptr);
  ASSERT_EQ(::WaitForSingleObject(process, 60000), WAIT_OBJECT_0);
  DWORD code = 99;
  ::GetExitCodeProcess(process, &code);
  ::CloseHandle(process);
  EXPECT_EQ(code, 0u);
  transcript.Mark("end");
  DWORD modeAfter = 0;
  ::GetConsoleMode(output, &modeAfter);
  EXPECT_EQ(modeAfter, modeBefore) << "the console's own mode comes back";

  const ConsoleRun run = transcript.Between("report", "end", own.wAttributes);
  ASSERT_TRUE(run.finished) << "the marks never reached the terminal";
  const std::wstring text = run.Text();
  EXPECT_EQ(text.find(L'\x1b'), std::wstring::npos) << "an escape the terminal kept";
  EXPECT_EQ(text.rfind(L"Kestrun v1.2.1.5\n", 0), 0u) << "the console is cleared first\n" << text;
  EXPECT_NE(text.find(L"Driver Name: Contoso LaserJet 4200 PCL6\nProvider: Contoso, Ltd.\n\n"
                      L"Dependent Files:\nUNIRES.DLL; STDNAMES.GPD; LOCALE.GPD;\n\n"
                      L"Environment: Windows x64\n"),
            std::wstring::npos)
      << text;
  EXPECT_NE(text.find(L"Driver Name: Generic / Text Only\nProvider:\n\nDependent Files:\n\n\n"),
            std::wstring::npos);
  EXPECT_EQ(run.ColourOf(L"Kestrun v1.2.1.5"), kRed);
  EXPECT_EQ(run.ColourOf(L"==========="), kRed);
  EXPECT_EQ(run.ColourOf(L"Driver Name: Contoso"), kBlue);
  EXPECT_EQ(run.ColourOf(L"Provider: Contoso"), kRed);
  EXPECT_EQ(run.ColourOf(L"Hardware ID: example"), kRed);
  EXPECT_EQ(run.ColourOf(L"[[end]]"), own.wAttributes & 0xFF) << "the console's own colours";
}

}  // namespace
}  // namespace kestrun::testing
