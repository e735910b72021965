#include "ui/save_dialog.h"

#include <commdlg.h>

#include <cwchar>
#include <memory>
#include <new>

#include "ui/window_records.h"
#include "common/bounded_text.h"
#include "inventory/platform.h"
#include "ui/controls.h"
#include "ui/dpi.h"
#include "ui/driver_list.h"
#include "res/ids.h"
#include "ui/list_log.h"

namespace kestrun {

namespace {

constexpr DWORD kSaveFileFlags = OFN_OVERWRITEPROMPT | OFN_SHOWHELP | OFN_EXTENSIONDIFFERENT;
constexpr int kFileNameCapacity = 500;
static_assert(sizeof(void*) != 8 || sizeof(OPENFILENAMEW) == 152);

void EnableColumnBoxes(HWND dialog, bool enable) {
  for (int column = 1; column < kColumnCount; ++column) {
    ::EnableWindow(::GetDlgItem(dialog, kColumnChoiceBoxes[column]), enable);
  }
}

void OnSaveInit(HWND dialog) {
  ::CheckDlgButton(dialog, IDC_SAVE_ALL_COLUMNS, BST_CHECKED);
  EnableColumnBoxes(dialog, false);
}

void OnSaveClicked(HWND dialog) {
  wchar_t path[kSaveLogPathCapacity] = {};
  ::GetDlgItemTextW(dialog, IDC_SAVE_LOG_PATH, path, kSaveLogPathCapacity);
  if (path[0] == L'\0') {
    ::MessageBoxW(dialog, L"Please set a valid log file path before proceeding.", L"Kestrun",
                  MB_ICONINFORMATION);
    return;
  }
  WriteListLog(dialog);
  ::DestroyWindow(dialog);  // a closed dialog is not kept: the next command opens a fresh one
}

// Clicks; false lets the dialog manager carry on as usual.
INT_PTR OnSaveCommand(HWND dialog, WORD id) {
  switch (id) {
    case IDC_SAVE_ALL_COLUMNS:
      EnableColumnBoxes(dialog, ::IsDlgButtonChecked(dialog, IDC_SAVE_ALL_COLUMNS) != BST_CHECKED);
      return FALSE;
    case IDC_SAVE_BROWSE:
      if (BrowseForLogFile(dialog) && saveOptions) {
        ::SetDlgItemTextW(dialog, IDC_SAVE_LOG_PATH, saveOptions->logPath);
      }
      return FALSE;
    case IDOK:
      OnSaveClicked(dialog);
      return TRUE;
    case IDCANCEL:
      ::DestroyWindow(dialog);
      return TRUE;
    default:
      return FALSE;
  }
}

// The common dialogs are loaded from System32 when first needed: they bring
// the spooler's DLL with them. Kept loaded, as the dialog's helpers may be.
using GetSaveFileNameFunction = BOOL(WINAPI*)(LPOPENFILENAMEW);
GetSaveFileNameFunction SaveFileDialog() {
  static const GetSaveFileNameFunction function = [] {
    const HMODULE dialogs = LoadSystemModule(L"comdlg32.dll");
    return dialogs ? reinterpret_cast<GetSaveFileNameFunction>(
                         ::GetProcAddress(dialogs, "GetSaveFileNameW"))
                   : nullptr;
  }();
  return function;
}

}  // namespace

void OpenSaveDialog() {
  if (ListRowCount() == 0) {
    ShowMessage(L"There are no items in the list to save!", MB_ICONINFORMATION);
    return;
  }
  OpenDialogOverMainWindow(IDD_SAVE, SaveDlgProc);
}

INT_PTR CALLBACK SaveDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      OnSaveInit(dialog);
      FitDialogIcon(dialog, WindowDpi(dialog));
      return TRUE;
    case WM_DPICHANGED:
      FitDialogIcon(dialog, LOWORD(wParam));
      return FALSE;  // the dialog manager scales the rest
    case WM_DESTROY:
      ReleaseDialogIcon(dialog);
      return FALSE;
    case WM_COMMAND:
      // Only clicks: the word parameter is exactly the control's id.
      if (HIWORD(wParam) != 0) return FALSE;
      return OnSaveCommand(dialog, LOWORD(wParam));
    default:
      return FALSE;
  }
}

bool BrowseForLogFile(HWND owner) {
  if (saveOptions == nullptr) return false;
  SaveOptions& options = *saveOptions;
  std::wmemset(options.filter, L'\0', kSaveFilterCapacity);
  constexpr wchar_t kFilter[] = L"CSV\0*.CSV\0";  // the array's own terminator ends the list
  std::wmemcpy(options.filter, kFilter, sizeof(kFilter) / sizeof(wchar_t));

  const std::unique_ptr<OPENFILENAMEW> record(new (std::nothrow) OPENFILENAMEW{});
  if (!record) return false;
  options.fileDialog = record.get();
  wchar_t fileName[kFileNameCapacity] = {};
  OPENFILENAMEW& file = *record;
  file.lStructSize = sizeof(OPENFILENAMEW);
  file.hwndOwner = owner;
  file.lpstrFilter = options.filter;
  file.nFilterIndex = 0;
  file.lpstrFile = fileName;
  file.nMaxFile = kFileNameCapacity;
  file.lpstrTitle = L"Kestrun - Save Log File";
  file.Flags = kSaveFileFlags;
  file.lpstrDefExt = L"CSV";

  const GetSaveFileNameFunction getSaveFileName = SaveFileDialog();
  const bool confirmed = getSaveFileName != nullptr && getSaveFileName(&file) != FALSE;
  options.fileDialog = nullptr;
  if (confirmed) CopyBounded(options.logPath, fileName);
  return confirmed;
}

}  // namespace kestrun
