// Walks a folder tree the way Kestrun's own folders and the driver store are
// read: a link (a reparse point, file or folder) is one entry, never entered,
// so nothing outside the folder is ever listed, copied or removed.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace kestrun {

// How deep a driver package's own folders may nest.
constexpr int kMaxPackageDepth = 32;

struct WalkedEntry {
  std::wstring relative;  // below the folder walked: "sub\file.dll"
  const WIN32_FIND_DATAW* found = nullptr;
  bool folder = false;  // a real folder: walked into after this call
  bool link = false;    // a reparse point: never walked into
};

// Lists one folder's entries but "." and "..": `each` sees an entry, whether
// it is a real folder and whether it is a link (a reparse point, never a
// folder here); a non-zero answer ends the listing with that code. 0, or the
// listing's code.
DWORD ListFolderEntries(
    const std::wstring& folder,
    const std::function<DWORD(const WIN32_FIND_DATAW&, bool folder, bool link)>& each);

// Visits every entry below `root` depth-first, a folder before what it
// holds; `leave`, when given, is called with a folder's relative path once
// its entries are done. A non-zero answer of `visit` ends the walk with that
// code. 0 when the walk ended; otherwise the listing's code, or
// ERROR_FILENAME_EXCED_RANGE for a folder deeper than `maxDepth`.
DWORD WalkFolder(const std::wstring& root, int maxDepth,
                 const std::function<DWORD(const WalkedEntry&)>& visit,
                 const std::function<void(const std::wstring&)>& leave = {});

// The first link found below `root` (its relative path), or empty; `error`
// is the walk's code when the folder could not be read whole.
std::wstring FirstLinkBelow(const std::wstring& root, int maxDepth, DWORD& error);

}  // namespace kestrun
