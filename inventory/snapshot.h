// A snapshot of what a deletion removes, taken before its first step: each
// driver's record and every file it names, its driver-store package when that
// goes too, and each printer's settings, security, default DEVMODE and data,
// in a folder of its own with a manifest. Putting it back is inventory/restore.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "inventory/deletion.h"
#include "inventory/snapshot_manifest.h"

namespace kestrun {

// Where snapshots go unless told: %LOCALAPPDATA%\Kestrun\Snapshots.
std::wstring DefaultSnapshotRoot();

// The machine a snapshot is filed under: as the user named it, this
// computer's name for the local machine.
std::wstring SnapshotMachineName(const DeletionPlan& plan);

// A path the file functions take however long: "\\?\" or "\\?\UNC\" before it.
std::wstring LongPath(std::wstring_view path);

// Creates every folder of a path that is not there yet; 0 or the system's code.
DWORD CreateFolders(const std::wstring& path);

// Saves what the prepared plan deletes into a new folder below
// root\MACHINE\yyyymmddThhmmssZ. 0 with the folder; otherwise the code of the
// call that failed, with `problem` naming what could not be saved (the
// partial folder is removed again).
DWORD TakeSnapshot(const DeletionPlan& plan, const std::wstring& root, std::wstring& folder,
                   std::wstring& problem);

// Reads a snapshot folder: its manifest, then every file against its size
// and checksum. False with `problem` naming the line that is refused.
bool ReadSnapshot(const std::wstring& folder, Snapshot& snapshot, std::wstring& problem);

}  // namespace kestrun
