// Where a machine's driver files and driver-store packages are read from and
// written to. Every such path is built here from the machine's name and the
// system's own folders: a remote machine's driver files only through its
// print$ share, its packages through admin$, its other files through its
// drive shares; this computer's below its own spool\drivers and DriverStore.
// What a server answers for its driver folder is judged, never used as a path.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace kestrun {

// The machine whose files a snapshot reads or a restore writes.
struct MachineFiles {
  std::wstring machine;  // its bare name (a remote one's)
  bool isRemote = false;
};

// The folder a path lies in: all before its last backslash (empty for none).
std::wstring_view ParentOf(std::wstring_view path);

// The folder an environment's drivers have below the driver folders, from
// Windows' fixed table ("x64" for "Windows x64", "W32X86" for "Windows NT
// x86", ...); empty for an environment not in it.
std::wstring_view EnvironmentFolder(std::wstring_view environment);

// The folder every environment's driver folder lies in: \\MACHINE\print$, or
// this computer's System32\spool\drivers.
std::wstring DriverFoldersRoot(const MachineFiles& files);

// Where a driver record's file is read from: a file below the machine's
// spool\drivers through the driver folders' root, one elsewhere on a drive
// through the drive (\\MACHINE\C$\... for a remote one), a bare name beside
// the driver's own file. `below` is its path below the driver folders, empty
// for a file elsewhere. False for a path that cannot be reached this way.
bool DriverFileSource(const MachineFiles& files, std::wstring_view original,
                      std::wstring_view driverPath, std::wstring& source, std::wstring& below);

// The machine's System32 folder: \\MACHINE\admin$\System32, or this
// computer's own (empty when the system does not say).
std::wstring SystemFolderOf(const MachineFiles& files);

// The folder of a driver-store package, from the INF path the spooler names:
// \\MACHINE\admin$\System32\DriverStore\..., or this computer's own
// System32\DriverStore\...; false for an INF outside a driver store.
bool PackageFolderSource(const MachineFiles& files, std::wstring_view infPath,
                         std::wstring& folder);

// Asks the machine's spooler for an environment's driver folder (a spooler
// may prepare its share when asked) and judges the answer: a remote machine
// names a print$ share, this computer a folder below its own spool\drivers.
// 0 with `folder` the one Kestrun builds; otherwise the code, with `problem`
// saying why ("the server named C:\... as its driver folder").
DWORD CheckedDriverFolder(const MachineFiles& files, const std::wstring& environment,
                          std::wstring& folder, std::wstring& problem);

// The judgement alone: whether `answer` can be the machine's driver folder.
bool IsDriverFolderAnswer(const MachineFiles& files, std::wstring_view answer);

}  // namespace kestrun
