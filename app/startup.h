// Start-up, mode choice and shut-down of the process.
#pragma once

#include <windows.h>

#include "ui/window_records.h"

namespace kestrun {

// The whole life of the process after its entry: returns the exit code.
int RunKestrun(HINSTANCE instance, const wchar_t* argumentText);

AppWindowState* InitAppWindowState();
// Names the main window's class, caption, procedure, icon and menu.
void ConfigureMainWindowState(AppWindowState& state, HINSTANCE instance);
ATOM RegisterMainClass(const AppWindowState& state);
bool CreateMainWindow(AppWindowState& state);
void RunMessageLoop(AppWindowState& state);

// Creates the shared records; false when memory runs out.
bool CreateSharedRecords();
// Releases every shared record that exists, in the program's fixed order. While
// a worker may still run, the records workers use are left to the process's end.
void ReleaseSharedRecords(bool workersMayRun = false);

}  // namespace kestrun
