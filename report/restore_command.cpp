#include "report/restore_command.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <optional>

#include "inventory/field_text.h"
#include "inventory/snapshot.h"
#include "report/command_runs.h"
#include "report/console.h"
#include "report/fleet.h"

namespace kestrun {

namespace {

// One restore: its plan, and what it had done should a step never end.
struct RestoreWork : RestoringWork {
  RestorePlan plan;
  bool whatIf = true;

  RestorePlan& Restoring() override { return plan; }
  void RecordAsItStands(std::wstring_view machine, DWORD code) override;
};

std::wstring DriverText(const SnapshotDriver& driver) {
  std::wstring text = Quoted(driver.name) + L" (";
  AppendShownText(text, driver.environment);
  return text + L", " + DriverVersionText(driver.driverVersion) + L")";
}

// "IP_10.1.2.3" (10.1.2.3:9100), or (printsrv LPR queue) for an LPR port.
std::wstring PortText(const SnapshotPort& port) {
  std::wstring text = Quoted(port.name) + L" (";
  AppendShownText(text, port.host);
  if (port.protocol == 1) return text + L":" + std::to_wstring(port.portNumber) + L")";
  text += L" LPR";
  if (!port.queue.empty()) text += L" ";
  AppendShownText(text, port.queue);
  return text + L")";
}

// What a restored printer is set to that could send or load something
// elsewhere: its port, its separator page and its Point and Print
// CopyFiles entries (each key with its module).
std::wstring PrinterSettingsText(const SnapshotPrinter& printer) {
  std::wstring text = L" on port " + Quoted(printer.portName);
  if (!printer.sepFile.empty()) text += L", separator page " + Quoted(printer.sepFile);
  constexpr std::wstring_view kCopyFiles = L"CopyFiles\\";
  std::vector<std::wstring> keys;
  for (const SnapshotValue& value : printer.data) {
    if (value.key.size() < kCopyFiles.size() ||
        !EqualsIgnoringAsciiCase(std::wstring_view(value.key).substr(0, kCopyFiles.size()),
                                 kCopyFiles)) {
      continue;
    }
    std::wstring entry;
    AppendShownText(entry, value.key);
    if (SameName(value.name, L"Module") && (value.type == REG_SZ || value.type == REG_EXPAND_SZ)) {
      std::wstring module(value.data.size() / sizeof(wchar_t), L'\0');
      if (!module.empty()) std::memcpy(module.data(), value.data.data(), module.size() * 2);
      module.resize(std::min(module.size(), module.find(L'\0')));
      entry += L" (Module ";
      AppendShownText(entry, module);
      entry += L")";
    }
    // A key's other values add nothing to the line.
    if (std::find(keys.begin(), keys.end(), entry) == keys.end()) keys.push_back(std::move(entry));
  }
  for (const std::wstring& key : keys) text += L", " + key;
  return text;
}

// The line and the row of one object: what would happen, or what did.
void RecordObject(ActionRecord& record, const RestoreResult& result, bool whatIf,
                  const wchar_t* kind, const std::wstring& shown, std::wstring_view name,
                  std::wstring_view environment, std::wstring_view version,
                  std::optional<ULONGLONG> size, size_t& go, size_t& kept, size_t& failed,
                  size_t& notTried) {
  const std::wstring object = std::wstring(kind) + L" " + shown;
  switch (result.outcome) {
    case RestoreOutcome::AlreadyThere:
      record.Add(L"Kept: " + object + L": already there",
                 {L"kept", kind, name, environment, version, 0, L"already there"}, size);
      ++kept;
      return;
    case RestoreOutcome::Restored:
      record.Add(L"Restored " + object, {L"restored", kind, name, environment, version, 0, {}},
                 size);
      ++go;
      return;
    case RestoreOutcome::Failed: {
      // Refused before it was tried: what the spooler would take from elsewhere.
      const bool refused = !result.refused.empty();
      const std::wstring why = refused ? result.refused : CodeText(result.error);
      record.Add((refused ? L"Not restored: " : L"Failed: ") + object + L": " + why,
                 {refused ? L"not restored" : L"failed", kind, name, environment, version,
                  result.error, why},
                 size);
      ++failed;
      return;
    }
    case RestoreOutcome::NotTried:
      record.Add(L"Not tried: " + object,
                 {L"not tried", kind, name, environment, version, ERROR_CANCELLED, {}}, size);
      ++notTried;
      return;
    case RestoreOutcome::Pending:
      break;
  }
  if (whatIf) {
    record.Add(L"What if: restore " + object,
               {L"would restore", kind, name, environment, version, 0, {}}, size);
    ++go;
  } else {  // never reached: the run ended first
    record.Add(L"Not tried: " + object,
               {L"not tried", kind, name, environment, version, ERROR_CANCELLED, {}}, size);
    ++notTried;
  }
}

void RecordRestore(ActionRecord& record, const RestorePlan& plan, bool whatIf,
                   ActionTotals& counts) {
  const Snapshot& snapshot = plan.snapshot;
  for (size_t k = 0; k < snapshot.packages.size(); ++k) {
    const std::wstring file(FileNamePart(snapshot.packages[k].infPath));
    RecordObject(record, plan.packages[k], whatIf, L"package", Quoted(file), file,
                 snapshot.packages[k].environment, snapshot.packages[k].version,
                 std::optional<ULONGLONG>(snapshot.packages[k].bytes), counts.packagesGo,
                 counts.packagesKept, counts.packagesFailed, counts.packagesNotTried);
  }
  for (size_t d = 0; d < snapshot.drivers.size(); ++d) {
    const SnapshotDriver& driver = snapshot.drivers[d];
    RecordObject(record, plan.drivers[d], whatIf, L"driver", DriverText(driver), driver.name,
                 driver.environment, DriverVersionText(driver.driverVersion), std::nullopt,
                 counts.driversGo, counts.driversKept, counts.driversFailed,
                 counts.driversNotTried);
  }
  for (size_t p = 0; p < snapshot.ports.size(); ++p) {
    const SnapshotPort& port = snapshot.ports[p];
    // A port kept as it is shows what it sends to on the machine.
    std::wstring shown = PortText(port);
    if (plan.ports[p].outcome == RestoreOutcome::AlreadyThere) {
      const bool read = p < plan.portsThere.size() && plan.portsThere[p];
      shown = read ? PortText(PortRecordOf(*plan.portsThere[p]))
                   : Quoted(port.name) + L" (not a TCP/IP port there)";
    }
    RecordObject(record, plan.ports[p], whatIf, L"port", shown, port.name, {}, {}, std::nullopt,
                 counts.portsGo, counts.portsKept, counts.portsFailed, counts.portsNotTried);
  }
  for (size_t p = 0; p < snapshot.printers.size(); ++p) {
    // Named as it is on the machine it goes to (with /to:, not the old server's).
    std::wstring name = LocalPrinterName(snapshot.printers[p].name);
    if (plan.target.isRemote) name = plan.targetName + L"\\" + name;
    std::wstring shown = Quoted(name);
    if (whatIf && plan.printers[p].outcome == RestoreOutcome::Pending) {
      shown += PrinterSettingsText(snapshot.printers[p]);
    }
    RecordObject(record, plan.printers[p], whatIf, L"printer", shown, name, {}, {}, std::nullopt,
                 counts.printersGo, counts.printersKept, counts.printersFailed,
                 counts.printersNotTried);
  }
}

void RestoreWork::RecordAsItStands(std::wstring_view machine, DWORD code) {
  if (stepInProgress)
    plan.ResultsOf(inProgress.kind)[inProgress.index] = {RestoreOutcome::Failed, code, {}};
  ActionRecord record(machine, outcome);
  RecordRestore(record, plan, false, outcome.counts);
}

// Lists the snapshot's machine, then records what would be restored, or restores it.
bool RestoreMachine(const RestorePlan& read, bool whatIf, MachineSteps& steps, RestoreWork& work) {
  work.plan = read;
  work.whatIf = whatIf;
  if (!steps.BeginReading()) return false;
  DWORD error = 0;
  std::wstring why;
  if (!PrepareRestore(work.plan, error, why)) {
    work.outcome.error = error;
    AppendShownText(work.outcome.why, why);
    return true;
  }
  work.outcome.time = UtcNow();
  if (!whatIf) {
    if (!steps.BeginChanging(std::make_unique<RestoreWork>(work))) return false;
    PaceRestore(work.plan, steps);
    ExecuteRestore(work.plan);
  }
  ActionRecord record(read.targetMachine, work.outcome);
  RecordRestore(record, work.plan, whatIf, work.outcome.counts);
  AddDeadlineLine(work.plan, work.outcome);
  return true;
}

}  // namespace

void AddDeadlineLine(const RestorePlan& plan, ActionOutcome& outcome) {
  if (plan.deadlineReached) {
    outcome.lines += L"  Stopped: the time limit was reached; what was not tried is as it was\r\n";
  }
}

void PaceRestore(RestorePlan& plan, MachineSteps& steps) {
  plan.stop = &steps.StopFlag();
  plan.beforeStep = [&steps, &plan](const RestoreStep& step) {
    const auto update = [&plan, &step](MachineResult& asItStands) {
      auto& record = static_cast<RestoringWork&>(asItStands);
      TakeResults(plan, record.Restoring());
      record.stepInProgress = true;
      record.inProgress = step;
    };
    if (step.kind != RestoreKind::Port && step.kind != RestoreKind::Printer) {
      return steps.BeginChange(update);
    }
    if (!steps.BeginSelfTimed(update)) return false;
    plan.deadline = steps.Deadline();
    return true;
  };
}

int RunRestore(const ReportRequest& request, CsvLog* log) {
  // Read and checked before anything is listed: a snapshot folder is untrusted.
  auto read = std::make_shared<RestorePlan>();
  std::wstring problem;
  if (!ReadRestorePlan(request.snapshotFolder, *read, problem, request.restoreTarget)) {
    std::wstring message = L"\r\nThe snapshot ";
    AppendShownText(message, read->folder.empty() ? request.snapshotFolder : read->folder);
    message += L" cannot be restored:\r\n";
    AppendShownText(message, problem);
    WriteConsoleRed((message + L"\r\n").c_str());
    return kExitFailed;
  }
  const bool whatIf = !request.cleanup.yes;
  const std::vector<std::wstring> machines = {read->targetMachine};
  const std::shared_ptr<const RestorePlan> plan = read;
  return RunActions(machines, request.timeoutSeconds, whatIf, log, kRestoreWords,
                    [plan, whatIf](size_t, MachineSteps& steps) -> std::unique_ptr<MachineResult> {
                      auto work = std::make_unique<RestoreWork>();
                      if (!RestoreMachine(*plan, whatIf, steps, *work)) return nullptr;
                      return work;
                    });
}

int RunRestoreRequest(const ReportRequest& request, std::unique_ptr<CsvLog>& log) {
  if (!OpenActionLog(request, log)) return kExitFailed;
  BeginRunOutput();
  return RunRestore(request, log.get());
}

}  // namespace kestrun
