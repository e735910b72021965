#include "inventory/machine_paths.h"

#include "inventory/field_text.h"
#include "inventory/platform.h"
#include "inventory/snapshot_manifest.h"

namespace kestrun {

namespace {

constexpr std::wstring_view kSpoolDrivers = L"\\spool\\drivers\\";
constexpr std::wstring_view kDriverStore = L"\\System32\\DriverStore\\";

// Finds `part` in `path` with A to Z folded; npos when it is not there.
size_t FindFolded(std::wstring_view path, std::wstring_view part) {
  for (size_t at = 0; at + part.size() <= path.size(); ++at) {
    if (EqualsIgnoringAsciiCase(path.substr(at, part.size()), part)) return at;
  }
  return std::wstring_view::npos;
}

// This computer's System32 folder, as the system names it.
std::wstring SystemFolder() {
  wchar_t folder[MAX_PATH] = {};
  const UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
  return length > 0 && length < MAX_PATH ? std::wstring(folder, length) : std::wstring();
}

bool IsDriveLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

// True when `path` is `folder`, a backslash, then a path that stays below it.
bool LiesBelow(std::wstring_view path, std::wstring_view folder) {
  return !folder.empty() && path.size() > folder.size() + 1 &&
         EqualsIgnoringAsciiCase(path.substr(0, folder.size()), folder) &&
         path[folder.size()] == L'\\' && IsPathInside(path.substr(folder.size() + 1));
}

}  // namespace

std::wstring_view ParentOf(std::wstring_view path) {
  const size_t slash = path.find_last_of(L'\\');
  return path.substr(0, slash == std::wstring_view::npos ? 0 : slash);
}

std::wstring_view EnvironmentFolder(std::wstring_view environment) {
  static constexpr struct {
    std::wstring_view environment, folder;
  } kFolders[] = {
      {L"Windows x64", L"x64"},   {L"Windows NT x86", L"W32X86"}, {L"Windows ARM64", L"ARM64"},
      {L"Windows IA64", L"IA64"}, {L"Windows 4.0", L"WIN40"},
  };
  for (const auto& known : kFolders) {
    if (EqualsIgnoringAsciiCase(environment, known.environment)) return known.folder;
  }
  return {};
}

std::wstring DriverFoldersRoot(const MachineFiles& files) {
  if (files.isRemote) return L"\\\\" + files.machine + L"\\print$";
  const std::wstring system = SystemFolder();
  return system.empty() ? std::wstring() : system + L"\\spool\\drivers";
}

bool DriverFileSource(const MachineFiles& files, std::wstring_view original,
                      std::wstring_view driverPath, std::wstring& source, std::wstring& below) {
  below.clear();
  const size_t at = FindFolded(original, kSpoolDrivers);
  if (at != std::wstring_view::npos) {
    below = original.substr(at + kSpoolDrivers.size());
  } else if (original.find(L'\\') == std::wstring_view::npos) {
    // A bare name lies beside the driver's own file.
    const size_t own = FindFolded(driverPath, kSpoolDrivers);
    if (own != std::wstring_view::npos) {
      below = std::wstring(ParentOf(driverPath.substr(own + kSpoolDrivers.size()))) + L"\\" +
              std::wstring(original);
    }
  }
  if (!below.empty()) {
    const std::wstring root = DriverFoldersRoot(files);
    if (root.empty() || !IsPathInside(below)) return false;
    source = root + L"\\" + below;
    return true;
  }
  // Elsewhere on a drive of the machine: a remote one's through its drive share.
  if (original.size() > 3 && original[1] == L':' && original[2] == L'\\' &&
      IsDriveLetter(original[0]) && IsPathInside(original.substr(3))) {
    source = files.isRemote ? L"\\\\" + files.machine + L"\\" + original[0] + L"$\\" +
                                  std::wstring(original.substr(3))
                            : std::wstring(original);
    return true;
  }
  return false;
}

std::wstring SystemFolderOf(const MachineFiles& files) {
  return files.isRemote ? L"\\\\" + files.machine + L"\\admin$\\System32" : SystemFolder();
}

bool PackageFolderSource(const MachineFiles& files, std::wstring_view infPath,
                         std::wstring& folder) {
  const std::wstring_view parent = ParentOf(infPath);
  const size_t store = FindFolded(parent, kDriverStore);
  if (store == std::wstring_view::npos) return false;
  const std::wstring_view below = parent.substr(store + kDriverStore.size());
  if (!IsPathInside(below)) return false;
  const std::wstring root = SystemFolderOf(files);
  if (root.empty()) return false;
  folder = root + L"\\DriverStore\\" + std::wstring(below);
  return true;
}

bool IsDriverFolderAnswer(const MachineFiles& files, std::wstring_view answer) {
  if (!files.isRemote) return LiesBelow(answer, DriverFoldersRoot(files));
  // \\HOST\print$ and what lies below it: the server may name itself otherwise.
  if (answer.size() < 3 || answer.substr(0, 2) != L"\\\\") return false;
  const size_t hostEnd = answer.find(L'\\', 2);
  if (hostEnd == std::wstring_view::npos || hostEnd == 2 ||
      !IsMachineName(answer.substr(2, hostEnd - 2))) {
    return false;
  }
  const std::wstring_view share = answer.substr(hostEnd + 1);
  const size_t shareEnd = share.find(L'\\');
  return EqualsIgnoringAsciiCase(share.substr(0, shareEnd), L"print$") &&
         (shareEnd == std::wstring_view::npos || IsPathInside(share.substr(shareEnd + 1)));
}

DWORD CheckedDriverFolder(const MachineFiles& files, const std::wstring& environment,
                          std::wstring& folder, std::wstring& problem) {
  const std::wstring_view below = EnvironmentFolder(environment);
  if (below.empty()) {
    problem = L"the environment " + environment + L" has no driver folder Kestrun knows";
    return ERROR_INVALID_ENVIRONMENT;
  }
  std::wstring server = files.isRemote ? L"\\\\" + files.machine : std::wstring();
  std::wstring name = environment;
  wchar_t answer[MAX_PATH * 2] = {};
  DWORD needed = 0;
  if (!Platform().GetPrinterDriverDirectoryW(server.empty() ? nullptr : server.data(), name.data(),
                                             1, reinterpret_cast<BYTE*>(answer),
                                             sizeof(answer) - sizeof(wchar_t), &needed)) {
    const DWORD error = ::GetLastError();
    problem = L"the driver folder of " + environment + L" could not be found";
    return error != 0 ? error : ERROR_PATH_NOT_FOUND;
  }
  answer[MAX_PATH * 2 - 1] = L'\0';
  const std::wstring root = DriverFoldersRoot(files);
  if (!IsDriverFolderAnswer(files, answer) || root.empty()) {
    problem = L"the server named " + std::wstring(answer) + L" as its driver folder";
    return ERROR_BAD_PATHNAME;
  }
  folder = root + L"\\" + std::wstring(below);
  return 0;
}

}  // namespace kestrun
