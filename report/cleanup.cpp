#include "report/cleanup.h"

#include <atomic>
#include <cwchar>
#include <memory>
#include <new>

#include "common/win32_handles.h"
#include "inventory/classification.h"
#include "inventory/deletion.h"
#include "inventory/driver_inventory.h"
#include "inventory/field_text.h"
#include "report/console.h"
#include "report/fleet.h"
#include "report/fleet_log.h"

namespace kestrun {

namespace {

// How long the end of a run waits for workers still inside a spooler call.
constexpr DWORD kWorkersEndMs = 5000;
constexpr const wchar_t* kActionsColumns[] = {L"Time",           L"Machine", L"Action",
                                              L"Kind",           L"Name",    L"Environment",
                                              L"Driver Version", L"Code",    L"Reason"};
constexpr char kBom[] = "\xEF\xBB\xBF";

std::atomic<bool> cleanupStopRequested{false};

BOOL WINAPI StopCleanupOnCtrl(DWORD) {
  cleanupStopRequested.store(true);
  return TRUE;
}

// Letter case folded the way the system's ordinal comparison folds it.
std::wstring Folded(std::wstring_view text) {
  std::wstring folded(text);
  if (!folded.empty()) {
    const int length = static_cast<int>(text.size());
    ::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, text.data(), length, folded.data(),
                    length, nullptr, nullptr, 0);
  }
  return folded;
}

bool HasWildcard(std::wstring_view pattern) {
  return pattern.find_first_of(L"*?") != std::wstring_view::npos;
}

std::wstring UtcNow() {
  SYSTEMTIME now = {};
  ::GetSystemTime(&now);
  wchar_t text[32] = {};
  std::swprintf(text, 32, L"%04d-%02d-%02dT%02d:%02d:%02dZ", static_cast<int>(now.wYear),
                static_cast<int>(now.wMonth), static_cast<int>(now.wDay),
                static_cast<int>(now.wHour), static_cast<int>(now.wMinute),
                static_cast<int>(now.wSecond));
  return text;
}

std::wstring Quoted(std::wstring_view text) {
  std::wstring quoted = L"\"";
  AppendShownText(quoted, text);
  return quoted + L"\"";
}

// One machine's outcome, filled by its worker and then owned by the main thread.
struct MachineOutcome {
  bool notStarted = false;
  DWORD error = 0;   // the machine failed: listing or preparation
  std::wstring why;  // what failed, before the system's text
  std::wstring lines;
  std::string rows;
  CleanupTotals counts;
};

// One machine's lines and log rows, in the same order.
class MachineRecord {
 public:
  MachineRecord(std::wstring_view machine, MachineOutcome& outcome)
      : machine_(machine), outcome_(outcome), time_(UtcNow()) {}

  void Add(const std::wstring& line, const ActionRow& row) {
    outcome_.lines += L"  " + line + L"\r\n";
    AppendActionRow(outcome_.rows, time_, machine_, row);
  }

 private:
  std::wstring_view machine_;
  MachineOutcome& outcome_;
  std::wstring time_;
};

std::wstring DriverText(std::wstring_view name, std::wstring_view environment,
                        std::wstring_view version) {
  std::wstring text = Quoted(name) + L" (";
  AppendShownText(text, environment);
  if (!version.empty()) text += L", " + std::wstring(version);
  return text + L")";
}

std::wstring PrinterText(std::wstring_view name, std::wstring_view driver) {
  std::wstring text = Quoted(name) + L" (";
  AppendShownText(text, driver);
  return text + L")";
}

// What a run shares with its workers: the request and the list (read only),
// the next machine's index and the completion port.
struct CleanupRun {
  const CleanupOptions* options = nullptr;
  std::vector<std::wstring> machines;
  std::atomic<size_t> next{0};
  UniqueHandle port;  // finished machines, in finishing order
  std::vector<UniqueHandle> workers;
};

// The printers that keep a selected driver: without "/printers" its own
// printers, and always a printer the plan keeps (on another server, or one
// whose environment is unknown), since deleting the driver would fail.
std::vector<std::wstring> KeepingPrinters(const DeletionPlan& plan, const PlannedDriver& driver,
                                          bool printersMayGo) {
  std::vector<std::wstring> keeping;
  if (!printersMayGo) {
    for (const size_t p : driver.printers) keeping.push_back(plan.printers[p].name);
  }
  if (driver.keptBy == kNotKept) return keeping;
  for (const KeptPrinter& kept : plan.kept) {
    if (kept.driverName == driver.name) keeping.push_back(kept.name);
  }
  return keeping;
}

void RecordKeptDriver(MachineRecord& record, const PlannedDriver& driver,
                      const std::wstring& version, const std::vector<std::wstring>& keeping) {
  std::wstring usedBy = L"used by ";
  for (size_t i = 0; i < keeping.size(); ++i) {
    if (i > 0) usedBy += L", ";
    AppendShownText(usedBy, keeping[i]);
  }
  record.Add(L"Kept: " + DriverText(driver.name, driver.environment, {}) + L": " + usedBy,
             {L"kept", L"driver", driver.name, driver.environment, version,
              ERROR_PRINTER_DRIVER_IN_USE, usedBy});
}

void RecordWhatIf(MachineRecord& record, const DeletionPlan& plan,
                  const std::vector<std::wstring>& versions, CleanupTotals& counts) {
  std::vector<bool> listed(plan.printers.size(), false);
  for (size_t d = 0; d < plan.drivers.size(); ++d) {
    const PlannedDriver& driver = plan.drivers[d];
    for (const size_t p : driver.printers) {
      if (listed[p]) continue;
      listed[p] = true;
      const PlannedPrinter& printer = plan.printers[p];
      record.Add(L"What if: delete printer " + PrinterText(printer.name, printer.driverName),
                 {L"would delete",
                  L"printer",
                  printer.name,
                  plan.serverEnvironment,
                  {},
                  0,
                  printer.driverName});
      ++counts.printersGo;
    }
    record.Add(
        L"What if: delete driver " + DriverText(driver.name, driver.environment, versions[d]),
        {L"would delete", L"driver", driver.name, driver.environment, versions[d], 0, {}});
    ++counts.driversGo;
  }
  for (const PlannedPackage& package : plan.packages) {
    const std::wstring file(FileNamePart(package.infPath));
    record.Add(L"What if: remove package " + Quoted(file),
               {L"would remove", L"package", file, package.environment, {}, 0, {}});
    ++counts.packagesGo;
  }
}

std::wstring CodeText(DWORD code) { return std::to_wstring(code) + L" " + SystemErrorText(code); }

// What a /yes run did, in the plan's order: each line says what happened.
void RecordOutcome(MachineRecord& record, const DeletionPlan& plan,
                   const std::vector<std::wstring>& versions, CleanupTotals& counts) {
  std::vector<bool> listed(plan.printers.size(), false);
  for (size_t d = 0; d < plan.drivers.size(); ++d) {
    const PlannedDriver& driver = plan.drivers[d];
    bool failureShown = false;  // the first printer left holds the driver's code
    for (const size_t p : driver.printers) {
      if (listed[p]) continue;
      listed[p] = true;
      const PlannedPrinter& printer = plan.printers[p];
      const std::wstring text = PrinterText(printer.name, printer.driverName);
      if (printer.deleted) {
        record.Add(L"Deleted printer " + text, {L"deleted",
                                                L"printer",
                                                printer.name,
                                                plan.serverEnvironment,
                                                {},
                                                0,
                                                printer.driverName});
        ++counts.printersGo;
      } else if (driver.error != ERROR_CANCELLED && !failureShown) {
        failureShown = true;
        const std::wstring why = CodeText(driver.error);
        record.Add(
            L"Failed: printer " + text + L": " + why,
            {L"failed", L"printer", printer.name, plan.serverEnvironment, {}, driver.error, why});
        ++counts.printersFailed;
      } else {
        record.Add(L"Not tried: printer " + text, {L"not tried",
                                                   L"printer",
                                                   printer.name,
                                                   plan.serverEnvironment,
                                                   {},
                                                   ERROR_CANCELLED,
                                                   {}});
      }
    }
    const std::wstring text = DriverText(driver.name, driver.environment, versions[d]);
    const ActionRow row = {{},          L"driver",    driver.name, driver.environment,
                           versions[d], driver.error, {}};
    if (driver.error == 0) {
      record.Add(L"Deleted driver " + text,
                 {L"deleted", row.kind, row.name, row.environment, row.version, 0, {}});
      ++counts.driversGo;
    } else if (driver.error == ERROR_CANCELLED) {
      record.Add(L"Not tried: driver " + text,
                 {L"not tried", row.kind, row.name, row.environment, row.version, row.code, {}});
      ++counts.driversNotTried;
    } else {
      const std::wstring why = CodeText(driver.error);
      record.Add(L"Failed: driver " + DriverText(driver.name, driver.environment, {}) + L": " + why,
                 {L"failed", row.kind, row.name, row.environment, row.version, row.code, why});
      ++counts.driversFailed;
    }
  }
  for (const PlannedPackage& package : plan.packages) {
    const std::wstring file(FileNamePart(package.infPath));
    if (package.outcome == PackageOutcome::Removed) {
      record.Add(L"Removed package " + Quoted(file),
                 {L"removed", L"package", file, package.environment, {}, 0, {}});
      ++counts.packagesGo;
      continue;
    }
    const bool stopped = plan.stop != nullptr && plan.stop->load();
    const std::wstring why =
        package.outcome == PackageOutcome::Kept
            ? CodeText(package.error)
            : std::wstring(stopped ? L"not tried" : L"a driver from it was not deleted");
    record.Add(L"Kept: package " + Quoted(file) + L": " + why,
               {L"kept", L"package", file, package.environment, {}, package.error, why});
    ++counts.packagesKept;
  }
}

void RecordKeptPackages(MachineRecord& record, const DeletionPlan& plan,
                        const std::vector<PlannedPackage>& keptPackages, CleanupTotals& counts) {
  for (const std::wstring& path : plan.nativePackages) {
    const std::wstring file(FileNamePart(path));
    record.Add(L"Kept: package " + Quoted(file) + L": the system's own",
               {L"kept", L"package", file, {}, {}, 0, L"the system's own"});
    ++counts.packagesKept;
  }
  for (const PlannedPackage& package : keptPackages) {
    const std::wstring file(FileNamePart(package.infPath));
    record.Add(
        L"Kept: package " + Quoted(file) + L": a driver from it is kept",
        {L"kept", L"package", file, package.environment, {}, 0, L"a driver from it is kept"});
    ++counts.packagesKept;
  }
  if (plan.packageListError != 0) {
    const std::wstring why = L"the driver packages could not be read: " +
                             std::to_wstring(plan.packageListError) + L" " +
                             SystemErrorText(plan.packageListError);
    record.Add(L"Kept: " + why, {L"kept", L"package", {}, {}, {}, plan.packageListError, why});
  }
}

// Lists one machine, plans its clean-up with the deletion engine and records
// the plan.
void CleanUpMachine(const CleanupRun& run, const std::wstring& machine, MachineOutcome& outcome) {
  const CleanupOptions& options = *run.options;
  const std::unique_ptr<DriverInventory> inventory = CreateInventory();
  if (!inventory) {
    outcome.error = ERROR_NOT_ENOUGH_MEMORY;
    return;
  }
  if (!EnumerateDrivers(*inventory, machine)) {
    outcome.error = inventory->lastError;
    return;
  }
  if (options.unused && !inventory->printerUse) {
    outcome.error = inventory->printerError != 0 ? inventory->printerError : ERROR_INVALID_DATA;
    outcome.why = L"its printers could not be read, so no driver is known to be unused: ";
    return;
  }

  DeletionPlan plan = PlanOnTarget(*inventory);
  plan.withSession = false;
  plan.removePackages = options.packages;
  std::vector<std::wstring> versions;
  const DRIVER_INFO_6* drivers = inventory->Drivers();
  for (DWORD i = 0; i < inventory->driverCount; ++i) {
    const DRIVER_INFO_6& driver = drivers[i];
    const DWORD* printers = inventory->printerUse ? &inventory->printerUse[i] : nullptr;
    if (!SelectsDriver(options, FieldOrEmpty(driver.pName), FieldOrEmpty(driver.pEnvironment),
                       !IsNonNativeDriver(driver), printers)) {
      continue;
    }
    AddPlannedDriver(plan, driver);
    versions.push_back(DriverVersionText(driver.dwlDriverVersion));
  }
  MachineRecord record(machine, outcome);
  if (plan.drivers.empty()) return;  // nothing to delete: a success

  DWORD error = 0;
  if (!PrepareDeletion(plan, error)) {
    outcome.error = error;
    outcome.why = L"its printers could not be read: ";
    return;
  }

  std::vector<bool> drop(plan.drivers.size(), false);
  for (size_t d = 0; d < plan.drivers.size(); ++d) {
    const std::vector<std::wstring> keeping =
        KeepingPrinters(plan, plan.drivers[d], options.printers);
    if (keeping.empty()) continue;
    drop[d] = true;
    RecordKeptDriver(record, plan.drivers[d], versions[d], keeping);
    ++outcome.counts.driversKept;
  }
  std::vector<PlannedPackage> keptPackages;
  const std::vector<size_t> before = DropDrivers(plan, drop, keptPackages);
  std::vector<std::wstring> keptVersions;
  for (const size_t d : before) keptVersions.push_back(versions[d]);

  if (options.yes) {
    plan.stop = &cleanupStopRequested;
    ExecuteDeletion(plan, nullptr);
    RecordOutcome(record, plan, keptVersions, outcome.counts);
  } else {
    RecordWhatIf(record, plan, keptVersions, outcome.counts);
    AbandonDeletion(plan);
  }
  RecordKeptPackages(record, plan, keptPackages, outcome.counts);
}

DWORD WINAPI CleanupWorker(void* parameter) {
  CleanupRun& run = *static_cast<CleanupRun*>(parameter);
  for (;;) {
    const size_t index = run.next.fetch_add(1);
    if (index >= run.machines.size()) return 0;
    // An outcome that cannot be allocated reaches the main thread as null.
    MachineOutcome* outcome = new (std::nothrow) MachineOutcome;
    if (outcome && cleanupStopRequested.load()) {
      outcome->notStarted = true;  // after Ctrl+C no machine starts
    } else if (outcome) {
      try {
        CleanUpMachine(run, run.machines[index], *outcome);
      } catch (const std::bad_alloc&) {
        *outcome = MachineOutcome();
        outcome->error = ERROR_NOT_ENOUGH_MEMORY;
      }
    }
    ::PostQueuedCompletionStatus(run.port.get(), 0, index, reinterpret_cast<OVERLAPPED*>(outcome));
  }
}

class CtrlHandlerRegistration {
 public:
  CtrlHandlerRegistration() {
    cleanupStopRequested.store(false);
    ::SetConsoleCtrlHandler(StopCleanupOnCtrl, TRUE);
  }
  ~CtrlHandlerRegistration() { ::SetConsoleCtrlHandler(StopCleanupOnCtrl, FALSE); }
  CtrlHandlerRegistration(const CtrlHandlerRegistration&) = delete;
  CtrlHandlerRegistration& operator=(const CtrlHandlerRegistration&) = delete;
};

std::wstring MachineLine(size_t finished, size_t total, std::wstring_view machine,
                         const CleanupTotals& counts, bool whatIf) {
  std::wstring line = L"[" + std::to_wstring(finished) + L"/" + std::to_wstring(total) + L"] ";
  AppendShownText(line, machine);
  line += L"  ";
  if (counts.driversGo + counts.driversKept + counts.driversFailed + counts.driversNotTried == 0) {
    return line + L"nothing to delete\r\n";
  }
  line += std::to_wstring(counts.driversGo) + (counts.driversGo == 1 ? L" driver" : L" drivers") +
          (whatIf ? L" to delete" : L" deleted");
  if (counts.driversKept > 0) line += L", " + std::to_wstring(counts.driversKept) + L" kept";
  if (counts.driversFailed > 0) line += L", " + std::to_wstring(counts.driversFailed) + L" failed";
  if (counts.driversNotTried > 0) {
    line += L", " + std::to_wstring(counts.driversNotTried) + L" not tried";
  }
  return line + L"\r\n";
}

bool AnyLeft(const CleanupTotals& counts) {
  return counts.driversKept + counts.driversFailed + counts.driversNotTried +
             counts.printersFailed + counts.packagesKept >
         0;
}

void AddCounts(CleanupTotals& totals, const CleanupTotals& machine) {
  totals.driversGo += machine.driversGo;
  totals.driversKept += machine.driversKept;
  totals.driversFailed += machine.driversFailed;
  totals.driversNotTried += machine.driversNotTried;
  totals.printersGo += machine.printersGo;
  totals.printersFailed += machine.printersFailed;
  totals.packagesGo += machine.packagesGo;
  totals.packagesKept += machine.packagesKept;
}

}  // namespace

bool MatchesDriverPattern(std::wstring_view pattern, std::wstring_view name) {
  const std::wstring p = Folded(pattern);
  const std::wstring n = Folded(name);
  // Greedy, going back to the last "*" on a mismatch: linear in practice,
  // never worse than the product of the lengths.
  size_t pi = 0;
  size_t ni = 0;
  size_t star = std::wstring::npos;
  size_t resume = 0;
  while (ni < n.size()) {
    if (pi < p.size() && (p[pi] == L'?' || p[pi] == n[ni])) {
      ++pi;
      ++ni;
    } else if (pi < p.size() && p[pi] == L'*') {
      star = pi++;
      resume = ni;
    } else if (star != std::wstring::npos) {
      pi = star + 1;
      ni = ++resume;
    } else {
      return false;
    }
  }
  while (pi < p.size() && p[pi] == L'*') ++pi;
  return pi == p.size();
}

bool SelectsDriver(const CleanupOptions& options, std::wstring_view name,
                   std::wstring_view environment, bool native, const DWORD* printers) {
  if (name.empty()) return false;
  if (!options.environment.empty() && !EqualsIgnoringAsciiCase(environment, options.environment)) {
    return false;
  }
  if (options.unused && (native || printers == nullptr || *printers != 0)) return false;
  if (options.driverPatterns.empty()) return options.unused;
  for (const std::wstring& pattern : options.driverPatterns) {
    if (native && HasWildcard(pattern)) continue;
    if (MatchesDriverPattern(pattern, name)) return true;
  }
  return false;
}

std::string ActionsLogHeader() {
  std::string header = kBom;
  for (const wchar_t* title : kActionsColumns) {
    if (header.size() > sizeof(kBom) - 1) header += ',';
    AppendFleetField(header, title);
  }
  return header + "\r\n";
}

bool HoldsAnotherHeader(std::string_view firstBytes) {
  if (firstBytes.empty()) return false;
  const std::string header = ActionsLogHeader();
  if (firstBytes.substr(0, header.size()) == header) return false;
  // Saved again without its BOM, it is still the action log.
  const std::string_view bare = std::string_view(header).substr(sizeof(kBom) - 1);
  return firstBytes.substr(0, bare.size()) != bare;
}

void AppendActionRow(std::string& bytes, std::wstring_view time, std::wstring_view machine,
                     const ActionRow& row) {
  const std::wstring code = std::to_wstring(row.code);
  const std::wstring_view fields[] = {time,        machine,  row.action,
                                      row.kind,    row.name, row.environment,
                                      row.version, code,     row.reason};
  for (size_t i = 0; i < std::size(fields); ++i) {
    if (i > 0) bytes += ',';
    AppendFleetField(bytes, fields[i]);
  }
  bytes += "\r\n";
}

std::wstring CleanupSummaryLine(const CleanupTotals& totals, bool whatIf) {
  const auto n = [](size_t count) { return std::to_wstring(count); };
  std::wstring line =
      L"\r\nMachines: " + n(totals.machinesDone) + (whatIf ? L" planned" : L" cleaned");
  if (totals.machinesFailed > 0 || !whatIf) line += L", " + n(totals.machinesFailed) + L" failed";
  if (totals.machinesNotStarted > 0) line += L", " + n(totals.machinesNotStarted) + L" not started";
  line += L". Drivers: " + n(totals.driversGo) + (whatIf ? L" to delete, " : L" deleted, ") +
          n(totals.driversKept) + L" kept";
  if (!whatIf) line += L", " + n(totals.driversFailed) + L" failed";
  if (totals.driversNotTried > 0) line += L", " + n(totals.driversNotTried) + L" not tried";
  line += L". Printers: " + n(totals.printersGo) + (whatIf ? L" to delete" : L" deleted");
  if (totals.printersFailed > 0) line += L", " + n(totals.printersFailed) + L" failed";
  line += L". Packages: " + n(totals.packagesGo) + (whatIf ? L" to remove, " : L" removed, ") +
          n(totals.packagesKept) + L" kept.\r\n";
  return line;
}

int RunCleanup(const ReportRequest& request, std::vector<std::wstring> machines, CsvLog* log) {
  const size_t total = machines.size();
  auto run = std::make_unique<CleanupRun>();
  run->options = &request.cleanup;
  run->machines = std::move(machines);
  const CtrlHandlerRegistration ctrlHandler;
  const std::string header = ActionsLogHeader();

  DWORD setupError = ERROR_SUCCESS;
  run->port.reset(::CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
  if (!run->port) setupError = ::GetLastError();
  const size_t workerCount = total < kMaxFleetWorkers ? total : kMaxFleetWorkers;
  for (size_t i = 0; setupError == ERROR_SUCCESS && i < workerCount; ++i) {
    UniqueHandle worker(::CreateThread(nullptr, 0, CleanupWorker, run.get(), 0, nullptr));
    if (!worker) {
      if (run->workers.empty()) setupError = ::GetLastError();
      break;
    }
    run->workers.push_back(std::move(worker));
  }
  if (setupError != ERROR_SUCCESS) {
    std::wstring failure = L"Failed to start the clean-up: " + std::to_wstring(setupError) + L" ";
    AppendShownText(failure, SystemErrorText(setupError));
    WriteConsoleRed((failure + L"\r\n").c_str());
    return kExitFailed;
  }

  const bool whatIf = !request.cleanup.yes;
  CleanupTotals totals;
  DWORD logError = ERROR_SUCCESS;
  size_t finished = 0;
  for (size_t received = 0; received < total; ++received) {
    DWORD ignored = 0;
    ULONG_PTR index = 0;
    OVERLAPPED* packet = nullptr;
    if (!::GetQueuedCompletionStatus(run->port.get(), &ignored, &index, &packet, INFINITE)) break;
    const std::unique_ptr<MachineOutcome> outcome(reinterpret_cast<MachineOutcome*>(packet));
    if (outcome && outcome->notStarted) {
      ++totals.machinesNotStarted;
      continue;
    }
    const std::wstring& machine = run->machines[index];
    ++finished;
    const DWORD error = outcome ? outcome->error : ERROR_NOT_ENOUGH_MEMORY;
    if (error != 0) {
      ++totals.machinesFailed;
      const std::wstring why = outcome ? outcome->why : std::wstring();
      WriteConsoleRed(
          FleetFailedLine(finished, total, machine, error, why + SystemErrorText(error)).c_str());
      FlushConsole();
      continue;
    }
    if (log && !outcome->rows.empty() && logError == ERROR_SUCCESS) {
      logError = log->AppendWhole(outcome->rows, header);
      if (logError != ERROR_SUCCESS) {
        // Nothing more is started that the log could not account for.
        cleanupStopRequested.store(true);
        PrintLogWriteFailure(*log, logError);
      }
    }
    const bool left = !whatIf && AnyLeft(outcome->counts);
    ++(left ? totals.machinesFailed : totals.machinesDone);
    AddCounts(totals, outcome->counts);
    WriteConsoleRed(outcome->lines.c_str());
    WriteConsoleColored(left ? kRed : kGreen,
                        MachineLine(finished, total, machine, outcome->counts, whatIf).c_str());
    FlushConsole();
  }

  std::vector<HANDLE> handles;
  for (const UniqueHandle& worker : run->workers) handles.push_back(worker.get());
  if (::WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), TRUE,
                               kWorkersEndMs) != WAIT_OBJECT_0) {
    (void)run.release();  // left to the process's end, with the workers that use it
  }
  const bool clean = !cleanupStopRequested.load() && logError == ERROR_SUCCESS &&
                     totals.machinesFailed == 0 && totals.machinesNotStarted == 0 &&
                     (whatIf || !AnyLeft(totals));
  WriteConsoleColored(clean ? kGreen : kRed, CleanupSummaryLine(totals, whatIf).c_str());
  return clean ? kExitOk : kExitFailed;
}

}  // namespace kestrun
