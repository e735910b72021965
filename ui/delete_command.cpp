#include "ui/delete_command.h"

#include <commctrl.h>

#include <memory>
#include <new>

#include "ui/window_records.h"
#include "common/bounded_text.h"
#include "inventory/classification.h"
#include "inventory/error_reporter.h"
#include "inventory/field_text.h"
#include "ui/controls.h"
#include "ui/driver_list.h"
#include "ui/enumeration_worker.h"
#include "res/ids.h"
#include "ui/workers.h"

namespace kestrun {

bool removeDriverPackages = false;

namespace {

constexpr UINT kUncheckedStateImage = 1;  // any other state image counts as ticked

constexpr wchar_t kNothingChecked[] =
    L"Please select a driver from the list before trying to delete!";
constexpr wchar_t kConfirmation[] =
    L"Warning, this will attempt to delete the selected driver(s) permanently!\nThis action "
    L"cannot be reverted. Do you wish to proceed?";

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

// Appends at most `limit` lines, then "and N more".
template <typename Items, typename Line>
void AppendListed(std::wstring& text, const Items& items, Line line,
                  size_t limit = kListedLinesLimit) {
  size_t listed = 0;
  for (const auto& item : items) {
    if (listed == limit) {
      text += L"\nand " + std::to_wstring(items.size() - listed) + L" more";
      return;
    }
    text += L'\n';
    line(text, item);
    ++listed;
  }
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

void AppendFileLine(std::wstring& out, const std::wstring& file) { out += file; }

void AppendPackageQuestion(std::wstring& text, const DeletionPlan& plan) {
  if (plan.packageListError != 0) {
    text += L"\n\nThe driver packages could not be read (" + ErrorLine(plan.packageListError) +
            L"): the drivers will be deleted, and no package removed from the driver store.";
    return;
  }
  if (!plan.packages.empty()) {
    text += L"\n\nThe driver packages of the selected drivers will also be removed from the "
            L"driver store:";
    AppendListed(text, DistinctFiles(plan.packages, [](const PlannedPackage& p) {
                   return std::wstring_view(p.infPath);
                 }),
                 AppendFileLine, kListedPackagesLimit);
  }
  if (!plan.nativePackages.empty()) {
    text += L"\n\nThese packages are the system's own and will be kept (native):";
    AppendListed(text, DistinctFiles(plan.nativePackages, [](const std::wstring& path) {
                   return std::wstring_view(path);
                 }),
                 AppendFileLine, kListedPackagesLimit);
  }
  if (!plan.withoutPackage.empty()) {
    text += L"\n\nNo package in the driver store:";
    AppendListed(
        text, plan.withoutPackage,
        [&plan](std::wstring& out, size_t d) {
          AppendPrinterLine(out, plan.drivers[d].name, plan.drivers[d].environment);
        },
        kListedPackagesLimit);
  }
}

std::wstring PackageOutcomeLine(const PlannedPackage& package) {
  const std::wstring file = PackageFile(package.infPath);
  switch (package.outcome) {
    case PackageOutcome::Removed:
      return L"Removed from the driver store: " + file;
    case PackageOutcome::Kept:
      return L"Kept in the driver store: " + file + L" (" + ErrorTextOrNumber(package.error) + L")";
    case PackageOutcome::NotTried:
    case PackageOutcome::Pending:
      break;
  }
  return L"Not tried: " + file + L" (its driver was not deleted)";
}

void RunRefresh() { EnumerationWorker(); }

// Steps from the plan to the outcome box, inside the run slot.
void ConfirmDeleteAndReport(DeletionPlan& plan) {
  if (plan.drivers.empty()) {
    StopProgress();
    ShowMessage(kNothingChecked, MB_ICONINFORMATION);
    return;
  }
  UINT icon = MB_ICONINFORMATION;
  DWORD error = 0;
  if (!PrepareDeletion(plan, error)) {
    anyDriverDeleted = false;
    lastDeleteError = error;
    wchar_t message[kDeleteMessageCapacity] = {};
    CopyBounded(message, DeletionOutcomeText(false, false, error, icon));
    StopProgress();
    ShowMessage(message, icon);
    ::EnableWindow(deleteButton, TRUE);
    return;
  }

  StopProgress();
  // When printers go too, a stray Enter must not confirm it.
  const UINT style = MB_YESNO | MB_ICONWARNING | (plan.printers.empty() ? 0 : MB_DEFBUTTON2);
  if (::MessageBoxW(MainWindow(), ConfirmationText(plan).c_str(), L"Kestrun", style) != IDYES) {
    AbandonDeletion(plan);
    return;
  }
  StartProgress();

  const bool deletedAll = ExecuteDeletion(plan, RunRefresh);
  const std::wstring outcome =
      DeletionOutcomeMessage(plan, deletedAll, anyDriverDeleted, lastDeleteError, icon);
  StopProgress();
  ShowMessage(outcome.c_str(), icon);
  ::EnableWindow(deleteButton, TRUE);
}

}  // namespace

DeletionPlan TakeDeletionPlan() {
  DeletionPlan plan;
  if (currentInventory == nullptr) return plan;
  const DriverInventory& inventory = *currentInventory;
  plan.targetName = inventory.targetName;
  plan.isRemote = inventory.isRemote;
  const DRIVER_INFO_6* drivers = inventory.Drivers();
  const int rows = ListRowCount();
  for (int row = 0; row < rows; ++row) {
    if (StateImageOf(row) == kUncheckedStateImage) continue;
    const LPARAM record = RecordOf(row);
    if (drivers == nullptr || record < 0 || static_cast<DWORD>(record) >= inventory.driverCount) {
      continue;
    }
    const DRIVER_INFO_6& driver = drivers[record];
    plan.drivers.push_back(PlannedDriver{std::wstring(FieldOrEmpty(driver.pName)),
                                         std::wstring(FieldOrEmpty(driver.pEnvironment)),
                                         !IsNonNativeDriver(driver),
                                         {}});
  }
  plan.removePackages = removeDriverPackages;
  return plan;
}

std::wstring ConfirmationText(const DeletionPlan& plan) {
  std::wstring text = kConfirmation;
  if (!plan.printers.empty()) {
    text += L"\n\nThese printers use the selected drivers and will be deleted first:";
    AppendListed(text, plan.printers, [](std::wstring& out, const PlannedPrinter& printer) {
      AppendPrinterLine(out, printer.name, printer.driverName);
    });
  }
  if (!plan.kept.empty()) {
    text += L"\n\nThese printers use a selected driver's name and will be kept:";
    AppendListed(text, plan.kept, [](std::wstring& out, const KeptPrinter& printer) {
      AppendPrinterLine(out, printer.name, printer.driverName);
      out += L": ";
      out += ReasonText(printer.reason);
    });
  }
  if (plan.serverEnvironment.empty()) {
    text += L"\n\nThe environment of ";
    AppendShownText(text, plan.targetName);
    text += L" could not be read (" + ErrorLine(plan.environmentError) +
            L"), so no printer on it will be deleted.";
  }
  if (plan.removePackages) AppendPackageQuestion(text, plan);
  return text;
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
  if (errorReporter) text += errorReporter->GetErrorText(lastError).text;
  // A long description is cut to the message buffer rather than overrun it.
  if (text.size() > kDeleteMessageCapacity - 1) text.resize(kDeleteMessageCapacity - 1);
  return text;
}

std::wstring DeletionOutcomeMessage(const DeletionPlan& plan, bool deletedAll, bool anyDeleted,
                                    DWORD lastError, UINT& icon) {
  std::wstring text = DeletionOutcomeText(deletedAll, anyDeleted, lastError, icon);
  std::vector<const PlannedDriver*> failed;
  for (const PlannedDriver& driver : plan.drivers) {
    if (driver.error != 0) failed.push_back(&driver);
  }
  std::vector<std::wstring> packageLines;
  for (const PlannedPackage& package : plan.packages) {
    std::wstring line = PackageOutcomeLine(package);
    bool said = false;  // two environments of one package read alike
    for (const auto& earlier : packageLines) said = said || earlier == line;
    if (!said) packageLines.push_back(std::move(line));
  }
  if (!failed.empty() || !packageLines.empty()) {
    text.resize(text.find_last_not_of(L"\r\n") + 1);
    text += L'\n';
    AppendListed(text, failed, [](std::wstring& out, const PlannedDriver* driver) {
      AppendPrinterLine(out, driver->name, driver->environment);
      out += L": " + ErrorLine(driver->error);
    });
    for (const auto& line : packageLines) text += L'\n' + line;
  }
  if (text.size() > kOutcomeTextCapacity - 1) text.resize(kOutcomeTextCapacity - 1);
  return text;
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

bool StartDeletion() {
  if (!BeginExclusiveRun(RunKind::Deletion)) return false;
  std::unique_ptr<DeletionPlan> plan(new (std::nothrow) DeletionPlan);
  if (plan) *plan = TakeDeletionPlan();
  ::EnableWindow(deleteButton, FALSE);
  StartProgress();
  if (!plan || !StartWorker(DeletionWorker, plan.get())) {
    EndExclusiveRun();
    StopProgress();
    ::EnableWindow(deleteButton, ListRowCount() > 0);
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
  EndExclusiveRun();
  if (ListRowCount() > 0) ::EnableWindow(deleteButton, TRUE);
  return 0;
}

}  // namespace kestrun
