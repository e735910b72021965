// The driver list: a report-style list view with a check box per row and
// twenty-one columns (the check box, the driver's fourteen fields, then its
// printers, version, date, type and package).
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <string>
#include <string_view>

#include "inventory/driver_inventory.h"

namespace kestrun {

constexpr int kCopyCellCapacity = 512;  // a cell is read whole, this much at first

// Header-click toggles; they keep their values for the life of the process.
extern bool checkAllNext;
extern bool sortDescendingNext;

HWND CreateDriverListView(HWND parent, const RECT& place);

// The line an empty list shows where its first row would be ("No unused
// non-native drivers on SRV"), until its rows are next replaced.
void SetEmptyListText(std::wstring text);
const std::wstring& EmptyListText();
// Inserts the columns, their widths scaled to the list's DPI, in the table's
// order on screen too.
void InsertColumns();
// Rescales every column's width, as the user left it, from one DPI to another.
void ScaleColumnWidths(UINT fromDpi, UINT toDpi);

// Column 0 checks or clears every row (refused with a beep while a deletion
// runs); columns 1 to 20 sort, show the sort arrow and fit the column.
void HeaderClick(int column);

// The answer to LVN_ITEMCHANGING: TRUE (with a beep) refuses a change of a
// row's tick while a deletion runs, so the list keeps showing what goes.
LRESULT RefuseTickDuringDeletion(const NMLISTVIEW& change);

struct ContextMenuResult {
  bool shown = false;
  UINT command = 0;
};
ContextMenuResult ShowListContextMenu(int screenX, int screenY);

void CopySelectedRow();
// Puts a text, whole, on the clipboard as Unicode text.
void CopyTextToClipboard(std::wstring_view text);

// Adds one row per record named in `indexes` (every record when null), each
// showing the application icon, unchecked, with its record's index as item
// parameter; redraw is suspended meanwhile. False when a dependent-files line
// could not be built; the rows added before it stay.
bool AddDriverRows(DriverInventory& inventory, const DWORD* indexes, DWORD count);

// Replaces the rows with one row per driver of the inventory (record index as
// item parameter, unchecked), with redraw suspended. False when a
// dependent-files line could not be built; the list is then empty.
bool FillDriverRows(DriverInventory& inventory);

// The end of every listing and view: the rows in ascending name order, the
// arrow showing it, the name column fitted and the readable columns sized.
void ArrangeListedRows();

int ListRowCount();

}  // namespace kestrun
