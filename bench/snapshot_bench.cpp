// Snapshots and restores against the test spooler, each beside what an admin's
// own script would do: 100 drivers of 20 files each (1 MiB per driver) saved
// against copying the same files with one CopyFileW each, and put back
// against copying them into the driver folder and adding each driver with
// AddPrinterDriverExW.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/measure.h"
#include "inventory/deletion.h"
#include "inventory/platform.h"
#include "inventory/restore.h"
#include "inventory/snapshot.h"
#include "tests/support/fake_spooler.h"

using namespace kestrun;
using kestrun::testing::FakeDriver;
using kestrun::testing::FakeSpooler;

namespace {

constexpr int kDrivers = 100;
constexpr int kFilesPerDriver = 20;
constexpr DWORD kFileBytes = 1024 * 1024 / kFilesPerDriver;

std::wstring FolderBelowTemp(const std::wstring& name) {
  const std::wstring folder = bench::TempFile(name);
  ::CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}

FakeDriver BenchDriver(int d) {
  const std::wstring folder = L"C:\\Windows\\System32\\spool\\DRIVERS\\x64\\3\\";
  const std::wstring tag = std::to_wstring(d) + L"_";
  FakeDriver driver = testing::RichDriver(L"Bench Driver " + std::to_wstring(d), L"Contoso");
  driver.driverPath = folder + tag + L"D.DLL";
  driver.dataFile = folder + tag + L"D.GPD";
  driver.configFile = folder + tag + L"UI.DLL";
  driver.helpFile = folder + tag + L"D.HLP";
  driver.dependentFiles.emplace();
  for (int f = 4; f < kFilesPerDriver; ++f) {
    driver.dependentFiles->push_back(folder + tag + L"R" + std::to_wstring(f) + L".DLL");
  }
  return driver;
}

}  // namespace

int main() {
  FakeSpooler spooler;
  spooler.machines[L"\\\\BENCH"] = {};
  for (int d = 0; d < kDrivers; ++d)
    spooler.machines[L"\\\\BENCH"].drivers.push_back(BenchDriver(d));
  spooler.Install();

  // The files, each kFileBytes, where the spooler's driver folder has them.
  wchar_t folder[MAX_PATH] = {};
  DWORD needed = 0;
  wchar_t server[] = L"\\\\BENCH", environment[] = L"Windows x64";
  Platform().GetPrinterDriverDirectoryW(server, environment, 1, reinterpret_cast<BYTE*>(folder),
                                        sizeof(folder), &needed);
  const std::wstring versionFolder = std::wstring(folder) + L"\\3";
  std::vector<std::wstring> files;
  const std::string bytes(kFileBytes, 'k');
  for (const FakeDriver& driver : spooler.machines[L"\\\\BENCH"].drivers) {
    std::vector<std::wstring> named = {*driver.driverPath, *driver.dataFile, *driver.configFile,
                                       *driver.helpFile};
    named.insert(named.end(), driver.dependentFiles->begin(), driver.dependentFiles->end());
    for (const std::wstring& path : named) {
      files.push_back(versionFolder + path.substr(path.find_last_of(L'\\')));
      bench::WriteFile(files.back(), bytes);
    }
  }

  // Each figure is the best of a few runs: the machine's other work only adds to a run.
  constexpr int kRuns = 5;
  double copySeconds = 1e9, snapshotSeconds = 1e9, addSeconds = 1e9, restoreSeconds = 1e9;
  LARGE_INTEGER start;

  DeletionPlan plan;
  plan.machineText = L"BENCH";
  plan.targetName = L"\\\\BENCH";
  plan.isRemote = true;
  for (int d = 0; d < kDrivers; ++d) {
    PlannedDriver driver;
    driver.name = L"Bench Driver " + std::to_wstring(d);
    driver.environment = L"Windows x64";
    driver.version = 3;
    plan.drivers.push_back(driver);
  }

  // Saving: plain copies and a snapshot of the same drivers, taken in turns so
  // both meet the disk in the same state.
  std::wstring copies, snapshot, problem;
  for (int run = 0; run < kRuns; ++run) {
    copies = FolderBelowTemp(L"kestrun-bench-copies" + std::to_wstring(run));
    start = bench::Now();
    for (const std::wstring& file : files) {
      ::CopyFileW(file.c_str(), (copies + file.substr(file.find_last_of(L'\\'))).c_str(), FALSE);
    }
    copySeconds = std::min(copySeconds, bench::Seconds(start, bench::Now()));
    start = bench::Now();
    const DWORD error =
        TakeSnapshot(plan, FolderBelowTemp(L"kestrun-bench-snapshots"), snapshot, problem);
    snapshotSeconds = std::min(snapshotSeconds, bench::Seconds(start, bench::Now()));
    if (error != 0) {
      std::fwprintf(stderr, L"the snapshot failed: %ls (%lu)\n", problem.c_str(), error);
      return 1;
    }
  }

  // Putting back: the files copied into the driver folder and each driver
  // added, and a restore of the snapshot (read and checked, then put back), in turns.
  auto& machine = spooler.machines[L"\\\\BENCH"];
  const std::vector<FakeDriver> installed = machine.drivers;
  size_t restored = 0;
  for (int run = 0; run < kRuns; ++run) {
    machine.drivers.clear();
    start = bench::Now();
    for (const FakeDriver& driver : installed) {
      std::vector<std::wstring> placed;
      std::vector<std::wstring> named = {*driver.driverPath, *driver.dataFile, *driver.configFile,
                                         *driver.helpFile};
      named.insert(named.end(), driver.dependentFiles->begin(), driver.dependentFiles->end());
      std::wstring dependent;
      for (const std::wstring& path : named) {
        const std::wstring name = path.substr(path.find_last_of(L'\\'));
        placed.push_back(std::wstring(folder) + name);
        ::CopyFileW((copies + name).c_str(), placed.back().c_str(), FALSE);
        if (placed.size() > 4) dependent += placed.back() + L'\0';
      }
      dependent += L'\0';
      std::wstring driverName = *driver.name, env = L"Windows x64";
      DRIVER_INFO_6W info = {};
      info.cVersion = 3;
      info.pName = driverName.data();
      info.pEnvironment = env.data();
      info.pDriverPath = placed[0].data();
      info.pDataFile = placed[1].data();
      info.pConfigFile = placed[2].data();
      info.pHelpFile = placed[3].data();
      info.pDependentFiles = dependent.data();
      Platform().AddPrinterDriverExW(server, 6, reinterpret_cast<BYTE*>(&info), APD_COPY_NEW_FILES);
    }
    addSeconds = std::min(addSeconds, bench::Seconds(start, bench::Now()));

    machine.drivers.clear();
    start = bench::Now();
    RestorePlan restore;
    DWORD restoreError = 0;
    const bool read = ReadRestorePlan(snapshot, restore, problem);
    if (!read || !PrepareRestore(restore, restoreError, problem)) {
      std::fwprintf(stderr, L"the restore failed: %ls (%lu)\n", problem.c_str(), restoreError);
      return 1;
    }
    ExecuteRestore(restore);
    restoreSeconds = std::min(restoreSeconds, bench::Seconds(start, bench::Now()));
    restored = 0;
    for (const RestoreResult& result : restore.drivers) {
      restored += result.outcome == RestoreOutcome::Restored ? 1 : 0;
    }
  }

  std::fwprintf(stderr, L"Snapshots, %d drivers of %d files (%.1f MiB in all), test spooler:\n",
                kDrivers, kFilesPerDriver, kDrivers * 1.0);
  std::fwprintf(
      stderr,
      L"  snapshot %.3f s against one CopyFileW per file %.3f s: %.2f times (at most 1.5)\n",
      snapshotSeconds, copySeconds, snapshotSeconds / copySeconds);
  std::fwprintf(
      stderr,
      L"  restore (read, checked, put back; %zu drivers) %.3f s against copying the files "
      L"and AddPrinterDriverExW %.3f s: %.2f times (at most 1.5)\n",
      restored, restoreSeconds, addSeconds, restoreSeconds / addSeconds);
  FakeSpooler::Uninstall();
  return 0;
}
