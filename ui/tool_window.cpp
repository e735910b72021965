#include "ui/tool_window.h"

#include <commctrl.h>

#include <algorithm>
#include <string>
#include <new>
#include <vector>

#include "inventory/field_text.h"
#include "res/ids.h"
#include "ui/controls.h"
#include "ui/driver_list.h"
#include "ui/list_columns.h"
#include "ui/save_dialog.h"
#include "ui/window_records.h"

namespace kestrun {

namespace {

// Figures at 96 DPI.
constexpr int kWindowWidth = 1000;
constexpr int kWindowHeight = 520;
constexpr int kMargin = 6;
constexpr int kButtonHeight = 24;
constexpr int kButtonPadding = 24;  // around a button's label
constexpr int kButtonMinWidth = 75;

HINSTANCE Instance() {
  return appWindowState ? appWindowState->instance : ::GetModuleHandleW(nullptr);
}

int Scaled(const ToolFrame& frame, int value) { return ScaleForDpi(value, frame.dpi); }

int ButtonWidth(const ToolFrame& frame, const wchar_t* label) {
  const HDC dc = ::GetDC(frame.window);
  const HGDIOBJ previous = ::SelectObject(dc, frame.font.get());
  SIZE size = {};
  ::GetTextExtentPoint32W(dc, label, lstrlenW(label), &size);
  ::SelectObject(dc, previous);
  ::ReleaseDC(frame.window, dc);
  return std::max(Scaled(frame, kButtonMinWidth),
                  static_cast<int>(size.cx) + Scaled(frame, kButtonPadding));
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

bool RegisterToolClass(const wchar_t* className, WNDPROC procedure) {
  WNDCLASSEXW windowClass = {};
  windowClass.cbSize = sizeof(windowClass);
  if (::GetClassInfoExW(Instance(), className, &windowClass)) return true;
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = procedure;
  windowClass.hInstance = Instance();
  windowClass.hIcon = ::LoadIconW(Instance(), MAKEINTRESOURCEW(IDI_APP));
  windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = className;
  return ::RegisterClassExW(&windowClass) != 0;
}

}  // namespace

HWND OpenToolWindow(const wchar_t* className, const wchar_t* title, WNDPROC procedure) {
  if (!RegisterToolClass(className, procedure)) return nullptr;
  const HWND owner = MainWindow();
  const UINT dpi = owner ? WindowDpi(owner) : SystemDpi();
  const HWND window =
      ::CreateWindowExW(0, className, title, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                        ScaleForDpi(kWindowWidth, dpi), ScaleForDpi(kWindowHeight, dpi), owner,
                        nullptr, Instance(), nullptr);
  if (window == nullptr) return nullptr;
  if (owner) {
    PlaceOverOwner(window, owner);
  } else {
    ::ShowWindow(window, SW_SHOWNORMAL);
  }
  return window;
}

LRESULT HandleWithoutThrowing(LRESULT (*handler)(HWND, UINT, WPARAM, LPARAM), HWND window,
                              UINT message, WPARAM wParam, LPARAM lParam) {
  try {
    return handler(window, message, wParam, lParam);
  } catch (const std::bad_alloc&) {
    ::MessageBoxW(window, L"Memory allocation error! Please check system resources.", L"Kestrun",
                  MB_ICONERROR);
    return 0;
  }
}

HWND CreateToolChild(HWND parent, const wchar_t* className, const wchar_t* text, DWORD style,
                     int id) {
  return ::CreateWindowExW(0, className, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), Instance(), nullptr);
}

HWND CreateToolList(HWND parent, int id, DWORD style, DWORD extendedStyle) {
  const HWND list = CreateToolChild(parent, WC_LISTVIEWW, nullptr, style, id);
  if (list) ::SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, extendedStyle, extendedStyle);
  return list;
}

void InsertToolColumns(HWND list, std::span<const wchar_t* const> titles, int rightColumn) {
  for (int column = 0; column < static_cast<int>(titles.size()); ++column) {
    LVCOLUMNW item = {};
    item.mask = LVCF_FMT | LVCF_TEXT | LVCF_SUBITEM;
    item.fmt = column == rightColumn ? LVCFMT_RIGHT : LVCFMT_LEFT;
    item.pszText = const_cast<wchar_t*>(titles[static_cast<size_t>(column)]);
    item.iSubItem = column;
    ::SendMessageW(list, LVM_INSERTCOLUMNW, static_cast<WPARAM>(column),
                   reinterpret_cast<LPARAM>(&item));
  }
}

void SizeToolColumns(const ToolFrame& frame, HWND list, std::span<const wchar_t* const> titles,
                     const int* widths96) {
  for (size_t column = 0; column < titles.size(); ++column) {
    const int width =
        std::max(Scaled(frame, widths96[column]), TitleFitWidth(list, titles[column]));
    ::SendMessageW(list, LVM_SETCOLUMNWIDTH, column, MAKELPARAM(width, 0));
  }
}

void UseToolFont(ToolFrame& frame, UINT dpi) {
  const HFONT font = CreateGuiFontForDpi(dpi);
  for (HWND control = ::GetWindow(frame.window, GW_CHILD); control != nullptr;
       control = ::GetWindow(control, GW_HWNDNEXT)) {
    ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  }
  frame.font.reset(font);  // the stock font is not deleted by this
}

void ChangeToolDpi(ToolFrame& frame, UINT dpi, const RECT& suggested, HWND list,
                   std::span<const wchar_t* const> titles) {
  std::vector<int> widths(titles.size());
  for (size_t column = 0; column < widths.size(); ++column) {
    const auto width = static_cast<int>(::SendMessageW(list, LVM_GETCOLUMNWIDTH, column, 0));
    widths[column] = ::MulDiv(width, static_cast<int>(kBaseDpi), static_cast<int>(frame.dpi));
  }
  frame.dpi = dpi;
  UseToolFont(frame, dpi);
  SizeToolColumns(frame, list, titles, widths.data());
  ::SetWindowPos(frame.window, nullptr, suggested.left, suggested.top,
                 suggested.right - suggested.left, suggested.bottom - suggested.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
}

namespace {

// The height a static's text takes at `width`: wrapped at blanks, every word
// whole. One line's height for an empty text.
int WrappedTextHeight(HWND text, int width, int& lineHeight) {
  std::wstring shown(static_cast<size_t>(::GetWindowTextLengthW(text)) + 1, L'\0');
  shown.resize(
      static_cast<size_t>(::GetWindowTextW(text, shown.data(), static_cast<int>(shown.size()))));
  const HDC dc = ::GetDC(text);
  const HGDIOBJ oldFont =
      ::SelectObject(dc, reinterpret_cast<HGDIOBJ>(::SendMessageW(text, WM_GETFONT, 0, 0)));
  RECT line = {0, 0, width, 0};
  lineHeight = ::DrawTextW(dc, L"Ag", 2, &line, DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX);
  RECT wrapped = {0, 0, width, 0};
  const int height = shown.empty()
                         ? lineHeight
                         : ::DrawTextW(dc, shown.c_str(), static_cast<int>(shown.size()), &wrapped,
                                       DT_CALCRECT | DT_WORDBREAK | DT_EDITCONTROL | DT_NOPREFIX);
  ::SelectObject(dc, oldFont);
  ::ReleaseDC(text, dc);
  return height;
}

}  // namespace

void LayOutToolWindow(const ToolFrame& frame, HWND counts,
                      std::initializer_list<ToolButton> rightToLeft, HWND list) {
  RECT client;
  ::GetClientRect(frame.window, &client);
  const int margin = Scaled(frame, kMargin);
  const int height = Scaled(frame, kButtonHeight);
  int right = client.right - margin;
  for (const ToolButton& button : rightToLeft) {
    int width = ButtonWidth(frame, button.label);
    if (button.otherLabel) width = std::max(width, ButtonWidth(frame, button.otherLabel));
    right -= width;
    ::MoveWindow(button.button, right, margin, width, height, TRUE);
    right -= margin;
  }
  // A counts line too long for its place wraps, and the list moves down:
  // never a line cut behind the buttons.
  const int width = std::max(0, right - margin);
  int lineHeight = 0;
  const int textHeight = WrappedTextHeight(counts, width, lineHeight);
  const bool wraps = textHeight > lineHeight;
  const LONG_PTR style = ::GetWindowLongPtrW(counts, GWL_STYLE);
  const LONG_PTR wanted = wraps ? (style & ~static_cast<LONG_PTR>(SS_CENTERIMAGE))
                                : (style | static_cast<LONG_PTR>(SS_CENTERIMAGE));
  if (wanted != style) ::SetWindowLongPtrW(counts, GWL_STYLE, wanted);
  const int countsHeight = std::max(height, textHeight);
  ::MoveWindow(counts, margin, margin, width, countsHeight, TRUE);
  ::InvalidateRect(counts, nullptr, TRUE);
  const int top = 2 * margin + countsHeight;
  ::MoveWindow(list, margin, top, std::max(0, static_cast<int>(client.right) - 2 * margin),
               std::max(0, static_cast<int>(client.bottom) - top - margin), TRUE);
}

bool OnFindKey(const FindTarget& target, HWND window, UINT message, WPARAM key) {
  if (message != WM_KEYDOWN) return false;
  if (key == 'F' && ::GetKeyState(VK_CONTROL) < 0) {
    OpenFindDialog(target, window);
    return true;
  }
  if (key == VK_F3) {
    FindNext(target);
    return true;
  }
  return false;
}

bool ClickSortColumn(ToolSort& sort, int column, int columns) {
  if (column < 0 || column >= columns) return false;
  sort.column = column;
  sort.descending = sort.descendingNext;
  sort.descendingNext = !sort.descendingNext;
  return true;
}

int SelectedItem(HWND list) {
  return static_cast<int>(
      ::SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
}

void ShowCopyItemMenu(HWND window, HWND list, HWND from, int x, int y, UINT copyCommand) {
  if (from != list) return;
  if (x == -1 && y == -1) {  // from the keyboard: at the list's corner
    POINT corner = {0, 0};
    ::ClientToScreen(list, &corner);
    x = corner.x;
    y = corner.y;
  }
  const UniqueMenu menu(::CreatePopupMenu());
  if (!menu) return;
  ::AppendMenuW(menu.get(), MF_STRING, copyCommand, L"Copy Item");
  const UINT command =
      static_cast<UINT>(::TrackPopupMenu(menu.get(), TPM_RETURNCMD, x, y, 0, window, nullptr));
  if (command != 0) ::SendMessageW(window, WM_COMMAND, command, 0);
}

void CopyRowCells(HWND window, std::span<const std::wstring> cells, bool listEmpty) {
  if (cells.empty()) {
    ::MessageBoxW(window,
                  listEmpty ? L"There are no items in the list to copy."
                            : L"There are no items selected to copy.",
                  L"Kestrun", MB_ICONINFORMATION);
    return;
  }
  std::wstring text;
  for (const std::wstring& cell : cells) {
    AppendShownText(text, cell);
    text += L"\r\n";
  }
  CopyTextToClipboard(text);
}

bool PickSaveFile(HWND window, bool listEmpty) {
  if (listEmpty) {
    ::MessageBoxW(window, L"There are no items in the list to save!", L"Kestrun",
                  MB_ICONINFORMATION);
    return false;
  }
  return BrowseForLogFile(window) && saveOptions != nullptr;
}

void WriteSavedFile(HWND window, const std::string& bytes) {
  const UniqueFileHandle file(::CreateFileW(saveOptions->logPath, GENERIC_WRITE, 0, nullptr,
                                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  const bool saved =
      file && bytes.size() <= MAXDWORD &&
      ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
      written == bytes.size();
  if (!saved) {
    ::MessageBoxW(window,
                  L"Unable to save log file.\nEnsure that any previously saved logs are closed.",
                  L"Kestrun", MB_ICONERROR);
  }
}

std::wstring MachineTitle(std::wstring_view named) {
  return named.empty() ? std::wstring(L"this computer") : std::wstring(named);
}

std::wstring MachineOrComputerName(std::wstring_view named) {
  if (!named.empty()) return std::wstring(named);
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  return ::GetComputerNameW(name, &size) ? std::wstring(name) : std::wstring();
}

}  // namespace kestrun
