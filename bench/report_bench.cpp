// Times the command-line report for 1,000 and 10,000 drivers from the fake
// spooler: enumeration, the log (one locked append of the run's header and
// rows, against one plain write of the same bytes) with the run's peak memory,
// and the console: the report's blocks of 10,000 drivers in colour against the
// same characters without colour in 32 KiB pieces, both in this run, and the
// same output with standard output redirected to a file. Run it
// from a console (scripts/bench.sh runs it in a pseudo-terminal through the
// command interpreter); the figures go to the file named by its argument.
#include <windows.h>

#include <cstdio>
#include <string>

#include "inventory/driver_inventory.h"
#include "inventory/field_text.h"
#include "report/command_line.h"
#include "report/console.h"
#include "report/csv_log.h"
#include "bench/measure.h"
#include "tests/support/fake_spooler.h"
#include "inventory/column_table.h"

using namespace kestrun;
using bench::Now;
using bench::Seconds;
using bench::TempFile;

namespace {

constexpr double kMiB = 1024.0 * 1024.0;
constexpr size_t kUncolouredPieceChars = 16 * 1024;  // 32 KiB

FILE* figures = stderr;

// The console the bench was started from, as the report sets it up.
ConsoleState OpenConsole(bool virtualTerminal) {
  ConsoleState state;
  state.outputHandle = ::GetStdHandle(STD_OUTPUT_HANDLE);
  ::GetConsoleScreenBufferInfo(state.outputHandle, &state.savedScreenInfo);
  if (virtualTerminal) EnableVirtualTerminal(state);
  return state;
}

// The report's output of the drivers: every block, then the last line.
double PrintBlocksTo(ConsoleState& state, DriverInventory& inventory, DWORD count) {
  consoleState = &state;
  const DRIVER_INFO_6* drivers = inventory.Drivers();
  DriverFacts facts;
  const LARGE_INTEGER start = Now();
  for (DWORD i = 0; i < count; ++i) {
    const auto line = JoinDependentFiles(inventory, drivers[i].pDependentFiles);
    DescribeDriver(inventory, i, DateForm::Iso, facts);
    PrintDriverBlock(drivers[i], line.get(), &facts);
  }
  WriteConsoleRed(L"\r\n");
  RestoreConsole(state);
  const LARGE_INTEGER end = Now();
  consoleState = nullptr;
  return Seconds(start, end);
}

double PrintBlocks(DriverInventory& inventory, DWORD count, bool virtualTerminal,
                   bool& tookVirtualTerminal) {
  ConsoleState state = OpenConsole(virtualTerminal);
  tookVirtualTerminal = state.virtualTerminal;
  return PrintBlocksTo(state, inventory, count);
}

// The same output with standard output redirected to a file.
double PrintBlocksToFile(DriverInventory& inventory, DWORD count, const std::wstring& path) {
  ConsoleState state;
  state.redirected = true;
  state.outputHandle = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
  const double seconds = PrintBlocksTo(state, inventory, count);
  ::CloseHandle(state.outputHandle);
  ::DeleteFileW(path.c_str());
  return seconds;
}

// The same characters without colour (the six facts' lines included), written
// in 32 KiB pieces.
double WriteUncoloured(DriverInventory& inventory, DWORD count, size_t& characters) {
  std::wstring text;
  const DRIVER_INFO_6* drivers = inventory.Drivers();
  const HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
  DriverFacts facts;
  const LARGE_INTEGER start = Now();
  for (DWORD i = 0; i < count; ++i) {
    const auto line = JoinDependentFiles(inventory, drivers[i].pDependentFiles);
    DescribeDriver(inventory, i, DateForm::Iso, facts);
    const DriverBlockText block = BuildDriverBlock(drivers[i], line.get(), &facts);
    text += block.separator;
    text += block.name;
    text += block.fields;
  }
  text += L"\r\n";
  characters = text.size();
  for (size_t at = 0; at < text.size(); at += kUncolouredPieceChars) {
    const size_t length =
        text.size() - at < kUncolouredPieceChars ? text.size() - at : kUncolouredPieceChars;
    DWORD written = 0;
    ::WriteConsoleW(output, text.data() + at, static_cast<DWORD>(length), &written, nullptr);
  }
  const LARGE_INTEGER end = Now();
  return Seconds(start, end);
}

void RunOnce(size_t count) {
  testing::FakeSpooler spooler;
  spooler.machines[L"\\\\BENCH"].drivers = testing::GeneratedDrivers(count);
  // Half as many printers as drivers, each using one of them.
  for (size_t i = 0; i < count / 2; ++i) {
    spooler.machines[L"\\\\BENCH"].printers.push_back(
        {L"Printer " + std::to_wstring(i), *spooler.machines[L"\\\\BENCH"].drivers[i * 2].name});
  }
  spooler.Install();
  const double spoolerBytes = testing::DriverBufferSize(spooler.machines[L"\\\\BENCH"].drivers);
  bench::PeakMemory peak;

  const LARGE_INTEGER start = Now();
  ReleaseInventory();
  MakeCurrentInventory(CreateInventory());
  DriverInventory& inventory = *currentInventory;
  if (!EnumerateDrivers(inventory, L"BENCH")) {
    std::fprintf(figures, "enumeration failed: %lu\n", inventory.lastError);
    return;
  }
  const LARGE_INTEGER enumerated = Now();

  // The report's log path, without a console.
  const std::wstring logPath = TempFile(L"kestrun-bench.csv");
  {
    DWORD openError = 0;
    std::unique_ptr<CsvLog> log = CsvLog::Open(logPath.c_str(), openError);
    PrintAndLogDrivers(inventory, log.get());
  }
  const LARGE_INTEGER logged = Now();
  const double extraMiB = peak.MiBAboveStart();

  // The same bytes, built the same way, in one buffered write, for comparison.
  const std::wstring plainPath = TempFile(L"kestrun-bench-plain.csv");
  const LARGE_INTEGER plainStart = Now();
  FillColumnTable();
  std::string all = CsvHeaderLine();
  const DRIVER_INFO_6* drivers = inventory.Drivers();
  for (DWORD i = 0; i < inventory.driverCount; ++i) {
    const auto line = JoinDependentFiles(inventory, drivers[i].pDependentFiles);
    AppendDriverRow(all, drivers[i], line.get());
  }
  HANDLE plain = ::CreateFileW(plainPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD written = 0;
  ::WriteFile(plain, all.data(), static_cast<DWORD>(all.size()), &written, nullptr);
  ::CloseHandle(plain);
  const LARGE_INTEGER plainEnd = Now();

  const double logSeconds = Seconds(enumerated, logged);
  const double plainSeconds = Seconds(plainStart, plainEnd);
  const double limitMiB = 2.0 * spoolerBytes / kMiB + 8.0;
  std::fprintf(figures,
               "%6zu drivers: enumeration %.3f s; blocks and log without a console %.3f s (%zu "
               "bytes; one buffered write "
               "%.3f s, ratio %.2f); peak memory above start %.1f MiB (spooler buffer %.1f MiB, "
               "limit %.1f MiB: %s)\n",
               count, Seconds(start, enumerated), logSeconds, all.size(), plainSeconds,
               plainSeconds > 0 ? logSeconds / plainSeconds : 0.0, extraMiB, spoolerBytes / kMiB,
               limitMiB, extraMiB <= limitMiB ? "within" : "OVER");

  if (count >= 10000) {
    bool tookVirtualTerminal = false;
    size_t characters = 0;
    const double uncoloured = WriteUncoloured(inventory, inventory.driverCount, characters);
    const double coloured =
        PrintBlocks(inventory, inventory.driverCount, true, tookVirtualTerminal);
    constexpr DWORD kAttributeDrivers = 1000;  // the old path is slow: a sample
    bool ignored = false;
    const double attributes = PrintBlocks(inventory, kAttributeDrivers, false, ignored);
    const double redirected =
        PrintBlocksToFile(inventory, inventory.driverCount, TempFile(L"kestrun-bench-out.txt"));
    std::fprintf(figures,
                 "%6zu drivers to the console (%zu characters): in colour %.3f s (%s); "
                 "uncoloured in 32 KiB pieces %.3f s; ratio %.2f (target <= 2.0); "
                 "attribute changes per run, %lu drivers: %.3f s; redirected to a file "
                 "%.3f s (target <= the console's %.3f s: %s)\n",
                 count, characters, coloured,
                 tookVirtualTerminal ? "virtual-terminal sequences" : "CONSOLE REFUSED THEM",
                 uncoloured, uncoloured > 0 ? coloured / uncoloured : 0.0, kAttributeDrivers,
                 attributes, redirected, coloured, redirected <= coloured ? "within" : "OVER");
  }
  ReleaseInventory();
  testing::FakeSpooler::Uninstall();
  ::DeleteFileW(logPath.c_str());
  ::DeleteFileW(plainPath.c_str());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc > 1) figures = _wfopen(argv[1], L"w");
  if (figures == nullptr) return 1;
  DWORD mode = 0;
  if (!::GetConsoleMode(::GetStdHandle(STD_OUTPUT_HANDLE), &mode)) {
    std::fprintf(figures, "(no console of its own: console figures go to a new, unseen one)\n");
    ::FreeConsole();
    ::AllocConsole();
  }
  remoteSession = new RemoteSession;
  for (const size_t count : {1000u, 10000u}) RunOnce(count);
  std::fclose(figures);
  return 0;
}
