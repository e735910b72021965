#include "inventory/folder_walk.h"

#include "common/win32_handles.h"
#include "inventory/snapshot.h"

namespace kestrun {

namespace {

DWORD WalkBelow(const std::wstring& root, const std::wstring& relative, int depthLeft,
                const std::function<DWORD(const WalkedEntry&)>& visit,
                const std::function<void(const std::wstring&)>& leave) {
  if (depthLeft < 0) return ERROR_FILENAME_EXCED_RANGE;
  const std::wstring folder = relative.empty() ? root : root + L"\\" + relative;
  const DWORD error = ListFolderEntries(
      folder, [&](const WIN32_FIND_DATAW& found, bool isFolder, bool isLink) -> DWORD {
        WalkedEntry entry;
        const std::wstring name = found.cFileName;
        entry.relative = relative.empty() ? name : relative + L"\\" + name;
        entry.found = &found;
        entry.folder = isFolder;
        entry.link = isLink;
        if (const DWORD stop = visit(entry)) return stop;
        return entry.folder ? WalkBelow(root, entry.relative, depthLeft - 1, visit, leave) : 0;
      });
  if (error == 0 && leave) leave(relative);
  return error;
}

}  // namespace

DWORD ListFolderEntries(
    const std::wstring& folder,
    const std::function<DWORD(const WIN32_FIND_DATAW&, bool folder, bool link)>& each) {
  WIN32_FIND_DATAW found = {};
  const UniqueFind search(::FindFirstFileW(LongPath(folder + L"\\*").c_str(), &found));
  if (!search) return ::GetLastError();
  do {
    const std::wstring_view name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    const bool link = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    const bool isFolder = !link && (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (const DWORD stop = each(found, isFolder, link)) return stop;
  } while (::FindNextFileW(search.get(), &found));
  const DWORD error = ::GetLastError();
  return error == ERROR_NO_MORE_FILES ? 0 : error;
}

DWORD WalkFolder(const std::wstring& root, int maxDepth,
                 const std::function<DWORD(const WalkedEntry&)>& visit,
                 const std::function<void(const std::wstring&)>& leave) {
  return WalkBelow(root, {}, maxDepth, visit, leave);
}

std::wstring FirstLinkBelow(const std::wstring& root, int maxDepth, DWORD& error) {
  std::wstring link;
  error = WalkFolder(root, maxDepth, [&link](const WalkedEntry& entry) -> DWORD {
    if (!entry.link) return 0;
    link = entry.relative;
    return ERROR_CANCELLED;
  });
  if (error == ERROR_CANCELLED && !link.empty()) error = 0;
  return link;
}

}  // namespace kestrun
