#include "ui/find.h"

#include <commctrl.h>

#include <cwchar>
#include <memory>
#include <new>

#include "common/bounded_text.h"
#include "inventory/field_text.h"
#include "inventory/column_table.h"
#include "ui/controls.h"
#include "res/ids.h"

namespace kestrun {

wchar_t findText[kFindTextCapacity] = {};
int findPosition = 0;

namespace {

constexpr int kFindTextLimit = kFindTextCapacity - 1;

// The main list, the one Ctrl+F and F3 search in the main window.
const FindTarget kMainList = {&listView, kFirstFieldColumn, kLastFieldColumn, &findPosition,
                              &findDialog};

// The list a Find dialog searches, kept on the dialog.
const FindTarget& TargetOf(HWND dialog) {
  const auto* target = reinterpret_cast<const FindTarget*>(::GetWindowLongPtrW(dialog, DWLP_USER));
  return target ? *target : kMainList;
}

// A subclassed control keeps the procedure it replaced in its user data, so
// every Find dialog's controls find their own.
void Subclass(HWND control, WNDPROC replacement) {
  if (control == nullptr) return;
  const LONG_PTR previous =
      ::SetWindowLongPtrW(control, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(replacement));
  ::SetWindowLongPtrW(control, GWLP_USERDATA, previous);
}

LRESULT CallReplaced(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  const auto previous = reinterpret_cast<WNDPROC>(::GetWindowLongPtrW(window, GWLP_USERDATA));
  if (previous == nullptr) return ::DefWindowProcW(window, message, wParam, lParam);
  return ::CallWindowProcW(previous, window, message, wParam, lParam);
}

// Enter and F3 press the dialog's "Find Next"; every other key press is eaten.
LRESULT FindControlKeyProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_KEYDOWN) {
    if (wParam == VK_RETURN || wParam == VK_F3) {
      ::SendMessageW(::GetDlgItem(::GetParent(window), IDC_FIND_NEXT), BM_CLICK, 0, 0);
    }
    return 0;
  }
  // The Enter character that follows the key would only make a single-line box beep.
  if (message == WM_CHAR && wParam == L'\r') return 0;
  return CallReplaced(window, message, wParam, lParam);
}

void OnFindInit(HWND dialog, LPARAM target) {
  ::SetWindowLongPtrW(dialog, DWLP_USER, target);
  findEdit = ::GetDlgItem(dialog, IDC_FIND_TEXT);
  findNextButton = ::GetDlgItem(dialog, IDC_FIND_NEXT);
  // The search text holds 511 characters; the box takes no more.
  ::SendMessageW(findEdit, EM_LIMITTEXT, kFindTextLimit, 0);
  Subclass(findEdit, FindEditKeyProc);
  Subclass(findNextButton, FindButtonKeyProc);
}

void OnFindNextClicked(HWND dialog) {
  std::wmemset(findText, L'\0', kFindTextCapacity);
  ::GetDlgItemTextW(dialog, IDC_FIND_TEXT, findText, kFindTextCapacity);
  FindNext(TargetOf(dialog));
}

// A closed dialog is destroyed; the shared handles forget it.
void OnFindDestroy(HWND dialog) {
  HWND* open = TargetOf(dialog).dialog;
  if (*open == dialog) *open = nullptr;
  if (findEdit && ::GetParent(findEdit) == dialog) findEdit = nullptr;
  if (findNextButton && ::GetParent(findNextButton) == dialog) findNextButton = nullptr;
}

bool CellHolds(HWND list, int row, int column, const wchar_t* foldedText, wchar_t* cell) {
  std::wmemset(cell, L'\0', kFindCellCapacity);
  ReadListCell(list, row, column, cell, kFindCellCapacity);
  const auto foldedCell = LowerCaseCopy(cell);
  return foldedCell && std::wcsstr(foldedCell.get(), foldedText) != nullptr;
}

void SelectHit(const FindTarget& target, int row) {
  const HWND list = *target.list;
  ::SetFocus(list);
  LVITEMW item = {};
  item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
  item.state = LVIS_SELECTED | LVIS_FOCUSED;
  ::SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
  if (&target != &kMainList) {
    ::SendMessageW(list, LVM_ENSUREVISIBLE, static_cast<WPARAM>(row), FALSE);
  }
  *target.position = row + 1;
  const HWND dialog = *target.dialog;
  if (dialog && ::IsWindow(dialog)) ::SetFocus(dialog);
}

}  // namespace

void OpenFindDialog() {
  const HWND dialog = OpenDialogOverMainWindow(IDD_FIND, FindDlgProc);
  if (dialog == nullptr) return;
  findDialog = dialog;
  ::SetFocus(findEdit);
}

void FindNext() { FindNext(kMainList); }

void OpenFindDialog(const FindTarget& target, HWND owner) {
  const HWND dialog = ::CreateDialogParamW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_FIND),
                                           owner, FindDlgProc, reinterpret_cast<LPARAM>(&target));
  if (dialog == nullptr) return;
  CenterOver(owner, dialog);
  *target.dialog = dialog;
  ::SetFocus(findEdit);
}

void FindNext(const FindTarget& target) {
  const HWND list = *target.list;
  int& position = *target.position;
  const int rows = static_cast<int>(::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
  if (position >= rows) position = 0;
  if (rows == 0) {
    ::MessageBoxW(*target.dialog, L"There are no items available to search!", L"Kestrun",
                  MB_ICONINFORMATION);
    return;
  }
  wchar_t* const cell = new (std::nothrow) wchar_t[kFindCellCapacity];
  const std::unique_ptr<wchar_t[]> cellOwner(cell);
  for (int row = position; row < rows; ++row) {
    for (int column = target.firstColumn; column <= target.lastColumn; ++column) {
      // The search text is folded afresh for every cell, as it may change
      // under a nested message loop.
      const auto foldedText = LowerCaseCopy(findText);
      if (cell && foldedText && CellHolds(list, row, column, foldedText.get(), cell)) {
        SelectHit(target, row);
        return;
      }
    }
    position = row + 1;
  }
}

INT_PTR CALLBACK FindDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      OnFindInit(dialog, lParam);
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDC_FIND_NEXT && HIWORD(wParam) == BN_CLICKED) {
        OnFindNextClicked(dialog);
      } else if (LOWORD(wParam) == IDCANCEL) {
        ::DestroyWindow(dialog);
      }
      return TRUE;
    case WM_KEYDOWN:
      if (wParam == VK_F3) ::SendMessageW(::GetDlgItem(dialog, IDC_FIND_NEXT), BM_CLICK, 0, 0);
      return TRUE;
    case WM_DESTROY:
      OnFindDestroy(dialog);
      return FALSE;
    default:
      return FALSE;
  }
}

LRESULT CALLBACK FindEditKeyProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return FindControlKeyProc(window, message, wParam, lParam);
}

LRESULT CALLBACK FindButtonKeyProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return FindControlKeyProc(window, message, wParam, lParam);
}

}  // namespace kestrun
