#include "ui/posture_window.h"

#include <commctrl.h>
#include <windowsx.h>

#include <atomic>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "inventory/driver_inventory.h"
#include "inventory/field_text.h"
#include "inventory/print_posture.h"
#include "report/action_run.h"
#include "report/posture.h"
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

constexpr wchar_t kClassName[] = L"KestrunPosture";
constexpr wchar_t kRefreshLabel[] = L"Refresh";
constexpr wchar_t kCancelLabel[] = L"Cancel";
constexpr wchar_t kSaveLabel[] = L"Save...";
constexpr wchar_t kMemoryFailure[] = L"Memory allocation error! Please check system resources.";
constexpr DWORD kListStyle =
    WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS;
constexpr DWORD kListExtendedStyle =
    LVS_EX_FULLROWSELECT | LVS_EX_HEADERDRAGDROP | LVS_EX_DOUBLEBUFFER;

enum Column { kVerdict, kSetting, kValue, kWhy, kReference, kColumns };
constexpr const wchar_t* kTitles[kColumns] = {L"Verdict", L"Setting", L"Value", L"Why",
                                              L"Reference"};
// At 96 DPI.
constexpr int kWidths[kColumns] = {80, 270, 170, 340, 320};

// A setting with its cells as the list shows them.
struct SettingRow {
  PostureVerdict verdict = PostureVerdict::NotRead;
  std::wstring cells[kColumns];
};

// One reading of a machine's settings, handed to the worker and back.
struct SettingsReading {
  HWND window = nullptr;
  std::wstring machine;  // as the registry is reached: empty for this computer
  std::atomic<bool> done{false};
  PostureReading result;
};

// The one print security window, while it is open.
struct PostureView {
  ToolFrame frame;
  HWND counts = nullptr;
  HWND refresh = nullptr;
  HWND save = nullptr;
  std::wstring machine;  // the listing's machine, as the registry is reached
  std::wstring title;    // "SRV", or "this computer"
  std::wstring logged;   // Save...'s "Machine"
  std::vector<SettingRow> rows;
  std::vector<PostureRow> read;  // as read, for Save...
  std::wstring countsLine;
  std::shared_ptr<SettingsReading> reading;
  ToolSort sort = {.column = kVerdict};
};

PostureView* view = nullptr;
HWND postureList = nullptr;
WNDPROC postureListProc = nullptr;
int postureFindPosition = 0;
HWND postureFindDialog = nullptr;
const FindTarget kPostureFind = {&postureList, 0, kColumns - 1, &postureFindPosition,
                                 &postureFindDialog};

// The verdict column sorts what needs an admin first.
int VerdictRank(PostureVerdict verdict) {
  switch (verdict) {
    case PostureVerdict::Unsafe:
      return 0;
    case PostureVerdict::NotRead:
      return 1;
    case PostureVerdict::NotSet:
      return 2;
    case PostureVerdict::Safe:
      break;
  }
  return 3;
}

std::wstring CountsText(DWORD error, const std::vector<PostureRow>& rows) {
  if (error != 0) {
    return L"The settings could not be read: " + std::to_wstring(error) + L" " +
           OneLineText(ErrorTextOrNumber(error));
  }
  size_t counts[4] = {};
  for (const PostureRow& row : rows) ++counts[VerdictRank(row.verdict)];
  return std::to_wstring(rows.size()) + L" settings: " + std::to_wstring(counts[0]) + L" unsafe, " +
         std::to_wstring(counts[1]) + L" not read, " + std::to_wstring(counts[2]) + L" not set, " +
         std::to_wstring(counts[3]) + L" safe.";
}

DWORD WINAPI ReadSettings(LPVOID parameter) {
  const std::unique_ptr<std::shared_ptr<SettingsReading>> owned(
      static_cast<std::shared_ptr<SettingsReading>*>(parameter));
  SettingsReading& reading = **owned;
  try {
    reading.result = ReadPosture(reading.machine);
  } catch (const std::bad_alloc&) {
    reading.result.rows.clear();
    reading.result.error = ERROR_NOT_ENOUGH_MEMORY;
  }
  reading.done.store(true, std::memory_order_release);
  ::PostMessageW(reading.window, WM_KESTRUN_POSTURE_READ, 0, reinterpret_cast<LPARAM>(&reading));
  return 0;
}

// The row an item of the list shows; rows.size() for none.
size_t RowAt(int item) {
  LVITEMW query = {};
  query.mask = LVIF_PARAM;
  query.iItem = item;
  query.lParam = -1;
  const bool found =
      ::SendMessageW(postureList, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&query)) != FALSE;
  return found && query.lParam >= 0 ? static_cast<size_t>(query.lParam) : view->rows.size();
}

// Equal rows keep the order the settings are read in.
int CALLBACK CompareRows(LPARAM first, LPARAM second, LPARAM) {
  const SettingRow& a = view->rows[static_cast<size_t>(first)];
  const SettingRow& b = view->rows[static_cast<size_t>(second)];
  const int column = view->sort.column;
  int order = column == kVerdict
                  ? VerdictRank(a.verdict) - VerdictRank(b.verdict)
                  : CompareListTexts(a.cells[column].c_str(), b.cells[column].c_str()) - CSTR_EQUAL;
  if (view->sort.descending) order = -order;
  return order != 0 ? order : (first > second) - (first < second);
}

void SortRows() {
  ::SendMessageW(postureList, LVM_SORTITEMS, 0, reinterpret_cast<LPARAM>(CompareRows));
  ShowSortArrow(postureList, view->sort.column, view->sort.descending);
}

void LayOut() {
  LayOutToolWindow(view->frame, view->counts,
                   {{view->save, kSaveLabel}, {view->refresh, kRefreshLabel, kCancelLabel}},
                   postureList);
}

void ShowRows() {
  ::SendMessageW(postureList, WM_SETREDRAW, FALSE, 0);
  ::SendMessageW(postureList, LVM_DELETEALLITEMS, 0, 0);
  for (size_t r = 0; r < view->rows.size(); ++r) {
    SettingRow& row = view->rows[r];
    LVITEMW item = {};
    item.mask = LVIF_TEXT | LVIF_PARAM;
    item.iItem = static_cast<int>(r);
    item.lParam = static_cast<LPARAM>(r);
    item.pszText = row.cells[0].data();
    const auto at = static_cast<int>(
        ::SendMessageW(postureList, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
    for (int column = 1; at >= 0 && column < kColumns; ++column) {
      LVITEMW cell = {};
      cell.iSubItem = column;
      cell.pszText = row.cells[column].data();
      ::SendMessageW(postureList, LVM_SETITEMTEXTW, static_cast<WPARAM>(at),
                     reinterpret_cast<LPARAM>(&cell));
    }
  }
  SortRows();
  ::SendMessageW(postureList, WM_SETREDRAW, TRUE, 0);
  ::InvalidateRect(postureList, nullptr, TRUE);
  postureFindPosition = 0;
  ::SetWindowTextW(view->frame.window, (L"Print security of " + view->title).c_str());
  ::SetWindowTextW(view->counts, view->countsLine.c_str());
  LayOut();  // a long line wraps
}

// Drops a running reading; whatever it finds later is ignored.
void StopReading() {
  if (!view->reading) return;
  view->reading.reset();
  ::SetWindowTextW(view->refresh, kRefreshLabel);
}

// Takes the main window's current listing and reads its machine's settings.
void LoadListing() {
  StopReading();
  view->rows.clear();
  view->read.clear();
  const DriverInventory* inventory = currentInventory;
  const std::wstring_view named = inventory ? BareMachineName(inventory->machineText) : L"";
  view->title = MachineTitle(named);
  if (inventory == nullptr) {
    view->countsLine = L"Waiting for the main window's listing.";
    ShowRows();
    return;
  }
  view->machine = inventory->isRemote ? std::wstring(BareMachineName(inventory->targetName)) : L"";
  view->logged = LoggedMachineName(MachineOrComputerName(named));
  auto reading = std::make_shared<SettingsReading>();
  reading->window = view->frame.window;
  reading->machine = view->machine;
  auto* handed = new (std::nothrow) std::shared_ptr<SettingsReading>(reading);
  if (handed == nullptr || !StartWorker(ReadSettings, handed)) {
    delete handed;
    view->countsLine = L"The settings could not be read: the reading could not start.";
  } else {
    view->reading = std::move(reading);
    view->countsLine = L"Reading the print security settings of " + view->title + L"...";
    ::SetWindowTextW(view->refresh, kCancelLabel);
  }
  ShowRows();
}

void OnSettingsRead(LPARAM tag) {
  if (!view->reading || reinterpret_cast<LPARAM>(view->reading.get()) != tag ||
      !view->reading->done.load(std::memory_order_acquire)) {
    return;  // a reading that was dropped, or replaced
  }
  const std::shared_ptr<SettingsReading> reading = std::move(view->reading);
  ::SetWindowTextW(view->refresh, kRefreshLabel);
  view->read = std::move(reading->result.rows);
  view->rows.resize(view->read.size());
  for (size_t r = 0; r < view->read.size(); ++r) {
    const PostureRow& from = view->read[r];
    SettingRow& row = view->rows[r];
    row.verdict = from.verdict;
    row.cells[kVerdict] = PostureVerdictText(from.verdict);
    const std::wstring* texts[] = {&from.setting, &from.value, &from.why, &from.reference};
    for (int column = kSetting; column < kColumns; ++column) {
      AppendShownText(row.cells[column], *texts[column - kSetting]);
    }
  }
  view->countsLine = CountsText(reading->result.error, view->read);
  ShowRows();
}

// The Refresh button, which reads "Cancel" while a reading runs.
void RefreshOrCancel() {
  if (!view->reading) {
    LoadListing();
    return;
  }
  StopReading();
  view->countsLine = L"Reading the settings was cancelled.";
  ShowRows();
}

void CopyItem() {
  const size_t row = RowAt(SelectedItem(postureList));
  std::span<const std::wstring> cells;
  if (row < view->rows.size()) cells = view->rows[row].cells;
  CopyRowCells(view->frame.window, cells, view->rows.empty());
}

// The rows in the list's order, as a posture log of one reading.
void Save() {
  const int count = static_cast<int>(::SendMessageW(postureList, LVM_GETITEMCOUNT, 0, 0));
  if (!PickSaveFile(view->frame.window, count == 0)) return;
  std::vector<PostureRow> shown;
  for (int item = 0; item < count; ++item) {
    const size_t row = RowAt(item);
    if (row < view->read.size()) shown.push_back(view->read[row]);
  }
  std::string bytes = PostureLogHeader();
  AppendPostureRows(bytes, UtcNow(), view->logged, shown);
  WriteSavedFile(view->frame.window, bytes);
}

LRESULT CALLBACK PostureListKeyProc(HWND list, UINT message, WPARAM wParam, LPARAM lParam) {
  if (OnFindKey(kPostureFind, view->frame.window, message, wParam)) return 0;
  if (message == WM_KEYDOWN && wParam == VK_ESCAPE && view->reading) {
    RefreshOrCancel();
    return 0;
  }
  return ::CallWindowProcW(postureListProc, list, message, wParam, lParam);
}

bool OnCreate(HWND window) {
  view->frame.window = window;
  view->frame.dpi = WindowDpi(window);
  view->counts = CreateToolChild(window, L"STATIC", L"", SS_LEFT | SS_NOPREFIX | SS_CENTERIMAGE,
                                 IDC_POSTURE_COUNTS);
  view->refresh = CreateToolChild(window, L"BUTTON", kRefreshLabel, BS_PUSHBUTTON | WS_TABSTOP,
                                  IDC_POSTURE_REFRESH);
  view->save =
      CreateToolChild(window, L"BUTTON", kSaveLabel, BS_PUSHBUTTON | WS_TABSTOP, IDC_POSTURE_SAVE);
  postureList = CreateToolList(window, IDC_POSTURE_LIST, kListStyle, kListExtendedStyle);
  if (!view->counts || !view->refresh || !view->save || !postureList) return false;
  postureListProc = reinterpret_cast<WNDPROC>(::SetWindowLongPtrW(
      postureList, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(PostureListKeyProc)));
  UseToolFont(view->frame, view->frame.dpi);
  InsertToolColumns(postureList, kTitles);
  SizeToolColumns(view->frame, postureList, kTitles, kWidths);
  LayOut();
  return true;
}

void OnCommand(WORD id) {
  switch (id) {
    case IDC_POSTURE_REFRESH:
      RefreshOrCancel();
      break;
    case IDC_POSTURE_SAVE:
      Save();
      break;
    case IDM_POSTURE_COPY_ITEM:
      CopyItem();
      break;
    default:
      break;
  }
}

// Unsafe settings in red, as the console shows a machine that has any.
LRESULT OnCustomDraw(NMLVCUSTOMDRAW& draw) {
  if (draw.nmcd.dwDrawStage == CDDS_PREPAINT) return CDRF_NOTIFYITEMDRAW;
  if (draw.nmcd.dwDrawStage != CDDS_ITEMPREPAINT) return CDRF_DODEFAULT;
  const auto row = static_cast<size_t>(draw.nmcd.lItemlParam);
  if (row >= view->rows.size() || view->rows[row].verdict != PostureVerdict::Unsafe) {
    return CDRF_DODEFAULT;
  }
  draw.clrText = RGB(192, 0, 0);
  return CDRF_NEWFONT;
}

LRESULT HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      return OnCreate(window) ? 0 : -1;
    case WM_SIZE:
      if (view && postureList) LayOut();
      return 0;
    case WM_DPICHANGED:
      ChangeToolDpi(view->frame, LOWORD(wParam), *reinterpret_cast<const RECT*>(lParam),
                    postureList, kTitles);
      LayOut();
      return 0;
    case WM_SETFOCUS:
      ::SetFocus(postureList);
      return 0;
    case WM_NOTIFY: {
      const auto* header = reinterpret_cast<const NMHDR*>(lParam);
      if (header->hwndFrom == postureList && header->code == NM_CUSTOMDRAW) {
        return OnCustomDraw(*reinterpret_cast<NMLVCUSTOMDRAW*>(lParam));
      }
      if (header->hwndFrom == postureList && header->code == LVN_COLUMNCLICK &&
          ClickSortColumn(view->sort, reinterpret_cast<const NMLISTVIEW*>(lParam)->iSubItem,
                          kColumns)) {
        SortRows();
      }
      return 0;
    }
    case WM_CONTEXTMENU:
      ShowCopyItemMenu(window, postureList, reinterpret_cast<HWND>(wParam), GET_X_LPARAM(lParam),
                       GET_Y_LPARAM(lParam), IDM_POSTURE_COPY_ITEM);
      return 0;
    case WM_COMMAND:
      if (HIWORD(wParam) == 0) OnCommand(LOWORD(wParam));  // a click, or a menu's command
      return 0;
    case WM_KESTRUN_POSTURE_READ:
      if (view) OnSettingsRead(lParam);
      return 0;
    case WM_DESTROY:
      if (view) StopReading();
      delete view;  // and the font its controls used
      view = nullptr;
      postureList = nullptr;
      return 0;
    default:
      return ::DefWindowProcW(window, message, wParam, lParam);
  }
}

}  // namespace

void ShowPostureWindow() {
  try {
    if (view == nullptr &&
        !OpenToolView(view, kClassName, L"Print security", ToolWindowProc<HandleMessage>)) {
      ShowMessage(kMemoryFailure, MB_ICONERROR);
      return;
    }
    if (!view->reading) LoadListing();
    ::SetForegroundWindow(view->frame.window);
    ::SetFocus(postureList);
  } catch (const std::bad_alloc&) {
    ShowMessage(kMemoryFailure, MB_ICONERROR);
  }
}

void RefreshPostureWindow() {
  if (view == nullptr) return;
  try {
    LoadListing();
  } catch (const std::bad_alloc&) {
    view->rows.clear();
    view->read.clear();
    ::SendMessageW(postureList, LVM_DELETEALLITEMS, 0, 0);
    ::SetWindowTextW(view->counts, L"The settings could not be read: memory ran out.");
  }
}

HWND PostureWindow() { return view ? view->frame.window : nullptr; }

}  // namespace kestrun
