#include "ui/delete_command.h"

#include <commctrl.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <new>

#include "ui/window_records.h"
#include "common/bounded_text.h"
#include "common/win32_handles.h"
#include "inventory/classification.h"
#include "inventory/driver_store.h"
#include "inventory/error_reporter.h"
#include "inventory/field_text.h"
#include "inventory/snapshot.h"
#include "ui/controls.h"
#include "ui/driver_list.h"
#include "ui/enumeration_worker.h"
#include "ui/restore_command.h"
#include "res/ids.h"
#include "ui/workers.h"

namespace kestrun {

bool removeDriverPackages = false;

namespace {

constexpr UINT kUncheckedStateImage = 1;  // any other state image counts as ticked

constexpr wchar_t kNothingChecked[] =
    L"Please select a driver from the list before trying to delete!";
constexpr wchar_t kCloseHeld[] =
    L"Kestrun is deleting the selected drivers: the window closes when the deletion has "
    L"finished.";
constexpr wchar_t kShutdownReason[] = L"Kestrun is deleting print drivers.";

// Where a deletion run is, for the window's close and the session's end.
enum class Stage { None, Asking, Deleting };
SRWLOCK stageLock = SRWLOCK_INIT;
Stage stage = Stage::None;
bool answeredNo = false;    // a close or the session's end answered the question
bool closePending = false;  // the window closes when the run ends
bool holdBoxShown = false;  // the window's thread shows kCloseHeld
DWORD askingThread = 0;     // the worker's thread, whose message box is the question

class StageGuard {
 public:
  StageGuard() { ::AcquireSRWLockExclusive(&stageLock); }
  ~StageGuard() { ::ReleaseSRWLockExclusive(&stageLock); }
  StageGuard(const StageGuard&) = delete;
  StageGuard& operator=(const StageGuard&) = delete;
};

// The message box a thread shows (with `text`, when given); null when none.
HWND MessageBoxOf(DWORD thread, const wchar_t* text) {
  struct Search {
    const wchar_t* text;
    HWND found;
  } search = {text, nullptr};
  ::EnumThreadWindows(
      thread,
      [](HWND window, LPARAM parameter) -> BOOL {
        auto& s = *reinterpret_cast<Search*>(parameter);
        wchar_t className[16] = {};
        ::GetClassNameW(window, className, 16);
        if (lstrcmpW(className, L"#32770") != 0 || ::GetDlgItem(window, 0xFFFF) == nullptr) {
          return TRUE;
        }
        // Only the window's own thread reads a text: no message crosses threads.
        wchar_t shown[256] = {};
        if (s.text != nullptr) ::GetDlgItemTextW(window, 0xFFFF, shown, 256);
        if (s.text != nullptr && lstrcmpW(shown, s.text) != 0) return TRUE;
        s.found = window;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// Answers the question No, for a close or the session's end.
void AnswerNo() {
  answeredNo = true;
  if (HWND question = MessageBoxOf(askingThread, nullptr)) {
    ::PostMessageW(question, WM_COMMAND, IDNO, 0);
  }
}

// After Yes: the run deletes from now on, unless a close answered No first.
bool BeginDeleting() {
  {
    const StageGuard guard;
    if (answeredNo) return false;
    stage = Stage::Deleting;
  }
  ::SendMessageW(MainWindow(), WM_KESTRUN_DELETION_STAGE, 0, 0);
  return true;
}

constexpr wchar_t kConfirmation[] =
    L"Warning, this will attempt to delete the selected driver(s)!\nA snapshot is saved first: "
    L"Edit > Undo Deletion puts it back. Do you wish to proceed?";
constexpr wchar_t kPackageConfirmation[] =
    L"Warning, this will remove the selected packages from the driver store!\nA snapshot is saved "
    L"first: Edit > Undo Deletion puts it back. Do you wish to proceed?";
constexpr wchar_t kOrphansUnchecked[] =
    L"Nothing was removed: the drivers' packages could not be read, so the selected packages "
    L"could not be checked as still unused.\n";

UINT StateImageOf(int row) {
  const auto state = static_cast<UINT>(::SendMessageW(listView, LVM_GETITEMSTATE,
                                                      static_cast<WPARAM>(row),
                                                      LVIS_STATEIMAGEMASK));
  return (state & LVIS_STATEIMAGEMASK) >> 12;
}

LPARAM RecordOf(int row) {
  LVITEMW item = {};
  item.mask = LVIF_PARAM;
  item.iItem = row;
  item.lParam = -1;
  ::SendMessageW(listView, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item));
  return item.lParam;
}

void AppendPrinterLine(std::wstring& text, std::wstring_view printer, std::wstring_view driver) {
  AppendShownText(text, printer);
  text += L" (";
  AppendShownText(text, driver);
  text += L')';
}

const wchar_t* ReasonText(KeptReason reason) {
  switch (reason) {
    case KeptReason::OnAnotherServer:
      return L"on another server";
    case KeptReason::EnvironmentUnknown:
      return L"the server's environment could not be read";
  }
  return L"";
}

// The file part of a package's INF path, as the spooler gives it.
std::wstring PackageFile(std::wstring_view infPath) {
  std::wstring shown;
  AppendShownText(shown, FileNamePart(infPath));
  return shown;
}

// The distinct file names of packages, in their order.
template <typename Packages, typename Path>
std::vector<std::wstring> DistinctFiles(const Packages& packages, Path path) {
  std::vector<std::wstring> files;
  for (const auto& package : packages) {
    std::wstring file = PackageFile(path(package));
    bool listed = false;
    for (const auto& seen : files) listed = listed || EqualsIgnoringAsciiCase(seen, file);
    if (!listed) files.push_back(std::move(file));
  }
  return files;
}

std::vector<std::wstring> PrinterLines(const std::vector<PlannedPrinter>& printers) {
  std::vector<std::wstring> lines;
  for (const PlannedPrinter& printer : printers) {
    lines.emplace_back();
    AppendPrinterLine(lines.back(), printer.name, printer.driverName);
  }
  return lines;
}

std::vector<std::wstring> KeptPrinterLines(const std::vector<KeptPrinter>& kept) {
  std::vector<std::wstring> lines;
  for (const KeptPrinter& printer : kept) {
    lines.emplace_back();
    AppendPrinterLine(lines.back(), printer.name, printer.driverName);
    lines.back() += std::wstring(L": ") + ReasonText(printer.reason);
  }
  return lines;
}

// "Kept, still used by \\SRV\Finance: Conn Drv" for each driver a kept printer holds.
std::vector<std::wstring> HeldDriverLines(const DeletionPlan& plan) {
  std::vector<std::wstring> lines;
  for (const PlannedDriver& driver : plan.drivers) {
    if (driver.keptBy == kNotKept) continue;
    lines.emplace_back(L"Kept, still used by ");
    AppendShownText(lines.back(), plan.kept[driver.keptBy].name);
    lines.back() += L": ";
    AppendShownText(lines.back(), driver.name);
  }
  return lines;
}

std::vector<std::wstring> WithoutPackageLines(const DeletionPlan& plan) {
  std::vector<std::wstring> lines;
  for (const size_t d : plan.withoutPackage) {
    lines.emplace_back();
    AppendPrinterLine(lines.back(), plan.drivers[d].name, plan.drivers[d].environment);
  }
  return lines;
}

// The target as the user named it and as the spooler is called.
std::wstring MachineLine(const DeletionPlan& plan) {
  std::wstring line = plan.drivers.empty() ? L"Selected packages on " : L"Selected drivers on ";
  if (!plan.isRemote) return line + L"this computer";
  AppendShownText(line, plan.machineText);
  line += L" (";
  AppendShownText(line, plan.targetName);
  return line + L')';
}

// True when the run deleted a driver or a printer or removed a package.
bool DeletedAnything(const DeletionPlan& plan) {
  if (anyDriverDeleted) return true;
  for (const PlannedPrinter& printer : plan.printers) {
    if (printer.deleted) return true;
  }
  for (const PlannedPackage& package : plan.packages) {
    if (package.outcome == PackageOutcome::Removed) return true;
  }
  return false;
}

std::wstring CountsLine(const DeletionPlan& plan) {
  size_t drivers = 0, printers = 0, removed = 0;
  for (const PlannedDriver& driver : plan.drivers) drivers += driver.error == 0 ? 1 : 0;
  for (const PlannedPrinter& printer : plan.printers) printers += printer.deleted ? 1 : 0;
  for (const PlannedPackage& package : plan.packages) {
    removed += package.outcome == PackageOutcome::Removed ? 1 : 0;
  }
  std::wstring line = L"Deleted " + std::to_wstring(drivers) + L" of " +
                      std::to_wstring(plan.drivers.size()) + L" drivers, " +
                      std::to_wstring(printers) + L" printers";
  if (plan.removePackages && plan.packageListError == 0) {
    const size_t kept =
        plan.packages.size() - removed + plan.nativePackages.size() + plan.sharedPackages.size();
    line += L"; removed " + std::to_wstring(removed) + L" packages, kept " + std::to_wstring(kept);
  }
  return line + L'.';
}

std::wstring PackageOutcomeLine(const PlannedPackage& package) {
  const std::wstring file = PackageFile(package.infPath);
  if (!package.usedBy.empty()) {
    std::wstring line = L"Kept in the driver store: " + file + L" (still used by \"";
    AppendShownText(line, package.usedBy);
    return line + L"\")";
  }
  if (!package.keptWhy.empty()) {
    std::wstring line = L"Kept in the driver store: " + file + L" (";
    AppendShownText(line, package.keptWhy);
    return line + L")";
  }
  switch (package.outcome) {
    case PackageOutcome::Removed:
      return L"Removed from the driver store: " + (package.orphan ? PackageLine(package) : file);
    case PackageOutcome::Failed:
      return L"Kept in the driver store: " + file + L" (" + ErrorTextOrNumber(package.error) + L")";
    case PackageOutcome::Kept:
      // An unused package the spooler refused: a driver came from it since, or it is guarded.
      if (package.orphan && package.error != 0) {
        return L"Kept in the driver store: " + file + L" (" +
               (package.error == ERROR_PRINTER_DRIVER_PACKAGE_IN_USE
                    ? std::wstring(L"still in use")
                    : ErrorTextOrNumber(package.error)) +
               L")";
      }
      break;
    case PackageOutcome::Gone:
      return L"Already gone from the driver store: " + file;
    case PackageOutcome::NotTried:
    case PackageOutcome::Pending:
      break;
  }
  if (package.orphan) return L"Not tried: " + file;
  return L"Not tried: " + file + L" (its driver was not deleted)";
}

// "N drivers, M printers and K packages will be deleted."
std::wstring PlanCountsLine(const DeletionPlan& plan) {
  const auto counted = [](size_t count, const wchar_t* one, const wchar_t* many) {
    return std::to_wstring(count) + L" " + (count == 1 ? one : many);
  };
  size_t drivers = 0;
  for (const PlannedDriver& driver : plan.drivers) drivers += driver.keptBy == kNotKept ? 1 : 0;
  std::wstring line = counted(drivers, L"driver", L"drivers");
  if (plan.removePackages && plan.packageListError == 0) {
    line += L", " + counted(plan.printers.size(), L"printer", L"printers") + L" and " +
            counted(plan.packages.size(), L"package", L"packages");
  } else {
    line += L" and " + counted(plan.printers.size(), L"printer", L"printers");
  }
  return line + L" will be deleted.";
}

// The printers that stay while a ticked copy of their driver for clients of
// another environment goes: "\\SRV\HR Laser: 32-bit clients (Acme PCL6, Windows NT x86)".
std::vector<std::wstring> ClientLosingLines(const DeletionPlan& plan) {
  std::vector<std::wstring> lines;
  for (const PlannedDriver& driver : plan.drivers) {
    for (const std::wstring& printer : driver.clientPrinters) {
      bool deleted = false;
      for (const PlannedPrinter& going : plan.printers) deleted = deleted || SameName(going.name, printer);
      if (deleted) continue;
      lines.emplace_back();
      AppendShownText(lines.back(), printer);
      lines.back() += L": " + ClientKind(driver.environment) + L" clients (";
      AppendShownText(lines.back(), driver.name);
      lines.back() += L", ";
      AppendShownText(lines.back(), driver.environment);
      lines.back() += L')';
    }
  }
  return lines;
}

// The failure to prepare: the headline within the failure buffer, then the
// target. Nothing was deleted.
std::wstring PreparationFailureMessage(const DeletionPlan& plan, DWORD error, UINT& icon) {
  wchar_t message[kDeleteMessageCapacity] = {};
  if (plan.drivers.empty()) {
    icon = MB_ICONERROR;
    CopyBounded(message, (plan.failedStep == PreparationStep::Packages
                              ? std::wstring(kOrphansUnchecked)
                              : std::wstring(L"Nothing was removed from the driver store.\n")) +
                             ErrorLine(error));
  } else if (plan.failedStep == PreparationStep::Packages) {
    icon = MB_ICONERROR;
    CopyBounded(message, L"Nothing was deleted: the driver packages of the selected drivers could "
                         L"not be read, and without them their packages could never be found "
                         L"again.\n" + ErrorLine(error));
  } else {
    CopyBounded(message, DeletionOutcomeText(false, false, error, icon));
  }
  std::wstring text = message;
  text.resize(text.find_last_not_of(L"\r\n") + 1);
  return BoundLines(text + L'\n' + MachineLine(plan));
}

// Steps from the plan to the outcome box, inside the run slot. A plan without
// drivers removes unused packages of the driver store only.
void ConfirmDeleteAndReport(DeletionPlan& plan) {
  if (plan.drivers.empty() && plan.orphans.empty()) {
    StopProgress();
    ShowMessage(kNothingChecked, MB_ICONINFORMATION);
    return;
  }
  const bool packagesOnly = plan.drivers.empty();
  UINT icon = MB_ICONINFORMATION;
  DWORD error = 0;
  if (!PrepareDeletion(plan, error)) {
    anyDriverDeleted = false;
    lastDeleteError = error;
    const std::wstring message = PreparationFailureMessage(plan, error, icon);
    StopProgress();
    ShowMessage(message.c_str(), icon);
    ::EnableWindow(deleteButton, TRUE);
    return;
  }

  StopProgress();
  if (packagesOnly && plan.packages.empty()) {  // drivers came from them all since: nothing to ask
    AbandonDeletion(plan);
    const std::wstring message = PackageRemovalOutcome(plan, icon);
    ShowMessage(message.c_str(), icon);
    return;
  }
  // When printers or packages go, a stray Enter must not confirm it.
  const UINT style =
      MB_YESNO | MB_ICONWARNING | (plan.printers.empty() && !packagesOnly ? 0 : MB_DEFBUTTON2);
  const std::wstring question = FitToScreen([&plan, packagesOnly](size_t listed) {
    return packagesOnly ? PackageRemovalQuestion(plan, listed) : ConfirmationText(plan, listed);
  });
  if (!AskToChange(question, style)) {
    AbandonDeletion(plan);
    return;
  }
  StartProgress();

  // What goes is saved first: nothing is deleted without a whole snapshot.
  std::wstring folder, problem;
  if (const DWORD failure = TakeSnapshot(plan, DefaultSnapshotRoot(), folder, problem)) {
    AbandonDeletion(plan);
    std::wstring message = L"Nothing was deleted: the snapshot could not be saved.\n";
    AppendShownText(message, problem);
    message += L" (" + ErrorLine(failure) + L")\n" + MachineLine(plan);
    StopProgress();
    ShowMessage(BoundLines(message).c_str(), MB_ICONERROR);
    ::EnableWindow(deleteButton, TRUE);
    return;
  }
  // The refresh lists the deletion's target again, whatever the box holds now.
  const bool deletedAll = ExecuteDeletion(plan, [&plan] { EnumerationWorker(&plan.machineText); });
  // Undo is offered only when there is something to put back.
  const bool deletedAny = DeletedAnything(plan);
  if (deletedAny) RememberDeletionSnapshot(folder);
  std::wstring saved = L"Saved in ";
  AppendShownText(saved, folder);
  saved += L": Edit > Undo Deletion puts it back.";
  const std::wstring outcome = FitToScreen([&](size_t listed) {
    return (packagesOnly ? PackageRemovalOutcome(plan, icon, listed)
                         : DeletionOutcomeMessage(plan, deletedAll, anyDriverDeleted,
                                                  lastDeleteError, icon, listed)) +
           (deletedAny ? L"\n\n" + BoundLines(saved) : std::wstring());
  });
  StopProgress();
  ShowMessage(outcome.c_str(), icon);
  ::EnableWindow(deleteButton, TRUE);
}

}  // namespace

DeletionPlan TakeDeletionPlan() {
  if (currentInventory == nullptr) return DeletionPlan{};
  const DriverInventory& inventory = *currentInventory;
  DeletionPlan plan = PlanOnTarget(inventory);
  const DRIVER_INFO_6* drivers = inventory.Drivers();
  const int rows = ListRowCount();
  for (int row = 0; row < rows; ++row) {
    if (StateImageOf(row) == kUncheckedStateImage) continue;
    const LPARAM record = RecordOf(row);
    if (drivers == nullptr || record < 0 || static_cast<DWORD>(record) >= inventory.driverCount) {
      continue;
    }
    AddPlannedDriver(plan, drivers[record]);
  }
  plan.removePackages = removeDriverPackages;
  return plan;
}

std::wstring ConfirmationText(const DeletionPlan& plan, size_t listed) {
  std::wstring text = kConfirmation;
  text += L"\n\n" + MachineLine(plan) + L'\n' + PlanCountsLine(plan);
  std::vector<Section> sections = {
      {L"These printers use the selected drivers and will be deleted first:",
       PrinterLines(plan.printers)},
      {L"These printers use a selected driver's name and will be kept:",
       KeptPrinterLines(plan.kept)},
      {L"These selected drivers will not be deleted, nor their printers:", HeldDriverLines(plan)},
      {L"These printers stay, but their clients lose the selected copy of the driver they get "
       L"from this server:",
       ClientLosingLines(plan)},
  };
  const bool packagesRead = plan.removePackages && plan.packageListError == 0;
  if (packagesRead) {
    sections.push_back(
        {L"The driver packages of the selected drivers will also be removed from "
         L"the driver store:",
         DistinctFiles(plan.packages,
                       [](const PlannedPackage& p) { return std::wstring_view(p.infPath); })});
    sections.push_back({L"These packages are the system's own and will be kept (native):",
                        DistinctFiles(plan.nativePackages, [](const std::wstring& path) {
                          return std::wstring_view(path);
                        })});
    std::vector<std::wstring> shared;
    bool onlyUsed = true;
    for (const PlannedPackage& package : plan.sharedPackages) {
      shared.push_back(PackageOutcomeLine(package));
      onlyUsed = onlyUsed && package.keptWhy.empty();
    }
    sections.push_back({onlyUsed ? L"These packages will be kept: drivers that stay come from them:"
                                 : L"These packages will be kept:",
                        shared});
    sections.push_back({L"No package in the driver store:", WithoutPackageLines(plan)});
  }
  AppendSections(text, sections, listed);
  if (plan.serverEnvironment.empty()) {
    text += L"\n\nThe environment of ";
    AppendShownText(text, plan.targetName);
    text += L" could not be read (" + ErrorLine(plan.environmentError) +
            L"), so no printer on it will be deleted.";
  }
  if (plan.removePackages && !packagesRead) {
    text += L"\n\nThe driver packages could not be read (" + ErrorLine(plan.packageListError) +
            L"): the drivers will be deleted, and no package removed from the driver store.";
  }
  return BoundLines(text);
}

std::wstring PackageLine(const PlannedPackage& package) {
  std::wstring line = PackageFile(package.infPath) + L" (";
  for (const std::wstring* fact : {&package.environment, &package.version, &package.date}) {
    if (fact->empty()) continue;
    AppendShownText(line, *fact);
    line += L", ";
  }
  return line + SizeText(package.bytes) + L')';
}

std::wstring PackageRemovalQuestion(const DeletionPlan& plan, size_t listed) {
  ULONGLONG bytes = 0;
  Section going = {nullptr, {}};
  Section kept = {L"These packages will be kept: drivers now come from them:", {}};
  for (const PlannedPackage& package : plan.packages) {
    bytes += package.bytes;
    going.lines.push_back(PackageLine(package));
  }
  for (const PlannedPackage& package : plan.sharedPackages) {
    kept.lines.push_back(PackageOutcomeLine(package));
  }
  const size_t count = plan.packages.size();
  std::wstring text = std::wstring(kPackageConfirmation) + L"\n\n" + std::to_wstring(count) +
                      (count == 1 ? L" package (" : L" packages (") + SizeText(bytes) +
                      L") will be removed from the driver store.\n" + MachineLine(plan);
  AppendSections(text, {going, kept}, listed);
  return BoundLines(text);
}

std::wstring PackageRemovalOutcome(const DeletionPlan& plan, UINT& icon, size_t listed) {
  size_t removed = 0;
  ULONGLONG bytes = 0;
  Section kept = {nullptr, {}}, gone = {nullptr, {}};
  for (const PlannedPackage& package : plan.sharedPackages) {
    kept.lines.push_back(PackageOutcomeLine(package));
  }
  for (const PlannedPackage& package : plan.packages) {
    // One removed by someone else since the listing is gone as asked.
    const bool went =
        package.outcome == PackageOutcome::Removed || package.outcome == PackageOutcome::Gone;
    removed += went ? 1 : 0;
    bytes += package.outcome == PackageOutcome::Removed ? package.bytes : 0;
    (went ? gone : kept).lines.push_back(PackageOutcomeLine(package));
  }
  const size_t total = plan.packages.size() + plan.sharedPackages.size();
  const bool all = removed == total && total > 0;
  icon = all ? MB_ICONINFORMATION : MB_ICONWARNING;
  std::wstring text = all           ? L"The selected packages were removed from the driver store."
                      : removed > 0 ? L"Not all selected packages could be removed from the "
                                      L"driver store."
                                    : L"No selected package was removed from the driver store.";
  text += L'\n' + MachineLine(plan) + L"\nRemoved " + std::to_wstring(removed) + L" of " +
          std::to_wstring(total) + L" packages (" + SizeText(bytes) + L").";
  if (plan.packageListError != 0) {
    text += L"\nThe drivers' packages could not be read (" + ErrorLine(plan.packageListError) +
            L"): no package is known to be unused.";
  }
  std::wstring listing;
  AppendSections(listing, {kept, gone}, listed);
  if (!listing.empty()) text += L'\n' + listing;
  return BoundLines(text);
}

std::wstring DeletionOutcomeText(bool deletedAll, bool anyDeleted, DWORD lastError, UINT& icon) {
  icon = MB_ICONINFORMATION;
  if (deletedAll) return L"The selected driver(s) were deleted successfully.\n";
  if (anyDeleted) {
    return L"Not all selected print drivers could be deleted.\nPlease try rebooting and "
           L"deleting again.";
  }
  if (lastError == ERROR_PRINTER_DRIVER_IN_USE) {
    return L"The selected driver(s) were not deleted: a printer or a running print job still "
           L"uses them.";
  }
  icon = MB_ICONERROR;
  std::wstring text = L"Failed to delete selected print driver(s)!\n";
  if (errorReporter && lastError != 0) text += errorReporter->GetErrorText(lastError).text;
  // A long description is cut to the message buffer rather than overrun it.
  if (text.size() > kDeleteMessageCapacity - 1) text.resize(kDeleteMessageCapacity - 1);
  return text;
}

std::wstring DeletionOutcomeMessage(const DeletionPlan& plan, bool deletedAll, bool anyDeleted,
                                    DWORD lastError, UINT& icon, size_t listed) {
  // A driver kept on purpose (a printer that stays uses it) needs no reboot.
  bool onlyKeptInUse = true;
  for (const PlannedDriver& driver : plan.drivers) {
    onlyKeptInUse = onlyKeptInUse && (driver.error == 0 || driver.keptBy != kNotKept);
  }
  std::wstring text = DeletionOutcomeText(deletedAll, anyDeleted, lastError, icon);
  if (!deletedAll && anyDeleted && onlyKeptInUse) {
    text = L"The selected driver(s) were deleted, except those still in use:";
  }
  text.resize(text.find_last_not_of(L"\r\n") + 1);
  text += L'\n' + MachineLine(plan) + L'\n' + CountsLine(plan);

  // What stayed comes before what went.
  Section failed = {nullptr, {}}, held = {nullptr, HeldDriverLines(plan)};
  for (const PlannedDriver& driver : plan.drivers) {
    if (driver.error == 0 || driver.keptBy != kNotKept) continue;
    failed.lines.emplace_back();
    AppendPrinterLine(failed.lines.back(), driver.name, driver.environment);
    failed.lines.back() += L": " + ErrorLine(driver.error);
  }
  Section packagesKept = {nullptr, {}}, printersGone = {nullptr, {}}, packagesGone = {nullptr, {}};
  for (const PlannedPackage& package : plan.sharedPackages) {
    packagesKept.lines.push_back(PackageOutcomeLine(package));
  }
  for (const PlannedPackage& package : plan.packages) {
    std::vector<std::wstring>& lines =
        package.outcome == PackageOutcome::Removed ? packagesGone.lines : packagesKept.lines;
    std::wstring line = PackageOutcomeLine(package);
    // Two environments of one package read alike.
    if (std::find(lines.begin(), lines.end(), line) == lines.end()) lines.push_back(line);
  }
  for (const PlannedPrinter& printer : plan.printers) {
    if (!printer.deleted) continue;
    printersGone.lines.emplace_back(L"Printer deleted: ");
    AppendShownText(printersGone.lines.back(), printer.name);
  }
  const std::vector<Section> sections = {failed, held, packagesKept, printersGone, packagesGone};
  std::wstring listing;
  AppendSections(listing, sections, listed);
  if (!listing.empty()) text += L'\n' + listing;
  return BoundLines(text);
}

std::wstring ErrorLine(DWORD code) {
  ErrorText found{};
  const std::wstring line = LookUpErrorText(code, found) ? OneLineText(found.text) : L"";
  if (line.empty()) return L"error " + std::to_wstring(code);
  std::wstring shown;
  AppendShownText(shown, line);
  return shown;
}

std::wstring ErrorTextOrNumber(DWORD code) {
  const std::wstring line = ErrorLine(code);
  return line == L"error " + std::to_wstring(code) ? std::to_wstring(code) : line;
}

bool ToggleRemoveDriverPackages() {
  if (ExclusiveRunActive()) {
    ::MessageBeep(MB_ICONWARNING);
    return false;
  }
  removeDriverPackages = !removeDriverPackages;
  ::CheckMenuItem(mainMenu, IDM_REMOVE_PACKAGES,
                  MF_BYCOMMAND | (removeDriverPackages ? MF_CHECKED : MF_UNCHECKED));
  return true;
}

bool MayCloseNow(HWND window) {
  {
    const StageGuard guard;
    if (stage == Stage::None) return true;
    closePending = true;
    if (stage == Stage::Asking) {
      AnswerNo();
      // The question may not be up yet: asked again until the run has ended.
      ::SetTimer(window, IDT_ANSWER_NO, 100, nullptr);
      return false;
    }
    if (holdBoxShown) return false;
    holdBoxShown = true;
  }
  ::MessageBoxW(window, kCloseHeld, L"Kestrun", MB_ICONINFORMATION);
  const StageGuard guard;
  holdBoxShown = false;
  return stage == Stage::None;  // the deletion ended while the box was up
}

bool MayEndSession() {
  const StageGuard guard;
  if (stage == Stage::Asking) AnswerNo();
  return stage != Stage::Deleting;
}

void AnswerQuestionNo(HWND window) {
  const StageGuard guard;
  if (stage == Stage::Asking) {
    AnswerNo();
  } else {
    ::KillTimer(window, IDT_ANSWER_NO);
  }
}

void DeletionStageChanged(HWND window) {
  bool closeNow = false;
  {
    const StageGuard guard;
    if (stage == Stage::Deleting) {
      ::ShutdownBlockReasonCreate(window, kShutdownReason);
      return;
    }
    ::ShutdownBlockReasonDestroy(window);
    ::KillTimer(window, IDT_ANSWER_NO);
    if (!closePending) return;
    closePending = false;
    // The box's own close lets the window close after it.
    if (HWND holdBox = holdBoxShown ? MessageBoxOf(::GetCurrentThreadId(), kCloseHeld) : nullptr) {
      ::PostMessageW(holdBox, WM_COMMAND, IDOK, 0);
    } else {
      closeNow = true;
    }
  }
  if (closeNow) ::DestroyWindow(window);
}

bool BeginChangeRun() {
  if (!BeginExclusiveRun(RunKind::Deletion)) return false;
  const StageGuard guard;
  stage = Stage::Asking;
  answeredNo = closePending = false;
  return true;
}

bool AskToChange(const std::wstring& question, UINT style) {
  askingThread = ::GetCurrentThreadId();
  return ::MessageBoxW(MainWindow(), question.c_str(), L"Kestrun", style) == IDYES &&
         BeginDeleting();
}

void EndChangeRun() {
  EndExclusiveRun();
  if (ListRowCount() > 0) ::EnableWindow(deleteButton, TRUE);
  {
    const StageGuard guard;
    stage = Stage::None;
  }
  // A close held meanwhile closes the window now.
  if (::IsWindow(MainWindow())) ::SendMessageW(MainWindow(), WM_KESTRUN_DELETION_STAGE, 0, 0);
}

bool StartDeletion() { return StartDeletion(TakeDeletionPlan); }

bool StartDeletion(const std::function<DeletionPlan()>& takePlan) {
  if (!BeginChangeRun()) return false;
  std::unique_ptr<DeletionPlan> plan(new (std::nothrow) DeletionPlan);
  try {
    if (plan) *plan = takePlan();
  } catch (const std::bad_alloc&) {
    plan.reset();  // the slot is freed below, not left claimed by a throw
  }
  ::EnableWindow(deleteButton, FALSE);
  StartProgress();
  if (!plan || !StartWorker(DeletionWorker, plan.get())) {
    StopProgress();
    EndChangeRun();
    ShowMessage(L"Memory allocation error! Please check system resources.", MB_ICONERROR);
    return true;  // the run could not start; nothing is left running
  }
  static_cast<void>(plan.release());  // the worker owns it now
  return true;
}

DWORD WINAPI DeletionWorker(LPVOID parameter) {
  const std::unique_ptr<DeletionPlan> plan(static_cast<DeletionPlan*>(parameter));
  if (processLock != nullptr) {
    CriticalSectionLock hold(*processLock);
    ConfirmDeleteAndReport(*plan);
  } else {
    ConfirmDeleteAndReport(*plan);
  }
  EndChangeRun();
  return 0;
}

}  // namespace kestrun
