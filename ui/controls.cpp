#include "ui/controls.h"

#include <commctrl.h>

#include "ui/window_records.h"

namespace kestrun {

HWND listView = nullptr;
HWND enumerateButton = nullptr;
HWND deleteButton = nullptr;
HWND machineCombo = nullptr;
HWND progressBar = nullptr;
HMENU mainMenu = nullptr;
HWND findDialog = nullptr;
HWND findEdit = nullptr;
HWND findNextButton = nullptr;
HWND aboutDialog = nullptr;

HWND MainWindow() { return appWindowState ? appWindowState->hwnd : nullptr; }

void StartProgress() {
  ::ShowWindow(progressBar, SW_SHOWNORMAL);
  ::SendMessageW(progressBar, PBM_SETMARQUEE, TRUE, 30);
}

void StopProgress() {
  ::ShowWindow(progressBar, SW_HIDE);
  ::SendMessageW(progressBar, PBM_SETMARQUEE, FALSE, 0);
}

void CenterOver(HWND owner, HWND window) {
  if (owner == nullptr || window == nullptr) return;
  RECT ownerRect;
  RECT windowRect;
  ::GetWindowRect(owner, &ownerRect);
  ::GetWindowRect(window, &windowRect);
  const int width = windowRect.right - windowRect.left;
  const int height = windowRect.bottom - windowRect.top;
  const int left = (ownerRect.left + ownerRect.right) / 2 - width / 2;
  const int top = (ownerRect.top + ownerRect.bottom) / 2 - height / 2;
  ::MoveWindow(window, left, top, width, height, TRUE);
  ::ShowWindow(window, SW_SHOWDEFAULT);
}

HWND OpenDialogOverMainWindow(int templateId, DLGPROC procedure) {
  const HWND owner = MainWindow();
  const HWND dialog =
      ::CreateDialogParamW(appWindowState ? appWindowState->instance : nullptr,
                           MAKEINTRESOURCEW(templateId), owner, procedure, 0);
  if (dialog) CenterOver(owner, dialog);
  return dialog;
}

void ReadListCell(HWND list, int row, int column, wchar_t* buffer, int capacity) {
  LVITEMW item = {};
  item.iSubItem = column;
  item.pszText = buffer;
  item.cchTextMax = capacity;
  buffer[0] = L'\0';
  ::SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
}

std::wstring ReadWholeListCell(HWND list, int row, int column, int firstCapacity) {
  // A cell holds a driver's field; no field comes near this many characters.
  constexpr int kLargestCapacity = 1 << 24;
  std::wstring text;
  for (int capacity = firstCapacity;; capacity *= 2) {
    text.assign(static_cast<size_t>(capacity), L'\0');
    LVITEMW item = {};
    item.iSubItem = column;
    item.pszText = text.data();
    item.cchTextMax = capacity;
    const auto length = static_cast<int>(::SendMessageW(
        list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item)));
    // A text that filled the buffer may have been cut: read it again in a larger one.
    if (length < capacity - 1 || capacity >= kLargestCapacity) {
      text.resize(static_cast<size_t>(length < 0 ? 0 : length));
      return text;
    }
  }
}

int ShowMessage(const wchar_t* text, UINT icon) {
  return ::MessageBoxW(MainWindow(), text, L"Kestrun", icon);
}

}  // namespace kestrun
