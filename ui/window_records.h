// The main window's process-wide records: its descriptor, font, save options,
// network machine list, the process lock and the list's icon. Start-up creates
// them; each is reached through one pointer that is null while the record
// does not exist.
#pragma once

#include <windows.h>
#include <commdlg.h>
#include <lm.h>

#include "common/win32_handles.h"

namespace kestrun {

constexpr int kWindowTextCapacity = 256;
constexpr int kSaveLogPathCapacity = 500;
constexpr int kSaveFilterCapacity = 300;

// The main window's descriptor.
struct AppWindowState {
  HWND hwnd = nullptr;
  HINSTANCE instance = nullptr;
  MSG msg = {};
  HACCEL accelerators = nullptr;  // the program has no accelerator table
  HBRUSH backgroundBrush = nullptr;
  PAINTSTRUCT paint = {};
  HDC paintDc = nullptr;
  RECT invalidRect = {};
  wchar_t className[kWindowTextCapacity] = {};
  wchar_t title[kWindowTextCapacity] = {};
  UINT classStyle = CS_VREDRAW | CS_HREDRAW;
  int showCommand = SW_SHOWNORMAL;
  DWORD style = WS_OVERLAPPEDWINDOW;
  int x = CW_USEDEFAULT;
  int y = CW_USEDEFAULT;
  int width = CW_USEDEFAULT;
  int height = CW_USEDEFAULT;
  int clientWidth = CW_USEDEFAULT;
  int clientHeight = CW_USEDEFAULT;
  UINT iconId = 0;
  UINT menuId = 0;
  WNDPROC windowProc = nullptr;
};

struct SharedGuiFont {
  HFONT font = nullptr;
};

struct SaveOptions {
  wchar_t logPath[kSaveLogPathCapacity] = {};
  OPENFILENAMEW* fileDialog = nullptr;  // set only while Browse runs
  wchar_t filter[kSaveFilterCapacity] = {};
};

// The last network server enumeration; `servers` belongs to the network library.
struct MachineList {
  DWORD entriesRead = 0;
  SERVER_INFO_100* servers = nullptr;
  DWORD totalEntries = 0;
};

extern AppWindowState* appWindowState;
extern SharedGuiFont* sharedGuiFont;
extern SaveOptions* saveOptions;
extern MachineList* machineList;
extern CriticalSection* processLock;
extern HICON appIcon;

}  // namespace kestrun
