#include "ui/printers_window.h"

#include <commctrl.h>
#include <windowsx.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "common/bounded_text.h"
#include "inventory/column_table.h"
#include "inventory/driver_inventory.h"
#include "inventory/error_reporter.h"
#include "inventory/field_text.h"
#include "inventory/queue_rows.h"
#include "inventory/snapshot_manifest.h"
#include "report/queue_devices.h"
#include "report/queues_log.h"
#include "res/ids.h"
#include "ui/controls.h"
#include "ui/copy_command.h"
#include "ui/device_check.h"
#include "ui/driver_list.h"
#include "ui/find.h"
#include "ui/list_columns.h"
#include "ui/machine_dialog.h"
#include "ui/sorting.h"
#include "ui/tool_window.h"
#include "ui/workers.h"

namespace kestrun {

namespace {

constexpr wchar_t kClassName[] = L"KestrunPrinters";
constexpr wchar_t kShowAllLabel[] = L"Show All";
constexpr wchar_t kSaveLabel[] = L"Save...";
constexpr wchar_t kCopyToLabel[] = L"Copy To...";
constexpr wchar_t kNothingTicked[] = L"Please tick the printers to copy in the list first.";
constexpr wchar_t kCopyPrompt[] =
    L"Copy the ticked printers, with their drivers and ports, to this machine:";
constexpr wchar_t kCheckLabel[] = L"Check Devices";
constexpr wchar_t kCancelLabel[] = L"Cancel";
constexpr DWORD kListStyle = WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP | LVS_REPORT |
                             LVS_SINGLESEL | LVS_SHOWSELALWAYS | LVS_OWNERDATA;
constexpr DWORD kListExtendedStyle =
    LVS_EX_CHECKBOXES | LVS_EX_HEADERDRAGDROP | LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER;

// At 96 DPI.
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
  bool ticked = false;      // for Copy To...
};

// The one printers window, while it is open.
struct PrintersView {
  ToolFrame frame;
  HWND counts = nullptr;
  HWND showAll = nullptr;
  HWND save = nullptr;
  HWND check = nullptr;
  HWND copyTo = nullptr;
  std::wstring driverFilter;  // empty: every printer
  std::wstring machine;       // the listing's machine for the CSV's "Machine"
  std::wstring source;        // and as it was typed, for Copy To...
  std::wstring copyTarget;    // the last copy's target, as its texts name it
  std::wstring copyLine;      // the counts line while a copy runs
  std::vector<PrinterRow> rows;
  std::vector<size_t> shown;  // the rows the list shows, in its order
  ToolSort sort = {.column = kQueuePrinter};
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

constexpr std::span<const wchar_t* const> kTitles(kQueueColumnTitles);

void SetTitle() {
  std::wstring title =
      L"Printers on " + MachineTitle(currentInventory
                                         ? BareMachineName(currentInventory->machineText)
                                         : std::wstring_view());
  if (!view->driverFilter.empty()) title += L" using " + view->driverFilter;
  ::SetWindowTextW(view->frame.window, title.c_str());
}

// Driver Version sorts as the version it spells, empty cells first; every
// other column as the main list sorts texts.
bool RowBefore(size_t first, size_t second) {
  const PrinterRow& a = view->rows[first];
  const PrinterRow& b = view->rows[second];
  int order = 0;
  if (view->sort.column == kQueueDriverVersion) {
    const bool aKnown = a.origin != DriverOrigin::NotInstalled;
    const bool bKnown = b.origin != DriverOrigin::NotInstalled;
    order = aKnown != bKnown                    ? (aKnown ? 1 : -1)
            : a.driverVersion < b.driverVersion ? -1
            : a.driverVersion > b.driverVersion ? 1
                                                : 0;
  } else {
    order =
        CompareListTexts(a.cells[view->sort.column].c_str(), b.cells[view->sort.column].c_str()) -
        CSTR_EQUAL;
  }
  return view->sort.descending ? order > 0 : order < 0;
}

void SortRows() {
  std::stable_sort(view->shown.begin(), view->shown.end(), RowBefore);
  ShowSortArrow(printersList, view->sort.column, view->sort.descending);
  ::InvalidateRect(printersList, nullptr, TRUE);
}

// The counts of the rows shown, or why there are none.
std::wstring CountsText() {
  if (!view->copyLine.empty()) return view->copyLine;
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
    counts.Add(shown.verdict, shown.origin);
    if (IsRemovedVerdict(shown.verdict)) {
      tally.Add(shown.driverless, shown.mopria, shown.notAsked);
    }
  }
  std::wstring text = VerdictCountsText(counts);
  if (view->checked) text += L" " + DriverlessCountText(tally) + L".";
  return text;
}

// The rows of the listing that the filter lets through, sorted as before.
void LayOut();

// The counts line, and the layout it may change: a long line wraps.
void ShowCounts() {
  ::SetWindowTextW(view->counts, CountsText().c_str());
  LayOut();
}

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
  ShowCounts();
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
  view->source.clear();
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
      view->machine = MachineOrComputerName(BareMachineName(currentInventory->machineText));
      view->source = currentInventory->machineText;
    } catch (const std::bad_alloc&) {
      view->rows.clear();
      ::MessageBoxW(view->frame.window, L"Failed to enumerate due to a memory error.", L"Kestrun",
                    MB_ICONERROR);
    }
  }
  ShowRows();
}

void LayOut() {
  LayOutToolWindow(view->frame, view->counts,
                   {{view->save, kSaveLabel},
                    {view->copyTo, kCopyToLabel},
                    {view->showAll, kShowAllLabel},
                    {view->check, kCheckLabel, kCancelLabel}},
                   printersList);
}

// Ticks or clears a row's box. The list holds no state of its rows, so the
// window keeps the ticks and answers for the boxes itself.
void ToggleTick(int item) {
  if (item < 0 || static_cast<size_t>(item) >= view->shown.size()) return;
  PrinterRow& row = view->rows[view->shown[static_cast<size_t>(item)]];
  row.ticked = !row.ticked;
  ::SendMessageW(printersList, LVM_REDRAWITEMS, static_cast<WPARAM>(item), item);
}

// A click on a box, or Space on the selected row, ticks it; nothing else does.
bool OnTickInput(HWND list, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_KEYDOWN && wParam == VK_SPACE) {
    ToggleTick(SelectedItem(list));
    return true;
  }
  if (message != WM_LBUTTONDOWN && message != WM_LBUTTONDBLCLK) return false;
  LVHITTESTINFO hit = {};
  hit.pt = {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
  if (::SendMessageW(list, LVM_HITTEST, 0, reinterpret_cast<LPARAM>(&hit)) < 0 ||
      (hit.flags & LVHT_ONITEMSTATEICON) == 0) {
    return false;
  }
  ::SetFocus(list);
  ToggleTick(hit.iItem);
  return true;
}

LRESULT CALLBACK PrintersListKeyProc(HWND list, UINT message, WPARAM wParam, LPARAM lParam) {
  if (OnFindKey(kPrintersFind, view->frame.window, message, wParam)) return 0;
  if (OnTickInput(list, message, wParam, lParam)) return 0;
  return ::CallWindowProcW(printersListProc, list, message, wParam, lParam);
}

bool OnCreate(HWND window) {
  view->frame.window = window;
  view->frame.dpi = WindowDpi(window);
  view->counts = CreateToolChild(window, L"STATIC", L"", SS_LEFT | SS_NOPREFIX | SS_CENTERIMAGE,
                                 IDC_PRINTERS_COUNTS);
  view->showAll = CreateToolChild(window, L"BUTTON", kShowAllLabel, BS_PUSHBUTTON | WS_TABSTOP,
                                  IDC_PRINTERS_SHOW_ALL);
  view->save =
      CreateToolChild(window, L"BUTTON", kSaveLabel, BS_PUSHBUTTON | WS_TABSTOP, IDC_PRINTERS_SAVE);
  view->check = CreateToolChild(window, L"BUTTON", kCheckLabel, BS_PUSHBUTTON | WS_TABSTOP,
                                IDC_PRINTERS_CHECK_DEVICES);
  view->copyTo = CreateToolChild(window, L"BUTTON", kCopyToLabel, BS_PUSHBUTTON | WS_TABSTOP,
                                 IDC_PRINTERS_COPY_TO);
  printersList = CreateToolList(window, IDC_PRINTERS_LIST, kListStyle, kListExtendedStyle);
  if (!view->counts || !view->showAll || !view->save || !view->check || !view->copyTo ||
      !printersList) {
    return false;
  }
  ::SendMessageW(printersList, LVM_SETCALLBACKMASK, LVIS_STATEIMAGEMASK, 0);  // the ticks are ours
  printersListProc = reinterpret_cast<WNDPROC>(::SetWindowLongPtrW(
      printersList, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(PrintersListKeyProc)));
  UseToolFont(view->frame, view->frame.dpi);
  InsertToolColumns(printersList, kTitles);
  // The verdict first: at a laptop's width the columns an admin acts on are
  // in view. Only the display order: Save... and the CSV keep theirs.
  int order[kQueueColumnCount] = {kQueuePrinter, kQueueDriver, kQueueProtectedPrint, kQueueDevice,
                                  kQueueDeviceModel};
  for (int column = 0, at = 5; column < kQueueColumnCount; ++column) {
    if (std::find(order, order + 5, column) == order + 5) order[at++] = column;
  }
  ::SendMessageW(printersList, LVM_SETCOLUMNORDERARRAY, kQueueColumnCount,
                 reinterpret_cast<LPARAM>(order));
  SizeToolColumns(view->frame, printersList, kTitles, kColumnWidths);
  LayOut();
  return true;
}

void OnDpiChanged(UINT dpi, const RECT& suggested) {
  ChangeToolDpi(view->frame, dpi, suggested, printersList, kTitles);
  LayOut();
}

void OnGetDisplayInfo(NMLVDISPINFOW& info) {
  const auto row = static_cast<size_t>(info.item.iItem);
  if ((info.item.mask & LVIF_STATE) != 0 && row < view->shown.size()) {
    info.item.state = INDEXTOSTATEIMAGEMASK(view->rows[view->shown[row]].ticked ? 2u : 1u);
    info.item.stateMask = LVIS_STATEIMAGEMASK;
  }
  if ((info.item.mask & LVIF_TEXT) == 0 || info.item.pszText == nullptr) return;
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

void OnColumnClick(int column) {
  if (ClickSortColumn(view->sort, column, kQueueColumnCount)) SortRows();
}

// The selected printer's cells.
void CopyItem() {
  const int row = SelectedItem(printersList);
  std::span<const std::wstring> cells;
  if (row >= 0 && static_cast<size_t>(row) < view->shown.size()) {
    cells = view->rows[view->shown[static_cast<size_t>(row)]].cells;
  }
  CopyRowCells(view->frame.window, cells, view->shown.empty());
}

// The rows shown, in the list's order, as a new file the user picks.
void Save() {
  if (!PickSaveFile(view->frame.window, view->shown.empty())) return;
  std::string bytes = QueuesLogHeader();
  const std::wstring machine = LoggedMachineName(view->machine);
  for (const size_t row : view->shown) {
    const PrinterRow& shown = view->rows[row];
    QueueCells cells;
    for (int column = 0; column < kQueueColumnCount; ++column) cells[column] = shown.cells[column];
    AppendQueueRow(bytes, machine, cells, shown.reason);
  }
  WriteSavedFile(view->frame.window, bytes);
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
  check->window = view->frame.window;
  check->devices = view->plan.Devices();
  if (!StartDeviceCheck(check)) {
    ShowMessage(L"Failed to start checking the devices.", MB_ICONERROR);
    return;
  }
  view->checking = std::move(check);
  ::SetWindowTextW(view->check, kCancelLabel);
  ShowCounts();
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
  ShowCounts();
}

// "Copy To...": the ticked printers shown, onto the machine the user names,
// as one run that changes a machine (it takes the deletion's slot).
void CopyTo() {
  if (ExclusiveRunActive()) {
    ::MessageBeep(MB_ICONWARNING);
    return;
  }
  CopyRequest request;
  request.window = view->frame.window;
  request.source = view->source;
  for (const size_t row : view->shown) {
    if (!view->rows[row].ticked) continue;
    request.printers.push_back(LocalPrinterName(view->rows[row].cells[kQueuePrinter]));
  }
  if (request.printers.empty()) {
    ::MessageBoxW(view->frame.window, kNothingTicked, L"Kestrun", MB_ICONINFORMATION);
    return;
  }
  std::wstring target;
  if (!AskForMachine(request.window, L"Copy To", kCopyPrompt, target)) return;
  // The dialog's own message loop may have seen the window close.
  if (PrintersWindow() != request.window) return;
  view->copyTarget = CopyMachineShown(target);
  request.target = std::move(target);
  if (!StartCopy(std::move(request))) ::MessageBeep(MB_ICONWARNING);
}

void OnCopyStage(WPARAM stage) {
  view->copyLine = stage == kCopyReading
                       ? L"Reading the printers for the copy to " + view->copyTarget + L"..."
                   : stage == kCopyCopying ? L"Copying to " + view->copyTarget + L"..."
                                           : L"";
  ShowCounts();
}

void OnCommand(WORD id) {
  switch (id) {
    case IDC_PRINTERS_COPY_TO:
      CopyTo();
      break;
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
      ShowCopyItemMenu(window, printersList, reinterpret_cast<HWND>(wParam), GET_X_LPARAM(lParam),
                       GET_Y_LPARAM(lParam), IDM_PRINTERS_COPY_ITEM);
      return 0;
    case WM_COMMAND:
      if (HIWORD(wParam) == 0) OnCommand(LOWORD(wParam));  // a click, or a menu's command
      return 0;
    case WM_KESTRUN_DEVICES_PROGRESS:
      if (view && view->checking && reinterpret_cast<LPARAM>(view->checking.get()) == lParam) {
        ShowCounts();
      }
      return 0;
    case WM_KESTRUN_DEVICES_CHECKED:
      if (view) OnDevicesChecked(lParam);
      return 0;
    case WM_KESTRUN_COPY_STAGE:
      if (view) OnCopyStage(wParam);
      return 0;
    case WM_DESTROY:
      if (view) StopCheck();
      delete view;  // and the font its controls used
      view = nullptr;
      printersList = nullptr;
      return 0;
    default:
      return ::DefWindowProcW(window, message, wParam, lParam);
  }
}

}  // namespace

void ShowPrintersWindow(const std::wstring& driverName) {
  if (view == nullptr &&
      !OpenToolView(view, kClassName, L"Printers", ToolWindowProc<HandleMessage>)) {
    ShowMessage(L"Failed to enumerate due to a memory error.", MB_ICONERROR);
    return;
  }
  view->driverFilter = driverName;
  LoadRows();
  ::SetForegroundWindow(view->frame.window);
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

HWND PrintersWindow() { return view ? view->frame.window : nullptr; }

}  // namespace kestrun
