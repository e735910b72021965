// The printers window, "Printers on MACHINE": every printer of the main
// window's last listing with its port, its device, its driver's facts and
// what Windows protected print mode leaves of it. It shows that listing (it
// never asks the spooler itself) and follows the main window's next one.
// Every row has a check box: "Copy To..." copies the ticked printers onto
// another machine (ui/copy_command).
#pragma once

#include <windows.h>

#include <string>

namespace kestrun {

// Opens the window, or brings it forward, showing every printer; with a
// driver name, only the printers using a driver of that name (letter case
// ignored), until "Show All".
void ShowPrintersWindow(const std::wstring& driverName = {});

// The same for the driver of the main list's selected row ("Show Printers
// Using This Driver"); without a selected row, says so.
void ShowPrintersOfSelectedDriver();

// The main window's listing changed (a new one, or none while it lists): the
// window, when open, shows it now. Main window's thread only.
void RefreshPrintersWindow();

// The open window, or null.
HWND PrintersWindow();

}  // namespace kestrun
