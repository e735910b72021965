// The Save Selected Items dialog: the columns to log and the log file, picked
// through the standard save-file dialog.
#pragma once

#include <windows.h>

namespace kestrun {

// "Save Output": a fresh dialog over the main window, or a message when the
// list has nothing to save.
void OpenSaveDialog();

INT_PTR CALLBACK SaveDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Runs the save-file dialog; true when the user confirmed a file, whose path is
// then the save options' log path.
bool BrowseForLogFile(HWND owner);

}  // namespace kestrun
