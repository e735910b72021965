// Times the command-line report's path for 1,000 and 10,000 drivers from the
// fake spooler: enumeration, console output, the CSV log (against one plain
// write of the same bytes), and the process's peak memory.
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <string>

#include "inventory/driver_inventory.h"
#include "inventory/field_text.h"
#include "report/command_line.h"
#include "report/console.h"
#include "report/csv_log.h"
#include "tests/support/fake_spooler.h"
#include "ui/column_table.h"

using namespace kestrun;

namespace {

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to) {
  LARGE_INTEGER frequency;
  ::QueryPerformanceFrequency(&frequency);
  return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

LARGE_INTEGER Now() {
  LARGE_INTEGER now;
  ::QueryPerformanceCounter(&now);
  return now;
}

SIZE_T PrivateBytes(bool peak) {
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof(counters);
  ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof(counters));
  return peak ? counters.PeakPagefileUsage : counters.PagefileUsage;
}

std::wstring TempFile(const wchar_t* name) {
  wchar_t folder[MAX_PATH];
  ::GetTempPathW(MAX_PATH, folder);
  const std::wstring path = std::wstring(folder) + name;
  ::DeleteFileW(path.c_str());
  return path;
}

void RunOnce(size_t count) {
  testing::FakeSpooler spooler;
  spooler.machines[L"\\\\BENCH"].drivers = testing::GeneratedDrivers(count);
  spooler.Install();
  const double spoolerBytes = testing::DriverBufferSize(spooler.machines[L"\\\\BENCH"].drivers);
  const SIZE_T baseline = PrivateBytes(false);

  // Enumeration.
  const LARGE_INTEGER start = Now();
  ReleaseInventory();
  MakeCurrentInventory(CreateInventory());
  DriverInventory& inventory = *currentInventory;
  if (!EnumerateDrivers(inventory, L"BENCH")) {
    std::printf("enumeration failed: %lu\n", inventory.lastError);
    return;
  }
  const LARGE_INTEGER enumerated = Now();

  // Console output (to this benchmark's own console).
  const DRIVER_INFO_6* drivers = inventory.Drivers();
  for (DWORD i = 0; i < inventory.driverCount; ++i) {
    const auto line = JoinDependentFiles(inventory, drivers[i].pDependentFiles);
    PrintDriverBlock(drivers[i], line.get());
  }
  const LARGE_INTEGER printed = Now();

  // The log: header and every row, as the report writes them.
  const std::wstring logPath = TempFile(L"kestrun-bench.csv");
  DWORD openError = 0;
  size_t logBytes = 0;
  {
    std::unique_ptr<CsvLog> log = CsvLog::Open(logPath.c_str(), openError);
    FillColumnTable();
    const std::string header = CsvHeaderLine();
    log->AppendLines(header);
    logBytes += header.size();
    std::string row;
    for (DWORD i = 0; i < inventory.driverCount; ++i) {
      const auto line = JoinDependentFiles(inventory, drivers[i].pDependentFiles);
      row.clear();
      AppendDriverRow(row, drivers[i], line.get());
      log->AppendLines(row);
      logBytes += row.size();
    }
  }
  const LARGE_INTEGER logged = Now();
  const SIZE_T peak = PrivateBytes(true);

  // The same bytes, built the same way, in one buffered write, for comparison.
  const std::wstring plainPath = TempFile(L"kestrun-bench-plain.csv");
  std::string all;
  all.reserve(logBytes);
  const LARGE_INTEGER plainStart = Now();
  all += CsvHeaderLine();
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

  const double logSeconds = Seconds(printed, logged);
  const double plainSeconds = Seconds(plainStart, plainEnd);
  const double extraMiB = static_cast<double>(peak - baseline) / (1024.0 * 1024.0);
  const double limitMiB = (2.0 * spoolerBytes) / (1024.0 * 1024.0) + 8.0;
  std::fprintf(stderr,
               "%6zu drivers: enumeration %.3f s, console %.3f s, log %.3f s (%zu bytes; one "
               "buffered write %.3f s, ratio %.2f, target <= 1.5), peak memory above start %.1f "
               "MiB (spooler buffer %.1f MiB, limit %.1f MiB)\n",
               count, Seconds(start, enumerated), Seconds(enumerated, printed), logSeconds,
               logBytes, plainSeconds, plainSeconds > 0 ? logSeconds / plainSeconds : 0.0,
               extraMiB, spoolerBytes / (1024.0 * 1024.0), limitMiB);
  ReleaseInventory();
  testing::FakeSpooler::Uninstall();
  ::DeleteFileW(logPath.c_str());
  ::DeleteFileW(plainPath.c_str());
}

}  // namespace

int main() {
  ::FreeConsole();
  ::AllocConsole();
  ConsoleState state;
  state.outputHandle = ::GetStdHandle(STD_OUTPUT_HANDLE);
  ::GetConsoleScreenBufferInfo(state.outputHandle, &state.savedScreenInfo);
  consoleState = &state;
  remoteSession = new RemoteSession;
  for (const size_t count : {1000u, 10000u}) RunOnce(count);
  consoleState = nullptr;
  return 0;
}
