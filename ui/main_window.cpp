#include "ui/main_window.h"

#include <commctrl.h>
#include <shellapi.h>
#include <windowsx.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "ui/window_records.h"
#include "common/win32_handles.h"
#include "inventory/classification.h"
#include "inventory/driver_inventory.h"
#include "inventory/platform.h"
#include "inventory/column_table.h"
#include "ui/controls.h"
#include "ui/driver_list.h"
#include "ui/dpi.h"
#include "ui/about_dialog.h"
#include "ui/delete_command.h"
#include "ui/restore_command.h"
#include "ui/enumeration_worker.h"
#include "ui/find.h"
#include "ui/list_columns.h"
#include "res/ids.h"
#include "ui/machine_list.h"
#include "ui/main_layout.h"
#include "ui/packages_window.h"
#include "ui/posture_window.h"
#include "ui/printers_window.h"
#include "ui/save_dialog.h"
#include "ui/views.h"
#include "ui/workers.h"

namespace kestrun {

namespace {

// The windows that read the listing's machine themselves read it anew.
void RefreshToolWindows() {
  RefreshPackagesWindow();
  RefreshPostureWindow();
}

// Previous window procedures of the subclassed controls.
WNDPROC listViewProc = nullptr;
WNDPROC buttonProc = nullptr;
WNDPROC comboProc = nullptr;
WNDPROC comboEditProc = nullptr;

// Colour bitmaps the menu items show; deleted with the window.
std::vector<HBITMAP> menuBitmaps;
// The count panel's shell icon, loaded once per DPI: every repaint would
// otherwise load it from the shell library again.
HICON countPanelIcon = nullptr;
// The control that had the keyboard when the window was last deactivated: it
// gets it back when the window is active again (the list by default).
HWND focusBeforeDeactivation = nullptr;
// The DPI the window is laid out for; it changes when the window moves to a
// monitor with another DPI.
UINT windowDpi = kBaseDpi;

constexpr COLORREF kPanelColour = RGB(245, 245, 245);
constexpr COLORREF kCountColour = RGB(255, 0, 0);
constexpr int kShellCountIcon = 17;
constexpr int kSmallIconSize = 16;         // the list's image at 96 DPI
constexpr DWORD kComboStyle = 0x50A11142;  // as the window has always been created
constexpr int kCountTextCapacity = 512;
// The counts the opening width leaves room for in the panel.
constexpr DWORD kOpeningCountReserve = 9999;

constexpr wchar_t kMachineLabel[] = L"Select target machine to enumerate its drivers:";
constexpr wchar_t kEnumerateLabel[] = L"Enumerate Print Drivers:";
constexpr wchar_t kDeleteLabel[] = L"Delete Selected Drivers:";

// The count panel's three lines.
struct CountPanelText {
  wchar_t driverCount[kCountTextCapacity];
  wchar_t nonNativeCount[kCountTextCapacity];
  wchar_t unusedCount[kCountTextCapacity];
};

// The unused count of a panel whose printers could not be read.
constexpr DWORD kUnknownCount = 0xFFFFFFFF;

struct MenuIcon {
  UINT command;
  int shellIcon;
};
constexpr MenuIcon kMenuIcons[] = {
    {IDM_SAVE_OUTPUT, 7}, {IDM_EXIT, 329},      {IDM_FIND, 281},
    {IDM_ABOUT, 17},      {IDM_COPY_ITEM, 152}, {IDM_RESET_VIEW, 331},
};

HINSTANCE Instance() { return appWindowState ? appWindowState->instance : nullptr; }

HWND CreateChild(const wchar_t* className, const wchar_t* text, DWORD style, const RECT& place,
                 HWND parent) {
  return ::CreateWindowExW(0, className, text, style, place.left, place.top,
                           place.right - place.left, place.bottom - place.top, parent, nullptr,
                           Instance(), nullptr);
}

void MoveTo(HWND control, const RECT& place) {
  ::MoveWindow(control, place.left, place.top, place.right - place.left, place.bottom - place.top,
               TRUE);
}

// A window's device context with the window's font selected, for measuring.
class FontDc {
 public:
  FontDc(HWND window, HFONT font)
      : window_(window), dc_(::GetDC(window)), previous_(::SelectObject(dc_, font)) {}
  ~FontDc() {
    ::SelectObject(dc_, previous_);
    ::ReleaseDC(window_, dc_);
  }
  FontDc(const FontDc&) = delete;
  FontDc& operator=(const FontDc&) = delete;
  HDC get() const { return dc_; }

 private:
  HWND window_;
  HDC dc_;
  HGDIOBJ previous_;
};

HFONT WindowFont() { return sharedGuiFont ? sharedGuiFont->font : nullptr; }

CountPanelText FormatCountPanel(DWORD driverCount, DWORD nonNativeCount, DWORD unusedCount) {
  CountPanelText text;
  std::swprintf(text.driverCount, kCountTextCapacity, L"Driver Count: %d",
                static_cast<int>(driverCount));
  std::swprintf(text.nonNativeCount, kCountTextCapacity, L"Non-Native/Non-Norvex Drivers: %d",
                static_cast<int>(nonNativeCount));
  if (unusedCount == kUnknownCount) {
    std::swprintf(text.unusedCount, kCountTextCapacity, L"Unused Non-Native Drivers: ?");
  } else {
    std::swprintf(text.unusedCount, kCountTextCapacity, L"Unused Non-Native Drivers: %d",
                  static_cast<int>(unusedCount));
  }
  return text;
}

// A failed listing never asked for printers and counts no driver: 0, not unknown.
DWORD UnusedCountOf(const DriverInventory& inventory) {
  if (inventory.printerError != 0) return kUnknownCount;
  return UnusedNonNativeCount(inventory);
}

int TextWidth(HDC dc, const wchar_t* text) {
  SIZE size = {};
  ::GetTextExtentPoint32W(dc, text, lstrlenW(text), &size);
  return size.cx;
}

// The layout for the texts as `dc` (holding the window's font) measures them;
// without panel lines the panel keeps its own width.
MainLayout MeasuredLayout(HDC dc, const CountPanelText* panel) {
  TopRowTextWidths widths;
  widths.machineLabel = TextWidth(dc, kMachineLabel);
  widths.enumerateLabel = TextWidth(dc, kEnumerateLabel);
  widths.deleteLabel = TextWidth(dc, kDeleteLabel);
  if (panel) {
    widths.countPanelLine =
        std::max({TextWidth(dc, panel->driverCount), TextWidth(dc, panel->nonNativeCount),
                  TextWidth(dc, panel->unusedCount)});
  }
  return LayoutMainWindow(windowDpi, appWindowState->clientWidth, appWindowState->clientHeight,
                          widths);
}

// The shared font at the window's DPI, on every control that shows text.
void UseGuiFontForDpi(UINT dpi) {
  if (sharedGuiFont == nullptr) return;
  const HFONT font = CreateGuiFontForDpi(dpi);
  for (HWND control : {listView, enumerateButton, machineCombo, deleteButton}) {
    ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  }
  if (sharedGuiFont->font != font) {
    ::DeleteObject(sharedGuiFont->font);  // the stock font is not deleted by this
    sharedGuiFont->font = font;
  }
}

// The list's one image, the application icon, at the window's DPI.
void SetListImages(UINT dpi) {
  const HICON icon = LoadIconForDpi(Instance(), IDI_APP_SMALL, kSmallIconSize, dpi);
  const int size = ScaleForDpi(kSmallIconSize, dpi);
  if (HIMAGELIST images = ImageList_Create(size, size, ILC_COLOR32, 0, 1)) {
    if (icon) ImageList_AddIcon(images, icon);
    const auto replaced = reinterpret_cast<HIMAGELIST>(
        ::SendMessageW(listView, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(images)));
    if (replaced) ImageList_Destroy(replaced);
  }
  if (appIcon) ::DestroyIcon(appIcon);
  appIcon = icon;
}

void ReleaseCountPanelIcon() {
  if (countPanelIcon) ::DestroyIcon(countPanelIcon);
  countPanelIcon = nullptr;
}

// The shell's icon at the size the layout gives it (the system's large icon
// size where the shell library will not give that one).
HICON CountPanelIcon(int size) {
  if (countPanelIcon == nullptr) {
    countPanelIcon = static_cast<HICON>(::LoadImageW(::GetModuleHandleW(L"shell32.dll"),
                                                     MAKEINTRESOURCEW(kShellCountIcon), IMAGE_ICON,
                                                     size, size, 0));
    if (countPanelIcon == nullptr) {
      ::ExtractIconExW(L"shell32.dll", -kShellCountIcon, &countPanelIcon, nullptr, 1);
    }
  }
  return countPanelIcon;
}

// A themed progress bar is drawn in the theme's colours and ignores the ones
// it is given; without a theme its red bar on black shows. A blank names no
// theme class, so none applies (Wine's theme library ignores the empty name
// Windows also accepts). The library comes from System32 only.
void RemoveVisualStyle(HWND control) {
  using SetWindowThemeFunction = HRESULT(WINAPI*)(HWND, LPCWSTR, LPCWSTR);
  const UniqueModule theme(LoadSystemModule(L"uxtheme.dll"));
  if (!theme) return;
  const auto setWindowTheme = reinterpret_cast<SetWindowThemeFunction>(
      reinterpret_cast<void*>(::GetProcAddress(theme.get(), "SetWindowTheme")));
  if (setWindowTheme) setWindowTheme(control, L" ", L" ");
}

bool ControlHeld() { return ::GetKeyState(VK_CONTROL) < 0; }

// Enter, Esc, Ctrl+F and F3 act the same wherever the focus is. Enter names
// a listing, so it never cancels one; Esc does.
void HandleKey(WPARAM key) {
  if (key == VK_RETURN) {
    if (ListingCancellable()) {
      ::MessageBeep(MB_ICONWARNING);
    } else {
      ::SendMessageW(enumerateButton, BM_CLICK, 0, 0);
    }
  } else if (key == VK_ESCAPE) {
    if (CancelListing()) RefreshToolWindows();
    CancelRestoreReading();
  } else if (key == 'F' && ControlHeld()) {
    OpenFindDialog();
  } else if (key == VK_F3) {
    FindNext();
  }
}

bool IsCommandKey(WPARAM key) {
  return key == VK_RETURN || key == VK_F3 || (key == 'F' && ControlHeld()) ||
         (key == VK_ESCAPE && (ListingCancellable() || RestoreReading()));
}

// The window opens wide and tall enough for its whole top row, as far as the
// monitor's work area allows; a size that already fits stays as it is.
void FitTopRowIntoWindow(HWND window) {
  const CountPanelText widest =
      FormatCountPanel(kOpeningCountReserve, kOpeningCountReserve, kOpeningCountReserve);
  MainLayout layout;
  {
    const FontDc dc(window, WindowFont());
    layout = MeasuredLayout(dc.get(), &widest);
  }
  RECT frame;
  ::GetWindowRect(window, &frame);
  const int frameWidth = frame.right - frame.left - appWindowState->clientWidth;
  const int frameHeight = frame.bottom - frame.top - appWindowState->clientHeight;
  int width = std::max<int>(frame.right - frame.left, layout.topRow.cx + frameWidth);
  int height = std::max<int>(frame.bottom - frame.top, layout.topRow.cy + frameHeight);
  if (width == frame.right - frame.left && height == frame.bottom - frame.top) return;

  MONITORINFO monitor = {};
  monitor.cbSize = sizeof(monitor);
  if (!::GetMonitorInfoW(::MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &monitor)) return;
  const RECT& work = monitor.rcWork;
  width = std::min<int>(width, work.right - work.left);
  height = std::min<int>(height, work.bottom - work.top);
  const int left = std::max<int>(work.left, std::min<int>(frame.left, work.right - width));
  const int top = std::max<int>(work.top, std::min<int>(frame.top, work.bottom - height));
  ::SetWindowPos(window, nullptr, left, top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

// Moves the controls to their places for the client area's size.
void LayOutControls(HWND window) {
  UpdateClientSize(window);
  MainLayout layout;
  {
    const FontDc dc(window, WindowFont());
    layout = MeasuredLayout(dc.get(), nullptr);
  }
  MoveTo(listView, layout.listView);
  MoveTo(enumerateButton, layout.enumerateButton);
  MoveTo(deleteButton, layout.deleteButton);
  MoveTo(machineCombo, layout.machineCombo);
  MoveTo(progressBar, layout.progressBar);
}

void OnCreate(HWND window) {
  appWindowState->hwnd = window;  // the first worker starts before CreateWindowExW returns
  UpdateClientSize(window);
  windowDpi = WindowDpi(window);
  const MainLayout creation =
      CreationLayout(windowDpi, appWindowState->clientWidth, appWindowState->clientHeight);

  listView = CreateDriverListView(window, creation.listView);
  listViewProc = reinterpret_cast<WNDPROC>(
      ::SetWindowLongPtrW(listView, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ListViewKeyProc)));
  SetListImages(windowDpi);

  enumerateButton = CreateChild(L"BUTTON", L"Enumerate", WS_CHILD | WS_VISIBLE | BS_DEFPUSHBUTTON,
                                creation.enumerateButton, window);
  buttonProc = reinterpret_cast<WNDPROC>(::SetWindowLongPtrW(
      enumerateButton, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ButtonKeyProc)));
  deleteButton = CreateChild(L"BUTTON", L"Delete Driver(s)", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON,
                             creation.deleteButton, window);
  buttonProc = reinterpret_cast<WNDPROC>(
      ::SetWindowLongPtrW(deleteButton, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ButtonKeyProc)));
  ::EnableWindow(deleteButton, FALSE);

  machineCombo = CreateChild(L"COMBOBOX", nullptr, kComboStyle, creation.machineCombo, window);
  comboProc = reinterpret_cast<WNDPROC>(
      ::SetWindowLongPtrW(machineCombo, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ComboKeyProc)));
  // Typed keys go to the box's own text field, so it gets the same keys.
  if (HWND edit = ::FindWindowExW(machineCombo, nullptr, L"Edit", nullptr)) {
    comboEditProc = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrW(edit, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ComboKeyProc)));
  }

  progressBar = CreateProgressBar(window, creation.progressBar);

  UseGuiFontForDpi(windowDpi);

  FillColumnTable();
  InsertColumns();

  mainMenu = ::GetMenu(window);
  if (mainMenu) SetMenuIcons();

  FitTopRowIntoWindow(window);
  StartEnumeration();
}

// Moved to a monitor with another DPI: the window takes the size the system
// suggests for it, its font, images and columns at the new DPI, and lays
// itself out again.
void OnDpiChanged(HWND window, UINT dpi, const RECT& suggested) {
  const UINT previous = windowDpi;
  windowDpi = dpi;
  UseGuiFontForDpi(dpi);
  SetListImages(dpi);
  ScaleColumnWidths(previous, dpi);
  FitReadableColumns();  // the titles and cells take another width in the new font
  ReleaseCountPanelIcon();
  ::SetWindowPos(window, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
                 suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
  LayOutControls(window);
  ::InvalidateRect(window, nullptr, TRUE);
}

void PaintCountPanel(HDC dc, const MainLayout& layout, const CountPanelText& text) {
  const RECT& panel = layout.countPanel;
  HBRUSH brush = ::CreateSolidBrush(kPanelColour);
  ::FillRect(dc, &panel, brush);
  ::DeleteObject(brush);
  ::MoveToEx(dc, panel.left, panel.top, nullptr);
  ::LineTo(dc, panel.left, panel.bottom);
  ::LineTo(dc, panel.right, panel.bottom);
  ::LineTo(dc, panel.right, panel.top);
  ::LineTo(dc, panel.left, panel.top);

  ::SetBkColor(dc, kPanelColour);
  ::SetTextColor(dc, kCountColour);
  ::TextOutW(dc, layout.driverCountLine.x, layout.driverCountLine.y, text.driverCount,
             lstrlenW(text.driverCount));
  ::TextOutW(dc, layout.nonNativeCountLine.x, layout.nonNativeCountLine.y, text.nonNativeCount,
             lstrlenW(text.nonNativeCount));
  ::TextOutW(dc, layout.unusedCountLine.x, layout.unusedCountLine.y, text.unusedCount,
             lstrlenW(text.unusedCount));
  ::SetBkColor(dc, RGB(255, 255, 255));
  ::SetTextColor(dc, RGB(0, 0, 0));

  const RECT& icon = layout.countIcon;
  if (HICON shellIcon = CountPanelIcon(icon.right - icon.left)) {
    ::DrawIconEx(dc, icon.left, icon.top, shellIcon, icon.right - icon.left, icon.bottom - icon.top,
                 0, nullptr, DI_NORMAL);
  }
}

void PaintLabel(HDC dc, POINT at, const wchar_t* text) {
  ::TextOutW(dc, at.x, at.y, text, lstrlenW(text));
}

void OnPaint(HWND window) {
  AppWindowState& state = *appWindowState;
  state.paintDc = ::BeginPaint(window, &state.paint);
  HGDIOBJ previousFont = ::SelectObject(state.paintDc, WindowFont());
  // The inventory is replaced only on this thread, so it cannot change under the paint.
  CountPanelText panel = {};
  if (currentInventory) {
    ClassifyDrivers(*currentInventory);
    panel = FormatCountPanel(currentInventory->driverCount, currentInventory->nonNativeCount,
                             UnusedCountOf(*currentInventory));
  }
  // Labels and panel as wide as their texts, the panel with the counts it shows.
  const MainLayout layout = MeasuredLayout(state.paintDc, currentInventory ? &panel : nullptr);
  PaintLabel(state.paintDc, layout.enumerateLabel, kEnumerateLabel);
  PaintLabel(state.paintDc, layout.deleteLabel, kDeleteLabel);
  PaintLabel(state.paintDc, layout.machineLabel, kMachineLabel);
  if (currentInventory) PaintCountPanel(state.paintDc, layout, panel);
  ::SelectObject(state.paintDc, previousFont);
  ::EndPaint(window, &state.paint);
  state.paintDc = nullptr;
}

void RunListCommand(UINT command, HWND window) {
  switch (command) {
    case IDM_EXIT:
    case IDM_CTX_EXIT:
      ::SendMessageW(window, WM_CLOSE, 0, 0);  // a deletion may hold it
      break;
    case IDM_COPY_ITEM:
    case IDM_CTX_COPY_ITEM:
      CopySelectedRow();
      break;
    case IDM_NON_NATIVE_ONLY:
    case IDM_CTX_NON_NATIVE_ONLY:
      ShowNonNativeOnly();
      break;
    case IDM_UNUSED_ONLY:
    case IDM_CTX_UNUSED_ONLY:
      ShowUnusedNonNativeOnly();
      break;
    case IDM_RESET_VIEW:
    case IDM_CTX_RESET_VIEW:
      ResetView();
      break;
    case IDM_SAVE_OUTPUT:
    case IDM_CTX_SAVE_OUTPUT:
      OpenSaveDialog();
      break;
    case IDM_FIND:
      OpenFindDialog();
      break;
    case IDM_ABOUT:
      ShowAboutDialog();
      break;
    case IDM_REMOVE_PACKAGES:
      ToggleRemoveDriverPackages();
      break;
    case IDM_DECISION_COLUMNS_FIRST:
      ToggleDecisionColumnsFirst();
      break;
    case IDM_UNDO_DELETION:
      UndoDeletion();
      break;
    case IDM_RESTORE_SNAPSHOT:
      RestoreFromSnapshot();
      break;
    case IDM_PRINTERS:
      ShowPrintersWindow();
      break;
    case IDM_PACKAGES:
      ShowPackagesWindow();
      break;
    case IDM_POSTURE:
      ShowPostureWindow();
      break;
    case IDM_CTX_SHOW_PRINTERS:
      ShowPrintersOfSelectedDriver();
      break;
    default:
      break;
  }
}

void OnCommand(HWND window, WPARAM wParam, LPARAM lParam) {
  RunListCommand(LOWORD(wParam), window);
  const UINT notification = HIWORD(wParam);
  const HWND control = reinterpret_cast<HWND>(lParam);
  if (control == nullptr) return;
  if (control == machineCombo && notification == CBN_DROPDOWN) {
    if (!DeletionRunActive()) StartWorker(FetchMachineList);  // a deletion's box stays as it is
    return;
  }
  if (notification != BN_CLICKED) return;
  if (control == enumerateButton && CancelRestoreReading()) return;
  const bool cancelled = control == enumerateButton && CancelListing();
  if (cancelled) RefreshToolWindows();
  const bool refused = (control == enumerateButton && !cancelled && !StartEnumeration()) ||
                       (control == deleteButton && !StartDeletion());
  if (refused) ::MessageBeep(MB_ICONWARNING);  // a run owns the list until it ends
}

void OnDestroy() {
  if (mainMenu) {
    ::DestroyMenu(mainMenu);
    mainMenu = nullptr;
  }
  for (HBITMAP bitmap : menuBitmaps) ::DeleteObject(bitmap);
  menuBitmaps.clear();
  ReleaseCountPanelIcon();
  ::PostQuitMessage(0);
}

LRESULT SubclassKeyDown(WNDPROC previous, HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_KEYDOWN) {
    HandleKey(wParam);
    return 0;  // every key-down is consumed
  }
  return ::CallWindowProcW(previous, window, message, wParam, lParam);
}

}  // namespace

bool StartEnumeration() {
  const RunToken run = ClaimExclusiveRun(RunKind::Enumeration);
  if (run == 0) return false;  // an enumeration or deletion already runs
  BeginCancellableListing(run);
  StartProgress();
  if (!StartWorker(EnumerationWorkerThread, reinterpret_cast<void*>(static_cast<uintptr_t>(run)))) {
    FinishRunOnWindowThread(run);
    return false;
  }
  return true;
}

void UpdateClientSize(HWND window) {
  RECT client;
  ::GetClientRect(window, &client);
  appWindowState->clientWidth = client.right;
  appWindowState->clientHeight = client.bottom;
}

HWND CreateProgressBar(HWND parent, const RECT& place) {
  HWND bar = ::CreateWindowExW(
      0, PROGRESS_CLASSW, nullptr, WS_CHILD | WS_VISIBLE | PBS_MARQUEE, place.left, place.top,
      place.right - place.left, place.bottom - place.top, parent, nullptr,
      reinterpret_cast<HINSTANCE>(::GetWindowLongPtrW(parent, GWLP_HINSTANCE)), nullptr);
  RemoveVisualStyle(bar);
  ::SendMessageW(bar, PBM_SETBKCOLOR, 0, RGB(0, 0, 0));
  ::SendMessageW(bar, PBM_SETBARCOLOR, 0, RGB(255, 0, 0));
  ::ShowWindow(bar, SW_HIDE);
  return bar;
}

void SetMenuIcons() {
  for (const MenuIcon& entry : kMenuIcons) {
    HICON icon = nullptr;
    if (::ExtractIconExW(L"shell32.dll", -entry.shellIcon, nullptr, &icon, 1) == 0 || !icon) {
      continue;
    }
    ICONINFO info = {};
    if (::GetIconInfo(icon, &info)) {
      ::SetMenuItemBitmaps(mainMenu, entry.command, MF_BYCOMMAND, info.hbmColor, info.hbmColor);
      if (info.hbmColor) menuBitmaps.push_back(info.hbmColor);
      if (info.hbmMask) ::DeleteObject(info.hbmMask);
    }
    ::DestroyIcon(icon);
  }
}

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      OnCreate(window);
      return 0;
    case WM_SIZE:
      LayOutControls(window);
      return 0;
    case WM_DPICHANGED:
      OnDpiChanged(window, LOWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
      return 0;
    case WM_PAINT:
      OnPaint(window);
      return 0;
    case WM_NOTIFY: {
      const auto* header = reinterpret_cast<const NMHDR*>(lParam);
      // Emptying the list needs no notice per row.
      if (header->code == LVN_DELETEALLITEMS) return TRUE;
      if (header->code == LVN_COLUMNCLICK) {
        HeaderClick(reinterpret_cast<const NMLISTVIEW*>(lParam)->iSubItem);
      }
      if (header->code == LVN_ITEMCHANGING) {
        return RefuseTickDuringDeletion(*reinterpret_cast<const NMLISTVIEW*>(lParam));
      }
      return 0;
    }
    case WM_CONTEXTMENU: {
      const ContextMenuResult menu =
          ShowListContextMenu(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam));
      if (!menu.shown) return ::DefWindowProcW(window, message, wParam, lParam);
      RunListCommand(menu.command, window);
      return 0;
    }
    case WM_KEYDOWN:
      HandleKey(wParam);
      return 0;
    case WM_COMMAND:
      OnCommand(window, wParam, lParam);
      return 0;
    case WM_LBUTTONDOWN:
      ::SetFocus(listView);
      return 0;
    case WM_ACTIVATE:
      if (LOWORD(wParam) == WA_INACTIVE) {
        HWND focused = ::GetFocus();
        if (focused && ::IsChild(window, focused)) focusBeforeDeactivation = focused;
      }
      return ::DefWindowProcW(window, message, wParam, lParam);
    case WM_SETFOCUS:
      // The window itself takes no keys: hand them to the control that had them.
      ::SetFocus(focusBeforeDeactivation && ::IsChild(window, focusBeforeDeactivation)
                     ? focusBeforeDeactivation
                     : listView);
      return 0;
    case WM_CLOSE:
      if (MayCloseNow(window)) ::DestroyWindow(window);
      return 0;
    case WM_QUERYENDSESSION:
      return MayEndSession() ? TRUE : FALSE;
    case WM_TIMER:
      if (wParam == IDT_ANSWER_NO) AnswerQuestionNo(window);
      return 0;
    case WM_KESTRUN_DELETION_STAGE:
      DeletionStageChanged(window);
      return 0;
    case WM_DESTROY:
      OnDestroy();
      return 0;
    case WM_KESTRUN_ENUMERATION_BEGIN:
    case WM_KESTRUN_ENUMERATION_RESULT: {
      const LRESULT taken =
          message == WM_KESTRUN_ENUMERATION_BEGIN
              ? BeginEnumerationOnWindowThread(wParam)
              : TakeEnumerationResult(wParam, *reinterpret_cast<EnumerationResult*>(lParam));
      if (taken) RefreshToolWindows();  // they follow the listing, as the printers window does
      return taken;
    }
    case WM_KESTRUN_RUN_FINISHED:
      FinishRunOnWindowThread(wParam);
      if (PackagesWindowReading()) StartProgress();  // the store's reading outlasts the listing
      return 0;
    default:
      return ::DefWindowProcW(window, message, wParam, lParam);
  }
}

LRESULT CALLBACK ListViewKeyProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  // The header asks its list before it moves a dragged column.
  if (message == WM_NOTIFY && RefuseCheckBoxColumnMove(*reinterpret_cast<const NMHDR*>(lParam))) {
    return TRUE;
  }
  return SubclassKeyDown(listViewProc, window, message, wParam, lParam);
}

LRESULT CALLBACK ButtonKeyProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return SubclassKeyDown(buttonProc, window, message, wParam, lParam);
}

LRESULT CALLBACK ComboKeyProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (window == machineCombo) return SubclassKeyDown(comboProc, window, message, wParam, lParam);
  // The box's text field keeps its editing keys; only the window's own keys
  // are taken from it (and the Enter character, which would only beep).
  if (message == WM_KEYDOWN && IsCommandKey(wParam)) {
    HandleKey(wParam);
    return 0;
  }
  if (message == WM_CHAR && wParam == L'\r') return 0;
  return ::CallWindowProcW(comboEditProc, window, message, wParam, lParam);
}

}  // namespace kestrun
