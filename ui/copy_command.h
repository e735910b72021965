// The printers window's "Copy To...": the ticked printers, with their drivers,
// packages and TCP/IP ports, copied from the listing's machine onto another.
// On a worker in the run slot: both machines listed, the plan asked as a
// deletion asks, the source's snapshot taken, then put on the target through
// the restore, and the outcome. Nothing on the source changes.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

namespace kestrun {

// What WM_KESTRUN_COPY_STAGE tells the window that started the copy.
enum CopyStage : WPARAM { kCopyReading, kCopyCopying, kCopyIdle };

struct CopyRequest {
  HWND window = nullptr;               // told of the stages
  std::wstring source;                 // the listing's machine, as typed for it
  std::wstring target;                 // as the user typed it
  std::vector<std::wstring> printers;  // the ticked ones, without the server
};

// A machine as the copy's texts name it: as typed without backslashes, or
// "this computer".
std::wstring CopyMachineShown(std::wstring_view typed);

// On the window's thread: claims the run slot and starts the worker; false
// while a listing, deletion, restore or copy runs (nothing starts).
bool StartCopy(CopyRequest request);

}  // namespace kestrun
