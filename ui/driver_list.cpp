#include "ui/driver_list.h"

#include <commctrl.h>

#include <cwchar>
#include <string>

#include "ui/window_records.h"
#include "common/bounded_text.h"
#include "common/win32_handles.h"
#include "inventory/field_text.h"
#include "inventory/column_table.h"
#include "ui/controls.h"
#include "ui/dpi.h"
#include "ui/list_columns.h"
#include "res/ids.h"
#include "ui/sorting.h"
#include "ui/workers.h"

namespace kestrun {

bool checkAllNext = true;
bool sortDescendingNext = false;

namespace {

constexpr UINT kUnchecked = INDEXTOSTATEIMAGEMASK(1);
constexpr UINT kChecked = INDEXTOSTATEIMAGEMASK(2);
constexpr DWORD kListStyle =
    WS_CHILD | WS_VISIBLE | WS_BORDER | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS;
constexpr DWORD kListExtendedStyle =
    LVS_EX_CHECKBOXES | LVS_EX_HEADERDRAGDROP | LVS_EX_FULLROWSELECT;

void SetRowState(int row, UINT state) {
  LVITEMW item = {};
  item.stateMask = LVIS_STATEIMAGEMASK;
  item.state = state;
  ::SendMessageW(listView, LVM_SETITEMSTATE, static_cast<WPARAM>(row),
                 reinterpret_cast<LPARAM>(&item));
}

void SetCell(int row, int column, const wchar_t* text) {
  LVITEMW item = {};
  item.iSubItem = column;
  item.pszText = const_cast<wchar_t*>(text ? text : L"");
  ::SendMessageW(listView, LVM_SETITEMTEXTW, static_cast<WPARAM>(row),
                 reinterpret_cast<LPARAM>(&item));
}

std::wstring emptyListText;  // the UI thread's

// Paints the empty list's line below the header; a refill drops it.
LRESULT CALLBACK EmptyTextProc(HWND list, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                               DWORD_PTR) {
  if (message == LVM_DELETEALLITEMS) emptyListText.clear();
  const LRESULT result = ::DefSubclassProc(list, message, wParam, lParam);
  if (message != WM_PAINT || emptyListText.empty() ||
      ::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) != 0) {
    return result;
  }
  RECT area = {};
  ::GetClientRect(list, &area);
  RECT header = {};
  const HWND headerControl = reinterpret_cast<HWND>(::SendMessageW(list, LVM_GETHEADER, 0, 0));
  if (headerControl && ::GetWindowRect(headerControl, &header)) {
    area.top += header.bottom - header.top;
  }
  const int margin = ScaleForDpi(6, WindowDpi(list));
  ::InflateRect(&area, -margin, -margin);
  const HDC dc = ::GetDC(list);
  const HGDIOBJ oldFont =
      ::SelectObject(dc, reinterpret_cast<HGDIOBJ>(::SendMessageW(list, WM_GETFONT, 0, 0)));
  ::SetTextColor(dc, ::GetSysColor(COLOR_GRAYTEXT));
  ::SetBkMode(dc, TRANSPARENT);
  ::DrawTextW(dc, emptyListText.c_str(), static_cast<int>(emptyListText.size()), &area,
              DT_LEFT | DT_TOP | DT_WORDBREAK | DT_NOPREFIX);
  ::SelectObject(dc, oldFont);
  ::ReleaseDC(list, dc);
  return result;
}

}  // namespace

void SetEmptyListText(std::wstring text) {
  emptyListText = std::move(text);
  if (listView) ::InvalidateRect(listView, nullptr, TRUE);
}

const std::wstring& EmptyListText() { return emptyListText; }

HWND CreateDriverListView(HWND parent, const RECT& place) {
  INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_LISTVIEW_CLASSES};
  ::InitCommonControlsEx(&controls);
  HWND list = ::CreateWindowExW(0, WC_LISTVIEWW, nullptr, kListStyle, place.left, place.top,
                                place.right - place.left, place.bottom - place.top, parent, nullptr,
                                appWindowState ? appWindowState->instance : nullptr, nullptr);
  if (list) {
    ::SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, static_cast<WPARAM>(-1),
                   kListExtendedStyle);
    ::SetWindowSubclass(list, EmptyTextProc, 1, 0);
  }
  return list;
}

void InsertColumns() {
  const UINT dpi = WindowDpi(listView);
  for (int i = 0; i < kColumnCount; ++i) {
    LVCOLUMNW column = {};
    column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
    column.fmt = LVCFMT_LEFT;
    column.cx = ScaleForDpi(columnWidths[i], dpi);  // the table's widths are 96-DPI figures
    column.pszText = columnTitles[i];
    column.iSubItem = i;
    ::SendMessageW(listView, LVM_INSERTCOLUMNW, static_cast<WPARAM>(i),
                   reinterpret_cast<LPARAM>(&column));
  }
  decisionColumnsFirst = false;
}

void ScaleColumnWidths(UINT fromDpi, UINT toDpi) {
  for (int i = 0; i < kColumnCount; ++i) {
    const auto width =
        static_cast<int>(::SendMessageW(listView, LVM_GETCOLUMNWIDTH, static_cast<WPARAM>(i), 0));
    const int scaled = ::MulDiv(width, static_cast<int>(toDpi), static_cast<int>(fromDpi));
    ::SendMessageW(listView, LVM_SETCOLUMNWIDTH, static_cast<WPARAM>(i), MAKELPARAM(scaled, 0));
  }
}

int ListRowCount() { return static_cast<int>(::SendMessageW(listView, LVM_GETITEMCOUNT, 0, 0)); }

void ArrangeListedRows() {
  SortListByColumn(listView, kFirstFieldColumn, false);
  ShowSortArrow(kFirstFieldColumn, false);
  FitColumn(kFirstFieldColumn);
  FitReadableColumns();
}

void HeaderClick(int column) {
  if (column == 0 && DeletionRunActive()) {
    ::MessageBeep(MB_ICONWARNING);
  } else if (column == 0) {
    const int rows = ListRowCount();
    for (int row = 0; row < rows; ++row) SetRowState(row, checkAllNext ? kChecked : kUnchecked);
    checkAllNext = !checkAllNext;
  } else if (column >= kFirstFieldColumn && column <= kLastFieldColumn) {
    SortListByColumn(listView, column, sortDescendingNext);
    ShowSortArrow(column, sortDescendingNext);
    sortDescendingNext = !sortDescendingNext;
    FitColumn(column);
  }
}

LRESULT RefuseTickDuringDeletion(const NMLISTVIEW& change) {
  const UINT oldImage = change.uOldState & LVIS_STATEIMAGEMASK;
  const UINT newImage = change.uNewState & LVIS_STATEIMAGEMASK;
  // A row being filled in has no state image yet: only a tick changes one.
  const bool tickChange =
      (change.uChanged & LVIF_STATE) != 0 && oldImage != 0 && newImage != oldImage;
  if (!tickChange || !DeletionRunActive()) return FALSE;
  ::MessageBeep(MB_ICONWARNING);
  return TRUE;
}

ContextMenuResult ShowListContextMenu(int screenX, int screenY) {
  ContextMenuResult result;
  RECT client;
  ::GetClientRect(listView, &client);
  POINT point = {screenX, screenY};
  ::ScreenToClient(listView, &point);
  if (!::PtInRect(&client, point)) return result;

  ::ClientToScreen(listView, &point);
  UniqueMenu menu(::LoadMenuW(appWindowState ? appWindowState->instance : nullptr,
                              MAKEINTRESOURCEW(IDR_LIST_MENU)));
  if (!menu) return result;
  result.shown = true;
  result.command = static_cast<UINT>(::TrackPopupMenu(::GetSubMenu(menu.get(), 0), TPM_RETURNCMD,
                                                      point.x, point.y, 0, listView, nullptr));
  return result;
}

void CopySelectedRow() {
  if (ListRowCount() == 0) {
    ShowMessage(L"There are no items in the list to copy.", MB_ICONINFORMATION);
    return;
  }
  const int row = static_cast<int>(::SendMessageW(listView, LVM_GETSELECTIONMARK, 0, 0));
  if (row < 0) {
    ShowMessage(L"There are no items selected to copy.", MB_ICONINFORMATION);
    return;
  }
  // The whole row, every cell whole: the facts a clean-up is decided on come last.
  std::wstring text;
  for (int column = kFirstFieldColumn; column <= kLastFieldColumn; ++column) {
    text += ReadWholeListCell(listView, row, column, kCopyCellCapacity);
    text += L"\r\n";
  }
  CopyTextToClipboard(text);
}

void CopyTextToClipboard(std::wstring_view text) {
  const SIZE_T blockBytes = (text.size() + 1) * sizeof(wchar_t);
  UniqueGlobal block(::GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT | GMEM_DDESHARE, blockBytes));
  if (!block) return;
  auto* copy = static_cast<wchar_t*>(::GlobalLock(block.get()));
  if (copy == nullptr) return;
  CopyBounded(copy, text.size() + 1, text);
  ::GlobalUnlock(block.get());

  if (!::OpenClipboard(nullptr)) return;
  ::EmptyClipboard();
  if (::SetClipboardData(CF_UNICODETEXT, block.get())) block.release();  // the clipboard owns it
  ::CloseClipboard();
}

bool AddDriverRows(DriverInventory& inventory, const DWORD* indexes, DWORD count) {
  ::SendMessageW(listView, WM_SETREDRAW, FALSE, 0);
  ::SendMessageW(listView, LVM_SETITEMCOUNT, count, 0);
  const DRIVER_INFO_6* drivers = inventory.Drivers();
  DriverFacts facts;  // its strings are reused from row to row
  bool filled = true;
  for (DWORD i = 0; i < count; ++i) {
    const DWORD record = indexes ? indexes[i] : i;
    if (record >= inventory.driverCount) continue;
    const DRIVER_INFO_6& driver = drivers[record];
    LVITEMW item = {};
    item.mask = LVIF_IMAGE | LVIF_PARAM | LVIF_STATE;
    item.iItem = static_cast<int>(i);
    item.iImage = 0;
    item.lParam = static_cast<LPARAM>(record);
    item.stateMask = LVIS_STATEIMAGEMASK;
    item.state = kUnchecked;
    const int row = static_cast<int>(
        ::SendMessageW(listView, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));

    const auto dependentFiles = JoinDependentFiles(inventory, driver.pDependentFiles);
    if (!dependentFiles) {
      filled = false;
      break;
    }
    const wchar_t* const cells[kLastLogColumn + 1] = {
        nullptr,
        driver.pName,
        driver.pszProvider,
        dependentFiles.get(),
        driver.pEnvironment,
        driver.pDriverPath,
        driver.pDataFile,
        driver.pConfigFile,
        driver.pHelpFile,
        driver.pMonitorName,
        driver.pDefaultDataType,
        driver.pszzPreviousNames,  // a multi-string shown as its first name
        driver.pszMfgName,
        driver.pszOEMUrl,
        driver.pszHardwareID,
    };
    for (int column = kFirstFieldColumn; column <= kLastLogColumn; ++column) {
      if (cells[column] != nullptr && cells[column][0] != L'\0') SetCell(row, column, cells[column]);
    }
    DescribeDriver(inventory, record, DateForm::UserShort, facts);
    for (int fact = 0; fact < kDriverFactCount; ++fact) {
      if (!facts[fact].empty()) SetCell(row, kFirstFactColumn + fact, facts[fact].c_str());
    }
  }
  ::SendMessageW(listView, WM_SETREDRAW, TRUE, 0);
  return filled;
}

bool FillDriverRows(DriverInventory& inventory) {
  ::SendMessageW(listView, LVM_DELETEALLITEMS, 0, 0);
  if (AddDriverRows(inventory, nullptr, inventory.driverCount)) return true;
  ::SendMessageW(listView, LVM_DELETEALLITEMS, 0, 0);
  return false;
}

}  // namespace kestrun
