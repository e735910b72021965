// Whether a snapshot folder may be installed from. The spooler runs a driver
// as SYSTEM, so a folder that a non-administrator (or anything running
// un-elevated) could change is refused before a restore reads it.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

namespace kestrun {

// The DACL a new snapshot folder gets: full control for Administrators,
// SYSTEM and the account running Kestrun, nothing inherited from above.
std::wstring SnapshotFolderSddl(std::wstring_view userSid);

// Creates one folder with that DACL; 0 or the system's code
// (ERROR_ALREADY_EXISTS when the name is taken).
DWORD CreateProtectedFolder(const std::wstring& path);

// True when only Administrators, SYSTEM, TrustedInstaller, the owner and
// `runningUser` may change what `descriptor` guards; otherwise `problem`
// says why, naming `path`.
bool JudgeSnapshotSecurity(PSECURITY_DESCRIPTOR descriptor, PSID runningUser,
                           std::wstring_view path, std::wstring& problem);

// A file to judge: its path, and its handle when it is held open (with
// READ_CONTROL), which is asked instead of opening it again.
struct JudgedFile {
  std::wstring path;
  HANDLE open = nullptr;
};

// Judges the folder, then each of `files` (absolute paths), as they are on
// disk; the folders above it are not judged. A file whose security cannot be
// read is refused too.
bool IsSnapshotFolderTrusted(const std::wstring& folder, const std::vector<JudgedFile>& files,
                             std::wstring& problem);

}  // namespace kestrun
