#include "ui/sorting.h"

#include <commctrl.h>

#include <cstdio>
#include <iterator>
#include <new>

#include "inventory/column_table.h"
#include "inventory/driver_inventory.h"
#include "inventory/field_text.h"
#include "ui/controls.h"

namespace kestrun {

namespace {

constexpr int kSortTextCapacity = 2048;  // longer texts compare on their first 2047 characters
constexpr DWORD kSortFlags = NORM_IGNORECASE | NORM_IGNORESYMBOLS | SORT_STRINGSORT;

LPARAM RowParam(HWND list, int row) {
  LVITEMW item = {};
  item.mask = LVIF_PARAM;
  item.iItem = row;
  ::SendMessageW(list, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item));
  return item.lParam;
}

void SetRowParam(HWND list, int row, LPARAM param) {
  LVITEMW item = {};
  item.mask = LVIF_PARAM;
  item.iItem = row;
  item.lParam = param;
  ::SendMessageW(list, LVM_SETITEMW, 0, reinterpret_cast<LPARAM>(&item));
}

int Answer(LPARAM first, LPARAM second, LPARAM sortTexts) {
  const auto& texts = reinterpret_cast<const SortTexts*>(sortTexts)->texts;
  return CompareListTexts(texts[static_cast<size_t>(first)].c_str(),
                          texts[static_cast<size_t>(second)].c_str());
}

// Printers, Driver Version and Driver Date sort by the values they show, from
// the record each row was filled from: a key of twenty digits compares as the
// number it spells (a version part by part, its parts being 16-bit fields
// highest first), and an empty cell keeps an empty key, which comes first in
// ascending order. False for any other column or row: its text is the key.
bool ValueKey(int column, LPARAM record, std::wstring& key) {
  const int fact = column - kFirstFactColumn;
  if (fact < 0 || column > kDriverDateColumn || currentInventory == nullptr || record < 0 ||
      static_cast<ULONGLONG>(record) >= currentInventory->driverCount) {
    return false;
  }
  ULONGLONG value = 0;
  key.clear();
  if (DriverFactValue(*currentInventory, static_cast<DWORD>(record), fact, value)) {
    wchar_t digits[24] = {};
    std::swprintf(digits, std::size(digits), L"%020llu", value);
    key = digits;
  }
  return true;
}

// Reads the column's texts and keeps each row's own item parameter aside.
bool Snapshot(HWND list, int column, SortTexts& sortTexts, std::vector<LPARAM>& params) {
  try {
    const int rows = static_cast<int>(::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    sortTexts.texts.resize(static_cast<size_t>(rows));
    params.resize(static_cast<size_t>(rows));
    std::wstring buffer(kSortTextCapacity, L'\0');
    for (int row = 0; row < rows; ++row) {
      const LPARAM param = RowParam(list, row);
      params[static_cast<size_t>(row)] = param;
      std::wstring& text = sortTexts.texts[static_cast<size_t>(row)];
      if (ValueKey(column, param, text)) continue;
      ReadListCell(list, row, column, buffer.data(), kSortTextCapacity);
      // cppcheck-suppress stlcstrAssignment ; the cell ends at its first null, not at the buffer's
      text = buffer.c_str();
    }
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

// Rows whose item parameters are distinct small numbers (each fill gives a
// row its record's index) are told apart by those, which the list keeps
// through the sort: no row has to be renumbered, and each renumbering costs a
// change notice to the window. False (texts untouched) for any other rows.
bool KeyTextsByItemParameter(const std::vector<LPARAM>& params, SortTexts& sortTexts) {
  const size_t rows = params.size();
  LPARAM largest = -1;
  for (const LPARAM param : params) {
    if (param < 0 || static_cast<size_t>(param) >= rows * 4 + 16) return false;
    if (param > largest) largest = param;
  }
  const size_t keys = static_cast<size_t>(largest + 1);
  try {
    std::vector<bool> seen(keys, false);
    for (const LPARAM param : params) {
      if (seen[static_cast<size_t>(param)]) return false;
      seen[static_cast<size_t>(param)] = true;
    }
    std::vector<std::wstring> keyed(keys);
    for (size_t row = 0; row < rows; ++row) {
      keyed[static_cast<size_t>(params[row])] = std::move(sortTexts.texts[row]);
    }
    sortTexts.texts = std::move(keyed);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

}  // namespace

int CompareListTexts(const wchar_t* first, const wchar_t* second) {
  return ::CompareStringW(::GetThreadLocale(), kSortFlags, first, -1, second, -1);
}

int CALLBACK CompareColumnAscending(LPARAM first, LPARAM second, LPARAM sortTexts) {
  return Answer(first, second, sortTexts) - CSTR_EQUAL;
}

int CALLBACK CompareColumnDescending(LPARAM first, LPARAM second, LPARAM sortTexts) {
  return CSTR_EQUAL - Answer(first, second, sortTexts);
}

void SortListByColumn(HWND list, int column, bool descending) {
  // Each row's text is read once, and rows are told apart by their item
  // parameter, or by their position at the start: reading texts by position
  // while the list reorders its rows is not reliable on every system, and
  // costs two reads per comparison.
  SortTexts sortTexts;
  std::vector<LPARAM> params;
  if (!Snapshot(list, column, sortTexts, params)) {
    ShowMessage(L"Memory allocation error! Please check system resources.", MB_ICONERROR);
    return;
  }
  const auto compare = descending ? CompareColumnDescending : CompareColumnAscending;
  if (KeyTextsByItemParameter(params, sortTexts)) {
    ::SendMessageW(list, LVM_SORTITEMS, reinterpret_cast<WPARAM>(&sortTexts),
                   reinterpret_cast<LPARAM>(compare));
    return;
  }
  const int rows = static_cast<int>(params.size());
  for (int row = 0; row < rows; ++row) SetRowParam(list, row, row);
  ::SendMessageW(list, LVM_SORTITEMS, reinterpret_cast<WPARAM>(&sortTexts),
                 reinterpret_cast<LPARAM>(compare));
  // Give every row its own item parameter back.
  for (int row = 0; row < rows; ++row) {
    const LPARAM startPosition = RowParam(list, row);
    SetRowParam(list, row, params[static_cast<size_t>(startPosition)]);
  }
}

}  // namespace kestrun
