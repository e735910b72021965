#include "ui/views.h"

#include <windows.h>
#include <commctrl.h>

#include "inventory/classification.h"
#include "inventory/driver_inventory.h"
#include "inventory/column_table.h"
#include "ui/controls.h"
#include "ui/driver_list.h"
#include "ui/sorting.h"
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

// The end every refill shares: buttons, name order, the name column fitted.
void FinishView() {
  EnableDeleteForRows();
  SortListByColumn(listView, kFirstFieldColumn, false);
  FitColumn(kFirstFieldColumn);
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
