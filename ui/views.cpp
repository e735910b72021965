#include "ui/views.h"

#include <windows.h>
#include <commctrl.h>

#include <new>
#include <string>
#include <vector>

#include "inventory/classification.h"
#include "inventory/driver_inventory.h"
#include "inventory/error_reporter.h"
#include "inventory/field_text.h"
#include "ui/controls.h"
#include "ui/driver_list.h"
#include "ui/workers.h"

namespace kestrun {

namespace {

bool RunBusy() {
  if (!ExclusiveRunActive()) return false;
  ::MessageBeep(MB_ICONWARNING);
  return true;
}

void RemoveAllRows() { ::SendMessageW(listView, LVM_DELETEALLITEMS, 0, 0); }

void EnableDeleteForRows() { ::EnableWindow(deleteButton, ListRowCount() > 0); }

// The listed machine as the empty view names it.
std::wstring MachineShown(const DriverInventory& inventory) {
  if (!inventory.isRemote) return L"this computer";
  std::wstring shown;
  AppendShownText(shown, BareMachineName(inventory.targetName));
  return shown;
}

// The end every refill shares: buttons, name order, the columns sized.
void FinishView() {
  EnableDeleteForRows();
  ArrangeListedRows();
}

}  // namespace

bool ShowNonNativeOnly() {
  if (RunBusy()) return false;
  if (currentInventory == nullptr) return true;
  DriverInventory& inventory = *currentInventory;
  RemoveAllRows();
  ClassifyDrivers(inventory);
  const DWORD count = inventory.nonNativeIndexes ? inventory.nonNativeCount : 0;
  if (!AddDriverRows(inventory, inventory.nonNativeIndexes.get(), count)) {
    RemoveAllRows();
    ShowMessage(L"Failed to filter by Non-Native/Non-Norvex provider print\ndrivers due to a memory error.",
                MB_ICONERROR);
    return true;
  }
  if (count == 0) SetEmptyListText(L"No non-native drivers on " + MachineShown(inventory));
  FinishView();
  return true;
}

bool ShowUnusedNonNativeOnly() {
  if (RunBusy()) return false;
  if (currentInventory == nullptr) return true;
  DriverInventory& inventory = *currentInventory;
  if (!inventory.listed) {
    // A failed or cancelled listing holds no drivers, and no reason of its printers'.
    ShowMessage(L"List a machine first: the last listing did not finish.", MB_ICONINFORMATION);
    return true;
  }
  if (!inventory.printerUse) {
    std::wstring reason =
        L"Kestrun cannot tell which drivers are unused: the printers of this machine could "
        L"not be read.\n";
    reason += OneLineText(errorReporter ? errorReporter->GetErrorText(inventory.printerError).text
                                        : L"Unspecified error!");
    ShowMessage(reason.c_str(), MB_ICONINFORMATION);
    return true;
  }
  std::vector<DWORD> unused;
  try {
    unused = UnusedNonNativeIndexes(inventory);
  } catch (const std::bad_alloc&) {
    ShowMessage(L"Failed to enumerate due to a memory error.", MB_ICONERROR);
    return true;
  }
  RemoveAllRows();
  if (!AddDriverRows(inventory, unused.data(), static_cast<DWORD>(unused.size()))) {
    RemoveAllRows();
    ShowMessage(L"Failed to enumerate due to a memory error.", MB_ICONERROR);
    return true;
  }
  if (unused.empty()) {
    SetEmptyListText(L"No unused non-native drivers on " + MachineShown(inventory));
  }
  FinishView();
  return true;
}

bool ResetView() {
  if (RunBusy()) return false;
  RemoveAllRows();
  if (currentInventory != nullptr &&
      !AddDriverRows(*currentInventory, nullptr, currentInventory->driverCount)) {
    ShowMessage(L"Failed to enumerate due to a memory error.", MB_ICONERROR);
    ::EnableWindow(enumerateButton, TRUE);
    EnableDeleteForRows();
    return true;
  }
  FinishView();
  return true;
}

}  // namespace kestrun
