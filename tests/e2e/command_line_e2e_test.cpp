// The shipped Kestrun.exe, run the way an admin runs it: from a console, with a
// target and a log path, against Wine's own spooler or the test spooler DLL.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "inventory/classification.h"
#include "inventory/error_reporter.h"
#include "inventory/field_text.h"
#include "report/console.h"
#include "report/csv_log.h"
#include "tests/support/console_capture.h"
#include "tests/support/fake_spooler.h"
#include "tests/support/test_paths.h"
#include "tests/support/ui_waits.h"
#include "inventory/column_table.h"

namespace kestrun::testing {
namespace {

constexpr char kHeader[] =
    "Driver Name,Provider,Dependent Files(s),Environment,Driver Path,Data File,"
    "Configuration File(s),Help File,Monitor Name,Default Data Types,Previous Names,"
    "Manufacturer Name,OEM URL,Hardware ID,\r\n";

// Kestrun loads winspool.drv from System32 alone, so the test spooler stands
// in there: the prefix's System32 gets the test DLL (Wine's own placeholder is
// kept aside and put back when the tests end), and Wine's DLL overrides, which
// it reads per program from its registry, make only "KestrunUnderTest.exe" (a
// copy of Kestrun.exe) prefer it. Every other program, Kestrun.exe included,
// keeps Wine's spooler.
constexpr wchar_t kUnderTestExe[] = L"KestrunUnderTest.exe";

std::wstring SystemSpoolerPath() {
  wchar_t folder[MAX_PATH] = {};
  ::GetSystemDirectoryW(folder, MAX_PATH);
  return std::wstring(folder) + L"\\winspool.drv";
}

void SetSpoolerOverride(const std::wstring& program, const wchar_t* order) {
  const std::wstring key = L"Software\\Wine\\AppDefaults\\" + program + L"\\DllOverrides";
  if (order == nullptr) {
    ::RegDeleteKeyValueW(HKEY_CURRENT_USER, key.c_str(), L"winspool.drv");
    return;
  }
  HKEY opened = nullptr;
  ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                              &opened, nullptr),
            ERROR_SUCCESS);
  ::RegSetValueExW(opened, L"winspool.drv", 0, REG_SZ, reinterpret_cast<const BYTE*>(order),
                   static_cast<DWORD>((std::wcslen(order) + 1) * sizeof(wchar_t)));
  ::RegCloseKey(opened);
}

class SpoolerDoubleInSystem32 : public ::testing::Environment {
 public:
  void SetUp() override {
    const std::wstring system = SystemSpoolerPath();
    ::CopyFileW(system.c_str(), (system + L".wine").c_str(), TRUE);  // the first time only
    ASSERT_TRUE(::CopyFileW((FakeBinDirectory() + L"\\winspool.drv").c_str(), system.c_str(),
                            FALSE));
    SetSpoolerOverride(kUnderTestExe, L"native");
    SetSpoolerOverride(L"Kestrun.exe", nullptr);
  }
  void TearDown() override {
    const std::wstring system = SystemSpoolerPath();
    ::CopyFileW((system + L".wine").c_str(), system.c_str(), FALSE);
    SetSpoolerOverride(kUnderTestExe, nullptr);
  }
};
const auto* const spoolerDouble = ::testing::AddGlobalTestEnvironment(new SpoolerDoubleInSystem32);

// A folder holding a copy of Kestrun.exe that loads the test spooler.
class FakeSpoolerInstall {
 public:
  explicit FakeSpoolerInstall(const std::wstring& name) : folder_(MakeScratchDirectory(name)) {
    ::CopyFileW(KestrunExePath().c_str(), Exe().c_str(), FALSE);
  }
  std::wstring Exe() const { return folder_ + L"\\" + kUnderTestExe; }
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
std::string ExpectedRows(const std::vector<FakeDriver>& fakes,
                         CsvEncoding encoding = CsvEncoding::EightBit) {
  std::vector<BYTE> buffer(DriverBufferSize(fakes));
  PackDrivers(fakes, buffer.data());
  const auto* drivers = reinterpret_cast<const DRIVER_INFO_6*>(buffer.data());
  DriverInventory inventory;
  ResetInventory(inventory);
  std::string rows;
  for (size_t i = 0; i < fakes.size(); ++i) {
    const auto line = JoinDependentFiles(inventory, drivers[i].pDependentFiles);
    AppendDriverRow(rows, drivers[i], line.get(), encoding);
  }
  return rows;
}

// Waits for processes started in parallel and closes their handles.
void ExpectEachToEndWithExitCodeZero(const std::vector<HANDLE>& processes) {
  for (HANDLE process : processes) {
    EXPECT_EQ(::WaitForSingleObject(process, 120000), WAIT_OBJECT_0);
    DWORD code = 99;
    ::GetExitCodeProcess(process, &code);
    EXPECT_EQ(code, 0u);
    ::CloseHandle(process);
  }
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
  EXPECT_NE(text.find(L"1234\nPrinters: 0\nDriver Version: 10.0.0.1\nDriver Date: 2014-11-14\n"),
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
  EXPECT_EQ(ReadFileBytes(log), "\xEF\xBB\xBF" + std::string(kHeader)) << "a new log is UTF-8";
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

TEST(CommandLineReport, RedirectedOutputIsTheSameTextInUtf8WithoutColours) {
  FakeSpoolerInstall install(L"redirected");
  const std::wstring out = install.Folder() + L"\\out.txt";
  SECURITY_ATTRIBUTES inherited = {sizeof(inherited), nullptr, TRUE};
  HANDLE file = ::CreateFileW(out.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherited,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  HANDLE process =
      StartInConsole(L"\"" + install.Exe() + L"\" PRINTSRV", install.Scenario(L"sample"), file);
  ::CloseHandle(file);
  const ConsoleRun run = FinishInConsole(process);
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(run.Text(), L"") << "nothing reaches the console";
  const std::string bytes = ReadFileBytes(out);
  EXPECT_EQ(bytes.rfind("Kestrun v1.2.1.5\r\n", 0), 0u) << bytes;
  EXPECT_EQ(bytes.find('\x1b'), std::string::npos) << "no colour sequences";
  EXPECT_NE(bytes.find("\r\nDriver Name: Fabrikam Imagewriter \xC3\x89lite \xE4\xB8\xAD\r\n"
                       "Provider: Fabrikam\r\n"),
            std::string::npos);
}

TEST(CommandLineReport, BadArgumentsPrintTheUsageBlock) {
  FakeSpoolerInstall install(L"usage");
  const std::wstring expected =
      L"Kestrun Help\n====================\n\nUse the following syntax only:\n\n"
      L"Kestrun TargetMachine\n\nKestrun TargetMachine C:\\LogFilePath.csv\n\n"
      L"Kestrun TargetMachine \"C:\\Log File Path.csv\"\n\nLog file must be csv format!";
  for (const auto& [arguments, problem] :
       {std::pair{L"PRINTSRV C:\\Logs\\drivers.txt",
                  L"After the target only a .csv log may follow: C:\\Logs\\drivers.txt\n\n"},
        std::pair{L"PRINTSRV \"C:\\Log File Path.csv\" extra",
                  L"Nothing may follow the log: extra\n\n"}}) {
    const ConsoleRun run = install.Run(arguments);
    EXPECT_EQ(run.exitCode, 2u);
    EXPECT_EQ(run.Text().rfind(problem + expected, 0), 0u) << run.Text();
    EXPECT_EQ(run.ColourOf(L"Kestrun TargetMachine C:"), kGreen);
    EXPECT_EQ(run.ColourOf(L"Log file must"), kRed);
    EXPECT_EQ(run.ColourOf(L"Kestrun @MachineList.txt C:"), kGreen);
  }
  // Help asks for the block; an option not understood is named above it.
  EXPECT_EQ(install.Run(L"/?").exitCode, 0u);
  const ConsoleRun unknown = install.Run(L"/verbose PRINTSRV");
  EXPECT_EQ(unknown.exitCode, 2u);
  EXPECT_EQ(unknown.Text().rfind(L"Unknown option: /verbose\n\n" + expected, 0), 0u)
      << unknown.Text();
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
    EXPECT_NE(
        text.find(L"Kestrun Help\n====================\n\nUnable to create log file.\n"
                  L"Ensure that any previously saved logs are closed.\n"
                  L"Also ensure that the path entered is a valid path that already exists.\n" +
                  path + (path == locked ? L": 32 " : L": 3 ")),
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
  EXPECT_NE(denied.Text().find(L"from: PRINTSRV\nError code: 5\nAccess denied.\n"),
            std::wstring::npos)
      << denied.Text();
  // The longest target: its name is cut, never its code.
  const ConsoleRun longest = install.Run(std::wstring(253, L'M'));
  const std::wstring longestText = longest.Text();
  EXPECT_NE(longestText.find(L"MM\nError code: 1722\n"),
            std::wstring::npos)
      << longestText;
  EXPECT_EQ(std::count(longestText.begin(), longestText.end(), L'M'), 192);

  const ConsoleRun tooLong = install.Run(std::wstring(300, L'M'));
  EXPECT_EQ(tooLong.exitCode, 1u);
  EXPECT_NE(tooLong.Text().find(L"at most 253 characters"), std::wstring::npos);

  const ConsoleRun longPath = install.Run(L"PRINTSRV C:\\" + std::wstring(400, L'p') + L".csv");
  EXPECT_EQ(longPath.exitCode, 1u);
  EXPECT_NE(longPath.Text().find(L"at most 319 characters"), std::wstring::npos);
}

TEST(CommandLineReport, ABrokenServersAnswerNeverCrashesTheReport) {
  FakeSpoolerInstall install(L"broken-report");
  const std::wstring log = install.Folder() + L"\\broken.csv";
  const struct {
    const wchar_t* scenario;
    DWORD exitCode;
    const wchar_t* shown;
  } cases[] = {
      {L"corrupt:sizing", 0, L"==========================================="},
      {L"corrupt:count", 1, L"from: PRINTSRV\nError code: 13\n"},
      {L"corrupt:huge", 1, L"from: PRINTSRV\nError code: 8\n"},
      {L"corrupt:pointers", 0, L"Driver Name: Norvex Universal Print Class Driver\nProvider:\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.scenario);
    ::DeleteFileW(log.c_str());
    const ConsoleRun run = install.Run(L"PRINTSRV \"" + log + L"\"", c.scenario);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, c.exitCode);
    EXPECT_NE(run.Text().find(c.shown), std::wstring::npos) << run.Text();
  }
  // No records: the header alone. Broken fields: absent, the rest whole.
  ::DeleteFileW(log.c_str());
  install.Run(L"PRINTSRV \"" + log + L"\"", L"corrupt:sizing");
  EXPECT_EQ(ReadFileBytes(log), "\xEF\xBB\xBF" + std::string(kHeader));
  ::DeleteFileW(log.c_str());
  install.Run(L"PRINTSRV \"" + log + L"\"", L"corrupt:pointers");
  const auto rows = Lines(ReadFileBytes(log));
  ASSERT_EQ(rows.size(), 6u);
  EXPECT_EQ(rows[1].rfind("(null),Microsoft,UNIRES.DLL; STDNAMES.GPD; LOCALE.GPD; ,", 0), 0u)
      << rows[1];
  EXPECT_EQ(rows[2].rfind("Norvex Universal Print Class Driver,(null),", 0), 0u) << rows[2];
  EXPECT_EQ(rows[3].rfind("Contoso LaserJet 4200 PCL6,\"Contoso, Ltd.\",,Windows x64,", 0), 0u)
      << rows[3];
  EXPECT_NE(rows[5].find(" \xE4\xB8\xAD,(null),FABRES.DLL,"), std::string::npos) << rows[5];
}

TEST(CommandLineReport, ABrokenServersAnswerLeavesTheWindowUpWithTheValidRecords) {
  FakeSpoolerInstall install(L"broken-window");
  for (const auto& [scenario, rows] : {std::pair{L"corrupt:pointers", 5}, {L"corrupt:count", 0}}) {
    SCOPED_TRACE(::testing::Message() << scenario);
    HANDLE process = StartProcess(L"\"" + install.Exe() + L"\"", install.Scenario(scenario));
    ASSERT_NE(process, nullptr);
    HWND window = nullptr;
    HWND list = nullptr;
    bool failureShown = false;
    // The valid records fill the list; a failed call shows its box instead.
    const bool settled = PumpUntil([&] {
      // A box is answered once its text can be read.
      const HWND box = ::FindWindowW(L"#32770", L"Kestrun");
      const std::wstring text = box ? DialogText(box) : std::wstring();
      if (!text.empty()) {
        failureShown = failureShown || text.find(L"from the local machine.") != std::wstring::npos;
        ::PostMessageW(box, WM_COMMAND, IDOK, 0);
      }
      window = ::FindWindowW(L"Win32Obj", L"Kestrun");
      list = window ? ::FindWindowExW(window, nullptr, L"SysListView32", nullptr) : nullptr;
      return list && (rows > 0 ? ::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) == rows
                               : failureShown && !::FindWindowW(L"#32770", L"Kestrun"));
    }, 30000);
    EXPECT_TRUE(settled);
    EXPECT_EQ(::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0), rows);
    EXPECT_EQ(::WaitForSingleObject(process, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "still up";
    ::PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(::WaitForSingleObject(process, 30000), WAIT_OBJECT_0);
    ::CloseHandle(process);
  }
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
  ExpectEachToEndWithExitCodeZero(processes);

  std::map<std::string, int> expected;
  for (const auto& line : Lines(ExpectedRows(GeneratedDrivers(kDrivers)))) expected[line] += kRuns;
  expected[std::string(kHeader, sizeof(kHeader) - 3)] += kRuns;

  std::map<std::string, int> found;
  std::string bytes = ReadFileBytes(log);
  ASSERT_EQ(bytes.rfind("\xEF\xBB\xBF", 0), 0u) << "a new log begins with the mark";
  bytes.erase(0, 3);
  EXPECT_EQ(bytes.find("\xEF\xBB\xBF"), std::string::npos) << "the mark goes in once";
  for (const auto& line : Lines(bytes)) found[line] += 1;
  EXPECT_EQ(found.size(), expected.size());
  EXPECT_TRUE(found == expected) << "lines were lost, split or interleaved";

  // Each run's header and rows arrive together: the log is the runs one after another.
  const std::string once = std::string(kHeader) + ExpectedRows(GeneratedDrivers(kDrivers));
  std::string runs;
  for (int i = 0; i < kRuns; ++i) runs += once;
  EXPECT_TRUE(bytes == runs) << "one run's rows were interleaved with another's";
}

// Fleet runs: "Kestrun @list [log]".

// An RFC 4180 reader, as Excel and Import-Csv read: records of fields, a field
// in double quotes may hold commas, line breaks and doubled quotes. Every
// record must end with CR LF; `wellFormed` says whether the text was sound.
std::vector<std::vector<std::string>> ReadCsv(const std::string& text, bool& wellFormed) {
  std::vector<std::vector<std::string>> records;
  wellFormed = true;
  size_t i = 0;
  while (i < text.size()) {
    std::vector<std::string> record;
    for (;;) {
      std::string field;
      if (i < text.size() && text[i] == '"') {
        for (++i;; ++i) {
          if (i >= text.size()) {
            wellFormed = false;
            break;
          }
          if (text[i] == '"') {
            if (i + 1 < text.size() && text[i + 1] == '"') {
              field += '"';
              ++i;
            } else {
              ++i;
              break;
            }
          } else {
            field += text[i];
          }
        }
      } else {
        while (i < text.size() && text[i] != ',' && text[i] != '\r' && text[i] != '\n' &&
               text[i] != '"') {
          field += text[i++];
        }
      }
      record.push_back(field);
      if (i < text.size() && text[i] == ',') {
        ++i;
        continue;
      }
      if (text.compare(i, 2, "\r\n") == 0) {
        i += 2;
      } else {
        wellFormed = false;  // a bare line break, a stray quote, or no line end at the end
        i = text.find("\r\n", i);
        i = i == std::string::npos ? text.size() : i + 2;
      }
      break;
    }
    records.push_back(record);
  }
  return records;
}

std::string Utf8(std::wstring_view text) {
  std::string bytes(text.size() * 4, '\0');
  bytes.resize(::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                     bytes.data(), static_cast<int>(bytes.size()), nullptr,
                                     nullptr));
  return bytes;
}

// A server's text as the fleet log keeps it: every character, control
// characters but CR and LF shown as "?".
std::string Kept(const wchar_t* text) {
  if (text == nullptr) return {};
  std::wstring kept = text;
  for (auto& c : kept) {
    if (c != L'\r' && c != L'\n') c = ShownCharacter(c);
  }
  return Utf8(kept);
}

// The records the fleet log must hold for a machine's drivers, in spooler order.
std::vector<std::vector<std::string>> ExpectedRecords(const std::string& machine,
                                                      const std::vector<FakeDriver>& fakes) {
  std::vector<BYTE> buffer(DriverBufferSize(fakes));
  PackDrivers(fakes, buffer.data());
  const auto* drivers = reinterpret_cast<const DRIVER_INFO_6*>(buffer.data());
  DriverInventory inventory;
  ResetInventory(inventory);
  std::vector<std::vector<std::string>> records;
  for (size_t i = 0; i < fakes.size(); ++i) {
    const DRIVER_INFO_6& d = drivers[i];
    const auto line = JoinDependentFiles(inventory, d.pDependentFiles);
    records.push_back({machine, Kept(d.pName), Kept(d.pszProvider), Kept(line.get()),
                       Kept(d.pEnvironment), Kept(d.pDriverPath), Kept(d.pDataFile),
                       Kept(d.pConfigFile), Kept(d.pHelpFile), Kept(d.pMonitorName),
                       Kept(d.pDefaultDataType), Kept(d.pszzPreviousNames), Kept(d.pszMfgName),
                       Kept(d.pszOEMUrl), Kept(d.pszHardwareID)});
    records.back().insert(records.back().end(),
                          {"0", Utf8(DriverVersionText(d.dwlDriverVersion)),
                           Utf8(DriverDateText(d.ftDriverDate, DateForm::Iso)),
                           Utf8(DriverTypeText(d.cVersion)), "No", ""});
  }
  return records;
}

// What a fleet machine of the test spooler serves: see fake_winspool_dll.cpp.
std::vector<FakeDriver> FleetDrivers(size_t generated = 0) {
  if (generated) return GeneratedDrivers(generated);
  std::vector<FakeDriver> drivers = SampleDrivers();
  drivers.push_back(TrickyDriver());
  return drivers;
}

std::wstring AnsweredLine(const std::wstring& machine, const std::vector<FakeDriver>& fakes) {
  std::vector<BYTE> buffer(DriverBufferSize(fakes));
  PackDrivers(fakes, buffer.data());
  const auto* drivers = reinterpret_cast<const DRIVER_INFO_6*>(buffer.data());
  size_t nonNative = 0;
  for (size_t i = 0; i < fakes.size(); ++i) nonNative += IsNonNativeDriver(drivers[i]) ? 1 : 0;
  // No printer of the test spooler's fleet uses a driver: every non-native one is unused.
  return L"] " + machine + L"  " + std::to_wstring(fakes.size()) + L" drivers (" +
         std::to_wstring(nonNative) + L" non-native, " + std::to_wstring(nonNative) + L" unused)";
}

const std::vector<std::string> kFleetHeader = {
    "Machine",           "Driver Name",  "Provider",           "Dependent Files(s)",
    "Environment",       "Driver Path",  "Data File",          "Configuration File(s)",
    "Help File",         "Monitor Name", "Default Data Types", "Previous Names",
    "Manufacturer Name", "OEM URL",      "Hardware ID",        "Printers",
    "Driver Version",    "Driver Date",  "Driver Type",        "Package-Aware",
    "Driver Package"};

// The log's records after its BOM and header, which it must hold once.
std::vector<std::vector<std::string>> FleetLogRecords(const std::wstring& log) {
  const std::string bytes = ReadFileBytes(log);
  EXPECT_EQ(bytes.rfind("\xEF\xBB\xBF", 0), 0u) << "the log starts with its BOM";
  bool wellFormed = false;
  auto records = ReadCsv(bytes.substr(bytes.rfind("\xEF\xBB\xBF", 0) == 0 ? 3 : 0), wellFormed);
  EXPECT_TRUE(wellFormed) << "the log does not read back as RFC 4180";
  EXPECT_EQ(bytes.find("\xEF\xBB\xBF", 3), std::string::npos) << "a second BOM";
  EXPECT_FALSE(records.empty());
  if (records.empty()) return records;
  EXPECT_EQ(records.front(), kFleetHeader);
  records.erase(records.begin());
  for (const auto& record : records) EXPECT_NE(record, kFleetHeader) << "a second header";
  return records;
}

// The log's records split into runs of one machine each, in file order.
std::vector<std::pair<std::string, std::vector<std::vector<std::string>>>> MachineRuns(
    const std::vector<std::vector<std::string>>& records) {
  std::vector<std::pair<std::string, std::vector<std::vector<std::string>>>> runs;
  for (const auto& record : records) {
    if (runs.empty() || runs.back().first != record[0]) runs.push_back({record[0], {}});
    runs.back().second.push_back(record);
  }
  return runs;
}

std::wstring WriteList(const std::wstring& path, const std::string& bytes) {
  WriteFileBytes(path, bytes);
  return path;
}

TEST(FleetReport, EveryMachineIsListedAndLoggedWhole_AFailedOneGivesExitCodeOne) {
  FakeSpoolerInstall install(L"fleet");
  const std::wstring list = WriteList(install.Folder() + L"\\my servers.txt",
                                      "\xEF\xBB\xBF# print servers\r\nALPHA\r\n\\\\BRAVO\r\n"
                                      "  CHARLIE \t\r\n\r\nDOWN\r\nalpha\r\n");
  const std::wstring log = install.Folder() + L"\\fleet log.csv";
  const std::wstring scenario = L"fleet:ALPHA,BRAVO*40,CHARLIE,DOWN!1722,ECHO";

  const ConsoleRun run = install.Run(L"\"@" + list + L"\" \"" + log + L"\"", scenario);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 1u);
  const std::wstring text = run.Text();
  EXPECT_EQ(text.rfind(L"Kestrun v1.2.1.5\n", 0), 0u) << text;
  for (const auto& [machine, fakes] : {std::pair{std::wstring(L"ALPHA"), FleetDrivers()},
                                       std::pair{std::wstring(L"BRAVO"), FleetDrivers(40)},
                                       std::pair{std::wstring(L"CHARLIE"), FleetDrivers()}}) {
    const std::wstring line = AnsweredLine(machine, fakes);
    EXPECT_NE(text.find(line + L"\n"), std::wstring::npos) << line << "\n" << text;
    EXPECT_EQ(run.ColourOf(line), kGreen) << line;
  }
  _DBGINFO reporter;
  std::wstring unavailable = reporter.GetErrorText(RPC_S_SERVER_UNAVAILABLE).text;
  while (!unavailable.empty() && iswspace(unavailable.back())) unavailable.pop_back();
  const std::wstring failedLine = L"] DOWN  failed: 1722 " + unavailable + L"\n";
  EXPECT_NE(text.find(failedLine), std::wstring::npos) << text;
  EXPECT_EQ(run.ColourOf(failedLine.substr(0, 14)), kRed);
  // One line per machine, numbered in finishing order.
  for (int k = 1; k <= 4; ++k) {
    EXPECT_NE(text.find(L"\n[" + std::to_wstring(k) + L"/4] "), std::wstring::npos) << k;
  }
  EXPECT_EQ(text.find(L"[5/"), std::wstring::npos);
  const std::wstring summary = L"Machines: 3 answered, 1 failed. Drivers: 52.";
  EXPECT_NE(text.find(L"\n\n" + summary), std::wstring::npos) << text;
  EXPECT_EQ(run.ColourOf(summary), kRed);

  // Each machine's rows together, every field intact; nothing for the failed one.
  auto runs = MachineRuns(FleetLogRecords(log));
  ASSERT_EQ(runs.size(), 3u);
  std::map<std::string, std::vector<std::vector<std::string>>> byMachine(runs.begin(), runs.end());
  EXPECT_EQ(byMachine["ALPHA"], ExpectedRecords("ALPHA", FleetDrivers()));
  EXPECT_EQ(byMachine["BRAVO"], ExpectedRecords("BRAVO", FleetDrivers(40)));
  EXPECT_EQ(byMachine["CHARLIE"], ExpectedRecords("CHARLIE", FleetDrivers()));
  EXPECT_EQ(byMachine["ALPHA"].back()[14], "line one\r\nline two");
  EXPECT_EQ(byMachine["ALPHA"].back()[1], "Quoted \"Laser\", 4200");

  // A second run appends its rows below, without a second BOM or header.
  const std::wstring second = WriteList(install.Folder() + L"\\second.txt", "ECHO\n");
  const ConsoleRun again = install.Run(L"@\"" + second + L"\"  " + log, scenario);
  EXPECT_EQ(again.exitCode, 0u);
  EXPECT_NE(again.Text().find(L"Machines: 1 answered, 0 failed. Drivers: 6."), std::wstring::npos)
      << again.Text();
  EXPECT_EQ(again.ColourOf(L"Machines: 1 answered"), kGreen);
  runs = MachineRuns(FleetLogRecords(log));
  ASSERT_EQ(runs.size(), 4u);
  EXPECT_EQ(runs.back().second, ExpectedRecords("ECHO", FleetDrivers()));
}

// This computer under several names is one machine: listed, logged and cleaned once,
// under its own name in the log.
TEST(FleetReport, ThisComputerUnderSeveralNamesIsOneMachineWorkedOnce) {
  FakeSpoolerInstall install(L"one-machine");
  wchar_t own[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  ASSERT_TRUE(::GetComputerNameW(own, &size));
  const std::string ownName(own, own + size);
  const std::wstring list =
      WriteList(install.Folder() + L"\\list.txt",
                ".\r\nlocalhost\r\nALPHA\r\n" + ownName + "\r\n\\\\127.0.0.1\r\n");
  const std::wstring log = install.Folder() + L"\\fleet.csv";
  const wchar_t* scenario = L"fleet:~0,ALPHA>1";  // ALPHA is shaped as real servers are
  const ConsoleRun run = install.Run(L"\"@" + list + L"\" \"" + log + L"\"", scenario);
  EXPECT_EQ(run.exitCode, 0u) << run.Text();
  EXPECT_NE(run.Text().find(L"localhost: same machine as .\n" + std::wstring(own) +
                            L": same machine as .\n127.0.0.1: same machine as .\n"),
            std::wstring::npos)
      << run.Text();
  EXPECT_NE(run.Text().find(L"Machines: 2 answered, 0 failed."), std::wstring::npos) << run.Text();
  std::set<std::string> logged;
  for (const auto& machineRun : MachineRuns(FleetLogRecords(log))) logged.insert(machineRun.first);
  EXPECT_EQ(logged, (std::set<std::string>{ownName, "ALPHA"}));

  // Deleted on the first pass and never again (no "unknown printer driver" later), exactly
  // the drivers its what-if planned.
  const std::wstring deleting = L"/delete /unused /nosnapshot \"@" + list + L"\"";
  const ConsoleRun plan = install.Run(deleting, scenario);
  const ConsoleRun cleanup = install.Run(L"/yes " + deleting, scenario);
  EXPECT_EQ(cleanup.exitCode, 0u) << cleanup.Text();
  EXPECT_NE(cleanup.Text().find(L"Machines: 2 cleaned, 0 failed."), std::wstring::npos)
      << cleanup.Text();
  const auto drivers = [](const std::wstring& text) {
    return std::wcstoul(text.c_str() + text.find(L". Drivers: ") + 11, nullptr, 10);
  };
  EXPECT_EQ(drivers(plan.Text()), drivers(cleanup.Text())) << plan.Text() << cleanup.Text();
  EXPECT_GT(drivers(cleanup.Text()), 0u);
}

TEST(CommandLineReport, ALogThatCannotBeWrittenIsNamedAndEndsTheRunWithExitCodeOne) {
  FakeSpoolerInstall install(L"full-disk");
  const std::wstring full = FakeBinDirectory() + L"\\full-disk.csv";
  const std::wstring list = WriteList(install.Folder() + L"\\list.txt", "ALPHA\r\nBRAVO\r\n");
  for (const auto& [arguments, scenario] :
       {std::pair<std::wstring, std::wstring>{L"PRINTSRV " + full, L"sample"},
        {L"@" + list + L" " + full, L"fleet:ALPHA,BRAVO"}}) {
    const ConsoleRun run = install.Run(arguments, scenario);
    const std::wstring text = run.Text();
    EXPECT_EQ(run.exitCode, 1u) << text;
    EXPECT_NE(text.find(L"Unable to write the log file " + full + L"\n112 "), std::wstring::npos)
        << text;
    EXPECT_EQ(run.ColourOf(L"Unable to write"), kRed);
    EXPECT_EQ(text.find(L"successfully written"), std::wstring::npos);
    EXPECT_EQ(text.find(L"answered"), std::wstring::npos) << "no machine is listed";
  }
}

TEST(FleetReport, ALogWithTheOlderColumnsIsNeverAppendedTo) {
  FakeSpoolerInstall install(L"fleet-older");
  const std::wstring list = WriteList(install.Folder() + L"\\list.txt", "ALPHA\r\n");
  const std::wstring log = install.Folder() + L"\\old fleet.csv";
  std::string older = "\xEF\xBB\xBF";
  for (size_t i = 0; i < 15; ++i) older += kFleetHeader[i] + (i < 14 ? "," : "\r\n");
  WriteFileBytes(log, older);
  const ConsoleRun run = install.Run(L"@" + list + L" \"" + log + L"\"", L"fleet:ALPHA");
  const std::wstring text = run.Text();
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_NE(text.find(L"The fleet log " + log + L" holds the older columns"), std::wstring::npos);
  EXPECT_EQ(text.find(L"ALPHA"), std::wstring::npos) << "nothing is listed";
  EXPECT_EQ(ReadFileBytes(log), older);
}

TEST(FleetReport, AListThatCannotBeReadIsNamedAndNothingIsListedOrLogged) {
  FakeSpoolerInstall install(L"fleet-list");
  const std::wstring log = install.Folder() + L"\\fleet.csv";
  _DBGINFO reporter;
  std::wstring notFound = reporter.GetErrorText(ERROR_FILE_NOT_FOUND).text;
  while (!notFound.empty() && iswspace(notFound.back())) notFound.pop_back();

  const std::wstring missing = install.Folder() + L"\\missing list.txt";
  const ConsoleRun run = install.Run(L"\"@" + missing + L"\" " + log, L"fleet:ALPHA");
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_NE(run.Text().find(L"Unable to read the machine list " + missing + L"\n2 " + notFound),
            std::wstring::npos)
      << run.Text();
  EXPECT_EQ(run.ColourOf(L"Unable to read"), kRed);
  EXPECT_EQ(run.Text().find(L"Kestrun v1.2.1.5"), std::wstring::npos);
  EXPECT_EQ(::GetFileAttributesW(log.c_str()), INVALID_FILE_ATTRIBUTES) << "no log is created";

  const std::wstring empty = WriteList(install.Folder() + L"\\empty.txt", "# nothing yet\r\n\r\n");
  const ConsoleRun none = install.Run(L"@" + empty + L" " + log, L"fleet:ALPHA");
  EXPECT_EQ(none.exitCode, 1u);
  EXPECT_NE(
      none.Text().find(L"Unable to read the machine list " + empty + L"\nIt names no machine."),
      std::wstring::npos)
      << none.Text();
  EXPECT_EQ(::GetFileAttributesW(log.c_str()), INVALID_FILE_ATTRIBUTES) << "no log is created";

  // A fleet log path that is not a csv path: said above the usage block.
  const ConsoleRun usage = install.Run(L"@" + empty + L" " + install.Folder() + L"\\fleet.txt");
  EXPECT_EQ(usage.exitCode, 2u);
  EXPECT_EQ(usage.Text().rfind(L"After the machine list only a .csv log may follow: " +
                                   install.Folder() + L"\\fleet.txt\n\nKestrun Help\n",
                               0),
            0u)
      << usage.Text();
}

TEST(FleetReport, ParallelFleetsIntoOneLogKeepEachMachinesRowsTogether) {
  FakeSpoolerInstall install(L"fleet-parallel");
  const std::wstring log = install.Folder() + L"\\fleet.csv";
  constexpr int kRuns = 4;
  constexpr size_t kDrivers = 300;  // each machine's rows are several times 64 KiB
  std::wstring scenario = L"fleet:";
  std::vector<std::wstring> lists;
  for (int run = 1; run <= kRuns; ++run) {
    std::string names;
    for (const char* machine : {"A", "B", "C"}) {
      std::string name = "P";
      name += std::to_string(run);
      name += machine;
      names += name + "\r\n";
      scenario += std::wstring(name.begin(), name.end()) + L"*" + std::to_wstring(kDrivers) + L",";
    }
    lists.push_back(
        WriteList(install.Folder() + L"\\list" + std::to_wstring(run) + L".txt", names));
  }
  DetachConsole();  // nobody watches these runs: their console writes fail at once
  std::vector<HANDLE> processes;
  for (const auto& list : lists) {
    processes.push_back(StartProcess(L"\"" + install.Exe() + L"\" @" + list + L" " + log,
                                     install.Scenario(scenario)));
    ASSERT_NE(processes.back(), nullptr);
  }
  ExpectEachToEndWithExitCodeZero(processes);

  const auto runs = MachineRuns(FleetLogRecords(log));
  EXPECT_EQ(runs.size(), 3u * kRuns) << "a machine's rows were split up";
  std::map<std::string, int> seen;
  for (const auto& [machine, records] : runs) {
    ++seen[machine];
    EXPECT_TRUE(records == ExpectedRecords(machine, GeneratedDrivers(kDrivers))) << machine;
  }
  EXPECT_EQ(seen.size(), 3u * kRuns);
}

BOOL WINAPI IgnoreCtrlC(DWORD type) { return type == CTRL_C_EVENT; }

TEST(FleetReport, CtrlCEndsTheRunCleanlyAndKeepsTheWrittenMachinesWhole) {
  FakeSpoolerInstall install(L"fleet-ctrl-c");
  const std::wstring list =
      WriteList(install.Folder() + L"\\list.txt", "FAST1\r\nSLOW\r\nFAST2\r\n");
  const std::wstring log = install.Folder() + L"\\fleet.csv";
  HANDLE process = StartInConsole(L"\"" + install.Exe() + L"\" @" + list + L" " + log,
                                  install.Scenario(L"fleet:FAST1*200,SLOW~60000,FAST2*200"));
  ASSERT_NE(process, nullptr);
  // Both fast machines written; the slow one is inside its spooler call.
  const ULONGLONG deadline = ::GetTickCount64() + 30000;
  size_t rows = 0;
  while (::GetTickCount64() < deadline && rows < 400) {
    bool wellFormed = false;
    const std::string bytes = ReadFileBytes(log);
    rows = bytes.size() > 3 ? ReadCsv(bytes.substr(3), wellFormed).size() - 1 : 0;
    ::Sleep(50);
  }
  ASSERT_EQ(rows, 400u);

  ::SetConsoleCtrlHandler(IgnoreCtrlC, TRUE);  // the test shares the console
  const ULONGLONG pressed = ::GetTickCount64();
  ::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
  const ConsoleRun run = FinishInConsole(process, 20000);
  ::SetConsoleCtrlHandler(IgnoreCtrlC, FALSE);
  ASSERT_TRUE(run.finished) << "Ctrl+C did not end the run";
  EXPECT_LT(::GetTickCount64() - pressed, 10000u);
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_NE(run.Text().find(L"Machines: 2 answered, 0 failed, 1 not finished. Drivers: 400."),
            std::wstring::npos)
      << run.Text();
  EXPECT_EQ(run.Text().find(L"SLOW"), std::wstring::npos);

  const auto runs = MachineRuns(FleetLogRecords(log));
  ASSERT_EQ(runs.size(), 2u);
  for (const auto& [machine, records] : runs) {
    EXPECT_TRUE(records == ExpectedRecords(machine, GeneratedDrivers(200))) << machine;
  }
}

TEST(FleetReport, AMachinePastItsTimeLimitFailsAndNothingOfItIsLoggedThenOrLater) {
  FakeSpoolerInstall install(L"fleet-time-limit");
  const std::wstring list =
      WriteList(install.Folder() + L"\\list.txt", "ALPHA\r\nHUNG\r\nCHARLIE\r\n");
  const std::wstring log = install.Folder() + L"\\fleet.csv";
  const std::wstring scenario = L"fleet:ALPHA,HUNG~60000,CHARLIE";
  const ULONGLONG start = ::GetTickCount64();
  const ConsoleRun run = install.Run(L"/timeout:2 @" + list + L" " + log, scenario);
  ASSERT_TRUE(run.finished) << "the hung machine held the run";
  EXPECT_LT(::GetTickCount64() - start, 15000u);
  EXPECT_EQ(run.exitCode, 1u);
  const std::wstring late = L"] HUNG  failed: no answer within 2 s\n";
  EXPECT_NE(run.Text().find(late), std::wstring::npos) << run.Text();
  EXPECT_EQ(run.ColourOf(L"HUNG  failed"), kRed);
  EXPECT_NE(run.Text().find(L"Machines: 2 answered, 1 failed. Drivers: 12."), std::wstring::npos);
  const auto runs = MachineRuns(FleetLogRecords(log));
  ASSERT_EQ(runs.size(), 2u);
  for (const auto& [machine, records] : runs) {
    EXPECT_TRUE(records == ExpectedRecords(machine, FleetDrivers())) << machine;
  }

  // The single-machine report keeps the same limit.
  const std::wstring single = install.Folder() + L"\\single.csv";
  const ConsoleRun one = install.Run(L"/timeout:2 HUNG " + single, scenario);
  ASSERT_TRUE(one.finished);
  EXPECT_EQ(one.exitCode, 1u);
  EXPECT_NE(one.Text().find(L"from: HUNG\nno answer within 2 s\n"), std::wstring::npos)
      << one.Text();
  EXPECT_EQ(ReadFileBytes(single), "");
}

TEST(WindowMode, AWindowClosedDuringAListingThatHangsEndsItsProcessWithinTwoSeconds) {
  FakeSpoolerInstall install(L"window-hung");
  HANDLE process = StartProcess(L"\"" + install.Exe() + L"\"", install.Scenario(L"fleet:~60000"));
  ASSERT_NE(process, nullptr);
  const HWND window = WaitForWindow(L"Win32Obj", L"Kestrun", 30000);
  EXPECT_TRUE(PumpUntil([&] { return ::FindWindowExW(window, nullptr, L"Button", L"Cancel"); }));
  PumpUntil([] { return false; }, 500);  // the listing is inside its spooler call
  ::PostMessageW(window, WM_CLOSE, 0, 0);
  const ULONGLONG closed = ::GetTickCount64();
  EXPECT_EQ(::WaitForSingleObject(process, 30000), WAIT_OBJECT_0);
  EXPECT_LT(::GetTickCount64() - closed, 2000u);
  ::CloseHandle(process);
}

// Run inside a pseudo-terminal (tests/e2e/terminal_e2e_test.sh): the shipped
// report's characters and colours as they reach the terminal.
// Clean-up runs: "Kestrun /delete ...".

TEST(CleanupReport, AWhatIfRunChangesNothingAndLogsThePlan) {
  FakeSpoolerInstall install(L"cleanup-whatif");
  const std::wstring list = WriteList(install.Folder() + L"\\servers.txt", "ALPHA\r\nBRAVO\r\n");
  const std::wstring log = install.Folder() + L"\\actions.csv";
  WriteFileBytes(log, "\xEF\xBB\xBF");  // saved empty by an editor: the header follows its BOM
  const std::wstring calls = install.Folder() + L"\\calls.txt";
  Environment scenario = install.Scenario(L"fleet:ALPHA+,BRAVO");
  scenario.push_back({L"KESTRUN_FAKE_SPOOLER_CALLS", calls});
  // Norvex makes the system's drivers: its driver goes only by its exact name.
  const std::wstring arguments =
      L"/delete /driver:norvex* /driver:\"Norvex Universal Print "
      L"Class Driver\" /driver:\"Contoso LaserJet*\" "
      L"/environment:\"Windows x64\" \"@" +
      list + L"\" \"" + log + L"\"";
  ConsoleRun run = RunInConsole(L"\"" + install.Exe() + L"\" " + arguments, scenario);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0u);
  const std::wstring text = run.Text();
  for (const wchar_t* line : {
           L"  Kept: \"Norvex Universal Print Class Driver\" (Windows x64): used by "
           L"\\\\ALPHA\\Front Desk, \\\\ALPHA\\Back Office (add /printers to delete them too)\n",
           L"  Kept: \"Contoso LaserJet 4200 PCL6\" (Windows x64): used by \\\\ALPHA\\Office "
           L"Laser (add /printers to delete them too)\n",
           L"] ALPHA  0 drivers to delete, 2 kept\n",
           L"  What if: delete driver \"Contoso LaserJet 4200 PCL6\" (Windows x64, ",
           L"] BRAVO  2 drivers to delete\n",
           L"Machines: 2 planned. Drivers: 2 to delete, 2 kept. Printers: 0 to delete. "
           L"Packages: 0 to remove, 0 kept.\nNothing was changed: add /yes to do it.\n",
       }) {
    EXPECT_NE(text.find(line), std::wstring::npos) << std::wstring(line) << "\n" << text;
  }
  // With /printers the printers go first, in the plan.
  run = RunInConsole(
      L"\"" + install.Exe() +
          L"\" /delete /printers \"/driver:norvex universal print class driver\" ALPHA \"" + log +
          L"\"",
      scenario);
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_NE(
      run.Text().find(L"  What if: delete printer \"\\\\ALPHA\\Front Desk\" (Norvex Universal "
                      L"Print Class Driver)\n  What if: delete printer \"\\\\ALPHA\\Back Office\""),
      std::wstring::npos)
      << run.Text();
  EXPECT_EQ(ReadFileBytes(calls), "") << "a what-if run deleted something";

  // One header, then each machine's rows together, every action planned.
  const std::string bytes = ReadFileBytes(log);
  bool wellFormed = false;
  ASSERT_EQ(bytes.rfind("\xEF\xBB\xBF", 0), 0u);
  const auto records = ReadCsv(bytes.substr(3), wellFormed);
  EXPECT_TRUE(wellFormed);
  ASSERT_EQ(records.size(), 1u + 4 + 3);
  EXPECT_EQ(records[0],
            (std::vector<std::string>{"Time", "Machine", "Action", "Kind", "Name", "Environment",
                                      "Driver Version", "Code", "Reason", "Size"}));
  std::map<std::string, int> actions;
  for (size_t r = 1; r < records.size(); ++r) {
    ASSERT_EQ(records[r].size(), 10u);
    EXPECT_EQ(records[r][0].size(), 20u) << records[r][0];  // 2026-12-09T03:15:42Z
    ++actions[records[r][1] + " " + records[r][2] + " " + records[r][3]];
  }
  EXPECT_EQ(actions, (std::map<std::string, int>{{"ALPHA kept driver", 2},
                                                 {"BRAVO would delete driver", 2},
                                                 {"ALPHA would delete printer", 2},
                                                 {"ALPHA would delete driver", 1}}));

  // A file with another header is refused before anything is listed.
  const std::wstring other = install.Folder() + L"\\other.csv";
  WriteFileBytes(other, "Name,Value\r\n");
  run = RunInConsole(L"\"" + install.Exe() + L"\" /delete /unused ALPHA " + other, scenario);
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_NE(run.Text().find(L"is not an action log"), std::wstring::npos) << run.Text();
  EXPECT_EQ(ReadFileBytes(other), "Name,Value\r\n");
}

TEST(CleanupReport, AYesRunDoesExactlyThePlanAndLogsWhatTheSpoolerDid) {
  FakeSpoolerInstall install(L"cleanup-yes");
  const std::wstring list = WriteList(install.Folder() + L"\\servers.txt", "ALPHA\r\nBRAVO\r\n");
  const std::wstring log = install.Folder() + L"\\actions.csv";
  const std::wstring calls = install.Folder() + L"\\calls.txt";
  Environment scenario = install.Scenario(L"fleet:ALPHA+,BRAVO#3001");
  scenario.push_back({L"KESTRUN_FAKE_SPOOLER_CALLS", calls});
  const ConsoleRun run =
      RunInConsole(L"\"" + install.Exe() +
                       L"\" /delete /yes /printers /driver:\"Contoso LaserJet*\" "
                       L"/driver:fabrikam* @" +
                       list + L" " + log,
                   scenario);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 1u) << "a driver stayed";
  const std::wstring text = run.Text();
  for (const wchar_t* line : {
           L"  Deleted printer \"\\\\ALPHA\\Office Laser\" (Contoso LaserJet 4200 PCL6)\n"
           L"  Deleted driver \"Contoso LaserJet 4200 PCL6\" (Windows x64, ",
           L"  Failed: driver \"Contoso LaserJet 4200 PCL6\" (Windows x64): 3001 ",
           L"] ALPHA  2 drivers deleted\n",
           L"] BRAVO  1 driver deleted, 1 failed\n",
           L"Machines: 1 cleaned, 1 failed. Drivers: 3 deleted, 0 kept, 1 failed. Printers: 1 "
           L"deleted. Packages: 0 removed, 0 kept.",
       }) {
    EXPECT_NE(text.find(line), std::wstring::npos) << std::wstring(line) << "\n" << text;
  }
  // Every deleted or failed row is one call the spooler saw, with its outcome.
  const std::string journal = ReadFileBytes(calls);
  bool wellFormed = false;
  const auto records = ReadCsv(ReadFileBytes(log).substr(3), wellFormed);
  size_t acted = 0;
  for (const auto& record : records) {
    if (record[2] != "deleted" && record[2] != "failed") continue;
    ++acted;
    const std::string name = record[4].substr(record[4].rfind('\\') + 1);
    const std::string call =
        (record[3] == "printer" ? "DeletePrinter " + name
                                : "\\\\" + record[1] + " " + record[5] + " " + name) +
        " -> " + record[7] + "\r\n";
    EXPECT_NE(journal.find(call), std::string::npos) << call << journal;
  }
  EXPECT_EQ(acted, 5u);
  EXPECT_EQ(Lines(journal).size(), acted) << journal;
}

TEST(CleanupReport, EachRowGoesAsOneVersionAndThisMachineIsCleanedByItsName) {
  FakeSpoolerInstall install(L"cleanup-versions");
  const std::wstring calls = install.Folder() + L"\\calls.txt";
  // This machine's spooler holds the Fabrikam x86 driver as Type 3 and as Type 2.
  Environment scenario = install.Scenario(L"fleet:&");
  scenario.push_back({L"KESTRUN_FAKE_SPOOLER_CALLS", calls});
  const ConsoleRun run =
      RunInConsole(L"\"" + install.Exe() + L"\" /delete /yes /driver:fabrikam* localhost", scenario);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0u) << run.Text();
  EXPECT_NE(run.Text().find(L"] localhost  2 drivers deleted\n"), std::wstring::npos) << run.Text();
  // Asked of the local spooler, each version by itself: neither takes the other along.
  const std::string journal = ReadFileBytes(calls);
  for (const char* call : {"DeletePrinterDriverEx version=3  Windows NT x86 Fabrikam",
                           "DeletePrinterDriverEx version=2  Windows NT x86 Fabrikam"}) {
    EXPECT_NE(journal.find(call), std::string::npos) << call << "\n" << journal;
  }
  EXPECT_EQ(journal.find(" -> 1797"), std::string::npos) << journal;
}

TEST(CleanupReport, PackagesThatCannotBeReadFailTheMachineBeforeAnyDeletion) {
  FakeSpoolerInstall install(L"cleanup-packages-unread");
  const std::wstring calls = install.Folder() + L"\\calls.txt";
  Environment scenario = install.Scenario(L"fleet:ALPHA$5");
  scenario.push_back({L"KESTRUN_FAKE_SPOOLER_CALLS", calls});
  const ConsoleRun run = RunInConsole(
      L"\"" + install.Exe() + L"\" /delete /yes /packages /driver:fabrikam* ALPHA", scenario);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_NE(run.Text().find(L"] ALPHA  failed: the driver packages could not be read: 5 "),
            std::wstring::npos)
      << run.Text();
  EXPECT_NE(run.Text().find(L"Machines: 0 cleaned, 1 failed."), std::wstring::npos) << run.Text();
  EXPECT_EQ(ReadFileBytes(calls), "") << "something was deleted";
}

TEST(CleanupReport, NothingIsDeletedWithoutASnapshotAndTheSnapshotNamesItsRestore) {
  FakeSpoolerInstall install(L"cleanup-snapshot");
  const std::wstring calls = install.Folder() + L"\\calls.txt";
  Environment scenario = install.Scenario(L"fleet:ALPHA");
  scenario.push_back({L"KESTRUN_FAKE_SPOOLER_CALLS", calls});
  const std::wstring delete_ = L"\"" + install.Exe() + L"\" /delete /yes /driver:fabrikam* ";
  // A file stands where the snapshots would go: nothing is deleted.
  const std::wstring blocked = install.Folder() + L"\\a file";
  WriteFileBytes(blocked, "not a folder");
  ConsoleRun run = RunInConsole(delete_ + L"\"/snapshots:" + blocked + L"\" ALPHA", scenario);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_NE(run.Text().find(L"] ALPHA  failed: the snapshot could not be saved: its folder below "),
            std::wstring::npos)
      << run.Text();
  EXPECT_EQ(ReadFileBytes(calls), "") << "something was deleted";

  // Saved: the lines and the log name the folder and the command that puts it back.
  const std::wstring root = install.Folder() + L"\\snap shots";
  const std::wstring log = install.Folder() + L"\\actions.csv";
  run = RunInConsole(delete_ + L"/snapshots:\"" + root + L"\" ALPHA \"" + log + L"\"", scenario);
  EXPECT_EQ(run.exitCode, 0u) << run.Text();
  bool wellFormed = false;
  const auto records = ReadCsv(ReadFileBytes(log).substr(3), wellFormed);
  ASSERT_GE(records.size(), 3u);
  EXPECT_EQ(records[1][2] + " " + records[1][3], "saved snapshot") << "saved before the first step";
  const std::string saved = records[1][4];
  const std::wstring folder(saved.begin(), saved.end());  // the test's paths are ASCII
  EXPECT_EQ(folder.rfind(root + L"\\ALPHA\\", 0), 0u) << folder;
  EXPECT_EQ(records[1][8], "Kestrun /restore /yes \"" + saved + "\"");
  EXPECT_NE(run.Text().find(L"  Saved in "), std::wstring::npos) << run.Text();

  // Another process's spooler has the driver again: a restore keeps it as it is.
  run = RunInConsole(L"\"" + install.Exe() + L"\" /restore \"" + folder + L"\"", scenario);
  EXPECT_EQ(run.exitCode, 0u) << run.Text();
  EXPECT_NE(run.Text().find(L"  Kept: driver \"Fabrikam Imagewriter \u00c9lite \u4e2d\" (Windows NT x86, "
                            L"10.0.0.1): already there\n"),
            std::wstring::npos)
      << run.Text();
  // A manifest changed by hand is refused before anything is listed.
  std::string manifest = ReadFileBytes(folder + L"\\manifest.txt");
  char& digit = manifest[manifest.find("sha256=") + 7];
  digit = digit == '0' ? '1' : '0';
  WriteFileBytes(folder + L"\\manifest.txt", manifest);
  run = RunInConsole(L"\"" + install.Exe() + L"\" /restore /yes \"" + folder + L"\"", scenario);
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_NE(run.Text().find(L"cannot be restored:\nline 4: the file drivers\\"), std::wstring::npos)
      << run.Text();
}

TEST(CleanupReport, OrphansRemovesOnlyTheStoresUnusedPackageAfterSavingItsFolder) {
  FakeSpoolerInstall install(L"cleanup-orphans");
  const Environment scenario = install.Scenario(L"fleet:ORPHANS=");
  const std::string printer = "[Version]\r\nClass=Printer\r\n";
  FakeSpooler::AddStorePackage(L"\\\\ORPHANS", L"contoso.inf_amd64_0a1b", printer, 1, 10);
  FakeSpooler::AddStorePackage(L"\\\\ORPHANS", L"ntprint.inf_amd64_9f", printer, 1, 10);
  FakeSpooler::AddStorePackage(L"\\\\ORPHANS", L"net.inf_amd64_5", "[Version]\nClass=Net\n");
  const std::string inf =
      printer + "Provider=%HP%\r\nDriverVer=03/12/2019,61.4.0.0\r\n[Strings]\r\nHP=\"HP\"\r\n";
  FakeSpooler::AddStorePackage(L"\\\\ORPHANS", L"hpcu215u.inf_amd64_77aa", inf, 3, 100000);
  const std::wstring log = install.Folder() + L"\\actions.csv";
  const std::wstring orphans = L"\"" + install.Exe() + L"\" /delete /orphans ";
  ConsoleRun run = RunInConsole(orphans + L"ORPHANS \"" + log + L"\"", scenario);
  EXPECT_EQ(run.exitCode, 0u) << run.Text();
  for (const wchar_t* line :
       {L"  What if: remove package \"hpcu215u.inf\" (Windows x64, 61.4.0.0, 2019-03-12, 293 KB): "
        L"no driver uses it\n",
        L"] ORPHANS  1 unused package, 293 KB to remove\n"}) {
    EXPECT_NE(run.Text().find(line), std::wstring::npos) << std::wstring(line) << run.Text();
  }
  bool wellFormed = false;
  const auto records = ReadCsv(ReadFileBytes(log).substr(3), wellFormed);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1],
            (std::vector<std::string>{records[1][0], "ORPHANS", "would remove", "package",
                                      "hpcu215u.inf", "Windows x64", "61.4.0.0", "0",
                                      "no driver uses it", std::to_string(300000 + inf.size())}));

  const std::wstring root = install.Folder() + L"\\snapshots";
  run = RunInConsole(orphans + L"/yes \"/snapshots:" + root + L"\" ORPHANS", scenario);
  EXPECT_EQ(run.exitCode, 0u) << run.Text();
  EXPECT_NE(run.Text().find(L"] ORPHANS  1 unused package, 293 KB removed\n"), std::wstring::npos)
      << run.Text();
  const std::wstring store = FakeSpooler::MachineShare(L"\\\\ORPHANS", L"admin$") +
                             L"\\System32\\DriverStore\\FileRepository\\";
  EXPECT_EQ(::GetFileAttributesW((store + L"hpcu215u.inf_amd64_77aa").c_str()),
            INVALID_FILE_ATTRIBUTES);
  for (const wchar_t* kept :
       {L"contoso.inf_amd64_0a1b", L"ntprint.inf_amd64_9f", L"net.inf_amd64_5"}) {
    EXPECT_NE(::GetFileAttributesW((store + kept).c_str()), INVALID_FILE_ATTRIBUTES) << kept;
  }
  const size_t saved = run.Text().find(L"  Saved in ");
  ASSERT_NE(saved, std::wstring::npos) << run.Text();
  const std::wstring folder =
      run.Text().substr(saved + 11, run.Text().find(L": Kestrun", saved) - saved - 11);
  EXPECT_EQ(ReadFileBytes(folder + L"\\packages\\0\\hpcu215u.inf_amd64_77aa\\file2.dll"),
            std::string(100000, 'x'));

  // Put back: the package is uploaded again from the snapshot.
  run = RunInConsole(L"\"" + install.Exe() + L"\" /restore /yes \"" + folder + L"\"", scenario);
  EXPECT_EQ(run.exitCode, 0u) << run.Text();
  EXPECT_NE(run.Text().find(L"Restored package"), std::wstring::npos) << run.Text();
}

TEST(CleanupReport, OrphansJudgesEachPackageAloneAndGoesOnPastOneGoneSinceTheListing) {
  FakeSpoolerInstall install(L"cleanup-odd-store");
  const std::string printer = "[Version]\r\nClass=Printer\r\nDriverVer=03/12/2019,1.0.0.0\r\n";
  for (const wchar_t* folder :
       {L"deep.inf_amd64_1", L"gone.inf_amd64_2", L"noarch.inf_c3", L"stay.inf_amd64_3"}) {
    FakeSpooler::AddStorePackage(L"\\\\ODD", folder, printer, 1, 10);
  }
  const std::wstring store = FakeSpooler::MachineShare(L"\\\\ODD", L"admin$") +
                             L"\\System32\\DriverStore\\FileRepository\\";
  std::wstring deep = store + L"deep.inf_amd64_1";
  for (int level = 0; level < 20; ++level) ::CreateDirectoryW((deep += L"\\d").c_str(), nullptr);
  const ConsoleRun run =
      RunInConsole(L"\"" + install.Exe() + L"\" /delete /orphans /yes \"/snapshots:" +
                       install.Folder() + L"\\snapshots\" ODD",
                   install.Scenario(L"fleet:ODD?"));
  EXPECT_EQ(run.exitCode, 0u) << run.Text();
  for (const wchar_t* line :
       {L"  Removed package \"stay.inf\" (Windows x64, 1.0.0.0, 2019-03-12, ",
        L"  Already gone: package \"gone.inf\" (Windows x64, 1.0.0.0, 2019-03-12, ",
        L"  Not judged: package \"deep.inf\": its folders nest deeper than 16\n",
        L"  Not judged: package \"noarch.inf\": unknown architecture\n",
        L"] ODD  1 unused package, 66 bytes removed, 2 packages not judged\n"}) {
    EXPECT_NE(run.Text().find(line), std::wstring::npos) << std::wstring(line) << run.Text();
  }
  EXPECT_EQ(::GetFileAttributesW((store + L"stay.inf_amd64_3").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_NE(::GetFileAttributesW((store + L"noarch.inf_c3").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(CopyReport, ACopyMakesTheTargetsPortsDriversAndPrintersAndLeavesTheSourceAsItWas) {
  FakeSpoolerInstall install(L"copy");
  const std::wstring calls = install.Folder() + L"\\calls.txt";
  Environment scenario = install.Scenario(L"fleet:OLDSRV%,NEWSRV*0");
  scenario.push_back({L"KESTRUN_FAKE_SPOOLER_CALLS", calls});
  const std::wstring log = install.Folder() + L"\\copy.csv";
  const std::wstring copy = L"\"" + install.Exe() + L"\" /copy ";
  ConsoleRun run = RunInConsole(copy + L"OLDSRV NEWSRV \"" + log + L"\"", scenario);
  EXPECT_EQ(run.exitCode, 1u) << "three printers cannot be copied";
  for (const wchar_t* line : {
           L"  What if: copy printer \"HR Laser\" (Contoso LaserJet 4200 PCL6, port IP_10.1.2.3) "
           L"to NEWSRV\n  What if: copy driver \"Contoso LaserJet 4200 PCL6\" (Windows x64, ",
           L"  What if: copy port \"IP_10.1.2.3\"\n",
           L"  Not copied: printer \"Lobby\" (Microsoft IPP Class Driver, port WSD-7f3a): WSD "
           L"port: add the device on the new server\n",
           L"  Not copied: printer \"Front Desk\" (Norvex Universal Print Class Driver, port "
           L"LPT1:): port LPT1: (Local): add it on the new server\n",
           L"] OLDSRV  1 printer to copy, 3 not copied\n",
       }) {
    EXPECT_NE(run.Text().find(line), std::wstring::npos) << std::wstring(line) << run.Text();
  }
  EXPECT_EQ(ReadFileBytes(calls), "") << "a what-if run changed something";
  bool wellFormed = false;
  auto records = ReadCsv(ReadFileBytes(log).substr(3), wellFormed);
  ASSERT_GE(records.size(), 2u);
  EXPECT_EQ(records[0],
            (std::vector<std::string>{"Time", "Source", "Machine", "Action", "Kind", "Name",
                                      "Environment", "Driver Version", "Code", "Reason", "Size"}));
  EXPECT_EQ(records[1][1] + " " + records[1][2] + " " + records[1][3] + " " + records[1][5],
            "OLDSRV NEWSRV would copy HR Laser");

  // With /yes: the port with its settings, the driver, then the printer whole.
  run = RunInConsole(
      copy + L"/yes /printer:hr* \"/snapshots:" + install.Folder() + L"\\snaps\" OLDSRV NEWSRV",
      scenario);
  EXPECT_EQ(run.exitCode, 0u) << run.Text();
  EXPECT_NE(run.Text().find(L"  Copied printer \"HR Laser\""), std::wstring::npos) << run.Text();
  const std::string journal = ReadFileBytes(calls);
  EXPECT_EQ(journal.find("UploadPrinterDriverPackage"), std::string::npos) << "no package here";
  for (const char* call :
       {"AddPrinterDriverEx \\\\NEWSRV Windows x64 Contoso LaserJet 4200 PCL6 -> 0",
        "AddPort IP_10.1.2.3 host=10.1.2.3 protocol=1 port=9100 queue= bytes=0 snmp=1 "
        "community=public index=1 -> 0",
        "AddPrinter HR Laser port=IP_10.1.2.3 driver=Contoso LaserJet 4200 PCL6 share=HRLaser "
        "location=Building 1, floor 2 -> 0"}) {
    EXPECT_NE(journal.find(call), std::string::npos) << call << "\n" << journal;
  }
  EXPECT_EQ(journal.find("OLDSRV"), std::string::npos) << "the source was changed: " << journal;
  EXPECT_EQ(journal.find("Delete"), std::string::npos) << journal;
}

// The lines of a copy that say what becomes of an object, the verb made one:
// a what-if's "What if: copy X to NEWSRV" and a run's "Copied X" read "X".
std::vector<std::wstring> CopyObjectLines(const std::wstring& text) {
  std::vector<std::wstring> lines;
  std::wistringstream in(text);
  for (std::wstring line; std::getline(in, line);) {
    for (const std::wstring verb : {L"  What if: copy ", L"  Copied ", L"  Not copied: "}) {
      if (line.rfind(verb, 0) != 0) continue;
      line = line.substr(verb[2] == L'N' ? 2 : verb.size());
      if (line.size() > 10 && line.substr(line.size() - 10) == L" to NEWSRV") {
        line.resize(line.size() - 10);
      }
      lines.push_back(line);
    }
  }
  return lines;
}

// OLDSRV a print server as real ones are, its packages in its store, with
// the other machines given; the calls that change a machine go to `calls`.
Environment RealServerScenario(const FakeSpoolerInstall& install, const std::wstring& machines,
                               const std::wstring& calls) {
  for (const wchar_t* folder :
       {L"acme.inf_amd64_4f1c2b7d9e0a3c61", L"acme.inf_x86_8d2e6a1f0b9c7e43"}) {
    FakeSpooler::AddStorePackage(L"\\\\OLDSRV", folder, "[Version]\r\nClass=Printer\r\n", 2, 100);
  }
  Environment scenario = install.Scenario(L"fleet:OLDSRV>" + machines);
  scenario.push_back({L"KESTRUN_FAKE_SPOOLER_CALLS", calls});
  return scenario;
}

TEST(CopyReport, ARealPrintServerIsCopiedExactlyAsItsWhatIfSaid) {
  FakeSpoolerInstall install(L"copy-real");
  const std::wstring calls = install.Folder() + L"\\calls.txt";
  Environment scenario = RealServerScenario(install, L"0,NEWSRV*0", calls);
  const std::wstring copy = L"\"" + install.Exe() + L"\" /copy ";
  const std::wstring snapshots = L" \"/snapshots:" + install.Folder() + L"\\snaps\" ";
  ConsoleRun plan = RunInConsole(copy + snapshots + L"OLDSRV NEWSRV", scenario);
  EXPECT_EQ(plan.exitCode, 1u) << "Lobby cannot be copied";
  EXPECT_EQ(ReadFileBytes(calls), "") << "a what-if run changed something";
  const std::vector<std::wstring> planned = CopyObjectLines(plan.Text());
  EXPECT_EQ(
      planned,
      (std::vector<std::wstring>{
          L"printer \"HR Laser\" (Acme PCL6, port IP_10.1.2.3)",
          L"driver \"Acme PCL6\" (Windows x64, 10.0.0.1)", L"package \"acme.inf\" (Windows x64)",
          L"driver \"Acme PCL6\" (Windows NT x86, 10.0.0.1)",
          L"package \"acme.inf\" (Windows NT x86)", L"port \"IP_10.1.2.3\"",
          L"printer \"Finance Pool\" (Acme PS, port IP_10.1.2.3,IP_10.1.2.4)",
          L"driver \"Acme PS\" (Windows x64, 10.0.0.1)",
          L"driver \"Acme PS\" (Windows NT x86, 10.0.0.1)", L"port \"IP_10.1.2.4\"",
          L"printer \"Plotter\" (Acme PCL6, port 10.1.2.5)", L"port \"10.1.2.5\"",
          L"Not copied: printer \"Lobby\" (Microsoft IPP Class Driver, port WSD-7f3a): WSD "
          L"port: add the device on the new server"}))
      << plan.Text();

  // The run does exactly that, line for line, and makes exactly those objects.
  ConsoleRun run = RunInConsole(copy + L"/yes" + snapshots + L"OLDSRV NEWSRV", scenario);
  EXPECT_EQ(run.exitCode, 1u) << run.Text();
  EXPECT_EQ(CopyObjectLines(run.Text()), planned) << run.Text();
  size_t made = 0;  // calls that made something on the target: AddPort, AddPrinter, ...
  for (const std::string& line : Lines(ReadFileBytes(calls))) {
    made +=
        line.rfind("Add", 0) == 0 || line.rfind("Upload", 0) == 0 || line.rfind("Install", 0) == 0;
  }
  EXPECT_EQ(made, planned.size() - 1) << ReadFileBytes(calls);
  for (const char* call :
       {"UploadPrinterDriverPackage \\\\NEWSRV Windows x64 -> 0",
        "InstallPrinterDriverFromPackage \\\\NEWSRV Windows NT x86 Acme PS -> 0",
        "AddPort IP_10.1.2.4 host=10.1.2.4 protocol=2 port=515 queue=lp bytes=1 snmp=1 "
        "community=public index=1 -> 0",
        "AddPort 10.1.2.5 host=10.1.2.5 protocol=2 port=5515 queue=PASSTHRU bytes=1 snmp=1 "
        "community=public index=1 -> 0",
        "AddPrinter Finance Pool port=IP_10.1.2.3,IP_10.1.2.4 driver=Acme PS share=FinPool "
        "location=Building 1 -> 0"}) {
    EXPECT_NE(ReadFileBytes(calls).find(call), std::string::npos) << call << "\n"
                                                                  << ReadFileBytes(calls);
  }
  EXPECT_EQ(ReadFileBytes(calls).find("OLDSRV"), std::string::npos) << "the source was changed";

  // A list: the second server is planned against the target as the first
  // leaves it, the target inside the list and a gone server fail with a row.
  const std::wstring list = install.Folder() + L"\\servers.txt";
  const std::wstring log = install.Folder() + L"\\copy.csv";
  WriteFileBytes(list, "OLDSRV\r\nOLD2SRV\r\nnewsrv\r\nGONE\r\n");
  scenario = install.Scenario(L"fleet:OLDSRV>0,OLD2SRV>0,NEWSRV*0,GONE!53");
  run = RunInConsole(copy + L"@\"" + list + L"\" NEWSRV \"" + log + L"\"", scenario);
  for (const wchar_t* line :
       {L"  Kept: printer \"HR Laser\" (Acme PCL6, port IP_10.1.2.3): already there\n",
        L"] newsrv  failed: newsrv and NEWSRV are the same machine\n", L"] GONE  failed: "}) {
    EXPECT_NE(run.Text().find(line), std::wstring::npos) << std::wstring(line) << run.Text();
  }
  bool wellFormed = false;
  std::vector<std::string> failed;
  for (const auto& record : ReadCsv(ReadFileBytes(log).substr(3), wellFormed)) {
    if (record.size() > 9 && record[3] == "failed") failed.push_back(record[1] + " " + record[9]);
  }
  ASSERT_EQ(failed.size(), 2u) << ReadFileBytes(log);
  EXPECT_EQ(failed[0], "newsrv newsrv and NEWSRV are the same machine");
  EXPECT_EQ(failed[1].rfind("GONE its drivers could not be read: 53 ", 0), 0u) << failed[1];
}

TEST(CopyReport, ATimeLimitCutsThePrintersBetweenUnitsAndTheLogSaysWhatWasMade) {
  FakeSpoolerInstall install(L"copy-cut");
  const std::wstring calls = install.Folder() + L"\\calls.txt";
  const std::wstring log = install.Folder() + L"\\copy.csv";
  // Forty more queues on a target that answers each add 500 ms late.
  const Environment scenario = RealServerScenario(install, L"40,NEWSRV*0<500", calls);
  const ConsoleRun run =
      RunInConsole(L"\"" + install.Exe() + L"\" /copy /yes /timeout:2 \"/snapshots:" +
                       install.Folder() + L"\\snaps\" OLDSRV NEWSRV \"" + log + L"\"",
                   scenario);
  EXPECT_EQ(run.exitCode, 1u) << run.Text();
  // Every printer added was set whole (its permissions), or deleted again.
  std::map<std::string, std::string> printers;  // name: "added", "set", "deleted"
  for (const std::string& line : Lines(ReadFileBytes(calls))) {
    const size_t arrow = line.rfind(" -> 0");
    if (arrow == std::string::npos) continue;
    if (line.rfind("AddPrinter ", 0) == 0)
      printers[line.substr(11, line.find(" port=") - 11)] = "added";
    if (line.rfind("SetPrinter ", 0) == 0) printers[line.substr(11, arrow - 13)] = "set";
    if (line.rfind("DeletePrinter ", 0) == 0) printers[line.substr(14, arrow - 14)] = "deleted";
  }
  ASSERT_FALSE(printers.empty()) << ReadFileBytes(calls);
  EXPECT_LT(printers.size(), 43u) << "the limit cut nothing";
  bool wellFormed = false;
  std::map<std::string, std::string> rows;  // printer: action
  for (const auto& record : ReadCsv(ReadFileBytes(log).substr(3), wellFormed)) {
    if (record.size() > 5 && record[4] == "printer") rows[record[5]] = record[3];
  }
  EXPECT_EQ(rows.size(), 44u);
  size_t notTried = 0;
  for (const auto& [name, action] : rows) {
    const auto made = printers.find(name);
    const std::string state = made == printers.end() ? "none" : made->second;
    EXPECT_NE(state, "added") << name << " was left without its settings";
    if (action == "copied") EXPECT_EQ(state, "set") << name;
    if (action == "not tried") EXPECT_EQ(state, "none") << name;
    if (action == "failed") EXPECT_NE(state, "set") << name;
    notTried += action == "not tried" ? 1 : 0;
  }
  EXPECT_GT(notTried, 0u) << run.Text();
  EXPECT_NE(run.Text().find(L"  Stopped: the time limit was reached; what was not tried is as it "
                            L"was\n"),
            std::wstring::npos)
      << run.Text();

  // A target too slow to list is named, and the source has its row.
  const ConsoleRun slow =
      RunInConsole(L"\"" + install.Exe() + L"\" /copy /timeout:2 OLDSRV NEWSRV \"" + log + L"\"",
                   install.Scenario(L"fleet:OLDSRV>0,NEWSRV~6000"));
  EXPECT_NE(slow.Text().find(L"] OLDSRV  failed: the target NEWSRV gave no answer within 2 s\n"),
            std::wstring::npos)
      << slow.Text();
  const std::string logged = ReadFileBytes(log);
  EXPECT_NE(logged.find(",OLDSRV,NEWSRV,failed,source,OLDSRV,,,1460,the target NEWSRV gave no "
                        "answer within 2 s"),
            std::string::npos)
      << logged.substr(logged.size() - 300);
}

TEST(CleanupReport, ARestoreRefusesACraftedOrExposedSnapshotAndReadsARelativeFolder) {
  FakeSpoolerInstall install(L"restore-refused");
  const Environment scenario = install.Scenario(L"fleet:ALPHA");
  const std::wstring root = install.Folder() + L"\\snapshots";
  ConsoleRun run =
      RunInConsole(L"\"" + install.Exe() + L"\" /delete /yes /driver:fabrikam* \"/snapshots:" +
                       root + L"\" ALPHA",
                   scenario);
  ASSERT_EQ(run.exitCode, 0u) << run.Text();
  WIN32_FIND_DATAW found = {};
  const HANDLE search = ::FindFirstFileW((root + L"\\ALPHA\\2*").c_str(), &found);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  ::FindClose(search);
  const std::wstring stamp = found.cFileName, folder = root + L"\\ALPHA\\" + stamp;
  const std::wstring restore = L"\"" + install.Exe() + L"\" /restore /yes ";

  // A spooler line naming another server than the machine's, the folder
  // named from its parent: read there, and named whole.
  const std::string manifest = ReadFileBytes(folder + L"\\manifest.txt");
  std::string crafted = manifest;
  const std::string spooler = "spooler=\\\\\\\\ALPHA";  // escaped in the manifest
  crafted.replace(crafted.find(spooler), spooler.size(), "spooler=\\\\\\\\OTHERSRV");
  WriteFileBytes(folder + L"\\manifest.txt", crafted);
  wchar_t current[MAX_PATH] = {};
  ::GetCurrentDirectoryW(MAX_PATH, current);
  ::SetCurrentDirectoryW((root + L"\\ALPHA").c_str());
  run = RunInConsole(restore + stamp, scenario);
  ::SetCurrentDirectoryW(current);
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_NE(run.Text().find(L"The snapshot " + folder +
                            L" cannot be restored:\nline 2: the spooler "
                            L"\\\\OTHERSRV is not the machine ALPHA's"),
            std::wstring::npos)
      << run.Text();

  // Whole again, but in a folder anyone may change.
  WriteFileBytes(folder + L"\\manifest.txt", manifest);
  ASSERT_TRUE(SetUnixMode(folder, "o+w"));
  run = RunInConsole(restore + L"\"" + folder + L"\"", scenario);
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_NE(run.Text().find(L"cannot be restored:\n" + folder +
                            L" is writable by Everyone: put it where only administrators can "
                            L"change it"),
            std::wstring::npos)
      << run.Text();
}

TEST(CleanupReport, CtrlCStartsNoNewStepAndReportsTheRestAsNotTried) {
  FakeSpoolerInstall install(L"cleanup-ctrl-c");
  const std::wstring list = WriteList(install.Folder() + L"\\servers.txt", "FAST\r\nSLOW\r\n");
  const std::wstring calls = install.Folder() + L"\\calls.txt";
  Environment scenario = install.Scenario(L"fleet:FAST,SLOW~4000");
  scenario.push_back({L"KESTRUN_FAKE_SPOOLER_CALLS", calls});
  HANDLE process = StartInConsole(
      L"\"" + install.Exe() + L"\" /delete /yes /driver:fabrikam* @" + list, scenario);
  ASSERT_NE(process, nullptr);
  const ULONGLONG deadline = ::GetTickCount64() + 30000;
  while (::GetTickCount64() < deadline && ReadFileBytes(calls).empty()) ::Sleep(20);
  ::SetConsoleCtrlHandler(IgnoreCtrlC, TRUE);  // the test shares the console
  ::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
  const ConsoleRun run = FinishInConsole(process, 30000);
  ::SetConsoleCtrlHandler(IgnoreCtrlC, FALSE);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_EQ(Lines(ReadFileBytes(calls)).size(), 1u) << "a step started after Ctrl+C";
  EXPECT_NE(run.Text().find(L"] FAST  1 driver deleted\n"), std::wstring::npos) << run.Text();
  // A machine still being listed is given up at once: nothing of it changed.
  EXPECT_NE(run.Text().find(L"] SLOW  not finished: stopped by Ctrl+C before any change\n"),
            std::wstring::npos)
      << run.Text();
  EXPECT_NE(run.Text().find(L"Machines: 1 cleaned, 0 failed, 1 not finished."), std::wstring::npos)
      << run.Text();
}

TEST(CleanupReport, AMachinePastItsLimitWhileDeletingFailsWithWhatItDidLogged) {
  FakeSpoolerInstall install(L"cleanup-time-limit");
  const std::wstring list = WriteList(install.Folder() + L"\\servers.txt", "ALPHA\r\nHUNG\r\nSLOW\r\n");
  const std::wstring log = install.Folder() + L"\\actions.csv";
  const ULONGLONG start = ::GetTickCount64();
  const ConsoleRun run = RunInConsole(L"\"" + install.Exe() +
                                          L"\" /delete /yes /printers /timeout:2 /driver:\"Contoso "
                                          L"LaserJet*\" /driver:fabrikam* @" +
                                          list + L" " + log,
                                      install.Scenario(L"fleet:ALPHA,HUNG+^60000,SLOW~60000"));
  ASSERT_TRUE(run.finished) << "the hung deletion held the run";
  EXPECT_LT(::GetTickCount64() - start, 15000u);
  EXPECT_EQ(run.exitCode, 1u);
  for (const wchar_t* line : {
           L"] ALPHA  2 drivers deleted\n",
           L"  Deleted printer \"\\\\HUNG\\Office Laser\" (Contoso LaserJet 4200 PCL6)\n"
           L"  Failed: driver \"Contoso LaserJet 4200 PCL6\" (Windows x64): 1460 ",
           L"] HUNG  failed: no answer within 2 s: its state is unknown, list it again\n",
           L"] SLOW  failed: no answer within 2 s\n",
           L"Machines: 1 cleaned, 2 failed. Drivers: 2 deleted, 0 kept, 1 failed, 1 not tried. "
           L"Printers: 1 deleted.",
       }) {
    EXPECT_NE(run.Text().find(line), std::wstring::npos) << std::wstring(line) << "\n"
                                                         << run.Text();
  }
  bool wellFormed = false;
  std::map<std::string, int> actions;
  for (const auto& record : ReadCsv(ReadFileBytes(log).substr(3), wellFormed)) {
    if (record[1] != "HUNG" && record[1] != "SLOW") continue;
    ++actions[record[1] + " " + record[2] + " " + record[3] + " " + record[7]];
  }
  EXPECT_EQ(actions, (std::map<std::string, int>{{"HUNG saved snapshot 0", 1},
                                                 {"HUNG deleted printer 0", 1},
                                                 {"HUNG failed driver 1460", 1},
                                                 {"HUNG not tried driver 1223", 1}}));
}

// This computer's settings as an admin's policy wrote them, and a machine whose registry
// does not answer: both fail the run, each says why on its line and in every row.
TEST(PostureReport, UnsafeSettingsAndAMachineNotReadAreNamedAndLogged) {
  FakeSpoolerInstall install(L"posture");
  const struct {
    const wchar_t* key;
    const wchar_t* name;
    DWORD value;
  } written[] = {{L"SOFTWARE\\Policies\\Microsoft\\Windows NT\\Printers\\PointAndPrint",
                  L"RestrictDriverInstallationToAdministrators", 0},
                 {L"SYSTEM\\CurrentControlSet\\Control\\Print", L"RpcAuthnLevelPrivacyEnabled", 0},
                 {L"SOFTWARE\\Policies\\Microsoft\\Windows NT\\Printers\\WPP",
                  L"WindowsProtectedPrintGroupPolicyState", 1}};
  for (const auto& w : written) {
    ASSERT_EQ(::RegSetKeyValueW(HKEY_LOCAL_MACHINE, w.key, w.name, REG_DWORD, &w.value, 4), 0);
  }
  const std::wstring list = WriteList(install.Folder() + L"\\list.txt", ".\r\nNOWHERE\r\n");
  const std::wstring log = install.Folder() + L"\\posture.csv";
  const ConsoleRun run = install.Run(L"/posture \"@" + list + L"\" \"" + log + L"\"");
  for (const auto& w : written) ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, w.key, w.name);
  EXPECT_EQ(run.exitCode, 1u);
  for (const wchar_t* line :
       {L"] .  2 unsafe: non-administrators can install printer drivers; RPC privacy off\n",
        L"] NOWHERE  not read: 53 ", L"Machines: 1 read, 1 with unsafe settings, 1 not read."}) {
    EXPECT_NE(run.Text().find(line), std::wstring::npos) << run.Text();
  }
  const std::string bytes = ReadFileBytes(log);
  EXPECT_EQ(bytes.rfind("\xEF\xBB\xBFTime,Machine,Setting,Value,Verdict,Why,Reference\r\n", 0), 0u);
  for (const char* row : {",RpcAuthnLevelPrivacyEnabled,0,Unsafe,RPC privacy off,https://",
                          ",WindowsProtectedPrintGroupPolicyState,1,Safe,on,https://",
                          ",NOWHERE,CurrentBuildNumber,,Not read,not read: 53 "}) {
    EXPECT_NE(bytes.find(row), std::string::npos) << row << "\n" << bytes;
  }
}

TEST(QueuesReport, CountsUniversalPrintAndWindowsLegacyQueuesAsMicrosoftDocumentsThem) {
  FakeSpoolerInstall install(L"queues-documented");
  const ConsoleRun run = install.Run(L"/queues /probe /probe-timeout:1 CLOUD", L"fleet:CLOUD|");
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0u);
  for (const std::wstring line :
       {L"\\\\CLOUD\\Cloud  IPP https://print.contoso.com/1  Universal Print Class Driver (Inbox, "
        L"Type 4)  Works: inbox IPP class driver",
        L"\\\\CLOUD\\Legacy  IPP IPP_1  Microsoft PCL6 Class Driver (Inbox, Type 3)  Removed: "
        L"Windows' "
        L"legacy driver, not the modern print stack  Not probed: the IPP port's address could not "
        L"be read\n",
        L"] CLOUD  2 printers (0 third-party driver, 1 Windows' legacy driver, 1 inbox IPP class "
        L"driver)",
        L"Printers: 2 (0 third-party driver, 1 Windows' legacy driver)."}) {
    EXPECT_NE(run.Text().find(line), std::wstring::npos) << line << "\n" << run.Text();
  }
}

TEST(QueuesReport, EveryPrinterOfTwoMachinesIsPrintedAndLoggedWithItsVerdict) {
  FakeSpoolerInstall install(L"queues");
  const std::wstring list = WriteList(install.Folder() + L"\\servers.txt", "SRVA\r\nSRVB\r\n");
  const std::wstring log = install.Folder() + L"\\queues.csv";
  const std::wstring arguments = L"/queues \"@" + list + L"\" \"" + log + L"\"";
  const ConsoleRun run = install.Run(arguments, L"fleet:SRVA%,SRVB%");
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0u);
  const std::wstring text = run.Text();
  for (const std::wstring line :
       {L"\n  \\\\SRVA\\HR Laser  TCP/IP 10.1.2.3:9100  Contoso LaserJet 4200 PCL6 (Third-party, "
        L"Type 3)  Removed: third-party driver\n  \\\\SRVA\\Lobby  WSD WSD-7f3a  Microsoft IPP "
        L"Class "
        L"Driver (Inbox, Type 4)  Works: inbox IPP class driver\n",
        L"\n  \\\\SRVB\\Old Plotter  TCP/IP IP_10.9.9.9  Gone Plotter (Not installed)  Unknown: "
        L"driver not installed\n[",
        L"] SRVB  4 printers (2 third-party driver, 1 inbox IPP class driver)\n",
        L"\n\nMachines: 2 answered, 0 failed. Printers: 8 (4 third-party driver)."}) {
    EXPECT_NE(text.find(line), std::wstring::npos) << line << "\n" << text;
  }
  EXPECT_EQ(run.ColourOf(L"] SRVA  4 printers"), kGreen);

  // Run again into the same file: its header stays the only one; each
  // machine's rows are together.
  ASSERT_EQ(install.Run(arguments, L"fleet:SRVA%,SRVB%").exitCode, 0u);
  const std::string bytes = ReadFileBytes(log);
  ASSERT_EQ(bytes.rfind("\xEF\xBB\xBF", 0), 0u);
  bool wellFormed = false;
  const auto records = ReadCsv(bytes.substr(3), wellFormed);
  EXPECT_TRUE(wellFormed);
  ASSERT_EQ(records.size(), 17u);
  EXPECT_EQ(records[0],
            (std::vector<std::string>{"Machine", "Printer", "Share Name", "Port", "Port Kind",
                                      "Device Address", "Driver", "Driver Origin", "Driver Type",
                                      "Package-Aware", "Driver Version", "Protected Print",
                                      "Device", "Device Model", "Location", "Comment", "Reason"}));
  for (const auto& [machine, rows] : MachineRuns({records.begin() + 1, records.end()})) {
    EXPECT_EQ(rows.size() % 4, 0u) << machine;  // each machine's four printers together
  }
  const auto hr = std::find_if(records.begin(), records.end(),
                               [](const auto& r) { return r[1] == "\\\\SRVA\\HR Laser"; });
  ASSERT_NE(hr, records.end());
  EXPECT_EQ(*hr, (std::vector<std::string>{"SRVA", "\\\\SRVA\\HR Laser", "HRLaser", "IP_10.1.2.3",
                                           "TCP/IP", "10.1.2.3:9100", "Contoso LaserJet 4200 PCL6",
                                           "Third-party", "Type 3 - User Mode", "No", "10.0.0.1",
                                           "Removed: third-party driver", "Not probed: not asked",
                                           "", "Building 1, floor 2", "'=HYPERLINK(\"x\")", ""}));
  EXPECT_EQ(records[4][16].rfind("the device address could not be read: 5 ", 0), 0u);

  // A file with another header is never appended to, and nothing is listed.
  const std::wstring other = install.Folder() + L"\\fleet.csv";
  WriteFileBytes(other, "Machine,Driver Name\r\n");
  const ConsoleRun refused = install.Run(L"/queues SRVA \"" + other + L"\"", L"fleet:SRVA%,SRVB%");
  EXPECT_EQ(refused.exitCode, 1u);
  EXPECT_NE(refused.Text().find(L"is not a queues log"), std::wstring::npos);
  EXPECT_EQ(ReadFileBytes(other), "Machine,Driver Name\r\n");
}

// Devices on 127.0.0.1 that go wrong: one that takes the request and never
// answers, one that answers HTTP with a broken IPP message, a closed port.
class BadDevices {
 public:
  BadDevices() {
    WSADATA winsock;
    ::WSAStartup(MAKEWORD(2, 2), &winsock);
    silent_ = Listen(silentPort);
    garbage_ = Listen(garbagePort);
    const SOCKET closed = Listen(closedPort);
    ::closesocket(closed);
    server_ = std::thread([this] {
      for (SOCKET client; (client = ::accept(garbage_, nullptr, nullptr)) != INVALID_SOCKET;) {
        std::string request;
        char buffer[4096];
        for (int n; request.find("\r\n\r\n") == std::string::npos ||
                    request.size() < request.find("\r\n\r\n") + 4 + BodyLength(request);) {
          if ((n = ::recv(client, buffer, sizeof(buffer), 0)) <= 0) break;
          request.append(buffer, static_cast<size_t>(n));
        }
        static const char kAnswer[] =
            "HTTP/1.1 200 OK\r\nContent-Type: application/ipp\r\nContent-Length: 12\r\n"
            "Connection: close\r\n\r\n\x02\x00\x00\x00\x00\x00\x00\x01\x04\x41\xff\xff";
        ::send(client, kAnswer, sizeof(kAnswer) - 1, 0);
        ::shutdown(client, SD_SEND);
        while (::recv(client, buffer, sizeof(buffer), 0) > 0) {
        }
        ::closesocket(client);
      }
    });
  }
  ~BadDevices() {
    ::closesocket(silent_);
    ::closesocket(garbage_);
    server_.join();
  }
  BadDevices(const BadDevices&) = delete;
  BadDevices& operator=(const BadDevices&) = delete;

  unsigned short silentPort = 0, garbagePort = 0, closedPort = 0;

 private:
  static size_t BodyLength(const std::string& request) {
    const size_t at = request.find("Content-Length: ");
    return at == std::string::npos ? 0 : std::stoul(request.substr(at + 16));
  }
  static SOCKET Listen(unsigned short& port) {
    const SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof(address);
    EXPECT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), size), 0);
    ::listen(listener, 8);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
    port = ntohs(address.sin_port);
    return listener;
  }
  SOCKET silent_ = INVALID_SOCKET;
  SOCKET garbage_ = INVALID_SOCKET;
  std::thread server_;
};

// Needs the IPP Everywhere printers the test script starts: ippeveprinter on
// 127.0.0.1, port 631 and KESTRUN_IPP_PORT.
TEST(QueuesReport, TheProbeAsksEachDeviceOnceAndTellsWhatItAnswered) {
  FakeSpoolerInstall install(L"probe");
  BadDevices bad;
  wchar_t ippPort[16] = L"18631";
  ::GetEnvironmentVariableW(L"KESTRUN_IPP_PORT", ippPort, 16);
  const auto address = [](const std::wstring& port) {
    return L"ipp://127.0.0.1:" + port + L"/ipp/print";
  };
  Environment scenario = install.Scenario(L"fleet:SRV@");
  scenario.push_back({L"KESTRUN_FAKE_IPP_PORTS",
                      address(ippPort) + L";" + address(std::to_wstring(bad.silentPort)) + L";" +
                          address(std::to_wstring(bad.garbagePort)) + L";" +
                          address(std::to_wstring(bad.closedPort))});
  const std::wstring log = install.Folder() + L"\\queues.csv";
  const ULONGLONG start = ::GetTickCount64();
  const ConsoleRun run = RunInConsole(
      L"\"" + install.Exe() + L"\" /queues /probe /probe-timeout:1 SRV \"" + log + L"\"", scenario);
  const ULONGLONG took = ::GetTickCount64() - start;
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_LT(took, 15000u) << "a device that never answers costs its time limit";
  const std::wstring text = run.Text();
  const std::wstring driver =
      L"  Contoso LaserJet 4200 PCL6 (Third-party, Type 3)  Removed: third-party driver  ";
  for (const std::wstring& line :
       {L"\\\\SRV\\Front  TCP/IP 127.0.0.1:9100" + driver +
            L"IPP Everywhere (Kestrun Test Printer 631)\n",
        L"\\\\SRV\\Back  TCP/IP 127.0.0.1:9100" + driver +
            L"IPP Everywhere (Kestrun Test Printer 631)\n",
        L"\\\\SRV\\Lobby  WSD WSD-1" + driver + L"Not probed: WSD port\n",
        L"\\\\SRV\\Device 1  IPP " + address(ippPort) + driver +
            L"IPP Everywhere (Kestrun Test Printer " + ippPort + L")\n",
        L"\\\\SRV\\Device 2  IPP " + address(std::to_wstring(bad.silentPort)) + driver +
            L"No IPP answer: no answer within 1 s\n",
        L"\\\\SRV\\Device 3  IPP " + address(std::to_wstring(bad.garbagePort)) + driver +
            L"No IPP answer: the IPP answer ends too early\n",
        L"\\\\SRV\\Device 4  IPP " + address(std::to_wstring(bad.closedPort)) + driver +
            L"No IPP answer: 12029",
        std::wstring(L"] SRV  7 printers (7 third-party driver, 0 inbox IPP class driver), 0 of 7 "
                     L"queues that are removed can be added again on the inbox IPP class driver "
                     L"(their devices report Mopria certification)"),
        std::wstring(L"3 more do IPP Everywhere without reporting Mopria certification")}) {
    EXPECT_NE(text.find(line), std::wstring::npos) << line << "\n" << text;
  }
  bool wellFormed = false;
  const auto records = ReadCsv(ReadFileBytes(log).substr(3), wellFormed);
  EXPECT_TRUE(wellFormed);
  ASSERT_EQ(records.size(), 8u);
  EXPECT_EQ(records[0][12] + "|" + records[0][13], "Device|Device Model");
  EXPECT_EQ(records[1][1] + "|" + records[1][12] + "|" + records[1][13],
            "\\\\SRV\\Front|IPP Everywhere|Kestrun Test Printer 631");
  // A device slower than the machine's limit costs only its own: the listing stands.
  const ConsoleRun slow = RunInConsole(
      L"\"" + install.Exe() + L"\" /queues /probe /probe-timeout:2 /timeout:1 SRV", scenario);
  EXPECT_EQ(slow.exitCode, 0u) << slow.Text();
  EXPECT_NE(slow.Text().find(L"No IPP answer: no answer within 2 s\n"), std::wstring::npos);
}

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
  HANDLE process =
      StartProcess(L"\"" + install.Exe() + L"\" PRINTSRV", install.Scenario(L"sample"));
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
