#include "ui/delete_command.h"

#include <commctrl.h>

#include "app/shared_records.h"
#include "common/bounded_text.h"
#include "inventory/deletion.h"
#include "inventory/error_reporter.h"
#include "ui/controls.h"
#include "ui/driver_list.h"
#include "ui/enumeration_worker.h"
#include "ui/workers.h"

namespace kestrun {

namespace {

constexpr DWORD kRunWaitStepMs = 20;

constexpr wchar_t kNothingChecked[] =
    L"Please select a driver from the list before trying to delete!";
constexpr wchar_t kConfirmation[] =
    L"Warning, this will attempt to delete the selected driver(s) permanently!\nThis action "
    L"cannot be reverted. Do you wish to proceed?";

// The driver list as the deletion reads it, through synchronous messages
// that the main window's thread carries out.
class ListViewEntries : public CheckedEntryReader {
 public:
  int EntryCount() override { return ListRowCount(); }
  UINT StateImageIndex(int entry) override {
    const auto state = static_cast<UINT>(::SendMessageW(listView, LVM_GETITEMSTATE,
                                                        static_cast<WPARAM>(entry),
                                                        LVIS_STATEIMAGEMASK));
    return (state & LVIS_STATEIMAGEMASK) >> 12;
  }
  void ReadCell(int entry, int column, wchar_t* buffer, int capacity) override {
    ReadListCell(listView, entry, column, buffer, capacity);
  }
};

bool AnyEntryChecked(ListViewEntries& list) {
  const int count = list.EntryCount();
  for (int entry = 0; entry < count; ++entry) {
    if (list.StateImageIndex(entry) != kUncheckedStateImage) return true;
  }
  return false;
}

// Waits on this thread until no enumeration runs and claims the slot; false
// when the window went away meanwhile.
bool ClaimExclusiveRun() {
  while (!BeginExclusiveRun()) {
    if (!::IsWindow(MainWindow())) return false;
    ::Sleep(kRunWaitStepMs);
  }
  return true;
}

void RunRefresh() { EnumerationWorker(); }

// Steps between the check of the list and the outcome box, inside the slot.
void ConfirmDeleteAndReport() {
  ListViewEntries list;
  if (!AnyEntryChecked(list)) {
    StopProgress();
    ShowMessage(kNothingChecked, MB_ICONINFORMATION);
    return;
  }
  StopProgress();
  if (::MessageBoxW(MainWindow(), kConfirmation, L"Kestrun", MB_YESNO | MB_ICONWARNING) != IDYES) {
    return;
  }
  StartProgress();

  bool deletedAll = false;
  if (currentInventory != nullptr) {
    deletedAll = DeleteCheckedDrivers(*currentInventory, list, RunRefresh);
  } else {
    anyDriverDeleted = false;
    lastDeleteError = ERROR_INVALID_DATA;  // no target is known without an inventory
  }

  UINT icon = MB_ICONINFORMATION;
  wchar_t message[kDeleteMessageCapacity] = {};
  CopyBounded(message, DeletionOutcomeText(deletedAll, anyDriverDeleted, lastDeleteError, icon));
  StopProgress();
  ShowMessage(message, icon);
  ::EnableWindow(deleteButton, TRUE);
}

}  // namespace

std::wstring DeletionOutcomeText(bool deletedAll, bool anyDeleted, DWORD lastError, UINT& icon) {
  icon = MB_ICONINFORMATION;
  if (deletedAll) return L"The selected driver(s) were deleted successfully.\n";
  if (anyDeleted) {
    return L"Not all selected print drivers could be deleted.\nPlease try rebooting and "
           L"deleting again.";
  }
  if (lastError == ERROR_PRINTER_DRIVER_IN_USE) {
    return L"The driver files are in use, and have been marked for deletion upon reboot!";
  }
  icon = MB_ICONERROR;
  std::wstring text = L"Failed to delete selected print driver(s)!\n";
  if (errorReporter) text += errorReporter->GetErrorText(lastError).text;
  // A long description is cut to the message buffer rather than overrun it.
  if (text.size() > kDeleteMessageCapacity - 1) text.resize(kDeleteMessageCapacity - 1);
  return text;
}

void StartDeletion() {
  ::EnableWindow(deleteButton, FALSE);
  StartProgress();
  if (!StartWorker(DeletionWorker)) {
    StopProgress();
    ::EnableWindow(deleteButton, ListRowCount() > 0);
  }
}

DWORD WINAPI DeletionWorker(LPVOID) {
  if (processLock == nullptr) return 0;
  {
    CriticalSectionLock hold(*processLock);
    if (ClaimExclusiveRun()) {
      ConfirmDeleteAndReport();
      EndExclusiveRun();
    }
  }
  if (ListRowCount() > 0) ::EnableWindow(deleteButton, TRUE);
  return 0;
}

}  // namespace kestrun
