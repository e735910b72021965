// The main window of GUI mode: machine box, buttons, progress bar, the driver
// list and the painted count panel.
#pragma once

#include <windows.h>

namespace kestrun {

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Subclass procedures: Enter clicks "Enumerate", Esc cancels a listing; every
// key-down is consumed. The list's also keeps its check-box column first when
// headers are dragged.
LRESULT CALLBACK ListViewKeyProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK ButtonKeyProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK ComboKeyProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

void UpdateClientSize(HWND window);
HWND CreateProgressBar(HWND parent, const RECT& place);
void SetMenuIcons();

// Starts an enumeration run unless an enumeration or deletion already runs.
bool StartEnumeration();

}  // namespace kestrun
