// The About box: created on first use, hidden when closed, shown again centred.
#pragma once

#include <windows.h>

namespace kestrun {

extern const wchar_t kDisclaimer[];

void ShowAboutDialog();

INT_PTR CALLBACK AboutDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace kestrun
