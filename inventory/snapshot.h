// A snapshot of what a deletion removes, taken before its first step: each
// driver's record and every file it names, its driver-store package when that
// goes too, and each printer's settings, security, default DEVMODE and data,
// in a folder of its own with a manifest. Putting it back is inventory/restore.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/win32_handles.h"
#include "inventory/deletion.h"
#include "inventory/snapshot_manifest.h"

namespace kestrun {

class Sha256;

// Where snapshots go unless told: %LOCALAPPDATA%\Kestrun\Snapshots.
std::wstring DefaultSnapshotRoot();

// The machine a snapshot is filed under: as the user named it, this
// computer's name for the local machine.
std::wstring SnapshotMachineName(const DeletionPlan& plan);

// This computer's name ("localhost" when the system does not say).
std::wstring ThisComputerName();

// A path the file functions take however long: "\\?\" or "\\?\UNC\" before it.
std::wstring LongPath(std::wstring_view path);

// Creates every folder of a path that is not there yet; 0 or the system's code.
DWORD CreateFolders(const std::wstring& path);

// Removes a folder and everything in it.
void RemoveTree(const std::wstring& folder);

// Saves what the prepared plan deletes into a new folder below
// root\MACHINE\yyyymmddThhmmssZ, which only administrators, the system and
// the account taking it may change. 0 with the folder; otherwise the code of
// the call that failed, with `problem` naming what could not be saved (the
// partial folder is removed again). The plan's `stop` ends it early
// (ERROR_CANCELLED), its folder removed too.
DWORD TakeSnapshot(const DeletionPlan& plan, const std::wstring& root, std::wstring& folder,
                   std::wstring& problem);

// Waits, at most this long, for every snapshot still being written to end:
// one cut short removes its partial folder first.
void WaitForSnapshotsInProgress(DWORD milliseconds);

// A snapshot folder as it was read and judged: the folder held open, so
// that it cannot be renamed, removed or swapped for a link, and its files,
// by their place in Snapshot::files, each held open for reading only, so
// nothing changes or removes one before it is put back, and none is opened
// twice. Closed when the last holder goes.
struct HeldSnapshot {
  UniqueFileHandle folder;
  std::vector<UniqueFileHandle> files;
};
using CheckedFiles = std::shared_ptr<const HeldSnapshot>;

// Reads a snapshot folder through handles that reach it without a link:
// the folder opened once and judged (who may change it), then its manifest
// opened, judged and read, then every file opened, judged and checked
// against its size and checksum. A package folder holding a file the
// manifest does not list, or a link, is refused. False with `problem`
// naming what is refused (and the manifest's line). `stop`, once set, ends
// the reading between two files ("the reading was cancelled").
bool ReadSnapshot(const std::wstring& folder, Snapshot& snapshot, CheckedFiles& checked,
                  std::wstring& problem, const std::atomic<bool>* stop = nullptr);

// Copies the rest of `from` into `to` through `chunk` (kCopyChunkBytes),
// adding each piece to `hash` when given; 0 or the system's code,
// ERROR_CANCELLED once `stop` is set, and ERROR_FILE_INVALID for more than
// `most` bytes.
constexpr DWORD kCopyChunkBytes = 1024 * 1024;
DWORD CopyFileBytes(HANDLE from, HANDLE to, BYTE* chunk, ULONGLONG& bytes, Sha256* hash,
                    const std::atomic<bool>* stop = nullptr, ULONGLONG most = ~0ULL);

// Reads an open file from where it stands to its end through `chunk`
// (kCopyChunkBytes): its length and SHA-256 (hexadecimal). 0 or the code.
DWORD HashOpenFile(HANDLE file, BYTE* chunk, ULONGLONG& bytes, std::string& sha256);

// Gives `to` the last-write time of `from`, where the file system keeps one:
// the spooler copies a driver file only over an older one, so a file saved
// and put back keeps its own time.
void KeepWriteTime(HANDLE from, HANDLE to);

}  // namespace kestrun
