// Sizes at the DPI a window is shown at. Every figure of the window and its
// dialogs is given at 96 DPI and scaled from there.
#pragma once

#include <windows.h>

namespace kestrun {

constexpr UINT kBaseDpi = 96;

// A 96-DPI figure at `dpi`, rounded to the nearest pixel.
int ScaleForDpi(int value, UINT dpi);

// The DPI of the monitor a window is on: GetDpiForWindow where the system has
// it (Windows 10 1607 on, looked up at run time), else the screen's.
UINT WindowDpi(HWND window);

// The DPI the system's own fonts, icons and metrics are made for.
UINT SystemDpi();

// The system's default GUI font at `dpi`: the stock font itself at the DPI it
// is made for, else a copy scaled from it. The caller deletes it (deleting the
// stock font does nothing).
HFONT CreateGuiFontForDpi(UINT dpi);

// An icon resource at the size `size96` has at 96 DPI, scaled to `dpi`; the
// caller destroys it.
HICON LoadIconForDpi(HINSTANCE instance, int resource, int size96, UINT dpi);

// A dialog's icon control loads its icon at the system's DPI, which a monitor
// at another DPI does not share: this shows the application icon at `dpi`
// instead. Called when a dialog initialises and when its DPI changes; the
// icon it loads is released by ReleaseDialogIcon when the dialog is destroyed.
void FitDialogIcon(HWND dialog, UINT dpi);
void ReleaseDialogIcon(HWND dialog);

}  // namespace kestrun
