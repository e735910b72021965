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
  WIN32_FIND_DATAW found = {};
  const UniqueFind search(::FindFirstFileW(LongPath(folder + L"\\*").c_str(), &found));
  if (!search) return ::GetLastError();
  do {
    const std::wstring_view name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    WalkedEntry entry;
    entry.relative = relative.empty() ? std::wstring(name) : relative + L"\\" + std::wstring(name);
    entry.found = &found;
    entry.link = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    entry.folder = !entry.link && (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (const DWORD stop = visit(entry)) return stop;
    if (entry.folder) {
      if (const DWORD error = WalkBelow(root, entry.relative, depthLeft - 1, visit, leave)) {
        return error;
      }
    }
  } while (::FindNextFileW(search.get(), &found));
  const DWORD error = ::GetLastError();
  if (error != ERROR_NO_MORE_FILES) return error;
  if (leave) leave(relative);
  return 0;
}

}  // namespace

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
