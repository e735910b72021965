// The driver store packages window, "Driver store packages on MACHINE": every
// printer package in the driver store of the main window's last listing,
// read on a worker, with its INF's facts, its size and the drivers that come
// from it. Unused packages can be ticked and removed through the deletion's
// own run (a snapshot first, then Edit > Undo Deletion). It follows the main
// window's next listing and reads that machine's store.
#pragma once

#include <windows.h>

namespace kestrun {

// Opens the window, or brings it forward, and reads the store of the main
// window's last listing (unless a reading of it already runs).
void ShowPackagesWindow();

// The main window's listing changed (a new one, none while it lists, or a
// cancelled one): the window, when open, drops what it shows and reads the
// new listing's store. Main window's thread only.
void RefreshPackagesWindow();

// True while the window reads a store: the main window's progress bar stays up.
bool PackagesWindowReading();

// The open window, or null.
HWND PackagesWindow();

}  // namespace kestrun
