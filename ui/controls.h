// The main window's controls, reached by the workers and dialogs, and the small
// helpers they share.
#pragma once

#include <windows.h>

#include <string>

namespace kestrun {

extern HWND listView;
extern HWND enumerateButton;
extern HWND deleteButton;
extern HWND machineCombo;
extern HWND progressBar;
extern HMENU mainMenu;
extern HWND findDialog;
extern HWND findEdit;
extern HWND findNextButton;
extern HWND aboutDialog;

// The main window (null until its creation has begun).
HWND MainWindow();

void StartProgress();
void StopProgress();

// Centres a window over its owner and shows it.
void CenterOver(HWND owner, HWND window);

// Creates a modeless dialog from a template, owned by the main window, then
// centres and shows it there; null when it could not be created.
HWND OpenDialogOverMainWindow(int templateId, DLGPROC procedure);

// Reads one cell of a list into a buffer (cut at its capacity; empty when absent).
void ReadListCell(HWND list, int row, int column, wchar_t* buffer, int capacity);

// Reads one cell whole, however long: a buffer of `firstCapacity` characters
// first, doubled until the text fits.
std::wstring ReadWholeListCell(HWND list, int row, int column, int firstCapacity);

// An information or error box owned by the main window, captioned "Kestrun".
int ShowMessage(const wchar_t* text, UINT icon);

}  // namespace kestrun
