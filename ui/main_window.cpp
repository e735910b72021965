#include "ui/main_window.h"

#include <commctrl.h>
#include <shellapi.h>
#include <windowsx.h>

#include <cstdio>
#include <vector>

#include "app/shared_records.h"
#include "common/win32_handles.h"
#include "inventory/classification.h"
#include "inventory/driver_inventory.h"
#include "ui/column_table.h"
#include "ui/controls.h"
#include "ui/driver_list.h"
#include "ui/about_dialog.h"
#include "ui/delete_command.h"
#include "ui/enumeration_worker.h"
#include "ui/find.h"
#include "ui/ids.h"
#include "ui/machine_list.h"
#include "ui/save_dialog.h"
#include "ui/views.h"
#include "ui/workers.h"

namespace kestrun {

namespace {

// Previous window procedures of the subclassed controls.
WNDPROC listViewProc = nullptr;
WNDPROC buttonProc = nullptr;
WNDPROC comboProc = nullptr;
WNDPROC comboEditProc = nullptr;

// Colour bitmaps the menu items show; deleted with the window.
std::vector<HBITMAP> menuBitmaps;
// The count panel's shell icon, extracted once per window: every repaint would
// otherwise load it from the shell library again.
HICON countPanelIcon = nullptr;

constexpr COLORREF kPanelColour = RGB(245, 245, 245);
constexpr COLORREF kCountColour = RGB(255, 0, 0);
constexpr RECT kPanel = {588, 34, 757, 72};
constexpr int kShellCountIcon = 17;
constexpr DWORD kComboStyle = 0x50A11142;  // as the window has always been created

struct MenuIcon {
  UINT command;
  int shellIcon;
};
constexpr MenuIcon kMenuIcons[] = {
    {IDM_SAVE_OUTPUT, 7}, {IDM_EXIT, 329},       {IDM_FIND, 281},
    {IDM_ABOUT, 17},      {IDM_COPY_ITEM, 152},  {IDM_RESET_VIEW, 331},
};

HINSTANCE Instance() { return appWindowState ? appWindowState->instance : nullptr; }

HWND CreateChild(const wchar_t* className, const wchar_t* text, DWORD style, int x, int y,
                 int width, int height, HWND parent) {
  return ::CreateWindowExW(0, className, text, style, x, y, width, height, parent, nullptr,
                           Instance(), nullptr);
}

// A themed progress bar is drawn in the theme's colours and ignores the ones
// it is given; without a theme its red bar on black shows. A blank names no
// theme class, so none applies (Wine's theme library ignores the empty name
// Windows also accepts). The library comes from System32 only.
void RemoveVisualStyle(HWND control) {
  using SetWindowThemeFunction = HRESULT(WINAPI*)(HWND, LPCWSTR, LPCWSTR);
  const UniqueModule theme(::LoadLibraryExW(L"uxtheme.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
  if (!theme) return;
  const auto setWindowTheme = reinterpret_cast<SetWindowThemeFunction>(
      reinterpret_cast<void*>(::GetProcAddress(theme.get(), "SetWindowTheme")));
  if (setWindowTheme) setWindowTheme(control, L" ", L" ");
}

bool ControlHeld() { return ::GetKeyState(VK_CONTROL) < 0; }

// Enter, Ctrl+F and F3 act the same wherever the focus is.
void HandleKey(WPARAM key) {
  if (key == VK_RETURN) {
    ::SendMessageW(enumerateButton, BM_CLICK, 0, 0);
  } else if (key == 'F' && ControlHeld()) {
    OpenFindDialog();
  } else if (key == VK_F3) {
    FindNext();
  }
}

bool IsCommandKey(WPARAM key) {
  return key == VK_RETURN || key == VK_F3 || (key == 'F' && ControlHeld());
}

void OnCreate(HWND window) {
  appWindowState->hwnd = window;  // the first worker starts before CreateWindowExW returns
  UpdateClientSize(window);
  const int width = appWindowState->clientWidth;
  const int height = appWindowState->clientHeight;

  listView = CreateDriverListView(window, width, height);
  listViewProc = reinterpret_cast<WNDPROC>(
      ::SetWindowLongPtrW(listView, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ListViewKeyProc)));

  appIcon = static_cast<HICON>(
      ::LoadImageW(Instance(), MAKEINTRESOURCEW(IDI_APP_SMALL), IMAGE_ICON, 16, 16, 0));
  HIMAGELIST images = ImageList_Create(16, 16, ILC_COLOR32, 0, 1);
  if (images) {
    ImageList_AddIcon(images, appIcon);
    ::SendMessageW(listView, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(images));
  }

  enumerateButton = CreateChild(L"BUTTON", L"Enumerate", WS_CHILD | WS_VISIBLE | BS_DEFPUSHBUTTON,
                                250, 65, width / 5, 25, window);
  buttonProc = reinterpret_cast<WNDPROC>(::SetWindowLongPtrW(
      enumerateButton, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ButtonKeyProc)));
  deleteButton = CreateChild(L"BUTTON", L"Delete Driver(s)", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON,
                             430, 48, width / 5, 25, window);
  buttonProc = reinterpret_cast<WNDPROC>(
      ::SetWindowLongPtrW(deleteButton, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ButtonKeyProc)));
  ::EnableWindow(deleteButton, FALSE);

  machineCombo = CreateChild(L"COMBOBOX", nullptr, kComboStyle, 4, 10, width / 4, 200, window);
  comboProc = reinterpret_cast<WNDPROC>(
      ::SetWindowLongPtrW(machineCombo, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ComboKeyProc)));
  // Typed keys go to the box's own text field, so it gets the same keys.
  if (HWND edit = ::FindWindowExW(machineCombo, nullptr, L"Edit", nullptr)) {
    comboEditProc = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrW(edit, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ComboKeyProc)));
  }

  progressBar = CreateProgressBar(window, width - 40);

  const WPARAM font = reinterpret_cast<WPARAM>(sharedGuiFont ? sharedGuiFont->font : nullptr);
  for (HWND control : {listView, enumerateButton, machineCombo, deleteButton}) {
    ::SendMessageW(control, WM_SETFONT, font, TRUE);
  }

  FillColumnTable();
  InsertColumns();

  mainMenu = ::GetMenu(window);
  if (mainMenu) SetMenuIcons();

  StartEnumeration();
}

void OnSize(HWND window) {
  UpdateClientSize(window);
  const int width = appWindowState->clientWidth;
  const int height = appWindowState->clientHeight;
  ::MoveWindow(listView, 4, 100, width - 8, height - 105, TRUE);
  ::MoveWindow(enumerateButton, 250, 48, 150, 25, TRUE);
  ::MoveWindow(deleteButton, 422, 48, 150, 25, TRUE);
  ::MoveWindow(machineCombo, 8, 50, 220, 200, TRUE);
  ::MoveWindow(progressBar, 20, 82, width - 40, 10, TRUE);
}

void PaintLabel(HDC dc, int x, int y, const wchar_t* text) {
  ::TextOutW(dc, x, y, text, lstrlenW(text));
}

void PaintLabelWithin(HDC dc, RECT bounds, const wchar_t* text) {
  ::DrawTextW(dc, text, -1, &bounds, DT_LEFT | DT_TOP | DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS);
}

void PaintCountPanel(HDC dc, DriverInventory& inventory) {
  HBRUSH brush = ::CreateSolidBrush(kPanelColour);
  ::FillRect(dc, &kPanel, brush);
  ::DeleteObject(brush);
  ::MoveToEx(dc, kPanel.left, kPanel.top, nullptr);
  ::LineTo(dc, kPanel.left, kPanel.bottom);
  ::LineTo(dc, kPanel.right, kPanel.bottom);
  ::LineTo(dc, kPanel.right, kPanel.top);
  ::LineTo(dc, kPanel.left, kPanel.top);

  ::SetBkColor(dc, kPanelColour);
  ::SetTextColor(dc, kCountColour);
  wchar_t text[512];
  std::swprintf(text, 512, L"Driver Count: %d", static_cast<int>(inventory.driverCount));
  PaintLabel(dc, 593, 38, text);
  ClassifyDrivers(inventory);
  std::swprintf(text, 512, L"Non-Native/Non-Norvex Drivers: %d",
                static_cast<int>(inventory.nonNativeCount));
  PaintLabel(dc, 593, 54, text);
  ::SetBkColor(dc, RGB(255, 255, 255));
  ::SetTextColor(dc, RGB(0, 0, 0));

  if (countPanelIcon == nullptr) {
    ::ExtractIconExW(L"shell32.dll", -kShellCountIcon, &countPanelIcon, nullptr, 1);
  }
  if (countPanelIcon) ::DrawIcon(dc, 767, 37, countPanelIcon);
}

void OnPaint(HWND window) {
  AppWindowState& state = *appWindowState;
  state.paintDc = ::BeginPaint(window, &state.paint);
  HGDIOBJ previousFont = ::SelectObject(state.paintDc, sharedGuiFont->font);
  // Each label keeps to the space before the next, whatever the font's width.
  PaintLabelWithin(state.paintDc, {250, 30, 418, 48}, L"Enumerate Print Drivers:");
  PaintLabelWithin(state.paintDc, {422, 30, 584, 48}, L"Delete Selected Drivers:");
  PaintLabelWithin(state.paintDc, {8, 30, 246, 48},
                   L"Select target machine to enumerate its drivers:");
  // The inventory is replaced only on this thread, so it cannot change under the paint.
  if (currentInventory) PaintCountPanel(state.paintDc, *currentInventory);
  ::SelectObject(state.paintDc, previousFont);
  ::EndPaint(window, &state.paint);
  state.paintDc = nullptr;
}

void RunListCommand(UINT command, HWND window) {
  switch (command) {
    case IDM_EXIT:
    case IDM_CTX_EXIT:
      ::DestroyWindow(window);
      break;
    case IDM_COPY_ITEM:
    case IDM_CTX_COPY_ITEM:
      CopySelectedRow();
      break;
    case IDM_NON_NATIVE_ONLY:
    case IDM_CTX_NON_NATIVE_ONLY:
      ShowNonNativeOnly();
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
    StartWorker(FetchMachineList);
    return;
  }
  if (notification != BN_CLICKED) return;
  if (control == enumerateButton && !StartEnumeration()) {
    ::MessageBeep(MB_ICONWARNING);  // a run owns the list until it ends
  } else if (control == deleteButton) {
    StartDeletion();
  }
}

void OnDestroy() {
  if (mainMenu) {
    ::DestroyMenu(mainMenu);
    mainMenu = nullptr;
  }
  for (HBITMAP bitmap : menuBitmaps) ::DeleteObject(bitmap);
  menuBitmaps.clear();
  if (countPanelIcon) {
    ::DestroyIcon(countPanelIcon);
    countPanelIcon = nullptr;
  }
  ::PostQuitMessage(0);
}

LRESULT SubclassKeyDown(WNDPROC previous, HWND window, UINT message, WPARAM wParam,
                        LPARAM lParam) {
  if (message == WM_KEYDOWN) {
    HandleKey(wParam);
    return 0;  // every key-down is consumed
  }
  return ::CallWindowProcW(previous, window, message, wParam, lParam);
}

}  // namespace

bool StartEnumeration() {
  if (!BeginExclusiveRun()) return false;  // an enumeration or deletion already runs
  ::EnableWindow(enumerateButton, FALSE);
  StartProgress();
  if (!StartWorker(EnumerationWorkerThread)) {
    EndExclusiveRun();
    FinishRunOnWindowThread();
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

HWND CreateProgressBar(HWND parent, int width) {
  HWND bar = ::CreateWindowExW(
      0, PROGRESS_CLASSW, nullptr, WS_CHILD | WS_VISIBLE | PBS_MARQUEE, 20, 82, width, 10, parent,
      nullptr, reinterpret_cast<HINSTANCE>(::GetWindowLongPtrW(parent, GWLP_HINSTANCE)), nullptr);
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
      OnSize(window);
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
      return 0;
    }
    case WM_CONTEXTMENU: {
      const ContextMenuResult menu = ShowListContextMenu(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam));
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
    case WM_DESTROY:
      OnDestroy();
      return 0;
    case WM_KESTRUN_ENUMERATION_BEGIN:
      BeginEnumerationOnWindowThread();
      return 0;
    case WM_KESTRUN_ENUMERATION_RESULT:
      TakeEnumerationResult(*reinterpret_cast<EnumerationResult*>(lParam));
      return 0;
    case WM_KESTRUN_RUN_FINISHED:
      FinishRunOnWindowThread();
      return 0;
    default:
      return ::DefWindowProcW(window, message, wParam, lParam);
  }
}

LRESULT CALLBACK ListViewKeyProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
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
