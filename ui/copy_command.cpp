#include "ui/copy_command.h"

#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "inventory/copy_plan.h"
#include "inventory/deletion.h"
#include "inventory/driver_inventory.h"
#include "inventory/field_text.h"
#include "inventory/restore.h"
#include "inventory/snapshot.h"
#include "report/action_run.h"
#include "report/copy_command.h"
#include "res/ids.h"
#include "ui/box_text.h"
#include "ui/controls.h"
#include "ui/delete_command.h"
#include "ui/window_records.h"
#include "ui/workers.h"

namespace kestrun {

namespace {

// The run's request and how its texts name the two machines.
struct CopyRun {
  CopyRequest request;
  std::wstring source;      // "OLDSRV", or "this computer"
  std::wstring target;      // the same for the target
  std::wstring targetName;  // its spooler's name, "\\NEWSRV"; empty for this computer
};

std::wstring Counted(size_t count, const wchar_t* one, const wchar_t* many) {
  return std::to_wstring(count) + L" " + (count == 1 ? one : many);
}

std::wstring Shown(std::wstring_view text) {
  std::wstring shown;
  AppendShownText(shown, text);
  return shown;
}

bool Is(const CopyObject& object, RestoreOutcome outcome) {
  return object.result != nullptr && object.result->outcome == outcome;
}

size_t CountOf(const std::vector<CopyObject>& objects, std::wstring_view kind,
               bool (*counts)(const CopyObject&)) {
  size_t count = 0;
  for (const CopyObject& object : objects) count += kind == object.kind && counts(object) ? 1 : 0;
  return count;
}

bool Planned(const CopyObject& object) { return object.action == CopyAction::Copy; }
bool Copied(const CopyObject& object) { return Is(object, RestoreOutcome::Restored); }

// "Kept: printer "X" (...): already there", or "Not copied: ...: WHY".
bool AddUnchangedLine(const CopyObject& object, Section& notCopied, Section& kept) {
  const std::wstring text = std::wstring(object.kind) + L" " + object.shown;
  if (object.action == CopyAction::NotCopied) {
    notCopied.lines.push_back(L"Not copied: " + text + L": " + Shown(object.why));
  } else if (object.action == CopyAction::AlreadyThere ||
             Is(object, RestoreOutcome::AlreadyThere)) {
    kept.lines.push_back(L"Kept: " + text + L": already there");
  } else {
    return false;
  }
  return true;
}

std::wstring TargetLine(const CopyRun& run) {
  std::wstring line = L"From " + Shown(run.source) + L" to " + Shown(run.target);
  if (!run.targetName.empty()) line += L" (" + Shown(run.targetName) + L")";
  return line;
}

// The counts, the target, then what is not copied, kept, and copied.
std::wstring CopyQuestion(const CopyRun& run, const std::vector<CopyObject>& objects,
                          size_t listed) {
  std::wstring text = Counted(CountOf(objects, L"printer", Planned), L"printer", L"printers") +
                      L" will be copied to " + Shown(run.target) + L", with " +
                      Counted(CountOf(objects, L"driver", Planned), L"driver", L"drivers") + L", " +
                      Counted(CountOf(objects, L"package", Planned), L"package", L"packages") +
                      L" and " + Counted(CountOf(objects, L"port", Planned), L"port", L"ports") +
                      L".\n" + TargetLine(run) + L"\nNothing on " + Shown(run.source) +
                      L" changes. Do you wish to proceed?\n";
  Section notCopied = {nullptr, {}}, kept = {nullptr, {}}, going = {nullptr, {}};
  for (const CopyObject& object : objects) {
    if (!AddUnchangedLine(object, notCopied, kept)) {
      going.lines.push_back(L"Copy " + std::wstring(object.kind) + L" " + object.shown);
    }
  }
  AppendSections(text, {notCopied, kept, going}, listed);
  return BoundLines(text);
}

// The headline, the target, the counts, then what was not copied or failed
// and why, what was there already, and what was copied.
std::wstring CopyOutcome(const CopyRun& run, const std::vector<CopyObject>& objects, UINT& icon,
                         size_t listed) {
  Section missed = {nullptr, {}}, kept = {nullptr, {}}, copied = {nullptr, {}};
  for (const CopyObject& object : objects) {
    if (AddUnchangedLine(object, missed, kept)) continue;
    const std::wstring text = std::wstring(object.kind) + L" " + object.shown;
    if (Is(object, RestoreOutcome::Restored)) {
      copied.lines.push_back(L"Copied " + text);
    } else if (Is(object, RestoreOutcome::Failed)) {
      missed.lines.push_back(L"Failed: " + text + L": " + CodeText(object.result->error));
    } else {
      missed.lines.push_back(L"Not tried: " + text);
    }
  }
  const size_t printers = CountOf(objects, L"printer", [](const CopyObject&) { return true; });
  const size_t copiedPrinters = CountOf(objects, L"printer", Copied);
  const std::wstring target = Shown(run.target);
  std::wstring text;
  if (missed.lines.empty()) {
    icon = MB_ICONINFORMATION;
    text = L"The selected printers were copied to " + target + L".";
  } else if (copiedPrinters > 0) {
    icon = MB_ICONWARNING;
    text = L"Not all selected printers could be copied to " + target + L".";
  } else {
    icon = MB_ICONERROR;
    text = L"No selected printer was copied to " + target + L".";
  }
  text += L'\n' + TargetLine(run) + L"\nCopied " + std::to_wstring(copiedPrinters) + L" of " +
          Counted(printers, L"printer", L"printers") + L"; " +
          Counted(CountOf(objects, L"driver", Copied), L"driver", L"drivers") + L", " +
          Counted(CountOf(objects, L"package", Copied), L"package", L"packages") + L", " +
          Counted(CountOf(objects, L"port", Copied), L"port", L"ports") + L".\n";
  AppendSections(text, {missed, kept, copied}, listed);
  return BoundLines(text);
}

void Tell(const CopyRun& run, CopyStage stage) {
  ::PostMessageW(run.request.window, WM_KESTRUN_COPY_STAGE, stage, 0);
}

// A box that says why nothing was copied, then the target (and `after`).
void Refuse(const CopyRun& run, const std::wstring& why, DWORD error,
            const std::wstring& after = {}) {
  StopProgress();
  Tell(run, kCopyIdle);
  std::wstring text = L"Nothing was copied: " + why;
  if (error != 0) text += L" (" + ErrorLine(error) + L")";
  text += L'\n' + TargetLine(run);
  if (!after.empty()) text += L'\n' + after;
  ShowMessage(BoundLines(text).c_str(), MB_ICONERROR);
}

// The copy's steps from the listings to the outcome box, in the run slot.
void CopyAndReport(CopyRun& run) {
  const CopyRequest& request = run.request;
  if (IsSameMachine(request.source, request.target)) {
    Refuse(run, run.source + L" and " + run.target + L" are the same machine.", 0);
    return;
  }
  CopyListing from, to;
  std::wstring why;
  if (const DWORD error = ListForCopy(request.source, from, why)) {
    Refuse(run, run.source + L" could not be read: " + why, error);
    return;
  }
  if (const DWORD error = ListForCopy(request.target, to, why)) {
    Refuse(run, L"the target " + run.target + L" could not be read: " + why, error);
    return;
  }
  run.targetName = to.inventory->isRemote ? std::wstring(to.inventory->targetName) : L"";
  const PrinterSelection ticked = [&request](std::wstring_view name) {
    for (const std::wstring& printer : request.printers) {
      if (SameName(printer, name)) return true;
    }
    return false;
  };
  ReadCopyFacts(from, to, ticked);
  CopyPlan plan = PlanCopy(from.Side(), to.Side(), run.target, ticked);
  if (const DWORD error = CheckEnvironments(to, run.target, plan, why)) {
    Refuse(run, why, error);
    return;
  }
  std::vector<CopyObject> objects = ObjectsOf(plan, nullptr);
  StopProgress();
  Tell(run, kCopyIdle);
  if (CountOf(objects, L"printer", Planned) == 0) {
    const std::wstring text = FitToScreen([&](size_t listed) {
      std::wstring box = L"Nothing was copied: no selected printer can be copied to " +
                         Shown(run.target) + L".\n" + TargetLine(run) + L'\n';
      Section notCopied = {nullptr, {}}, kept = {nullptr, {}};
      for (const CopyObject& object : objects) AddUnchangedLine(object, notCopied, kept);
      AppendSections(box, {notCopied, kept}, listed);
      return BoundLines(box);
    });
    ShowMessage(text.c_str(), MB_ICONINFORMATION);
    return;
  }
  // Printers go with it, so a stray Enter must not confirm it.
  const std::wstring question =
      FitToScreen([&](size_t listed) { return CopyQuestion(run, objects, listed); });
  if (!AskToChange(question, MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2)) return;
  StartProgress();
  Tell(run, kCopyCopying);

  // The target gets what the source's snapshot holds, through the restore's checks.
  std::wstring folder, problem;
  if (const DWORD error = TakeSnapshot(SnapshotPlan(*from.inventory, plan, nullptr),
                                       DefaultSnapshotRoot(), folder, problem)) {
    Refuse(run, L"the snapshot of the printers to copy could not be saved: " + Shown(problem),
           error);
    return;
  }
  const std::wstring saved = BoundLines(L"Saved in " + Shown(folder) + L".");
  RestorePlan restore;
  if (!ReadRestorePlan(folder, restore, problem, request.target)) {
    Refuse(run, L"the snapshot cannot be put on " + run.target + L": " + problem, 0, saved);
    return;
  }
  DWORD error = 0;
  if (!PrepareRestore(restore, error, why)) {
    Refuse(run, run.target + L" cannot take the copy: " + why, error, saved);
    return;
  }
  ExecuteRestore(restore);
  objects = ObjectsOf(plan, &restore);
  UINT icon = MB_ICONINFORMATION;
  const std::wstring outcome = FitToScreen(
      [&](size_t listed) { return CopyOutcome(run, objects, icon, listed) + L"\n\n" + saved; });
  StopProgress();
  Tell(run, kCopyIdle);
  ShowMessage(outcome.c_str(), icon);
}

DWORD WINAPI CopyWorker(LPVOID parameter) {
  const std::unique_ptr<CopyRun> run(static_cast<CopyRun*>(parameter));
  try {
    if (processLock != nullptr) {
      CriticalSectionLock hold(*processLock);
      CopyAndReport(*run);
    } else {
      CopyAndReport(*run);
    }
  } catch (const std::bad_alloc&) {
    StopProgress();
    Tell(*run, kCopyIdle);
    ShowMessage(L"Memory allocation error! Please check system resources.", MB_ICONERROR);
  }
  EndChangeRun();
  return 0;
}

}  // namespace

std::wstring CopyMachineShown(std::wstring_view typed) {
  return IsLocalMachineName(typed) || BareMachineName(typed).empty()
             ? std::wstring(L"this computer")
             : std::wstring(BareMachineName(typed));
}

bool StartCopy(CopyRequest request) {
  if (!BeginChangeRun()) return false;
  std::unique_ptr<CopyRun> run(new (std::nothrow) CopyRun);
  if (run) {
    run->source = CopyMachineShown(request.source);
    run->target = CopyMachineShown(request.target);
    run->request = std::move(request);
  }
  ::EnableWindow(deleteButton, FALSE);
  StartProgress();
  if (run) Tell(*run, kCopyReading);
  if (!run || !StartWorker(CopyWorker, run.get())) {
    StopProgress();
    if (run) Tell(*run, kCopyIdle);
    EndChangeRun();
    ShowMessage(L"Memory allocation error! Please check system resources.", MB_ICONERROR);
    return true;  // the run could not start; nothing is left running
  }
  static_cast<void>(run.release());  // the worker owns it now
  return true;
}

}  // namespace kestrun
