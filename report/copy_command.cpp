#include "report/copy_command.h"

#include <memory>
#include <mutex>
#include <optional>
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
#include "report/restore_command.h"

namespace kestrun {

namespace {

std::wstring Shown(std::wstring_view text) {
  std::wstring shown;
  AppendShownText(shown, text);
  return shown;
}

// How long an ending run waits for a snapshot to remove its partial folder.
constexpr DWORD kSnapshotsEndMs = 10000;

// What every worker of a run reads; a worker left inside a call may outlive the run.
struct CopyContext {
  ReportRequest request;
  std::vector<std::wstring> sources;
  // A what-if plans each source against the target as the earlier ones leave it.
  std::mutex lock;
  CopyAdditions added;
};

struct CopyWork;
void RecordCopy(std::wstring_view machine, CopyWork& work, bool whatIf);

// One source's copy from its plan to its record.
struct CopyWork : RestoringWork {
  std::shared_ptr<CopyContext> context;
  std::wstring source;
  std::wstring target;  // as the lines name it
  CopyPlan plan;
  RestorePlan restore;
  bool restoring = false;  // the restore's outcomes hold what happened

  RestorePlan& Restoring() override { return restore; }
  void RecordAsItStands(std::wstring_view machine, DWORD code) override {
    if (stepInProgress) {
      restore.ResultsOf(inProgress.kind)[inProgress.index] = {RestoreOutcome::Failed, code, {}};
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
      const std::wstring reason = object.result->refused.empty() ? CodeText(object.result->error)
                                                                 : Shown(object.result->refused);
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
  if (restore != nullptr) AddDeadlineLine(*restore, work.outcome);
}

// A source that fails says why alone (no system code): nothing to copy.
void FailWithoutCode(ActionOutcome& outcome, std::wstring why) {
  outcome.error = ERROR_INVALID_PARAMETER;
  outcome.why = std::move(why);
  outcome.whyAlone = true;
}

// "/printer:HR* or /printer:Fin*".
std::wstring PatternsText(const std::vector<std::wstring>& patterns) {
  std::wstring text;
  for (const std::wstring& pattern : patterns) {
    if (!text.empty()) text += L" or ";
    text += L"/printer:";
    AppendShownText(text, pattern);
  }
  return text;
}

// Lists the source and the target, plans, and records the plan; with /yes
// saves the snapshot and restores it onto the target. False when a step was
// refused (the time limit, Ctrl+C).
bool CopySource(CopyContext& context, MachineSteps& steps, const std::wstring& source,
                CopyWork& work) {
  ActionOutcome& outcome = work.outcome;
  const ReportRequest& request = context.request;
  work.source = source;
  work.target = std::wstring(BareMachineName(request.copy.target));
  if (IsSameMachine(source, request.copy.target)) {
    FailWithoutCode(
        outcome, Shown(source) + L" and " + Shown(request.copy.target) + L" are the same machine");
    return true;
  }
  CopyListing from, to;
  if (!steps.BeginReading()) return false;
  if ((outcome.error = ListForCopy(source, from, outcome.why)) != 0) return true;
  if (!steps.BeginReading(L"the target " + work.target)) return false;
  if ((outcome.error = ListForCopy(request.copy.target, to, outcome.why)) != 0) {
    outcome.why = L"the target " + work.target + L": " + outcome.why;
    return true;
  }
  const std::vector<std::wstring>& patterns = request.copy.printerPatterns;
  const PrinterSelection selects = [&patterns](std::wstring_view name) {
    if (patterns.empty()) return true;
    for (const std::wstring& pattern : patterns) {
      if (MatchesDriverPattern(pattern, name)) return true;
    }
    return false;
  };
  if (!steps.BeginReading()) return false;
  ReadCopyFacts(from, to, selects);
  const bool whatIf = !request.cleanup.yes;
  {
    // A what-if counts what the earlier sources would have made as there.
    const std::lock_guard<std::mutex> guard(context.lock);
    CopySide target = to.Side();
    if (whatIf) target.added = &context.added;
    work.plan = PlanCopy(from.Side(), target, work.target, selects);
  }
  outcome.time = UtcNow();
  if (work.plan.printers.empty()) {
    FailWithoutCode(outcome, patterns.empty() ? Shown(source) + L" has no printer to copy"
                                              : L"no printer of " + Shown(source) + L" matches " +
                                                    PatternsText(patterns));
    return true;
  }
  if ((outcome.error = CheckEnvironments(to, work.target, work.plan, outcome.why)) != 0) {
    return true;
  }
  if (whatIf) {
    const std::lock_guard<std::mutex> guard(context.lock);
    AddPlannedObjects(work.plan, context.added);
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
    work.restoring = true;
    if (!steps.BeginChanging(std::make_unique<CopyWork>(work))) return false;
    PaceRestore(work.restore, steps);
    ExecuteRestore(work.restore);
  }
  RecordCopy(source, work, false);
  return true;
}

// A failed source's row: the copy log names every source, and why one failed.
void RecordFailedSource(CopyWork& work) {
  ActionOutcome& outcome = work.outcome;
  if (outcome.time.empty()) outcome.time = UtcNow();
  std::wstring reason = outcome.why;
  if (!outcome.whyAlone) reason += (reason.empty() ? L"" : L": ") + CodeText(outcome.error);
  AppendActionRow(outcome.rows, outcome.time, work.target,
                  {L"failed", L"source", work.source, {}, {}, outcome.error, reason}, std::nullopt,
                  work.source);
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
      CopyObject package = {L"package",
                            Quoted(file) + L" (" + Shown(driver.environment) + L")",
                            CopyAction::Copy,
                            {},
                            nullptr,
                            file,
                            driver.environment,
                            {}};
      for (size_t k = 0; restore != nullptr && k < restore->snapshot.packages.size() &&
                         k < restore->packages.size();
           ++k) {
        if (SameName(restore->snapshot.packages[k].infPath, driver.infPath)) {
          package.result = &restore->packages[k];
        }
      }
      objects.push_back(std::move(package));
    }
    for (const size_t brought : printer.ports) {
      if (portShown[brought]) continue;
      portShown[brought] = true;
      const CopyPort& port = plan.ports[brought];
      objects.push_back({L"port",
                         Quoted(port.name),
                         port.action,
                         {},
                         ResultOf(plan.ports, brought, restore ? &restore->ports : nullptr),
                         port.name,
                         {},
                         {}});
    }
  }
  return objects;
}

int RunCopyRequest(const ReportRequest& request, std::unique_ptr<CsvLog>& log) {
  std::vector<std::wstring> sources;
  std::wstring notes;
  if (!ReadRequestMachines(request, sources, notes)) return kExitFailed;
  // One source onto itself copies nothing: said before anything is read or written.
  if (request.listPath.empty() && IsSameMachine(request.target, request.copy.target)) {
    std::wstring line = L"\r\n";
    AppendShownText(line, request.target);
    line += L" and ";
    AppendShownText(line, request.copy.target);
    WriteConsoleRed((line + L" are the same machine: give another target.\r\n").c_str());
    return kExitFailed;
  }
  if (!OpenLog(request.logPath, log)) return kExitFailed;
  if (log && HoldsAnotherCopyHeader(log->ReadStart(CopyLogHeader().size()))) {
    PrintRefusedLog(L"\r\nThe file ", request.logPath,
                    L" is not a copy log: give a new file, or one an earlier copy wrote.\r\n");
    return kExitFailed;
  }
  BeginRunOutput(notes);
  const auto context = std::make_shared<CopyContext>();
  context->request = request;
  context->sources = std::move(sources);
  const int exitCode = RunActions(
      context->sources, request.timeoutSeconds, !request.cleanup.yes, log.get(), kCopyWords,
      [context](size_t index, MachineSteps& steps) -> std::unique_ptr<MachineResult> {
        auto work = std::make_unique<CopyWork>();
        work->context = context;
        if (!CopySource(*context, steps, context->sources[index], *work)) return nullptr;
        if (work->outcome.error != 0) RecordFailedSource(*work);
        return work;
      },
      BareMachineName(request.copy.target));
  WaitForSnapshotsInProgress(kSnapshotsEndMs);
  return exitCode;
}

}  // namespace kestrun
