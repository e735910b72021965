// The shipped Kestrun.exe against Wine's own spooler, its author box and its
// window mode.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <winspool.h>

#include <string>
#include <vector>

#include "inventory/deletion.h"
#include "inventory/error_reporter.h"
#include "inventory/snapshot.h"
#include "report/console.h"
#include "tests/support/console_capture.h"
#include "tests/support/fake_spooler.h"
#include "tests/support/main_window_fixture.h"
#include "tests/support/test_paths.h"
#include "tests/support/ui_waits.h"
#include "ui/delete_command.h"
#include "ui/dpi.h"
#include "res/ids.h"

namespace kestrun::testing {
namespace {

class ShippedProgram : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Seed the prefix's spooler once; a second seeding of the same names is harmless.
    HANDLE seeding = StartProcess(L"\"" + SeedExePath() + L"\" 6");
    ASSERT_NE(seeding, nullptr);
    ::WaitForSingleObject(seeding, 60000);
    ::CloseHandle(seeding);
  }
  std::wstring Exe() const { return L"\"" + KestrunExePath() + L"\""; }
};

// The main window of one process (another Kestrun may have a window open).
HWND WindowOfProcess(HANDLE process) {
  const DWORD id = ::GetProcessId(process);
  HWND found = nullptr;
  PumpUntil([&] {
    for (HWND next = nullptr; (next = ::FindWindowExW(nullptr, next, L"Win32Obj", L"Kestrun"));) {
      DWORD owner = 0;
      ::GetWindowThreadProcessId(next, &owner);
      if (owner == id) found = next;
    }
    return found != nullptr;
  }, 30000);
  return found;
}

// Ends a started program whatever way the test leaves.
struct ProcessGuard {
  HANDLE process;
  ~ProcessGuard() {
    if (::WaitForSingleObject(process, 0) == WAIT_TIMEOUT) ::TerminateProcess(process, 99);
    ::CloseHandle(process);
  }
};

TEST_F(ShippedProgram, ReportOfTheLocalSpoolerListsItsDrivers) {
  // Under Wine only a null server name reaches its spooler: an argument text
  // that names no target.
  const ConsoleRun run = RunInConsole(Exe() + L" \"\"");
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0u);
  const std::wstring text = run.Text();
  EXPECT_EQ(text.rfind(L"Kestrun v1.2.1.5\n", 0), 0u) << text;
  EXPECT_NE(text.find(L"Driver Name: Contoso LaserJet 4200 PCL6\n"), std::wstring::npos) << text;
  EXPECT_NE(text.find(L"Driver Name: Fabrikam Inkjet 990\n"), std::wstring::npos);
  EXPECT_NE(text.find(L"Environment: Windows x64\n"), std::wstring::npos);
  EXPECT_EQ(run.ColourOf(L"Driver Name: Contoso"), kBlue);
  EXPECT_EQ(text.find(L"successfully"), std::wstring::npos);
}

TEST_F(ShippedProgram, AuthorBoxShowsAndTheReportEnds) {
  for (const wchar_t* word : {L"-creator", L"-CREATOR extra words"}) {
    HANDLE process = StartProcess(Exe() + L" " + word);
    ASSERT_NE(process, nullptr);
    const HWND box = WaitForWindow(L"#32770", L"Author Information", 30000);
    ASSERT_NE(box, nullptr);
    EXPECT_NE(DialogText(box).find(L"Kestrun v1.2.1.5"), std::wstring::npos);
    ::PostMessageW(box, WM_COMMAND, IDOK, 0);
    ASSERT_EQ(::WaitForSingleObject(process, 30000), WAIT_OBJECT_0);
    DWORD code = 99;
    ::GetExitCodeProcess(process, &code);
    EXPECT_EQ(code, 0u);
    ::CloseHandle(process);
  }
}

TEST_F(ShippedProgram, WithoutArgumentsTheWindowListsTheLocalDriversAndClosesWithExitZero) {
  HANDLE process = StartProcess(Exe());
  ASSERT_NE(process, nullptr);
  const HWND window = WindowOfProcess(process);
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(PumpUntil([&] { return ::IsWindowVisible(window) != FALSE; }));
  const HWND list = ::FindWindowExW(window, nullptr, L"SysListView32", nullptr);
  ASSERT_NE(list, nullptr);
  // The seeded drivers (and any others the prefix has) fill the list.
  EXPECT_TRUE(PumpUntil([&] { return ::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) >= 6; }, 30000));
  ::PostMessageW(window, WM_CLOSE, 0, 0);
  ASSERT_EQ(::WaitForSingleObject(process, 30000), WAIT_OBJECT_0);
  DWORD code = 99;
  ::GetExitCodeProcess(process, &code);
  EXPECT_EQ(code, 0u);
  ::CloseHandle(process);
}

// Kestrun.com alone opens Kestrun.exe's window beside it and ends at once;
// with arguments it is the report, in the console it was started from.
TEST_F(ShippedProgram, TheConsoleTwinOpensTheWindowAloneAndReportsWithArguments) {
  const std::wstring twin =
      L"\"" + KestrunExePath().replace(KestrunExePath().size() - 4, 4, L".com\"");
  const ProcessGuard alone{StartProcess(twin)};
  ASSERT_EQ(::WaitForSingleObject(alone.process, 30000), WAIT_OBJECT_0) << "it waits for no window";
  DWORD code = 99, windowProcessId = 0;
  EXPECT_TRUE(::GetExitCodeProcess(alone.process, &code) && code == 0) << code;
  const HWND window = WaitForWindow(L"Win32Obj", L"Kestrun", 30000);
  ASSERT_NE(window, nullptr);
  ::GetWindowThreadProcessId(window, &windowProcessId);
  const ProcessGuard opened{::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, windowProcessId)};
  ::PostMessageW(window, WM_CLOSE, 0, 0);
  EXPECT_EQ(::WaitForSingleObject(opened.process, 30000), WAIT_OBJECT_0);
  const ConsoleRun run = RunInConsole(twin + L" /queues /queues .");
  EXPECT_TRUE(run.finished && run.exitCode == 2u) << run.exitCode;
  EXPECT_EQ(run.Text().rfind(L"/queues may be given once.\n", 0), 0u) << run.Text();
}

// The prefix's screen DPI (HKCU\Control Panel\Desktop LogPixels) for the
// processes started while this lives. Wine reads it once, as a process starts
// (measured), so the test process keeps its own; the earlier value, or its
// absence, comes back afterwards.
class ScreenDpiForNewProcesses {
 public:
  explicit ScreenDpiForNewProcesses(DWORD dpi) {
    ::RegCreateKeyExW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", 0, nullptr, 0,
                      KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key_, nullptr);
    DWORD size = sizeof(previous_);
    hadValue_ = ::RegQueryValueExW(key_, kValue, nullptr, nullptr,
                                   reinterpret_cast<BYTE*>(&previous_), &size) == ERROR_SUCCESS;
    ::RegSetValueExW(key_, kValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dpi), sizeof(dpi));
  }
  ~ScreenDpiForNewProcesses() {
    if (hadValue_) {
      ::RegSetValueExW(key_, kValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&previous_),
                       sizeof(previous_));
    } else {
      ::RegDeleteValueW(key_, kValue);
    }
    ::RegCloseKey(key_);
  }
  ScreenDpiForNewProcesses(const ScreenDpiForNewProcesses&) = delete;
  ScreenDpiForNewProcesses& operator=(const ScreenDpiForNewProcesses&) = delete;

 private:
  static constexpr wchar_t kValue[] = L"LogPixels";
  HKEY key_ = nullptr;
  DWORD previous_ = 0;
  bool hadValue_ = false;
};

RECT ChildRectOf(HWND window, const wchar_t* className, const wchar_t* text) {
  RECT rect = {};
  ::GetWindowRect(::FindWindowExW(window, nullptr, className, text), &rect);
  ::MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

TEST_F(ShippedProgram, TheWindowOpensWithItsWholeTopRowAt96And144Dpi) {
  SIZE aboutAt96 = {};
  for (const UINT dpi : {96u, 144u}) {
    SCOPED_TRACE(dpi);
    const auto at = [dpi](int value) { return ::MulDiv(value, static_cast<int>(dpi), 96); };
    HANDLE process = nullptr;
    HWND window = nullptr;
    HWND enumerate = nullptr;
    {
      const ScreenDpiForNewProcesses screen(dpi);
      process = StartProcess(Exe());
      ASSERT_NE(process, nullptr);
      window = WindowOfProcess(process);
    }
    const ProcessGuard guard{process};
    ASSERT_NE(window, nullptr);
    // The first listing has ended when "Enumerate" is back.
    ASSERT_TRUE(PumpUntil([&] {
      enumerate = ::FindWindowExW(window, nullptr, L"Button", L"Enumerate");
      return enumerate && ::IsWindowEnabled(enumerate) && ::IsWindowVisible(window);
    }, 30000));

    // Every figure scaled to the window's DPI.
    const RECT button = ChildRectOf(window, L"Button", L"Enumerate");
    EXPECT_EQ(button.right - button.left, at(150));
    EXPECT_EQ(button.bottom - button.top, at(25));
    EXPECT_EQ(button.top, at(48));
    EXPECT_GE(button.left, at(250));
    const RECT combo = ChildRectOf(window, L"ComboBox", nullptr);
    EXPECT_EQ(combo.left, at(8));
    EXPECT_EQ(combo.top, at(50));
    EXPECT_EQ(combo.right - combo.left, at(220));
    const RECT bar = ChildRectOf(window, L"msctls_progress32", nullptr);
    EXPECT_EQ(bar.left, at(20));
    EXPECT_EQ(bar.bottom - bar.top, at(10));
    const RECT list = ChildRectOf(window, L"SysListView32", nullptr);
    EXPECT_EQ(list.left, at(4));
    EXPECT_EQ(list.top, at(100));

    // Within the monitor's work area, wide enough for the whole row.
    ExpectInsideWorkArea(window);
    // The font the window paints in: the system's GUI font at that DPI.
    const HFONT font = CreateGuiFontForDpi(dpi);
    ExpectWholeTopRow(window, dpi, font);
    ::DeleteObject(font);

    // Its dialogs scale with it: their templates are in dialog units.
    ::PostMessageW(window, WM_COMMAND, IDM_ABOUT, 0);
    const HWND about = WaitForWindow(L"#32770", L"About Kestrun", 10000);
    ASSERT_NE(about, nullptr);
    RECT aboutClient;
    ::GetClientRect(about, &aboutClient);
    if (dpi == 96) {
      aboutAt96 = {aboutClient.right, aboutClient.bottom};
    } else {
      EXPECT_NEAR(aboutClient.right, ::MulDiv(aboutAt96.cx, 144, 96), aboutAt96.cx / 10);
      EXPECT_NEAR(aboutClient.bottom, ::MulDiv(aboutAt96.cy, 144, 96), aboutAt96.cy / 10);
    }

    ::PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(::WaitForSingleObject(process, 30000), WAIT_OBJECT_0);
  }
}

// The list of another process, read and ticked through memory placed in that
// process: a list view message cannot carry a pointer across processes.
class RemoteList {
 public:
  RemoteList(HANDLE process, HWND list)
      : process_(process),
        list_(list),
        remote_(static_cast<BYTE*>(::VirtualAllocEx(process, nullptr, kBytes,
                                                    MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE))) {}
  ~RemoteList() {
    if (remote_) ::VirtualFreeEx(process_, remote_, 0, MEM_RELEASE);
  }
  RemoteList(const RemoteList&) = delete;
  RemoteList& operator=(const RemoteList&) = delete;

  int Count() const { return static_cast<int>(::SendMessageW(list_, LVM_GETITEMCOUNT, 0, 0)); }

  std::wstring Text(int row, int column) const {
    LVITEMW item = {};
    item.iSubItem = column;
    item.pszText = reinterpret_cast<wchar_t*>(remote_ + sizeof(LVITEMW));
    item.cchTextMax = kTextChars;
    ::WriteProcessMemory(process_, remote_, &item, sizeof(item), nullptr);
    ::SendMessageW(list_, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(remote_));
    // The list may point the item at its own copy of the text instead of
    // filling the buffer: read the item back first.
    ::ReadProcessMemory(process_, remote_, &item, sizeof(item), nullptr);
    wchar_t text[kTextChars] = {};
    ::ReadProcessMemory(process_, item.pszText, text, sizeof(text) - sizeof(wchar_t), nullptr);
    return text;
  }

  int RowOf(const std::wstring& name) const {
    for (int row = 0; row < Count(); ++row) {
      if (Text(row, 1) == name) return row;
    }
    return -1;
  }

  // Ticks a row's check box, as a click on it does.
  void Check(int row) const {
    LVITEMW item = {};
    item.stateMask = LVIS_STATEIMAGEMASK;
    item.state = INDEXTOSTATEIMAGEMASK(2);
    ::WriteProcessMemory(process_, remote_, &item, sizeof(item), nullptr);
    ::SendMessageW(list_, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(remote_));
  }

 private:
  static constexpr int kTextChars = 512;
  static constexpr SIZE_T kBytes = sizeof(LVITEMW) + kTextChars * sizeof(wchar_t);
  HANDLE process_;
  HWND list_;
  BYTE* remote_;
};

bool LocalPrinterExists(const std::wstring& name) {
  HANDLE printer = nullptr;
  if (!::OpenPrinterW(const_cast<wchar_t*>(name.c_str()), &printer, nullptr)) return false;
  ::ClosePrinter(printer);
  return true;
}

TEST_F(ShippedProgram, DeletingAPrintersDriverUnderWinesSpoolerTakesThePrinterAndReportsTheFailure) {
  // Wine deletes the printer, then refuses to delete a driver with any
  // delete flag (87): the outcome is the general failure text.
  const std::wstring driver = L"Contoso LaserJet 4200 PCL6";
  const std::wstring printerName = L"Front Desk Printer";
  HANDLE seeding = StartProcess(L"\"" + SeedExePath() + L"\" 6 printer");
  ASSERT_NE(seeding, nullptr);
  ::WaitForSingleObject(seeding, 60000);
  ::CloseHandle(seeding);
  ASSERT_TRUE(LocalPrinterExists(printerName));

  HANDLE process = StartProcess(Exe());
  ASSERT_NE(process, nullptr);
  const ProcessGuard guard{process};
  const HWND window = WindowOfProcess(process);
  ASSERT_NE(window, nullptr);
  HWND list = nullptr;
  HWND deleteButton = nullptr;
  // The window is found while it still creates its children.
  PumpUntil([&] {
    list = ::FindWindowExW(window, nullptr, L"SysListView32", nullptr);
    deleteButton = ::FindWindowExW(window, nullptr, L"Button", L"Delete Driver(s)");
    return list && deleteButton;
  }, 30000);
  ASSERT_NE(list, nullptr);
  ASSERT_NE(deleteButton, nullptr);
  RemoteList rows(process, list);
  ASSERT_TRUE(PumpUntil([&] { return rows.RowOf(driver) >= 0 && ::IsWindowEnabled(deleteButton); },
                        30000));
  rows.Check(rows.RowOf(driver));

  ::PostMessageW(deleteButton, BM_CLICK, 0, 0);
  HWND question = WaitForWindow(L"#32770", L"Kestrun", 30000);
  ASSERT_NE(question, nullptr);
  EXPECT_NE(DialogText(question).find(L"Do you wish to proceed?"), std::wstring::npos);
  // Wine's printer runs the machine's own environment's driver: it is named.
  EXPECT_NE(DialogText(question).find(L"will be deleted first:\n" + printerName + L" (" + driver +
                                      L")"),
            std::wstring::npos)
      << DialogText(question);
  ::PostMessageW(question, WM_COMMAND, IDYES, 0);
  PumpUntil([&] { return !::IsWindow(question); }, 10000);

  HWND outcome = WaitForWindow(L"#32770", L"Kestrun", 30000);
  ASSERT_NE(outcome, nullptr);
  _DBGINFO reporter;
  std::wstring headline = std::wstring(L"Failed to delete selected print driver(s)!\n") +
                         reporter.GetErrorText(ERROR_INVALID_PARAMETER).text;
  headline.resize(headline.find_last_not_of(L"\r\n") + 1);
  const std::wstring shown = DialogText(outcome);
  EXPECT_EQ(shown.substr(0, shown.find(L"\n\nSaved in ")),
            headline + L"\nSelected drivers on this computer\nDeleted 0 of 1 drivers, 1 printers.\n\n" +
                driver + L" (Windows x64): " + ErrorLine(ERROR_INVALID_PARAMETER) +
                L"\nPrinter deleted: " + printerName);
  EXPECT_NE(shown.find(L"\n\nSaved in "), std::wstring::npos) << shown;
  ::PostMessageW(outcome, WM_COMMAND, IDOK, 0);

  EXPECT_FALSE(LocalPrinterExists(printerName));
  EXPECT_GE(rows.RowOf(driver), 0) << "the refreshed list still shows the driver";

  ::PostMessageW(window, WM_CLOSE, 0, 0);
  EXPECT_EQ(::WaitForSingleObject(process, 30000), WAIT_OBJECT_0);
}

// What a test compares before a deletion and after its restore: the
// driver's record, every file's bytes, the printer's settings and data.
std::wstring ListingOf(const std::wstring& driverName, const std::wstring& printerName) {
  std::wstring listing;
  DWORD needed = 0, count = 0;
  wchar_t all[] = L"all";
  ::EnumPrinterDriversW(nullptr, all, 6, nullptr, 0, &needed, &count);
  std::vector<BYTE> buffer(needed + 1);
  if (!::EnumPrinterDriversW(nullptr, all, 6, buffer.data(), needed, &needed, &count)) return L"?";
  const auto* drivers = reinterpret_cast<const DRIVER_INFO_6W*>(buffer.data());
  const auto text = [](const wchar_t* field) { return std::wstring(field ? field : L"(null)"); };
  for (DWORD i = 0; i < count; ++i) {
    if (text(drivers[i].pName) != driverName) continue;
    const DRIVER_INFO_6W& d = drivers[i];
    listing += text(d.pEnvironment) + L"|" + std::to_wstring(d.cVersion) + L"|" +
               text(d.pDriverPath) + L"|" + text(d.pDataFile) + L"|" + text(d.pConfigFile) + L"|" +
               text(d.pHelpFile) + L"|" + text(d.pDependentFiles) + L"|" + text(d.pMonitorName) +
               L"|" + text(d.pDefaultDataType) + L"\n";
    for (const wchar_t* file : {d.pDriverPath, d.pDataFile, d.pConfigFile, d.pHelpFile, d.pDependentFiles}) {
      if (file == nullptr) continue;
      const std::string bytes = ReadFileBytes(file);
      listing += text(file) + L"=" + std::wstring(bytes.begin(), bytes.end()) + L"\n";
    }
  }
  HANDLE printer = nullptr;
  if (!::OpenPrinterW(const_cast<wchar_t*>(printerName.c_str()), &printer, nullptr)) return listing;
  ::GetPrinterW(printer, 2, nullptr, 0, &needed);
  std::vector<BYTE> info(needed + 1);
  if (::GetPrinterW(printer, 2, info.data(), needed, &needed)) {
    const auto& p = *reinterpret_cast<const PRINTER_INFO_2W*>(info.data());
    listing += text(p.pPrinterName) + L"|" + text(p.pPortName) + L"|" + text(p.pDriverName) + L"|" +
               text(p.pComment) + L"|" + text(p.pLocation) + L"|" + text(p.pPrintProcessor) + L"|" +
               text(p.pDatatype) + L"\n";
  }
  for (const wchar_t* value : {L"Tray", L"Copies"}) {
    BYTE data[64] = {};
    DWORD type = 0;
    const DWORD got = ::GetPrinterDataExW(printer, L"PrinterDriverData", value, &type, data,
                                          sizeof(data), &needed);
    listing += std::wstring(value) + L"=" + std::to_wstring(got) + L":" + std::to_wstring(type) +
               L":" + std::to_wstring(needed) + L":" + std::to_wstring(data[0]) + L"\n";
  }
  ::ClosePrinter(printer);
  return listing;
}

TEST_F(ShippedProgram, ASnapshotPutsADeletedDriverAndPrinterBackWholeUnderWinesSpooler) {
  const std::wstring driver = L"Fabrikam Label 220";  // seeded
  std::wstring name = L"Round Trip Printer", port = L"LPT1:", processor = L"winprint",
               datatype = L"RAW", comment = L"Kept, then put back", location = L"2nd floor, east";
  std::wstring driverName = driver;
  PRINTER_INFO_2W added = {};
  added.pPrinterName = name.data();
  added.pDriverName = driverName.data();
  added.pPortName = port.data();
  added.pPrintProcessor = processor.data();
  added.pDatatype = datatype.data();
  added.pComment = comment.data();
  added.pLocation = location.data();
  HANDLE printer = ::AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&added));
  ASSERT_NE(printer, nullptr) << ::GetLastError();
  const wchar_t tray[] = L"Tray 2";
  DWORD copies = 3;
  EXPECT_EQ(::SetPrinterDataExW(printer, L"PrinterDriverData", L"Tray", REG_SZ,
                                reinterpret_cast<BYTE*>(const_cast<wchar_t*>(tray)), sizeof(tray)),
            0u);
  EXPECT_EQ(::SetPrinterDataExW(printer, L"PrinterDriverData", L"Copies", REG_DWORD,
                                reinterpret_cast<BYTE*>(&copies), sizeof(copies)),
            0u);
  ::ClosePrinter(printer);
  const std::wstring before = ListingOf(driver, name);
  ASSERT_NE(before.find(L"Round Trip Printer|LPT1:|"), std::wstring::npos) << before;

  // The snapshot is written, the printer goes, the driver fails (Wine takes no delete flag).
  const std::wstring root = MakeScratchDirectory(L"round-trip");
  ConsoleRun run = RunInConsole(Exe() + L" /delete /printers /yes \"/driver:" + driver +
                                L"\" \"/snapshots:" + root + L"\" localhost");
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 1u);
  const std::wstring text = run.Text();
  EXPECT_NE(text.find(L"  Deleted printer \"Round Trip Printer\""), std::wstring::npos) << text;
  const size_t saved = text.find(L"  Saved in ");
  const size_t restore = text.find(L": Kestrun /restore /yes", saved);
  ASSERT_NE(restore, std::wstring::npos) << text;
  const std::wstring folder = text.substr(saved + 11, restore - saved - 11);
  // What Wine's spooler could not delete is deleted here, its files too.
  std::wstring environment = L"Windows x64";
  ASSERT_TRUE(::DeletePrinterDriverExW(nullptr, environment.data(), driverName.data(), 0, 0));
  for (size_t at = before.find(L"\n"); (at = before.find(L"C:\\", at)) != std::wstring::npos; ++at) {
    ::DeleteFileW(before.substr(at, before.find(L'=', at) - at).c_str());
  }
  ASSERT_EQ(ListingOf(driver, name).find(driver), std::wstring::npos);

  run = RunInConsole(Exe() + L" /restore /yes \"" + folder + L"\"");
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0u) << run.Text();
  EXPECT_NE(run.Text().find(L"  Restored driver \"" + driver + L"\" (Windows x64, "), std::wstring::npos)
      << run.Text();
  EXPECT_NE(run.Text().find(L"  Restored printer \"Round Trip Printer\""), std::wstring::npos);
  EXPECT_EQ(ListingOf(driver, name), before) << "every field, every file's bytes, every value";
}

void RemoveLocalPrinterAndDriver(const std::wstring& name, std::wstring driver) {
  HANDLE printer = nullptr;
  if (::OpenPrinterW(const_cast<wchar_t*>(name.c_str()), &printer, nullptr)) {
    ::DeletePrinter(printer);
    ::ClosePrinter(printer);
  }
  std::wstring environment = L"Windows x64";
  ::DeletePrinterDriverExW(nullptr, environment.data(), driver.data(), 0, 0);
}

TEST_F(ShippedProgram, AGoneServersSnapshotGoesOntoThisComputerWithRestoreTo) {
  // Taken of a server while it was there; put on this computer's own spooler.
  const std::wstring driver = L"Tailspin Moved 300", name = L"Moved Printer";
  RemoveLocalPrinterAndDriver(name, driver);  // left by an earlier run in this prefix
  std::wstring folder, problem;
  {
    FakeSpooler spooler;
    FakeMachine& gone = spooler.machines[L"\\\\GONESRV"];
    const std::wstring dir = L"C:\\Windows\\System32\\spool\\DRIVERS\\x64\\3\\";
    FakeDriver moved = RichDriver(driver, L"Tailspin");
    moved.driverPath = dir + L"TSMOVE.DLL";
    moved.dataFile = dir + L"TSMOVE.GPD";
    moved.configFile = dir + L"TSMOVEUI.DLL";
    moved.helpFile = std::nullopt;
    moved.dependentFiles = std::vector<std::wstring>{dir + L"TSMOVERES.DLL"};
    gone.drivers = {moved};
    FakePrinter printer{name, driver, L"LPT1:"};
    printer.comment = L"Moved here";
    printer.location = L"3rd floor";
    const wchar_t tray[] = L"Tray 3";
    const auto* bytes = reinterpret_cast<const BYTE*>(tray);
    printer.data[L"PrinterDriverData\\Tray"] = {REG_SZ, {bytes, bytes + sizeof(tray)}};
    gone.printers = {printer};
    spooler.Install();
    DeletionPlan plan;
    plan.machineText = L"GONESRV";
    plan.targetName = L"\\\\GONESRV";
    plan.isRemote = true;
    plan.drivers.push_back({driver, L"Windows x64"});
    plan.drivers.back().version = 3;
    plan.printers.push_back({L"\\\\GONESRV\\" + name, driver});
    const DWORD error = TakeSnapshot(plan, MakeScratchDirectory(L"restore-to"), folder, problem);
    FakeSpooler::Uninstall();
    ASSERT_EQ(error, 0u) << problem;
  }
  ConsoleRun run = RunInConsole(Exe() + L" /restore /yes /to:. \"" + folder + L"\"");
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0u) << run.Text();
  for (const std::wstring& line : {L"  Restored driver \"" + driver + L"\" (Windows x64, ",
                                   L"  Restored printer \"" + name + L"\"\n"}) {  // as here
    EXPECT_NE(run.Text().find(line), std::wstring::npos) << line << run.Text();
  }
  // The fields Wine keeps: the driver's files by name, the printer's settings and data.
  const std::wstring listing = ListingOf(driver, name);
  for (const wchar_t* kept :
       {L"Windows x64|3|", L"\\TSMOVE.DLL|", L"\\TSMOVE.GPD|", L"\\TSMOVEUI.DLL|",
        L"\\TSMOVERES.DLL", L"Moved Printer|LPT1:|Tailspin Moved 300|Moved here|3rd floor|",
        L"Tray=0:1:14:84"}) {
    EXPECT_NE(listing.find(kept), std::wstring::npos) << kept << "\n" << listing;
  }
  // Again: everything is there already, and stays as it is.
  run = RunInConsole(Exe() + L" /restore /yes /to:localhost \"" + folder + L"\"");
  EXPECT_EQ(run.exitCode, 0u) << run.Text();
  EXPECT_NE(
      run.Text().find(L"Drivers: 0 restored, 1 kept, 0 failed. Printers: 0 restored, 1 kept."),
      std::wstring::npos)
      << run.Text();
  RemoveLocalPrinterAndDriver(name, driver);
}

// Wine would load a DLL from beside the program, for a program whose overrides
// say "native,builtin", whenever the program asks for it by name.
class PlantedDllsPreferred {
 public:
  PlantedDllsPreferred(const std::wstring& program, std::vector<std::wstring> dlls)
      : key_(L"Software\\Wine\\AppDefaults\\" + program + L"\\DllOverrides"), dlls_(std::move(dlls)) {
    HKEY opened = nullptr;
    if (::RegCreateKeyExW(HKEY_CURRENT_USER, key_.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                          &opened, nullptr) != ERROR_SUCCESS) {
      return;
    }
    const wchar_t order[] = L"native,builtin";
    for (const auto& dll : dlls_) {
      ::RegSetValueExW(opened, dll.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(order),
                       sizeof(order));
    }
    ::RegCloseKey(opened);
  }
  ~PlantedDllsPreferred() {
    for (const auto& dll : dlls_) ::RegDeleteKeyValueW(HKEY_CURRENT_USER, key_.c_str(), dll.c_str());
  }
  PlantedDllsPreferred(const PlantedDllsPreferred&) = delete;
  PlantedDllsPreferred& operator=(const PlantedDllsPreferred&) = delete;

 private:
  std::wstring key_;
  std::vector<std::wstring> dlls_;
};

TEST_F(ShippedProgram, DllsPlantedBesideItAreNeverLoadedInEitherMode) {
  const std::vector<std::wstring> planted = {L"winspool.drv", L"mpr.dll", L"netapi32.dll",
                                             L"comdlg32.dll", L"netmsg.dll"};
  const std::wstring folder = MakeScratchDirectory(L"planted");
  const std::wstring exe = folder + L"\\Kestrun.exe";
  ASSERT_TRUE(::CopyFileW(KestrunExePath().c_str(), exe.c_str(), FALSE));
  for (const auto& dll : planted) {
    ASSERT_TRUE(::CopyFileW((FakeBinDirectory() + L"\\marker.dll").c_str(),
                            (folder + L"\\" + dll).c_str(), FALSE));
  }
  const PlantedDllsPreferred preferred(L"Kestrun.exe", planted);

  // The report.
  const ConsoleRun run = RunInConsole(L"\"" + exe + L"\" \"\"");
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(run.Text().rfind(L"Kestrun v1.2.1.5\n", 0), 0u) << run.Text();

  // The window, with a listing and the save-file dialog opened and cancelled.
  HANDLE process = StartProcess(L"\"" + exe + L"\"");
  ASSERT_NE(process, nullptr);
  const ProcessGuard guard{process};
  const HWND window = WindowOfProcess(process);
  ASSERT_NE(window, nullptr);
  HWND list = nullptr;
  ASSERT_TRUE(PumpUntil([&] {
    list = ::FindWindowExW(window, nullptr, L"SysListView32", nullptr);
    return list && ::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) > 0;
  }, 30000));
  ::PostMessageW(window, WM_COMMAND, IDM_SAVE_OUTPUT, 0);
  const HWND save = WaitForWindow(L"#32770", L"Save Selected Items", 30000);
  ASSERT_NE(save, nullptr);
  ::PostMessageW(save, WM_COMMAND, IDC_SAVE_BROWSE, 0);
  const HWND browse = WaitForWindow(L"#32770", L"Kestrun - Save Log File", 30000);
  EXPECT_NE(browse, nullptr) << "the common dialogs could not be loaded";
  if (browse) ::PostMessageW(browse, WM_COMMAND, IDCANCEL, 0);
  PumpUntil([&] { return !::IsWindow(browse); }, 10000);
  ::PostMessageW(save, WM_COMMAND, IDCANCEL, 0);
  ::PostMessageW(window, WM_CLOSE, 0, 0);
  EXPECT_EQ(::WaitForSingleObject(process, 30000), WAIT_OBJECT_0);

  for (const auto& dll : planted) {
    EXPECT_EQ(::GetFileAttributesW((folder + L"\\" + dll + L".loaded").c_str()),
              INVALID_FILE_ATTRIBUTES)
        << std::string(dll.begin(), dll.end()) << " was loaded from beside the program";
  }
}

}  // namespace
}  // namespace kestrun::testing
