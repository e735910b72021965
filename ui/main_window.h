// The main window of GUI mode.
#pragma once

#include <windows.h>

namespace kestrun {

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace kestrun
