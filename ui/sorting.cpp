#include "ui/sorting.h"

#include <commctrl.h>

#include <memory>
#include <new>

#include "ui/controls.h"

namespace kestrun {

namespace {

constexpr int kSortTextCapacity = 2048;
constexpr DWORD kSortFlags = NORM_IGNORECASE | NORM_IGNORESYMBOLS | SORT_STRINGSORT;

void ReadCell(LPARAM row, LPARAM column, wchar_t* buffer) {
  LVITEMW item = {};
  item.iSubItem = static_cast<int>(column);
  item.pszText = buffer;
  item.cchTextMax = kSortTextCapacity;
  buffer[0] = L'\0';
  ::SendMessageW(listView, LVM_GETITEMTEXTW, static_cast<WPARAM>(row),
                 reinterpret_cast<LPARAM>(&item));
}

// The comparison's answer (1, 2, 3, or 0 when it failed or memory ran out).
int CompareRows(LPARAM first, LPARAM second, LPARAM column, bool& outOfMemory) {
  std::unique_ptr<wchar_t[]> firstText(new (std::nothrow) wchar_t[kSortTextCapacity]);
  std::unique_ptr<wchar_t[]> secondText(new (std::nothrow) wchar_t[kSortTextCapacity]);
  outOfMemory = !firstText || !secondText;
  if (outOfMemory) {
    ShowMessage(L"Memory allocation error! Please check system resources.", MB_ICONERROR);
    return 0;
  }
  ReadCell(first, column, firstText.get());
  ReadCell(second, column, secondText.get());
  return CompareListTexts(firstText.get(), secondText.get());
}

}  // namespace

int CompareListTexts(const wchar_t* first, const wchar_t* second) {
  return ::CompareStringW(::GetThreadLocale(), kSortFlags, first, -1, second, -1);
}

int CALLBACK CompareColumnAscending(LPARAM first, LPARAM second, LPARAM column) {
  bool outOfMemory = false;
  const int answer = CompareRows(first, second, column, outOfMemory);
  return outOfMemory ? 0 : answer - CSTR_EQUAL;
}

int CALLBACK CompareColumnDescending(LPARAM first, LPARAM second, LPARAM column) {
  bool outOfMemory = false;
  const int answer = CompareRows(first, second, column, outOfMemory);
  return outOfMemory ? 0 : CSTR_EQUAL - answer;
}

void SortListByColumn(HWND list, int column, bool descending) {
  ::SendMessageW(list, LVM_SORTITEMSEX, static_cast<WPARAM>(column),
                 reinterpret_cast<LPARAM>(descending ? CompareColumnDescending
                                                     : CompareColumnAscending));
}

}  // namespace kestrun
