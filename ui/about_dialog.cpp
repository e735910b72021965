#include "ui/about_dialog.h"

#include "ui/controls.h"
#include "ui/dpi.h"
#include "res/ids.h"

namespace kestrun {

// The box does not wrap lines (it scrolls sideways), so each line is short.
const wchar_t kDisclaimer[] =
    L"\r\n"
    L"DISCLAIMER OF WARRANTY\r\n"
    L"\r\n"
    L"This software is provided \"as is\", without warranty\r\n"
    L"of any kind, express or implied, including but not limited\r\n"
    L"to the warranties of merchantability, fitness for a\r\n"
    L"particular purpose and non-infringement.\r\n"
    L"\r\n"
    L"Before each deletion Kestrun saves a snapshot of what\r\n"
    L"goes; Edit > Undo Deletion (or Kestrun /restore) puts\r\n"
    L"it back. Test on one machine before you clean many.\r\n"
    L"\r\n"
    L"In no event shall the authors be liable for any claim,\r\n"
    L"damages or other liability, whether in an action of\r\n"
    L"contract, tort or otherwise, arising from, out of or in\r\n"
    L"connection with the software or its use.";

void ShowAboutDialog() {
  if (aboutDialog == nullptr || !::IsWindow(aboutDialog)) {
    aboutDialog = OpenDialogOverMainWindow(IDD_ABOUT, AboutDlgProc);
  } else {
    CenterOver(MainWindow(), aboutDialog);
  }
}

INT_PTR CALLBACK AboutDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      ::SetWindowTextW(::GetDlgItem(dialog, IDC_ABOUT_DISCLAIMER), kDisclaimer);
      FitDialogIcon(dialog, WindowDpi(dialog));
      return TRUE;
    case WM_DPICHANGED:
      FitDialogIcon(dialog, LOWORD(wParam));
      return FALSE;  // the dialog manager scales the rest
    case WM_COMMAND:
      if (wParam == IDOK || wParam == IDCANCEL) {
        ::EndDialog(dialog, 0);  // hides it; the same box is shown next time
        return TRUE;
      }
      return FALSE;
    case WM_DESTROY:
      // Destroyed only with the main window, which owns it.
      if (aboutDialog == dialog) aboutDialog = nullptr;
      ReleaseDialogIcon(dialog);
      return FALSE;
    default:
      return FALSE;
  }
}

}  // namespace kestrun
