// Orders the driver list's rows by the text of one field column: linguistic
// for the thread's locale, blind to case and to symbols.
#pragma once

#include <windows.h>

namespace kestrun {

// Comparison procedures for LVM_SORTITEMSEX: `first` and `second` are row
// positions, `column` the column number 1 to 14.
int CALLBACK CompareColumnAscending(LPARAM first, LPARAM second, LPARAM column);
int CALLBACK CompareColumnDescending(LPARAM first, LPARAM second, LPARAM column);

// Compares two texts the way the list sorts: CSTR_LESS_THAN, CSTR_EQUAL,
// CSTR_GREATER_THAN, or 0 when the comparison cannot be made.
int CompareListTexts(const wchar_t* first, const wchar_t* second);

// Sorts the list by a column in one direction.
void SortListByColumn(HWND list, int column, bool descending);

}  // namespace kestrun
