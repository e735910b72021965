#include "report/copy_command.h"

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "inventory/copy_plan.h"
#include "inventory/deletion.h"
#include "inventory/driver_inventory.h"
#include "inventory/field_text.h"
#include "inventory/machine_paths.h"
#include "inventory/printers.h"
#include "inventory/restore.h"
#include "inventory/snapshot.h"
#include "inventory/spooler_answer.h"
#include "report/action_run.h"
#include "report/cleanup.h"
#include "report/command_runs.h"
#include "report/console.h"

namespace kestrun {

namespace {

// How long an ending run waits for a snapshot to remove its partial folder.
constexpr DWORD kSnapshotsEndMs = 10000;

// What every worker of a run reads; a worker left inside a call may outlive the run.
struct CopyContext {
  ReportRequest request;
  std::vector<std::wstring> sources;
};

struct CopyWork;
void RecordCopy(std::wstring_view machine, CopyWork& work, bool whatIf);

// One source's copy from its plan to its record.
struct CopyWork : ActionWork {
  std::shared_ptr<const CopyContext> context;
  std::wstring source;
  std::wstring target;  // as the lines name it
  CopyPlan plan;
  RestorePlan restore;
  bool restoring = false;  // the restore's outcomes hold what happened
  bool stepInProgress = false;
  RestoreStep inProgress;

  void RecordAsItStands(std::wstring_view machine, DWORD code) override {
    if (stepInProgress) {
      restore.ResultsOf(inProgress.kind)[inProgress.index] = {RestoreOutcome::Failed, code};
    }
    RecordCopy(machine, *this, false);
  }
};

// The counters of an object's kind: gone, kept, failed, not tried.
struct Counters {
  size_t *go, *kept, *failed, *notTried;
};
Counters CountersOf(std::wstring_view kind, ActionTotals& counts) {
  if (kind == L"printer") {
    return {&counts.printersGo, &counts.printersKept, &counts.printersFailed,
            &counts.printersNotTried};
  }
  if (kind == L"driver") {
    return {&counts.driversGo, &counts.driversKept, &counts.driversFailed, &counts.driversNotTried};
  }
  if (kind == L"package") {
    return {&counts.packagesGo, &counts.packagesKept, &counts.packagesFailed,
            &counts.packagesNotTried};
  }
  return {&counts.portsGo, &counts.portsKept, &counts.portsFailed, &counts.portsNotTried};
}

// One object's line and row: what would happen, or what did.
void RecordObject(ActionRecord& record, const CopyObject& object, bool whatIf, std::wstring_view to,
                  ActionTotals& counts) {
  const std::wstring text = std::wstring(object.kind) + L" " + object.shown;
  const auto row = [&](const wchar_t* act, DWORD code, std::wstring_view reason) {
    return ActionRow{act,  object.kind, object.name, object.environment, object.version,
                     code, reason};
  };
  const Counters counters = CountersOf(object.kind, counts);
  if (object.action == CopyAction::NotCopied) {
    record.Add(L"Not copied: " + text + L": " + object.why, row(L"not copied", 0, object.why));
    ++counts.notCopied;
    return;
  }
  const RestoreOutcome outcome = object.action == CopyAction::AlreadyThere
                                     ? RestoreOutcome::AlreadyThere
                                 : object.result == nullptr ? RestoreOutcome::Pending
                                                            : object.result->outcome;
  switch (outcome) {
    case RestoreOutcome::AlreadyThere:
      record.Add(L"Kept: " + text + L": already there", row(L"kept", 0, L"already there"));
      ++*counters.kept;
      return;
    case RestoreOutcome::Restored:
      record.Add(L"Copied " + text, row(L"copied", 0, {}));
      ++*counters.go;
      return;
    case RestoreOutcome::Failed: {
      const std::wstring reason = CodeText(object.result->error);
      record.Add(L"Failed: " + text + L": " + reason, row(L"failed", object.result->error, reason));
      ++*counters.failed;
      return;
    }
    case RestoreOutcome::NotTried:
    case RestoreOutcome::Pending:
      break;
  }
  if (whatIf) {
    const bool printer = object.kind == std::wstring_view(L"printer");
    record.Add(L"What if: copy " + text + (printer ? L" to " + std::wstring(to) : std::wstring()),
               row(L"would copy", 0, {}));
    ++*counters.go;
  } else {  // the run ended before its turn
    record.Add(L"Not tried: " + text, row(L"not tried", ERROR_CANCELLED, {}));
    ++*counters.notTried;
  }
}

// What the plan does, or what the restore did, object by object.
void RecordCopy(std::wstring_view machine, CopyWork& work, bool whatIf) {
  ActionRecord record(work.target, work.outcome, machine);
  const RestorePlan* restore = work.restoring && !whatIf ? &work.restore : nullptr;
  for (const CopyObject& object : ObjectsOf(work.plan, restore)) {
    RecordObject(record, object, whatIf, work.target, work.outcome.counts);
  }
}

// Lists the source and the target, plans, and records the plan; with /yes
// saves the snapshot and restores it onto the target. False when a step was
// refused (the time limit, Ctrl+C).
bool CopySource(const CopyContext& context, MachineSteps& steps, const std::wstring& source,
                CopyWork& work) {
  ActionOutcome& outcome = work.outcome;
  const ReportRequest& request = context.request;
  work.source = source;
  work.target = std::wstring(BareMachineName(request.copy.target));
  CopyListing from, to;
  if (!steps.BeginReading()) return false;
  if ((outcome.error = ListForCopy(source, from, outcome.why)) != 0) return true;
  if (!steps.BeginReading()) return false;
  if ((outcome.error = ListForCopy(request.copy.target, to, outcome.why)) != 0) {
    outcome.why = L"the target " + work.target + L": " + outcome.why;
    return true;
  }
  const std::vector<std::wstring>& patterns = request.copy.printerPatterns;
  work.plan = PlanCopy(from.Side(), to.Side(), work.target, [&patterns](std::wstring_view name) {
    if (patterns.empty()) return true;
    for (const std::wstring& pattern : patterns) {
      if (MatchesDriverPattern(pattern, name)) return true;
    }
    return false;
  });
  outcome.time = UtcNow();
  if ((outcome.error = CheckEnvironments(to, work.target, work.plan, outcome.why)) != 0) {
    return true;
  }
  if (!request.cleanup.yes) {
    RecordCopy(source, work, true);
    return true;
  }
  const DeletionPlan saving = SnapshotPlan(*from.inventory, work.plan, &steps.StopFlag());
  if (!saving.printers.empty() || !saving.drivers.empty()) {
    if (!steps.BeginReading()) return false;
    std::wstring folder, problem;
    const std::wstring root = request.cleanup.snapshotsRoot.empty() ? DefaultSnapshotRoot()
                                                                    : request.cleanup.snapshotsRoot;
    if (const DWORD error = TakeSnapshot(saving, root, folder, problem)) {
      outcome.error = error;
      outcome.why = L"the snapshot of the source could not be saved: ";
      AppendShownText(outcome.why, problem);
      return !steps.StopFlag().load();
    }
    ActionRecord saved(work.target, outcome, source);
    std::wstring line = L"Saved in ";
    AppendShownText(line, folder);
    saved.Add(line, {L"saved", L"snapshot", folder, {}, {}, 0, {}});
    // Put on the target through the one restore path, with its checks.
    if (!ReadRestorePlan(folder, work.restore, problem, request.copy.target)) {
      outcome.error = ERROR_INVALID_DATA;
      outcome.why = L"the snapshot cannot be put on the target: " + problem;
      return true;
    }
    if (!steps.BeginReading()) return false;
    if (!PrepareRestore(work.restore, outcome.error, outcome.why)) return true;
    RestorePlan& restore = work.restore;
    restore.stop = &steps.StopFlag();
    work.restoring = true;
    if (!steps.BeginChanging(std::make_unique<CopyWork>(work))) return false;
    restore.beforeStep = [&steps, &restore](const RestoreStep& step) {
      return steps.BeginChange([&restore, &step](MachineResult& asItStands) {
        auto& copy = static_cast<CopyWork&>(asItStands);
        TakeResults(restore, copy.restore);
        copy.stepInProgress = true;
        copy.inProgress = step;
      });
    };
    ExecuteRestore(restore);
  }
  RecordCopy(source, work, false);
  return true;
}

// The restore's result for the plan's `index`-th item: the n-th one the plan
// copies is the snapshot's n-th.
template <typename Item>
const RestoreResult* ResultOf(const std::vector<Item>& items, size_t index,
                              const std::vector<RestoreResult>* results) {
  if (results == nullptr || items[index].action != CopyAction::Copy) return nullptr;
  size_t saved = 0;
  for (size_t i = 0; i < index; ++i) saved += items[i].action == CopyAction::Copy ? 1 : 0;
  return saved < results->size() ? &(*results)[saved] : nullptr;
}

std::wstring Shown(std::wstring_view text) {
  std::wstring shown;
  AppendShownText(shown, text);
  return shown;
}

}  // namespace

std::vector<CopyObject> ObjectsOf(const CopyPlan& plan, const RestorePlan* restore) {
  std::vector<CopyObject> objects;
  std::vector<bool> driverShown(plan.drivers.size(), false), portShown(plan.ports.size(), false);
  std::vector<std::wstring> packagesShown;
  for (size_t p = 0; p < plan.printers.size(); ++p) {
    const CopyPrinter& printer = plan.printers[p];
    objects.push_back({L"printer",
                       Quoted(printer.shown) + L" (" + Shown(printer.driverName) + L", port " +
                           Shown(printer.portName) + L")",
                       printer.action,
                       printer.why,
                       ResultOf(plan.printers, p, restore ? &restore->printers : nullptr),
                       printer.shown,
                       {},
                       {}});
    for (const size_t d : printer.drivers) {
      if (driverShown[d]) continue;
      driverShown[d] = true;
      const CopyDriver& driver = plan.drivers[d];
      const std::wstring version = DriverVersionText(driver.driverVersion);
      objects.push_back(
          {L"driver",
           Quoted(driver.name) + L" (" + Shown(driver.environment) + L", " + version + L")",
           driver.action, driver.why,
           ResultOf(plan.drivers, d, restore ? &restore->drivers : nullptr), driver.name,
           driver.environment, version});
      bool listed = driver.action != CopyAction::Copy || driver.infPath.empty();
      for (const std::wstring& inf : packagesShown)
        listed = listed || SameName(inf, driver.infPath);
      if (listed) continue;
      packagesShown.push_back(driver.infPath);
      const std::wstring file(FileNamePart(driver.infPath));
      CopyObject package = {L"package", Quoted(file), CopyAction::Copy,   {},
                            nullptr,    file,         driver.environment, {}};
      for (size_t k = 0; restore != nullptr && k < restore->snapshot.packages.size() &&
                         k < restore->packages.size();
           ++k) {
        if (SameName(restore->snapshot.packages[k].infPath, driver.infPath)) {
          package.result = &restore->packages[k];
        }
      }
      objects.push_back(std::move(package));
    }
    if (printer.port != kNoCopyPort && !portShown[printer.port]) {
      portShown[printer.port] = true;
      const CopyPort& port = plan.ports[printer.port];
      objects.push_back({L"port",
                         Quoted(port.name),
                         port.action,
                         {},
                         ResultOf(plan.ports, printer.port, restore ? &restore->ports : nullptr),
                         port.name,
                         {},
                         {}});
    }
  }
  return objects;
}

int RunCopyRequest(const ReportRequest& request, std::unique_ptr<CsvLog>& log) {
  std::vector<std::wstring> sources;
  if (!ReadRequestMachines(request, sources)) return kExitFailed;
  if (!OpenLog(request.logPath, log)) return kExitFailed;
  if (log && HoldsAnotherCopyHeader(log->ReadStart(CopyLogHeader().size()))) {
    PrintRefusedLog(L"\r\nThe file ", request.logPath,
                    L" is not a copy log: give a new file, or one an earlier copy wrote.\r\n");
    return kExitFailed;
  }
  BeginRunOutput();
  const auto context =
      std::make_shared<const CopyContext>(CopyContext{request, std::move(sources)});
  const int exitCode = RunActions(
      context->sources, request.timeoutSeconds, !request.cleanup.yes, log.get(), kCopyWords,
      [context](size_t index, MachineSteps& steps) -> std::unique_ptr<MachineResult> {
        auto work = std::make_unique<CopyWork>();
        work->context = context;
        if (!CopySource(*context, steps, context->sources[index], *work)) return nullptr;
        return work;
      });
  WaitForSnapshotsInProgress(kSnapshotsEndMs);
  return exitCode;
}

}  // namespace kestrun
