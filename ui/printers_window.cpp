#include "ui/printers_window.h"

#include <commctrl.h>
#include <windowsx.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "common/bounded_text.h"
#include "common/win32_handles.h"
#include "inventory/column_table.h"
#include "inventory/driver_inventory.h"
#include "inventory/error_reporter.h"
#include "inventory/field_text.h"
#include "inventory/queue_rows.h"
#include "report/queue_devices.h"
#include "report/queues_log.h"
#include "res/ids.h"
#include "ui/controls.h"
#include "ui/device_check.h"
#include "ui/dpi.h"
#include "ui/driver_list.h"
#include "ui/find.h"
#include "ui/list_columns.h"
#include "ui/save_dialog.h"
#include "ui/sorting.h"
#include "ui/window_records.h"

namespace kestrun {

namespace {

constexpr wchar_t kClassName[] = L"KestrunPrinters";
constexpr wchar_t kShowAllLabel[] = L"Show All";
constexpr wchar_t kSaveLabel[] = L"Save...";
constexpr wchar_t kCheckLabel[] = L"Check Devices";
constexpr wchar_t kCancelLabel[] = L"Cancel";
constexpr DWORD kListStyle = WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP | LVS_REPORT |
                             LVS_SINGLESEL | LVS_SHOWSELALWAYS | LVS_OWNERDATA;
constexpr DWORD kListExtendedStyle =
    LVS_EX_HEADERDRAGDROP | LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER;

// Figures at 96 DPI.
constexpr int kWindowWidth = 1000;
constexpr int kWindowHeight = 520;
constexpr int kMargin = 6;
constexpr int kButtonHeight = 24;
constexpr int kButtonPadding = 24;  // around a button's label
constexpr int kButtonMinWidth = 75;
constexpr int kColumnWidths[kQueueColumnCount] = {170, 90,  110, 80,  140, 210, 90, 130,
                                                  95,  110, 200, 200, 160, 130, 150};

// A printer as the window keeps it: its own copy of the row's texts, as the
// listing it came from is replaced by the next one.
struct PrinterRow {
  std::wstring cells[kQueueColumnCount];
  std::wstring reason;
  ProtectedPrintVerdict verdict = ProtectedPrintVerdict::NotInstalled;
  DriverOrigin origin = DriverOrigin::NotInstalled;
  ULONGLONG driverVersion = 0;
  PortKind portKind = PortKind::Unlisted;
  bool driverless = false;  // its device prints without a vendor driver
  bool mopria = false;      // and is Mopria certified
  bool notAsked = true;     // no check reached its device
};

// The one printers window, while it is open.
struct PrintersView {
  HWND window = nullptr;
  HWND counts = nullptr;
  HWND showAll = nullptr;
  HWND save = nullptr;
  HWND check = nullptr;
  UINT dpi = kBaseDpi;
  HFONT font = nullptr;
  std::wstring driverFilter;  // empty: every printer
  std::wstring machine;       // the listing's machine for the CSV's "Machine"
  std::vector<PrinterRow> rows;
  std::vector<size_t> shown;  // the rows the list shows, in its order
  int sortColumn = kQueuePrinter;
  bool sortDescending = false;
  bool sortDescendingNext = true;  // the fill's own sort is ascending
  std::shared_ptr<DeviceCheck> checking;  // while "Check Devices" runs
  std::vector<size_t> checkedRows;        // the rows it asks for, in its plan's order
  QueueProbePlan plan;
  bool checked = false;  // a check ended since this listing was taken
};

PrintersView* view = nullptr;
HWND printersList = nullptr;
WNDPROC printersListProc = nullptr;
int printersFindPosition = 0;
HWND printersFindDialog = nullptr;
const FindTarget kPrintersFind = {&printersList, 0, kQueueColumnCount - 1, &printersFindPosition,
                                  &printersFindDialog};

HINSTANCE Instance() {
  return appWindowState ? appWindowState->instance : ::GetModuleHandleW(nullptr);
}

int Scaled(int value) { return ScaleForDpi(value, view ? view->dpi : kBaseDpi); }

int TextWidth(HWND window, const wchar_t* text) {
  const HDC dc = ::GetDC(window);
  const HGDIOBJ previous = ::SelectObject(dc, view->font);
  SIZE size = {};
  ::GetTextExtentPoint32W(dc, text, lstrlenW(text), &size);
  ::SelectObject(dc, previous);
  ::ReleaseDC(window, dc);
  return size.cx;
}

int ButtonWidth(const wchar_t* label) {
  return std::max(Scaled(kButtonMinWidth), TextWidth(view->window, label) + Scaled(kButtonPadding));
}

// "SRV" as the listing named it, or "this computer".
std::wstring MachineTitle(const DriverInventory* inventory) {
  const std::wstring_view machine =
      inventory ? BareMachineName(inventory->machineText) : std::wstring_view();
  return machine.empty() ? std::wstring(L"this computer") : std::wstring(machine);
}

// The machine for the CSV: as named, or this computer's own name.
std::wstring MachineName(const DriverInventory& inventory) {
  const std::wstring_view named = BareMachineName(inventory.machineText);
  if (!named.empty()) return std::wstring(named);
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  return ::GetComputerNameW(name, &size) ? std::wstring(name) : std::wstring();
}

void SetTitle() {
  std::wstring title = L"Printers on " + MachineTitle(currentInventory);
  if (!view->driverFilter.empty()) title += L" using " + view->driverFilter;
  ::SetWindowTextW(view->window, title.c_str());
}

// Driver Version sorts as the version it spells, empty cells first; every
// other column as the main list sorts texts.
bool RowBefore(size_t first, size_t second) {
  const PrinterRow& a = view->rows[first];
  const PrinterRow& b = view->rows[second];
  int order = 0;
  if (view->sortColumn == kQueueDriverVersion) {
    const bool aKnown = a.origin != DriverOrigin::NotInstalled;
    const bool bKnown = b.origin != DriverOrigin::NotInstalled;
    order = aKnown != bKnown                    ? (aKnown ? 1 : -1)
            : a.driverVersion < b.driverVersion ? -1
            : a.driverVersion > b.driverVersion ? 1
                                                : 0;
  } else {
    order = CompareListTexts(a.cells[view->sortColumn].c_str(), b.cells[view->sortColumn].c_str()) -
            CSTR_EQUAL;
  }
  return view->sortDescending ? order > 0 : order < 0;
}

void SortRows() {
  std::stable_sort(view->shown.begin(), view->shown.end(), RowBefore);
  ShowSortArrow(printersList, view->sortColumn, view->sortDescending);
  ::InvalidateRect(printersList, nullptr, TRUE);
}

// The counts of the rows shown, or why there are none.
std::wstring CountsText() {
  if (currentInventory == nullptr) return L"Waiting for the main window's listing.";
  if (!currentInventory->printers && currentInventory->printerError != 0) {
    const DWORD code = currentInventory->printerError;
    return L"The printers could not be read: " + std::to_wstring(code) + L" " +
           OneLineText(errorReporter ? errorReporter->GetErrorText(code).text : L"");
  }
  if (view->checking) {
    return L"Checking devices: " + std::to_wstring(view->checking->settled.load()) + L" of " +
           std::to_wstring(view->checking->devices.size()) + L" answered or given up.";
  }
  VerdictCounts counts;
  DriverlessTally tally;
  for (const size_t row : view->shown) {
    const PrinterRow& shown = view->rows[row];
    counts.Add(shown.verdict);
    if (shown.verdict == ProtectedPrintVerdict::ThirdParty) {
      tally.Add(shown.driverless, shown.mopria, shown.notAsked);
    }
  }
  std::wstring text = VerdictCountsText(counts);
  if (view->checked) text += L" " + DriverlessCountText(tally) + L".";
  return text;
}

// The rows of the listing that the filter lets through, sorted as before.
void ShowRows() {
  view->shown.clear();
  for (size_t row = 0; row < view->rows.size(); ++row) {
    if (view->driverFilter.empty() ||
        SameName(view->rows[row].cells[kQueueDriver], view->driverFilter)) {
      view->shown.push_back(row);
    }
  }
  ::SendMessageW(printersList, LVM_SETITEMCOUNT, view->shown.size(), 0);
  LVITEMW unselected = {};
  unselected.stateMask = LVIS_SELECTED;
  ::SendMessageW(printersList, LVM_SETITEMSTATE, static_cast<WPARAM>(-1),
                 reinterpret_cast<LPARAM>(&unselected));
  printersFindPosition = 0;
  SortRows();
  SetTitle();
  ::SetWindowTextW(view->counts, CountsText().c_str());
  ::EnableWindow(view->showAll, !view->driverFilter.empty());
}

// Ends a running check; whatever it finds later is ignored.
void StopCheck() {
  if (!view->checking) return;
  view->checking->cancel.store(true);
  view->checking.reset();
  ::SetWindowTextW(view->check, kCheckLabel);
}

// Takes the main window's current listing.
void LoadRows() {
  StopCheck();
  view->checked = false;
  view->rows.clear();
  view->machine.clear();
  if (currentInventory != nullptr) {
    try {
      const QueueTable table = DescribeQueues(*currentInventory);
      view->rows.resize(table.rows.size());
      for (size_t r = 0; r < table.rows.size(); ++r) {
        const QueueRow& from = table.rows[r];
        PrinterRow& row = view->rows[r];
        for (int column = 0; column < kQueueColumnCount; ++column) {
          row.cells[column] = from.cells[column];
        }
        row.reason = from.reason;
        row.verdict = from.verdict;
        row.origin = from.origin;
        row.driverVersion = from.driverVersion;
        row.portKind = from.portKind;
      }
      view->machine = MachineName(*currentInventory);
    } catch (const std::bad_alloc&) {
      view->rows.clear();
      ::MessageBoxW(view->window, L"Failed to enumerate due to a memory error.", L"Kestrun",
                    MB_ICONERROR);
    }
  }
  ShowRows();
}

void LayOut() {
  RECT client;
  ::GetClientRect(view->window, &client);
  const int margin = Scaled(kMargin);
  const int height = Scaled(kButtonHeight);
  const int saveWidth = ButtonWidth(kSaveLabel);
  const int showAllWidth = ButtonWidth(kShowAllLabel);
  const int checkWidth = std::max(ButtonWidth(kCheckLabel), ButtonWidth(kCancelLabel));
  int right = client.right - margin - saveWidth;
  ::MoveWindow(view->save, right, margin, saveWidth, height, TRUE);
  right -= margin + showAllWidth;
  ::MoveWindow(view->showAll, right, margin, showAllWidth, height, TRUE);
  right -= margin + checkWidth;
  ::MoveWindow(view->check, right, margin, checkWidth, height, TRUE);
  ::MoveWindow(view->counts, margin, margin, std::max(0, right - 2 * margin), height, TRUE);
  const int top = 2 * margin + height;
  ::MoveWindow(printersList, margin, top, std::max(0, static_cast<int>(client.right) - 2 * margin),
               std::max(0, static_cast<int>(client.bottom) - top - margin), TRUE);
}

// Every column at least as wide as its title, with the sort arrow beside it.
void SizeColumns(const int* widths96) {
  for (int column = 0; column < kQueueColumnCount; ++column) {
    const int width =
        std::max(Scaled(widths96[column]), TitleFitWidth(printersList, kQueueColumnTitles[column]));
    ::SendMessageW(printersList, LVM_SETCOLUMNWIDTH, static_cast<WPARAM>(column),
                   MAKELPARAM(width, 0));
  }
}

void UseFont(UINT dpi) {
  const HFONT font = CreateGuiFontForDpi(dpi);
  for (HWND control : {view->counts, view->check, view->showAll, view->save, printersList}) {
    ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  }
  if (view->font) ::DeleteObject(view->font);  // the stock font is not deleted by this
  view->font = font;
}

HWND CreateChild(const wchar_t* className, const wchar_t* text, DWORD style, int id) {
  return ::CreateWindowExW(0, className, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0,
                           view->window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                           Instance(), nullptr);
}

LRESULT CALLBACK PrintersListKeyProc(HWND list, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_KEYDOWN && wParam == 'F' && ::GetKeyState(VK_CONTROL) < 0) {
    OpenFindDialog(kPrintersFind, view->window);
    return 0;
  }
  if (message == WM_KEYDOWN && wParam == VK_F3) {
    FindNext(kPrintersFind);
    return 0;
  }
  return ::CallWindowProcW(printersListProc, list, message, wParam, lParam);
}

bool OnCreate(HWND window) {
  view->window = window;
  view->dpi = WindowDpi(window);
  view->counts =
      CreateChild(L"STATIC", L"", SS_LEFT | SS_NOPREFIX | SS_CENTERIMAGE, IDC_PRINTERS_COUNTS);
  view->showAll =
      CreateChild(L"BUTTON", kShowAllLabel, BS_PUSHBUTTON | WS_TABSTOP, IDC_PRINTERS_SHOW_ALL);
  view->save = CreateChild(L"BUTTON", kSaveLabel, BS_PUSHBUTTON | WS_TABSTOP, IDC_PRINTERS_SAVE);
  view->check =
      CreateChild(L"BUTTON", kCheckLabel, BS_PUSHBUTTON | WS_TABSTOP, IDC_PRINTERS_CHECK_DEVICES);
  printersList = ::CreateWindowExW(0, WC_LISTVIEWW, nullptr, kListStyle, 0, 0, 0, 0, window,
                                   reinterpret_cast<HMENU>(IDC_PRINTERS_LIST), Instance(), nullptr);
  if (!view->counts || !view->showAll || !view->save || !view->check || !printersList) {
    return false;
  }
  ::SendMessageW(printersList, LVM_SETEXTENDEDLISTVIEWSTYLE, kListExtendedStyle,
                 kListExtendedStyle);
  printersListProc = reinterpret_cast<WNDPROC>(::SetWindowLongPtrW(
      printersList, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(PrintersListKeyProc)));
  UseFont(view->dpi);
  for (int column = 0; column < kQueueColumnCount; ++column) {
    LVCOLUMNW item = {};
    item.mask = LVCF_FMT | LVCF_TEXT | LVCF_SUBITEM;
    item.fmt = LVCFMT_LEFT;
    item.pszText = const_cast<wchar_t*>(kQueueColumnTitles[column]);
    item.iSubItem = column;
    ::SendMessageW(printersList, LVM_INSERTCOLUMNW, static_cast<WPARAM>(column),
                   reinterpret_cast<LPARAM>(&item));
  }
  // The verdict first: at a laptop's width the columns an admin acts on are
  // in view. Only the display order: Save... and the CSV keep theirs.
  int order[kQueueColumnCount] = {kQueuePrinter, kQueueDriver, kQueueProtectedPrint, kQueueDevice,
                                  kQueueDeviceModel};
  for (int column = 0, at = 5; column < kQueueColumnCount; ++column) {
    if (std::find(order, order + 5, column) == order + 5) order[at++] = column;
  }
  ::SendMessageW(printersList, LVM_SETCOLUMNORDERARRAY, kQueueColumnCount,
                 reinterpret_cast<LPARAM>(order));
  SizeColumns(kColumnWidths);
  LayOut();
  return true;
}

void OnDpiChanged(UINT dpi, const RECT& suggested) {
  int widths[kQueueColumnCount];
  for (int column = 0; column < kQueueColumnCount; ++column) {
    const auto width = static_cast<int>(
        ::SendMessageW(printersList, LVM_GETCOLUMNWIDTH, static_cast<WPARAM>(column), 0));
    widths[column] = ::MulDiv(width, static_cast<int>(kBaseDpi), static_cast<int>(view->dpi));
  }
  view->dpi = dpi;
  UseFont(dpi);
  SizeColumns(widths);
  ::SetWindowPos(view->window, nullptr, suggested.left, suggested.top,
                 suggested.right - suggested.left, suggested.bottom - suggested.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
  LayOut();
}

void OnGetDisplayInfo(NMLVDISPINFOW& info) {
  if ((info.item.mask & LVIF_TEXT) == 0 || info.item.pszText == nullptr) return;
  const auto row = static_cast<size_t>(info.item.iItem);
  const int column = info.item.iSubItem;
  if (row >= view->shown.size() || column < 0 || column >= kQueueColumnCount) {
    if (info.item.cchTextMax > 0) info.item.pszText[0] = L'\0';
    return;
  }
  const std::wstring& cell = view->rows[view->shown[row]].cells[column];
  const size_t kept =
      CopyBounded(info.item.pszText, static_cast<size_t>(std::max(info.item.cchTextMax, 0)),
                  column == kQueueDeviceModel ? DeviceTextWithin(cell, kMaxShownDeviceText) : cell);
  // A port's or device's text may carry control characters: shown as the console shows them.
  for (size_t i = 0; i < kept; ++i) info.item.pszText[i] = ShownCharacter(info.item.pszText[i]);
}

// Consecutive clicks alternate the direction, as in the main list.
void OnColumnClick(int column) {
  if (column < 0 || column >= kQueueColumnCount) return;
  view->sortColumn = column;
  view->sortDescending = view->sortDescendingNext;
  view->sortDescendingNext = !view->sortDescendingNext;
  SortRows();
}

int SelectedRow() {
  return static_cast<int>(
      ::SendMessageW(printersList, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
}

// The selected printer's cells, one per line, as the main list copies a row.
void CopyItem() {
  const int row = SelectedRow();
  if (view->shown.empty() || row < 0 || static_cast<size_t>(row) >= view->shown.size()) {
    ::MessageBoxW(view->window,
                  view->shown.empty() ? L"There are no items in the list to copy."
                                      : L"There are no items selected to copy.",
                  L"Kestrun", MB_ICONINFORMATION);
    return;
  }
  std::wstring text;
  for (const std::wstring& cell : view->rows[view->shown[static_cast<size_t>(row)]].cells) {
    AppendShownText(text, cell);
    text += L"\r\n";
  }
  CopyTextToClipboard(text);
}

// The rows shown, in the list's order, as a new file the user picks.
void Save() {
  if (view->shown.empty()) {
    ::MessageBoxW(view->window, L"There are no items in the list to save!", L"Kestrun",
                  MB_ICONINFORMATION);
    return;
  }
  if (!BrowseForLogFile(view->window) || saveOptions == nullptr) return;
  std::string bytes = QueuesLogHeader();
  for (const size_t row : view->shown) {
    const PrinterRow& shown = view->rows[row];
    QueueCells cells;
    for (int column = 0; column < kQueueColumnCount; ++column) cells[column] = shown.cells[column];
    AppendQueueRow(bytes, view->machine, cells, shown.reason);
  }
  const UniqueFileHandle file(::CreateFileW(saveOptions->logPath, GENERIC_WRITE, 0, nullptr,
                                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  const bool saved =
      file && bytes.size() <= MAXDWORD &&
      ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
      written == bytes.size();
  if (!saved) {
    ::MessageBoxW(view->window,
                  L"Unable to save log file.\nEnsure that any previously saved logs are closed.",
                  L"Kestrun", MB_ICONERROR);
  }
}

void OnContextMenu(HWND from, int x, int y) {
  if (from != printersList) return;
  if (x == -1 && y == -1) {  // from the keyboard: at the list's corner
    POINT corner = {0, 0};
    ::ClientToScreen(printersList, &corner);
    x = corner.x;
    y = corner.y;
  }
  const UniqueMenu menu(::CreatePopupMenu());
  if (!menu) return;
  ::AppendMenuW(menu.get(), MF_STRING, IDM_PRINTERS_COPY_ITEM, L"Copy Item");
  const UINT command = static_cast<UINT>(
      ::TrackPopupMenu(menu.get(), TPM_RETURNCMD, x, y, 0, view->window, nullptr));
  if (command != 0) ::SendMessageW(view->window, WM_COMMAND, command, 0);
}

// "Check Devices": asks the devices of the printers shown, each once; while
// it runs the button reads "Cancel" and the counts line counts the devices.
void CheckDevices() {
  if (view->checking) {  // Cancel: what was found so far is shown when it ends
    view->checking->cancel.store(true);
    return;
  }
  auto check = std::make_shared<DeviceCheck>();
  view->plan = QueueProbePlan();
  view->checkedRows = view->shown;
  for (const size_t row : view->checkedRows) {
    view->plan.Add(view->rows[row].portKind, view->rows[row].cells[kQueueDeviceAddress]);
  }
  check->window = view->window;
  check->devices = view->plan.Devices();
  if (!StartDeviceCheck(check)) {
    ShowMessage(L"Failed to start checking the devices.", MB_ICONERROR);
    return;
  }
  view->checking = std::move(check);
  ::SetWindowTextW(view->check, kCancelLabel);
  ::SetWindowTextW(view->counts, CountsText().c_str());
}

// The check ended: each printer asked shows what its device said (a device
// the check did not reach, "Not probed: cancelled").
void OnDevicesChecked(LPARAM tag) {
  if (!view->checking || reinterpret_cast<LPARAM>(view->checking.get()) != tag ||
      !view->checking->done.load(std::memory_order_acquire)) {
    return;  // a check that was stopped, or replaced
  }
  const std::shared_ptr<DeviceCheck> check = std::move(view->checking);
  ::SetWindowTextW(view->check, kCheckLabel);
  std::deque<std::wstring> texts;
  const auto shown = view->plan.Describe(check->results, check->limitSeconds, texts);
  for (size_t i = 0; i < shown.size() && i < view->checkedRows.size(); ++i) {
    PrinterRow& row = view->rows[view->checkedRows[i]];
    row.cells[kQueueDevice] = shown[i].device;
    row.cells[kQueueDeviceModel] = shown[i].model;
    row.driverless = shown[i].driverless;
    row.mopria = shown[i].mopria;
    row.notAsked = shown[i].notAsked;
  }
  view->checked = true;
  SortRows();
  ::SetWindowTextW(view->counts, CountsText().c_str());
}

void OnCommand(WORD id) {
  switch (id) {
    case IDC_PRINTERS_CHECK_DEVICES:
      CheckDevices();
      break;
    case IDC_PRINTERS_SHOW_ALL:
      view->driverFilter.clear();
      ShowRows();
      ::SetFocus(printersList);
      break;
    case IDC_PRINTERS_SAVE:
      Save();
      break;
    case IDM_PRINTERS_COPY_ITEM:
      CopyItem();
      break;
    default:
      break;
  }
}

LRESULT HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      return OnCreate(window) ? 0 : -1;
    case WM_SIZE:
      if (view && printersList) LayOut();
      return 0;
    case WM_DPICHANGED:
      OnDpiChanged(LOWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
      return 0;
    case WM_SETFOCUS:
      ::SetFocus(printersList);
      return 0;
    case WM_NOTIFY: {
      const auto* header = reinterpret_cast<const NMHDR*>(lParam);
      if (header->hwndFrom != printersList) return 0;
      if (header->code == LVN_GETDISPINFOW) {
        OnGetDisplayInfo(*reinterpret_cast<NMLVDISPINFOW*>(lParam));
      } else if (header->code == LVN_COLUMNCLICK) {
        OnColumnClick(reinterpret_cast<const NMLISTVIEW*>(lParam)->iSubItem);
      }
      return 0;
    }
    case WM_CONTEXTMENU:
      OnContextMenu(reinterpret_cast<HWND>(wParam), GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam));
      return 0;
    case WM_COMMAND:
      if (HIWORD(wParam) == 0) OnCommand(LOWORD(wParam));  // a click, or a menu's command
      return 0;
    case WM_KESTRUN_DEVICES_PROGRESS:
      if (view && view->checking && reinterpret_cast<LPARAM>(view->checking.get()) == lParam) {
        ::SetWindowTextW(view->counts, CountsText().c_str());
      }
      return 0;
    case WM_KESTRUN_DEVICES_CHECKED:
      if (view) OnDevicesChecked(lParam);
      return 0;
    case WM_DESTROY:
      if (view) StopCheck();
      if (view && view->font) ::DeleteObject(view->font);
      delete view;
      view = nullptr;
      printersList = nullptr;
      return 0;
    default:
      return ::DefWindowProcW(window, message, wParam, lParam);
  }
}

// Memory that runs out while the window builds its rows or texts ends that
// command with a message; nothing is thrown across the window procedure.
LRESULT CALLBACK PrintersWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  try {
    return HandleMessage(window, message, wParam, lParam);
  } catch (const std::bad_alloc&) {
    ::MessageBoxW(window, L"Memory allocation error! Please check system resources.", L"Kestrun",
                  MB_ICONERROR);
    return 0;
  }
}

bool RegisterPrintersClass() {
  WNDCLASSEXW windowClass = {};
  if (::GetClassInfoExW(Instance(), kClassName, &windowClass)) return true;
  windowClass.cbSize = sizeof(windowClass);
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = PrintersWndProc;
  windowClass.hInstance = Instance();
  windowClass.hIcon = ::LoadIconW(Instance(), MAKEINTRESOURCEW(IDI_APP));
  windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = kClassName;
  return ::RegisterClassExW(&windowClass) != 0;
}

// Centred over the main window, as far as the monitor's work area allows.
void PlaceOverOwner(HWND window, HWND owner) {
  CenterOver(owner, window);
  MONITORINFO monitor = {};
  monitor.cbSize = sizeof(monitor);
  RECT frame;
  if (!::GetMonitorInfoW(::MonitorFromWindow(owner, MONITOR_DEFAULTTONEAREST), &monitor) ||
      !::GetWindowRect(window, &frame)) {
    return;
  }
  const RECT& work = monitor.rcWork;
  const int width = std::min(frame.right - frame.left, work.right - work.left);
  const int height = std::min(frame.bottom - frame.top, work.bottom - work.top);
  const int left = std::max(work.left, std::min(frame.left, work.right - width));
  const int top = std::max(work.top, std::min(frame.top, work.bottom - height));
  ::SetWindowPos(window, nullptr, left, top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

bool OpenWindow() {
  if (!RegisterPrintersClass()) return false;
  view = new (std::nothrow) PrintersView;
  if (view == nullptr) return false;
  const HWND owner = MainWindow();
  const UINT dpi = owner ? WindowDpi(owner) : SystemDpi();
  const HWND window =
      ::CreateWindowExW(0, kClassName, L"Printers", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                        CW_USEDEFAULT, ScaleForDpi(kWindowWidth, dpi),
                        ScaleForDpi(kWindowHeight, dpi), owner, nullptr, Instance(), nullptr);
  if (window == nullptr) {
    delete view;  // a window whose creation failed was destroyed: nothing else holds it
    view = nullptr;
    return false;
  }
  if (owner) {
    PlaceOverOwner(window, owner);
  } else {
    ::ShowWindow(window, SW_SHOWNORMAL);
  }
  return true;
}

}  // namespace

void ShowPrintersWindow(const std::wstring& driverName) {
  if (view == nullptr && !OpenWindow()) {
    ShowMessage(L"Failed to enumerate due to a memory error.", MB_ICONERROR);
    return;
  }
  view->driverFilter = driverName;
  LoadRows();
  ::SetForegroundWindow(view->window);
  ::SetFocus(printersList);
}

void ShowPrintersOfSelectedDriver() {
  const int row = static_cast<int>(::SendMessageW(listView, LVM_GETSELECTIONMARK, 0, 0));
  if (row < 0 || row >= ListRowCount()) {
    ShowMessage(L"Please select a driver from the list first.", MB_ICONINFORMATION);
    return;
  }
  ShowPrintersWindow(ReadWholeListCell(listView, row, kFirstFieldColumn, kCopyCellCapacity));
}

void RefreshPrintersWindow() {
  if (view != nullptr) LoadRows();
}

HWND PrintersWindow() { return view ? view->window : nullptr; }

}  // namespace kestrun
