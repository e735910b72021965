// Find: a modeless dialog takes a text, and each "Find Next" (or F3 anywhere in
// the main window) selects the next row holding it in any field column, from
// the current search position down; the search wraps after the last row.
#pragma once

#include <windows.h>

namespace kestrun {

constexpr int kFindTextCapacity = 512;
constexpr int kFindCellCapacity = 2048;

// The last text read from a Find dialog and the row the next search starts at;
// shared by every Find dialog and by F3.
extern wchar_t findText[kFindTextCapacity];
extern int findPosition;

// Opens a fresh Find dialog over the main window with the focus in its text box.
void OpenFindDialog();

// One search step with the stored text.
void FindNext();

// Another list a Find dialog and F3 search (the printers window's): its
// columns, where its next search starts, and its open Find dialog.
struct FindTarget {
  HWND* list;
  int firstColumn;
  int lastColumn;
  int* position;
  HWND* dialog;
};
// The same for that list: the dialog is owned by `owner` and centred over it.
void OpenFindDialog(const FindTarget& target, HWND owner);
void FindNext(const FindTarget& target);

INT_PTR CALLBACK FindDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK FindEditKeyProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK FindButtonKeyProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace kestrun
