#include "ui/packages_window.h"

#include <commctrl.h>
#include <windowsx.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "inventory/deletion.h"
#include "inventory/driver_inventory.h"
#include "inventory/driver_store.h"
#include "inventory/field_text.h"
#include "report/fleet_log.h"
#include "res/ids.h"
#include "ui/controls.h"
#include "ui/delete_command.h"
#include "ui/driver_list.h"
#include "ui/find.h"
#include "ui/list_columns.h"
#include "ui/sorting.h"
#include "ui/tool_window.h"
#include "ui/workers.h"

namespace kestrun {

namespace {

constexpr wchar_t kClassName[] = L"KestrunPackages";
constexpr wchar_t kRefreshLabel[] = L"Refresh";
constexpr wchar_t kCancelLabel[] = L"Cancel";
constexpr wchar_t kRemoveLabel[] = L"Remove Selected";
constexpr wchar_t kSaveLabel[] = L"Save...";
constexpr wchar_t kNothingTicked[] =
    L"Please check an unused package in the list before trying to remove!";
constexpr wchar_t kMemoryFailure[] = L"Memory allocation error! Please check system resources.";
constexpr DWORD kListStyle =
    WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS;
constexpr DWORD kListExtendedStyle = LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER;
constexpr char kBom[] = "\xEF\xBB\xBF";

enum Column {
  kPackage,
  kProvider,
  kVersion,
  kDate,
  kEnvironment,
  kSize,
  kUsedBy,
  kFolder,
  kColumns
};
constexpr const wchar_t* kTitles[kColumns] = {L"Package",     L"Provider", L"Version", L"Date",
                                              L"Environment", L"Size",     L"Used By", L"Folder"};

// At 96 DPI.
constexpr int kWidths[kColumns] = {170, 140, 90, 85, 110, 70, 220, 260};

// A package with its cells as the list shows them (control characters as "?").
struct PackageRow {
  StorePackage package;
  std::wstring cells[kColumns];
};

// One reading of a store: what the worker needs, copied on the window's
// thread (the next listing replaces the inventory), and the rows it made.
struct StoreReading {
  HWND window = nullptr;
  MachineFiles files;
  std::vector<DriverInf> drivers;
  bool driversKnown = false;
  std::atomic<bool> stop{false};
  std::atomic<bool> done{false};
  std::vector<PackageRow> rows;
  std::wstring countsLine;  // the counts, or why there are none
  DWORD error = 0;
};

// The one packages window, while it is open.
struct PackagesView {
  ToolFrame frame;
  HWND counts = nullptr;
  HWND refresh = nullptr;
  HWND remove = nullptr;
  HWND save = nullptr;
  // The listing's target, as the deletion plans it, and what the rows came from.
  DeletionPlan target;
  MachineFiles files;
  std::vector<DriverInf> drivers;
  bool driversKnown = false;
  std::wstring title;            // "STORESRV", or "this computer"
  std::wstring machine;          // Save...'s "Machine": as named, or this computer's name
  std::vector<PackageRow> rows;  // by each list item's parameter
  std::wstring countsLine;
  std::shared_ptr<StoreReading> reading;
  ToolSort sort = {.column = kPackage};
  bool filling = false;  // rows going in: their check boxes are set, not ticked
};

PackagesView* view = nullptr;
HWND packagesList = nullptr;
WNDPROC packagesListProc = nullptr;
int packagesFindPosition = 0;
HWND packagesFindDialog = nullptr;
const FindTarget kPackagesFind = {&packagesList, 0, kColumns - 1, &packagesFindPosition,
                                  &packagesFindDialog};

std::wstring UsedByText(const StorePackage& package) {
  if (package.use == PackageUse::WindowsOwn) return L"Windows' own";
  if (package.use == PackageUse::Unreadable) {
    return package.why.empty() ? L"unreadable" : L"unreadable: " + package.why;
  }
  if (package.use == PackageUse::Unknown && !package.why.empty()) return L"unknown: " + package.why;
  std::wstring text;
  for (const std::wstring& name : package.usedBy) text += (text.empty() ? L"" : L", ") + name;
  return text;
}

PackageRow RowOf(StorePackage package) {
  PackageRow row;
  const std::wstring usedBy = UsedByText(package);
  const std::wstring* texts[kColumns] = {&package.infName, &package.provider,    &package.version,
                                         &package.date,    &package.environment, nullptr,
                                         &usedBy,          &package.folder};
  for (int column = 0; column < kColumns; ++column) {
    if (texts[column] != nullptr) AppendShownText(row.cells[column], *texts[column]);
  }
  row.cells[kSize] = SizeText(package.bytes);
  row.package = std::move(package);
  return row;
}

// "The driver store could not be read: PROBLEM (3: The system cannot find ...)".
std::wstring FailureLine(std::wstring_view problem, DWORD error) {
  std::wstring line = L"The driver store could not be read: ";
  AppendShownText(line, problem);
  const std::wstring code = std::to_wstring(error);
  const std::wstring text = ErrorTextOrNumber(error);
  return line + L" (" + code + (text == code ? L"" : L": " + text) + L")";
}

// The worker: lists the store, tells each package's use and makes the rows.
DWORD WINAPI ReadStore(LPVOID parameter) {
  const std::unique_ptr<std::shared_ptr<StoreReading>> owned(
      static_cast<std::shared_ptr<StoreReading>*>(parameter));
  StoreReading& reading = **owned;
  try {
    std::vector<StorePackage> packages;
    std::wstring problem;
    reading.error = ListDriverStore(DriverStoreFolder(reading.files), RealStoreFiles(), packages,
                                    problem, &reading.stop);
    if (reading.error != 0) {
      reading.countsLine = FailureLine(problem, reading.error);
    } else {
      ClassifyStorePackages(packages, reading.drivers, reading.driversKnown);
      reading.countsLine = StoreCountsText(CountStore(packages));
      reading.rows.reserve(packages.size());
      for (StorePackage& package : packages) reading.rows.push_back(RowOf(std::move(package)));
    }
  } catch (const std::bad_alloc&) {
    reading.rows.clear();
    reading.rows.shrink_to_fit();
    reading.error = ERROR_NOT_ENOUGH_MEMORY;
    reading.countsLine.clear();  // the window says so: nothing more is allocated here
  }
  reading.done.store(true, std::memory_order_release);
  ::PostMessageW(reading.window, WM_KESTRUN_STORE_READ, 0, reinterpret_cast<LPARAM>(&reading));
  return 0;
}

int ItemCount() { return static_cast<int>(::SendMessageW(packagesList, LVM_GETITEMCOUNT, 0, 0)); }

// The row an item of the list shows; rows.size() for none.
size_t RowAt(int item) {
  LVITEMW query = {};
  query.mask = LVIF_PARAM;
  query.iItem = item;
  query.lParam = -1;
  const bool found =
      ::SendMessageW(packagesList, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&query)) != FALSE;
  return found && query.lParam >= 0 ? static_cast<size_t>(query.lParam) : view->rows.size();
}

bool Tickable(size_t row) {
  return row < view->rows.size() && view->rows[row].package.use == PackageUse::Unused;
}

// Size sorts by the bytes; every other column as the main list sorts texts.
// Equal rows keep the store's order.
int CALLBACK CompareRows(LPARAM first, LPARAM second, LPARAM) {
  const PackageRow& a = view->rows[static_cast<size_t>(first)];
  const PackageRow& b = view->rows[static_cast<size_t>(second)];
  const int column = view->sort.column;
  int order = column == kSize
                  ? (a.package.bytes > b.package.bytes) - (a.package.bytes < b.package.bytes)
                  : CompareListTexts(a.cells[column].c_str(), b.cells[column].c_str()) - CSTR_EQUAL;
  if (view->sort.descending) order = -order;
  return order != 0 ? order : (first > second) - (first < second);
}

void SortRows() {
  ::SendMessageW(packagesList, LVM_SORTITEMS, 0, reinterpret_cast<LPARAM>(CompareRows));
  ShowSortArrow(packagesList, view->sort.column, view->sort.descending);
}

void SetTitle() {
  ::SetWindowTextW(view->frame.window, (L"Driver store packages on " + view->title).c_str());
}

// The rows anew, unticked; only unused packages get a check box.
void LayOut();

void ShowRows() {
  view->filling = true;
  ::SendMessageW(packagesList, WM_SETREDRAW, FALSE, 0);
  ::SendMessageW(packagesList, LVM_DELETEALLITEMS, 0, 0);
  for (size_t r = 0; r < view->rows.size(); ++r) {
    PackageRow& row = view->rows[r];
    LVITEMW item = {};
    item.mask = LVIF_TEXT | LVIF_PARAM;
    item.iItem = static_cast<int>(r);
    item.lParam = static_cast<LPARAM>(r);
    item.pszText = row.cells[0].data();
    const auto at = static_cast<int>(
        ::SendMessageW(packagesList, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
    if (at < 0) continue;
    for (int column = 1; column < kColumns; ++column) {
      LVITEMW cell = {};
      cell.iSubItem = column;
      cell.pszText = row.cells[column].data();
      ::SendMessageW(packagesList, LVM_SETITEMTEXTW, static_cast<WPARAM>(at),
                     reinterpret_cast<LPARAM>(&cell));
    }
    LVITEMW box = {};
    box.stateMask = LVIS_STATEIMAGEMASK;
    box.state = INDEXTOSTATEIMAGEMASK(Tickable(r) ? 1u : 0u);
    ::SendMessageW(packagesList, LVM_SETITEMSTATE, static_cast<WPARAM>(at),
                   reinterpret_cast<LPARAM>(&box));
  }
  view->filling = false;
  SortRows();
  ::SendMessageW(packagesList, WM_SETREDRAW, TRUE, 0);
  ::InvalidateRect(packagesList, nullptr, TRUE);
  packagesFindPosition = 0;
  SetTitle();
  ::SetWindowTextW(view->counts, view->countsLine.c_str());
  LayOut();  // a long line wraps
}

// Drops a running reading; whatever it finds later is ignored.
void StopReading() {
  if (!view->reading) return;
  view->reading->stop.store(true);
  view->reading.reset();
  ::SetWindowTextW(view->refresh, kRefreshLabel);
  if (!ExclusiveRunActive()) StopProgress();  // a listing or deletion keeps its own
}

void StartReading() {
  auto reading = std::make_shared<StoreReading>();
  reading->window = view->frame.window;
  reading->files = view->files;
  reading->drivers = view->drivers;
  reading->driversKnown = view->driversKnown;
  auto* handed = new (std::nothrow) std::shared_ptr<StoreReading>(reading);
  if (handed == nullptr || !StartWorker(ReadStore, handed)) {
    delete handed;
    view->countsLine = L"The driver store could not be read: the reading could not start.";
    return;
  }
  view->reading = std::move(reading);
  view->countsLine = L"Reading the driver store of " + view->title + L"...";
  ::SetWindowTextW(view->refresh, kCancelLabel);
  StartProgress();
}

// Takes the main window's current listing and reads its machine's store.
void LoadListing() {
  StopReading();
  view->rows.clear();
  view->drivers.clear();
  const DriverInventory* inventory = currentInventory;
  const std::wstring_view named = inventory ? BareMachineName(inventory->machineText) : L"";
  view->title = MachineTitle(named);
  if (inventory == nullptr) {
    view->countsLine = L"Waiting for the main window's listing.";
  } else if (!inventory->listed) {
    view->countsLine = L"List a machine first: the last listing did not finish.";
  } else {
    view->target = PlanOnTarget(*inventory);
    view->files = {std::wstring(BareMachineName(inventory->targetName)), inventory->isRemote};
    view->driversKnown = DriverInfsOf(*inventory, view->drivers);
    view->machine = MachineOrComputerName(named);
    StartReading();
  }
  ShowRows();
}

void OnStoreRead(LPARAM tag) {
  if (!view->reading || reinterpret_cast<LPARAM>(view->reading.get()) != tag ||
      !view->reading->done.load(std::memory_order_acquire)) {
    return;  // a reading that was dropped, or replaced
  }
  const std::shared_ptr<StoreReading> reading = std::move(view->reading);
  ::SetWindowTextW(view->refresh, kRefreshLabel);
  if (!ExclusiveRunActive()) StopProgress();
  view->rows = std::move(reading->rows);
  view->countsLine = reading->countsLine.empty() ? FailureLine(L"memory ran out", reading->error)
                                                 : std::move(reading->countsLine);
  ShowRows();
}

// The Refresh button, which reads "Cancel" while a reading runs; Esc in the list.
void RefreshOrCancel() {
  if (!view->reading) {
    LoadListing();
    return;
  }
  StopReading();
  view->countsLine = L"Reading the driver store was cancelled.";
  ShowRows();
}

std::vector<size_t> TickedRows() {
  std::vector<size_t> ticked;
  for (int item = 0, count = ItemCount(); item < count; ++item) {
    const auto state = static_cast<UINT>(::SendMessageW(
        packagesList, LVM_GETITEMSTATE, static_cast<WPARAM>(item), LVIS_STATEIMAGEMASK));
    const size_t row = RowAt(item);
    if ((state & LVIS_STATEIMAGEMASK) >> 12 >= 2 && Tickable(row)) ticked.push_back(row);
  }
  return ticked;
}

// "Remove Selected": the ticked packages, as unused packages of the listing's
// target, through the deletion's run.
void RemoveSelected() {
  if (ExclusiveRunActive()) {
    ::MessageBeep(MB_ICONWARNING);  // a listing or deletion owns the machine until it ends
    return;
  }
  const std::vector<size_t> ticked = TickedRows();
  if (ticked.empty()) {
    ::MessageBoxW(view->frame.window, kNothingTicked, L"Kestrun", MB_ICONINFORMATION);
    return;
  }
  const bool started = StartDeletion([&ticked] {
    DeletionPlan plan = view->target;
    const std::wstring store = StoreOnMachine(view->files, view->drivers);
    for (const size_t row : ticked) {
      plan.orphans.push_back(PlannedOrphan(view->rows[row].package, store));
    }
    return plan;
  });
  if (!started) ::MessageBeep(MB_ICONWARNING);
}

void CopyItem() {
  const size_t row = RowAt(SelectedItem(packagesList));
  std::span<const std::wstring> cells;
  if (row < view->rows.size()) cells = view->rows[row].cells;
  CopyRowCells(view->frame.window, cells, view->rows.empty());
}

// The rows in the list's order, as a UTF-8 CSV file the user picks.
void Save() {
  const int count = ItemCount();
  if (!PickSaveFile(view->frame.window, count == 0)) return;
  std::string bytes = kBom;
  AppendFleetField(bytes, L"Machine");
  for (const wchar_t* title : kTitles) {
    bytes += ',';
    AppendFleetField(bytes, title);
  }
  for (int item = 0; item < count; ++item) {
    const size_t row = RowAt(item);
    if (row >= view->rows.size()) continue;
    bytes += "\r\n";
    AppendFleetField(bytes, view->machine);
    for (const std::wstring& cell : view->rows[row].cells) {
      bytes += ',';
      AppendFleetField(bytes, cell);
    }
  }
  bytes += "\r\n";
  WriteSavedFile(view->frame.window, bytes);
}

void LayOut() {
  LayOutToolWindow(view->frame, view->counts,
                   {{view->save, kSaveLabel},
                    {view->remove, kRemoveLabel},
                    {view->refresh, kRefreshLabel, kCancelLabel}},
                   packagesList);
}

LRESULT CALLBACK PackagesListKeyProc(HWND list, UINT message, WPARAM wParam, LPARAM lParam) {
  if (OnFindKey(kPackagesFind, view->frame.window, message, wParam)) return 0;
  if (message == WM_KEYDOWN && wParam == VK_ESCAPE && view->reading) {
    RefreshOrCancel();
    return 0;
  }
  return ::CallWindowProcW(packagesListProc, list, message, wParam, lParam);
}

bool OnCreate(HWND window) {
  view->frame.window = window;
  view->frame.dpi = WindowDpi(window);
  view->counts = CreateToolChild(window, L"STATIC", L"", SS_LEFT | SS_NOPREFIX | SS_CENTERIMAGE,
                                 IDC_PACKAGES_COUNTS);
  view->refresh = CreateToolChild(window, L"BUTTON", kRefreshLabel, BS_PUSHBUTTON | WS_TABSTOP,
                                  IDC_PACKAGES_REFRESH);
  view->remove = CreateToolChild(window, L"BUTTON", kRemoveLabel, BS_PUSHBUTTON | WS_TABSTOP,
                                 IDC_PACKAGES_REMOVE);
  view->save =
      CreateToolChild(window, L"BUTTON", kSaveLabel, BS_PUSHBUTTON | WS_TABSTOP, IDC_PACKAGES_SAVE);
  packagesList = CreateToolList(window, IDC_PACKAGES_LIST, kListStyle, kListExtendedStyle);
  if (!view->counts || !view->refresh || !view->remove || !view->save || !packagesList) {
    return false;
  }
  packagesListProc = reinterpret_cast<WNDPROC>(::SetWindowLongPtrW(
      packagesList, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(PackagesListKeyProc)));
  UseToolFont(view->frame, view->frame.dpi);
  InsertToolColumns(packagesList, kTitles, kSize);
  SizeToolColumns(view->frame, packagesList, kTitles, kWidths);
  LayOut();
  return true;
}

void OnDpiChanged(UINT dpi, const RECT& suggested) {
  ChangeToolDpi(view->frame, dpi, suggested, packagesList, kTitles);
  LayOut();
}

void OnColumnClick(int column) {
  if (ClickSortColumn(view->sort, column, kColumns)) SortRows();
}

// Only an unused package's row may be ticked; the fill sets the boxes itself.
LRESULT OnItemChanging(const NMLISTVIEW& change) {
  const bool boxChanges = (change.uChanged & LVIF_STATE) != 0 &&
                          ((change.uNewState ^ change.uOldState) & LVIS_STATEIMAGEMASK) != 0;
  return boxChanges && !view->filling && !Tickable(RowAt(change.iItem)) ? TRUE : FALSE;
}

void OnCommand(WORD id) {
  switch (id) {
    case IDC_PACKAGES_REFRESH:
      RefreshOrCancel();
      break;
    case IDC_PACKAGES_REMOVE:
      RemoveSelected();
      break;
    case IDC_PACKAGES_SAVE:
      Save();
      break;
    case IDM_PACKAGES_COPY_ITEM:
      CopyItem();
      break;
    default:
      break;
  }
}

LRESULT OnNotify(const NMHDR& header) {
  if (header.hwndFrom != packagesList) return 0;
  const auto& change = reinterpret_cast<const NMLISTVIEW&>(header);
  if (header.code == LVN_ITEMCHANGING) return OnItemChanging(change);
  if (header.code == LVN_COLUMNCLICK) OnColumnClick(change.iSubItem);
  return 0;
}

LRESULT HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      return OnCreate(window) ? 0 : -1;
    case WM_SIZE:
      if (view && packagesList) LayOut();
      return 0;
    case WM_DPICHANGED:
      OnDpiChanged(LOWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
      return 0;
    case WM_SETFOCUS:
      ::SetFocus(packagesList);
      return 0;
    case WM_NOTIFY:
      return OnNotify(*reinterpret_cast<const NMHDR*>(lParam));
    case WM_CONTEXTMENU:
      ShowCopyItemMenu(window, packagesList, reinterpret_cast<HWND>(wParam), GET_X_LPARAM(lParam),
                       GET_Y_LPARAM(lParam), IDM_PACKAGES_COPY_ITEM);
      return 0;
    case WM_COMMAND:
      if (HIWORD(wParam) == 0) OnCommand(LOWORD(wParam));  // a click, or a menu's command
      return 0;
    case WM_KESTRUN_STORE_READ:
      if (view) OnStoreRead(lParam);
      return 0;
    case WM_DESTROY:
      if (view) StopReading();
      delete view;  // and the font its controls used
      view = nullptr;
      packagesList = nullptr;
      return 0;
    default:
      return ::DefWindowProcW(window, message, wParam, lParam);
  }
}

}  // namespace

void ShowPackagesWindow() {
  try {
    if (view == nullptr &&
        !OpenToolView(view, kClassName, L"Driver store packages", ToolWindowProc<HandleMessage>)) {
      ShowMessage(kMemoryFailure, MB_ICONERROR);
      return;
    }
    if (!view->reading) LoadListing();
    ::SetForegroundWindow(view->frame.window);
    ::SetFocus(packagesList);
  } catch (const std::bad_alloc&) {
    ShowMessage(kMemoryFailure, MB_ICONERROR);
  }
}

void RefreshPackagesWindow() {
  if (view == nullptr) return;
  try {
    LoadListing();
  } catch (const std::bad_alloc&) {
    view->rows.clear();
    ::SendMessageW(packagesList, LVM_DELETEALLITEMS, 0, 0);
    ::SetWindowTextW(view->counts, L"The driver store could not be read: memory ran out.");
  }
}

bool PackagesWindowReading() { return view != nullptr && view->reading != nullptr; }

HWND PackagesWindow() { return view ? view->frame.window : nullptr; }

}  // namespace kestrun
