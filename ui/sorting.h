// Orders the driver list's rows by the text of one field column: linguistic
// for the thread's locale, blind to case and to symbols.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace kestrun {

// The texts of the sorted column, by each row's item parameter (or by the
// row each had when the sort began).
struct SortTexts {
  std::vector<std::wstring> texts;
};

// Comparison procedures for LVM_SORTITEMS: `first` and `second` are the rows'
// keys into the texts, `sortTexts` the SortTexts of the sort.
int CALLBACK CompareColumnAscending(LPARAM first, LPARAM second, LPARAM sortTexts);
int CALLBACK CompareColumnDescending(LPARAM first, LPARAM second, LPARAM sortTexts);

// Compares two texts the way the list sorts: CSTR_LESS_THAN, CSTR_EQUAL,
// CSTR_GREATER_THAN, or 0 when the comparison cannot be made.
int CompareListTexts(const wchar_t* first, const wchar_t* second);

// Sorts the list by a column (1 to 20) in one direction.
void SortListByColumn(HWND list, int column, bool descending);

}  // namespace kestrun
