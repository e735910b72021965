#include "ui/list_columns.h"

#include <algorithm>
#include <new>
#include <string>
#include <unordered_set>

#include "inventory/column_table.h"
#include "res/ids.h"
#include "ui/controls.h"
#include "ui/dpi.h"

namespace kestrun {

bool decisionColumnsFirst = false;

namespace {

// The widest a readable column is sized to by its cells, at 96 DPI: the fact
// texts are short, and one long text a server sends must not push the other
// facts out of view. The cell is still whole in Save Output and Copy Item.
constexpr int kReadableWidthBound = 240;
// Room beside a cell's text, both sides together, at 96 DPI, as the list fits a column.
constexpr int kCellPadding = 12;
// A cell is read this far for its width: a longer text is past the bound.
constexpr int kCellReadCapacity = 256;

static_assert(kFirstFactColumn == 15 && kLastFieldColumn == 20 && kColumnCount == 21);

// The columns an admin reads a driver's fate from.
constexpr int kReadableColumns[] = {kEnvironmentColumn, 15, 16, 17, 18, 19, 20};

// The check box, the driver's name, the six facts, then the other driver
// fields in the table's order.
constexpr int kDecisionOrder[kColumnCount] = {0, 1, 15, 16, 17, 18, 19, 20, 2,  3, 4,
                                              5, 6, 7,  8,  9,  10, 11, 12, 13, 14};

// The header's inside is its height less this, as the classic header lays
// out the sort arrow.
constexpr int kHeaderBorder = 4;

HWND HeaderOf(HWND list) {
  return reinterpret_cast<HWND>(::SendMessageW(list, LVM_GETHEADER, 0, 0));
}

HWND ListHeader() { return HeaderOf(listView); }

int ColumnWidth(int column) {
  return static_cast<int>(
      ::SendMessageW(listView, LVM_GETCOLUMNWIDTH, static_cast<WPARAM>(column), 0));
}

void SetColumnWidth(int column, int width) {
  ::SendMessageW(listView, LVM_SETCOLUMNWIDTH, static_cast<WPARAM>(column), MAKELPARAM(width, 0));
}

int TextWidth(const wchar_t* text) {
  return static_cast<int>(
      ::SendMessageW(listView, LVM_GETSTRINGWIDTHW, 0, reinterpret_cast<LPARAM>(text)));
}

// The width the list gives a column for its widest cell.
int ContentsWidth(int column) {
  ::SendMessageW(listView, LVM_SETCOLUMNWIDTH, static_cast<WPARAM>(column),
                 MAKELPARAM(LVSCW_AUTOSIZE, 0));
  return ColumnWidth(column);
}

// The widest text of a column, up to `bound`, each distinct text measured
// once: a readable column repeats a few texts over many rows, and measuring
// every row, as the list's own fitting does, costs seconds on a large server.
int WidestCellText(int column, int bound) {
  const int rows = static_cast<int>(::SendMessageW(listView, LVM_GETITEMCOUNT, 0, 0));
  wchar_t text[kCellReadCapacity];
  int widest = 0;
  try {
    std::unordered_set<std::wstring> measured;
    for (int row = 0; row < rows && widest < bound; ++row) {
      ReadListCell(listView, row, column, text, kCellReadCapacity);
      if (measured.insert(text).second) widest = std::max(widest, TextWidth(text));
    }
  } catch (const std::bad_alloc&) {
    // The texts measured so far size the column.
  }
  return widest;
}

}  // namespace

int TitleFitWidth(int column) { return TitleFitWidth(listView, columnTitles[column]); }

int TitleFitWidth(HWND list, const wchar_t* title) {
  const HWND header = HeaderOf(list);
  const auto text = static_cast<int>(
      ::SendMessageW(list, LVM_GETSTRINGWIDTHW, 0, reinterpret_cast<LPARAM>(title)));
  const auto margin = static_cast<int>(::SendMessageW(header, HDM_GETBITMAPMARGIN, 0, 0));
  RECT bar = {};
  ::GetClientRect(header, &bar);
  // The classic header draws the arrow right of the title: a triangle as
  // tall as 4/13 of its inside, twice as wide, with a margin either side. A
  // themed header draws it above the title instead, and the room stays spare.
  const int arrowHeight = ::MulDiv(std::max<int>(bar.bottom - kHeaderBorder, 0), 4, 13);
  const int arrow = 2 * arrowHeight - 1 + 2 * margin;
  // The item's etched right edge takes its width from the text's room.
  return text + 2 * margin + arrow + ::GetSystemMetrics(SM_CXEDGE);
}

void FitColumn(int column) {
  SetColumnWidth(column, std::max(ContentsWidth(column), TitleFitWidth(column)));
}

void FitReadableColumns() {
  const UINT dpi = WindowDpi(listView);
  const int bound = ScaleForDpi(kReadableWidthBound, dpi);
  const int padding = ScaleForDpi(kCellPadding, dpi);
  for (const int column : kReadableColumns) {
    int floor = TitleFitWidth(column);
    if (column == kEnvironmentColumn) {
      floor = std::max(floor, ScaleForDpi(columnWidths[column], dpi));
    }
    const int cells = std::min(WidestCellText(column, bound) + padding, bound);
    SetColumnWidth(column, std::max(floor, cells));
  }
}

void ShowSortArrow(int column, bool descending) { ShowSortArrow(listView, column, descending); }

void ShowSortArrow(HWND list, int column, bool descending) {
  const HWND header = HeaderOf(list);
  const auto count = static_cast<int>(::SendMessageW(header, HDM_GETITEMCOUNT, 0, 0));
  for (int i = 0; i < count; ++i) {
    HDITEMW item = {};
    item.mask = HDI_FORMAT;
    if (!::SendMessageW(header, HDM_GETITEMW, static_cast<WPARAM>(i),
                        reinterpret_cast<LPARAM>(&item))) {
      continue;
    }
    int format = item.fmt & ~(HDF_SORTUP | HDF_SORTDOWN);
    if (i == column) format |= descending ? HDF_SORTDOWN : HDF_SORTUP;
    if (format == item.fmt) continue;
    item.fmt = format;
    ::SendMessageW(header, HDM_SETITEMW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&item));
  }
}

void ToggleDecisionColumnsFirst() {
  decisionColumnsFirst = !decisionColumnsFirst;
  int order[kColumnCount];
  for (int i = 0; i < kColumnCount; ++i) order[i] = decisionColumnsFirst ? kDecisionOrder[i] : i;
  ::SendMessageW(listView, LVM_SETCOLUMNORDERARRAY, kColumnCount, reinterpret_cast<LPARAM>(order));
  ::InvalidateRect(listView, nullptr, TRUE);
  ::CheckMenuItem(mainMenu, IDM_DECISION_COLUMNS_FIRST,
                  MF_BYCOMMAND | (decisionColumnsFirst ? MF_CHECKED : MF_UNCHECKED));
}

bool RefuseCheckBoxColumnMove(const NMHDR& notice) {
  if (notice.hwndFrom != ListHeader()) return false;
  if (notice.code != HDN_BEGINDRAG && notice.code != HDN_ENDDRAG) return false;
  const auto& drag = reinterpret_cast<const NMHEADERW&>(notice);
  if (drag.iItem == 0) return true;
  return notice.code == HDN_ENDDRAG && drag.pitem != nullptr && drag.pitem->iOrder == 0;
}

}  // namespace kestrun
