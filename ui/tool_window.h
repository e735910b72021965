// What the printers window and the packages window share: a top-level window
// over the main window with a counts line and a row of buttons at the top and
// one report list below, every figure scaled to the window's DPI. The rows,
// columns and commands stay with each window.
#pragma once

#include <windows.h>

#include <initializer_list>
#include <new>
#include <span>
#include <string>
#include <string_view>

#include "common/win32_handles.h"
#include "ui/dpi.h"
#include "ui/find.h"

namespace kestrun {

// The window, the DPI it is shown at and the font its controls use.
struct ToolFrame {
  HWND window = nullptr;
  UINT dpi = kBaseDpi;
  UniqueGdiObject font;
};

// A list's sort: the column and the way its rows run. The fill's own sort is
// ascending, so the first click on a header turns it round.
struct ToolSort {
  int column = 0;
  bool descending = false;
  bool descendingNext = true;
};

// A button of the top row: sized for the wider of the label it starts with
// and the one it shows while something runs (null when it has none).
struct ToolButton {
  HWND button = nullptr;
  const wchar_t* label = nullptr;
  const wchar_t* otherLabel = nullptr;
};

// Registers the class (once per process) and creates the window at its size
// scaled to the main window's DPI, owned by the main window, centred over it
// inside the monitor's work area and shown; without a main window, shown where
// Windows puts it. Null when it failed.
HWND OpenToolWindow(const wchar_t* className, const wchar_t* title, WNDPROC procedure);

// Runs a window's message handler so that memory running out ends that one
// message with a box, and nothing is thrown across the window procedure.
LRESULT HandleWithoutThrowing(LRESULT (*handler)(HWND, UINT, WPARAM, LPARAM), HWND window,
                              UINT message, WPARAM wParam, LPARAM lParam);

// The window procedure of a tool window whose messages `Handler` handles.
template <LRESULT (*Handler)(HWND, UINT, WPARAM, LPARAM)>
LRESULT CALLBACK ToolWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return HandleWithoutThrowing(Handler, window, message, wParam, lParam);
}

// Opens the window with a new record for its WM_CREATE to fill; false, and
// no record, when either could not be made.
template <typename View>
bool OpenToolView(View*& view, const wchar_t* className, const wchar_t* title, WNDPROC procedure) {
  view = new (std::nothrow) View;
  if (view == nullptr) return false;
  if (OpenToolWindow(className, title, procedure) != nullptr) return true;
  delete view;  // a window whose creation failed was destroyed: nothing else holds it
  view = nullptr;
  return false;
}

// A visible child control, placed later by LayOutToolWindow.
HWND CreateToolChild(HWND parent, const wchar_t* className, const wchar_t* text, DWORD style,
                     int id);

// The report list, with its extended style; its columns come next.
HWND CreateToolList(HWND parent, int id, DWORD style, DWORD extendedStyle);

// Inserts the list's columns in the table's order; `rightColumn` (or none,
// -1) is aligned right.
void InsertToolColumns(HWND list, std::span<const wchar_t* const> titles, int rightColumn = -1);

// Every column at least as wide as its title with the sort arrow beside it.
void SizeToolColumns(const ToolFrame& frame, HWND list, std::span<const wchar_t* const> titles,
                     const int* widths96);

// Gives every control of the window the GUI font at `dpi`; the frame's last
// font goes.
void UseToolFont(ToolFrame& frame, UINT dpi);

// WM_DPICHANGED: the columns keep their widths as at 96 DPI, the controls get
// the font for the new DPI and the window takes the rectangle Windows
// suggests. The caller lays the controls out again.
void ChangeToolDpi(ToolFrame& frame, UINT dpi, const RECT& suggested, HWND list,
                   std::span<const wchar_t* const> titles);

// The buttons from the top right corner leftwards, the counts line in what is
// left of that row, the list below them all.
void LayOutToolWindow(const ToolFrame& frame, HWND counts,
                      std::initializer_list<ToolButton> rightToLeft, HWND list);

// Ctrl+F opens a Find dialog over the window for the list, F3 finds the next
// row; true when the key was one of them.
bool OnFindKey(const FindTarget& target, HWND window, UINT message, WPARAM key);

// A click on a header: true when it sorts the list anew, by that column.
// Consecutive clicks alternate the direction, as in the main list.
bool ClickSortColumn(ToolSort& sort, int column, int columns);

// The list's selected item, or -1.
int SelectedItem(HWND list);

// The list's context menu, at the click or, from the keyboard, at the list's
// corner; "Copy Item" comes back to the window as `copyCommand`.
void ShowCopyItemMenu(HWND window, HWND list, HWND from, int x, int y, UINT copyCommand);

// Copy Item: a row's cells, one per line, as the main list copies a row;
// without a row (no cells), says whether the list is empty or has nothing
// selected.
void CopyRowCells(HWND window, std::span<const std::wstring> cells, bool listEmpty);

// Save...: true once the user picked the file (the save options' log path);
// an empty list says so instead.
bool PickSaveFile(HWND window, bool listEmpty);

// Writes a saved list's bytes as that new file; says so when it cannot.
void WriteSavedFile(HWND window, const std::string& bytes);

// "SRV" as the listing named it, or "this computer".
std::wstring MachineTitle(std::wstring_view named);

// A saved file's "Machine": as named, or this computer's own name.
std::wstring MachineOrComputerName(std::wstring_view named);

}  // namespace kestrun
