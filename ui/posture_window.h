// The print security window, "Print security of MACHINE": the settings that
// decide who may install printer drivers and how the spooler is reached on
// the machine of the main window's last listing, each with its verdict, read
// on a worker. Read only. It follows the main window's next listing.
#pragma once

#include <windows.h>

namespace kestrun {

// Opens the window, or brings it forward, and reads the settings of the main
// window's last listing (unless a reading of it already runs).
void ShowPostureWindow();

// The main window's listing changed: the window, when open, reads the new
// listing's machine. Main window's thread only.
void RefreshPostureWindow();

// The open window, or null.
HWND PostureWindow();

}  // namespace kestrun
