// Whether a snapshot folder may be installed from. The spooler runs a driver
// as SYSTEM, so a folder that a non-administrator (or anything running
// un-elevated) could change is refused before a restore reads it.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

namespace kestrun {

// Whom a process trusts besides Administrators, SYSTEM and TrustedInstaller:
// the principal that owns what it creates, and its own account unless an
// un-elevated program of that account could have made the change.
struct TrustBasis {
  PSID runningUser = nullptr;
  PSID newObjectOwner = nullptr;  // owner of a folder this process has just created
  bool elevated = false;
};

// The running account is trusted when the process is not elevated (nothing
// less privileged runs as it), or when Windows makes the creator the owner
// of new objects (as under Wine, or by policy).
bool TrustsRunningUser(const TrustBasis& basis);

// The DACL a folder Kestrun creates gets: full control for Administrators,
// SYSTEM and `ownerSid` (the principal owning what Kestrun creates), nothing
// inherited from above.
std::wstring SnapshotFolderSddl(std::wstring_view ownerSid);

// Creates one folder with that DACL; 0 or the system's code
// (ERROR_ALREADY_EXISTS when the name is taken).
DWORD CreateProtectedFolder(const std::wstring& path);

// True when only trusted principals own and may change what `descriptor`
// guards; otherwise `problem` says why, naming `path`.
bool JudgeSnapshotSecurity(PSECURITY_DESCRIPTOR descriptor, const TrustBasis& basis,
                           std::wstring_view path, std::wstring& problem);

// This process's trust basis, measured once (the new-object owner by
// creating and removing a folder in the temporary folder).
class ProcessTrust {
 public:
  // 0 or the code of the call that failed.
  DWORD Read();
  const TrustBasis& Basis() const { return basis_; }
  // Judges an object through a handle opened with READ_CONTROL.
  bool Judge(HANDLE open, std::wstring_view path, std::wstring& problem) const;

 private:
  std::vector<BYTE> user_, owner_;
  TrustBasis basis_;
};

// A folder name no one can guess before it is made: "Kestrun-" and 128
// random bits; empty when the system gives no random numbers.
std::wstring UnguessableName();

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
