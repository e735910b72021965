#include "inventory/driver_store.h"

#include <algorithm>
#include <cmath>
#include <cwchar>
#include <iterator>
#include <mutex>
#include <unordered_map>

#include "common/parallel.h"
#include "common/win32_handles.h"
#include "inventory/field_text.h"
#include "inventory/inf_reader.h"
#include "inventory/protected_print.h"
#include "inventory/snapshot.h"
#include "inventory/snapshot_manifest.h"

namespace kestrun {

namespace {

constexpr std::wstring_view kRepository = L"\\DriverStore\\FileRepository\\";
// Package folders read at once: a remote store answers each call late.
constexpr unsigned kFoldersAtOnce = 8;
// How deep a package's own folders are followed when it is sized.
constexpr int kMaxFolderDepth = 16;

size_t FindFolded(std::wstring_view text, std::wstring_view part) {
  for (size_t at = 0; at + part.size() <= text.size(); ++at) {
    if (EqualsIgnoringAsciiCase(text.substr(at, part.size()), part)) return at;
  }
  return std::wstring_view::npos;
}

DWORD ListFolder(const std::wstring& folder, std::vector<StoreEntry>& entries) {
  entries.clear();
  WIN32_FIND_DATAW found = {};
  const UniqueFind search(::FindFirstFileW(LongPath(folder + L"\\*").c_str(), &found));
  if (!search) return ::GetLastError();
  do {
    const std::wstring_view name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    // A link inside a package is counted, never followed out of it.
    const bool isFolder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                          (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
    entries.push_back({std::wstring(name), isFolder,
                       isFolder ? 0 : (ULONGLONG{found.nFileSizeHigh} << 32) | found.nFileSizeLow});
  } while (::FindNextFileW(search.get(), &found));
  const DWORD error = ::GetLastError();
  return error == ERROR_NO_MORE_FILES ? 0 : error;
}

DWORD ReadFirstBytes(const std::wstring& file, size_t most, std::string& bytes) {
  bytes.clear();
  const UniqueFileHandle handle(::CreateFileW(LongPath(file).c_str(), GENERIC_READ,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!handle) return ::GetLastError();
  bytes.resize(most);
  size_t filled = 0;
  while (filled < most) {
    DWORD read = 0;
    const DWORD asked = static_cast<DWORD>(std::min<size_t>(most - filled, kMaxInfBytes));
    if (!::ReadFile(handle.get(), bytes.data() + filled, asked, &read, nullptr)) {
      const DWORD error = ::GetLastError();
      bytes.clear();
      return error;
    }
    if (read == 0) break;
    filled += read;
  }
  bytes.resize(filled);
  return 0;
}

// The INF a package folder is named after ("x.inf_amd64_..." holds x.inf),
// or else the first INF it holds; empty for a folder that holds none.
std::wstring InfOfFolder(std::wstring_view folder, const std::vector<StoreEntry>& entries) {
  const size_t at = FindFolded(folder, L".inf_");
  const std::wstring_view named =
      at == std::wstring_view::npos ? std::wstring_view() : folder.substr(0, at + 4);
  const StoreEntry* first = nullptr;
  for (const StoreEntry& entry : entries) {
    if (entry.folder || entry.name.size() < 5 || !IsPlainFileName(entry.name) ||
        !EqualsIgnoringAsciiCase(std::wstring_view(entry.name).substr(entry.name.size() - 4),
                                 L".inf")) {
      continue;
    }
    if (!named.empty() && EqualsIgnoringAsciiCase(entry.name, named)) return entry.name;
    if (first == nullptr || NameKey(entry.name) < NameKey(first->name)) first = &entry;
  }
  return first ? first->name : std::wstring();
}

// What reading one package folder gave.
struct FolderResult {
  DWORD error = 0;
  std::wstring problem;
  bool isPackage = false;
  StorePackage package;
};

// Adds up the files below a folder; false (with the code) when one cannot be listed.
bool AddSizes(const StoreFiles& calls, const std::wstring& folder,
              const std::vector<StoreEntry>& entries, int depth, FolderResult& result) {
  for (const StoreEntry& entry : entries) {
    if (!entry.folder) {
      result.package.bytes += entry.bytes;
      continue;
    }
    const std::wstring below = folder + L"\\" + entry.name;
    std::vector<StoreEntry> inner;
    // A name the file system would read otherwise could lead out of the package.
    if (!IsPlainFileName(entry.name)) {
      result.error = ERROR_BAD_PATHNAME;
      result.problem = L"the package folder " + folder + L" holds " + entry.name;
      return false;
    }
    if (depth >= kMaxFolderDepth) {
      result.error = ERROR_BAD_PATHNAME;
    } else {
      result.error = calls.list(below, inner);
    }
    if (result.error != 0) {
      result.problem = L"the package folder " + below + L" could not be read";
      return false;
    }
    if (!AddSizes(calls, below, inner, depth + 1, result)) return false;
  }
  return true;
}

void ReadPackageFolder(const StoreFiles& calls, const std::wstring& repository,
                       const std::wstring& name, FolderResult& result) {
  const std::wstring folder = repository + L"\\" + name;
  std::vector<StoreEntry> entries;
  if ((result.error = calls.list(folder, entries)) != 0) {
    result.problem = L"the package folder " + folder + L" could not be read";
    return;
  }
  StorePackage& package = result.package;
  package.folder = name;
  package.infName = InfOfFolder(name, entries);
  if (package.infName.empty()) return;  // not a driver package
  std::string bytes;
  InfFields fields;
  const InfRead read = calls.read(folder + L"\\" + package.infName, kMaxInfBytes, bytes) == 0
                           ? ReadInfFields(bytes, fields)
                           : InfRead::Unreadable;
  if (read == InfRead::NoVersion || (read == InfRead::Read && !fields.printerClass)) return;
  package.unreadable = read == InfRead::Unreadable;
  package.provider = std::move(fields.provider);
  package.version = std::move(fields.version);
  package.date = std::move(fields.date);
  package.environment = EnvironmentOfStoreFolder(name);
  result.isPackage = AddSizes(calls, folder, entries, 1, result);
}

}  // namespace

StoreFiles RealStoreFiles() { return {ListFolder, ReadFirstBytes}; }

std::wstring DriverStoreFolder(const MachineFiles& files) {
  const std::wstring system = SystemFolderOf(files);
  return system.empty() ? std::wstring() : system + L"\\DriverStore\\FileRepository";
}

std::wstring_view EnvironmentOfStoreFolder(std::wstring_view folder) {
  static constexpr struct {
    std::wstring_view part, environment;
  } kArchitectures[] = {
      {L"_amd64_", L"Windows x64"},
      {L"_x86_", L"Windows NT x86"},
      {L"_arm64_", L"Windows ARM64"},
      {L"_ia64_", L"Windows IA64"},
  };
  const size_t inf = FindFolded(folder, L".inf_");
  if (inf == std::wstring_view::npos) return {};
  const std::wstring_view rest = folder.substr(inf + 4);
  for (const auto& known : kArchitectures) {
    if (rest.size() >= known.part.size() &&
        EqualsIgnoringAsciiCase(rest.substr(0, known.part.size()), known.part)) {
      return known.environment;
    }
  }
  return {};
}

DWORD ListDriverStore(const std::wstring& repository, const StoreFiles& calls,
                      std::vector<StorePackage>& packages, std::wstring& problem,
                      const std::atomic<bool>* stop) {
  packages.clear();
  std::vector<StoreEntry> entries;
  if (const DWORD error = calls.list(repository, entries)) {
    problem = L"the driver store " + repository + L" could not be read";
    return error;
  }
  std::vector<std::wstring> folders;
  for (StoreEntry& entry : entries) {
    // Only a name that stays a folder of the store is read.
    if (entry.folder && IsPlainFileName(entry.name)) folders.push_back(std::move(entry.name));
  }
  std::sort(folders.begin(), folders.end(),
            [](const std::wstring& a, const std::wstring& b) { return NameKey(a) < NameKey(b); });
  std::vector<FolderResult> results(folders.size());
  RunAtOnce(folders.size(), kFoldersAtOnce, [&](size_t f) {
    if (stop != nullptr && stop->load()) {
      results[f].error = ERROR_CANCELLED;
      return;
    }
    ReadPackageFolder(calls, repository, folders[f], results[f]);
  });
  for (FolderResult& result : results) {
    if (result.error == ERROR_CANCELLED || (stop != nullptr && stop->load())) {
      packages.clear();
      problem = L"the listing was cancelled";
      return ERROR_CANCELLED;
    }
    if (result.error != 0) {
      packages.clear();
      problem = std::move(result.problem);
      return result.error;
    }
    if (result.isPackage) packages.push_back(std::move(result.package));
  }
  return 0;
}

bool DriverInfsOf(const DriverInventory& inventory, std::vector<DriverInf>& drivers) {
  drivers.clear();
  if (!inventory.packageFields) return false;
  const DRIVER_INFO_6* records = inventory.Drivers();
  for (DWORD i = 0; i < inventory.driverCount; ++i) {
    const wchar_t* inf = inventory.packageFields[i].infPath;
    if (inf == nullptr || *inf == L'\0' || records[i].pName == nullptr) continue;
    drivers.push_back({records[i].pName, inf});
  }
  return true;
}

std::wstring_view StoreFolderOfInf(std::wstring_view infPath) {
  const size_t at = FindFolded(infPath, kRepository);
  if (at == std::wstring_view::npos) return {};
  const std::wstring_view rest = infPath.substr(at + kRepository.size());
  const size_t end = rest.find(L'\\');
  return end == std::wstring_view::npos ? std::wstring_view() : rest.substr(0, end);
}

void ClassifyStorePackages(std::vector<StorePackage>& packages,
                           const std::vector<DriverInf>& drivers, bool driversKnown) {
  std::unordered_map<std::wstring, size_t> byFolder;
  for (size_t k = 0; k < packages.size(); ++k) {
    packages[k].usedBy.clear();
    byFolder.emplace(NameKey(packages[k].folder), k);
  }
  for (const DriverInf& driver : drivers) {
    const auto found = byFolder.find(NameKey(StoreFolderOfInf(driver.infPath)));
    if (found == byFolder.end()) continue;
    std::vector<std::wstring>& usedBy = packages[found->second].usedBy;
    const bool listed = std::any_of(usedBy.begin(), usedBy.end(), [&](const std::wstring& name) {
      return SameName(name, driver.name);
    });
    if (!listed) usedBy.push_back(driver.name);
  }
  for (StorePackage& package : packages) {
    package.use = IsWindowsPrinterInf(package.infName) ? PackageUse::WindowsOwn
                  : package.unreadable                 ? PackageUse::Unreadable
                  : !driversKnown                      ? PackageUse::Unknown
                  : !package.usedBy.empty()            ? PackageUse::Used
                                                       : PackageUse::Unused;
  }
}

std::wstring StoreOnMachine(const MachineFiles& files, const std::vector<DriverInf>& drivers) {
  if (!files.isRemote) {
    const std::wstring system = SystemFolderOf(files);
    return system + L"\\DriverStore\\FileRepository";
  }
  for (const DriverInf& driver : drivers) {
    const size_t at = FindFolded(driver.infPath, kRepository);
    if (at == std::wstring::npos) continue;
    const std::wstring store = driver.infPath.substr(0, at + kRepository.size() - 1);
    if (IsPlainOriginalPath(store) && store.size() > 3 && store[1] == L':') return store;
  }
  return L"C:\\Windows\\System32\\DriverStore\\FileRepository";
}

PlannedPackage PlannedOrphan(const StorePackage& package, std::wstring_view storeOnMachine) {
  PlannedPackage planned;
  planned.infPath = std::wstring(storeOnMachine) + L"\\" + package.folder + L"\\" + package.infName;
  planned.environment = package.environment;
  planned.orphan = true;
  planned.version = package.version;
  planned.date = package.date;
  planned.bytes = package.bytes;
  return planned;
}

std::wstring SizeText(ULONGLONG bytes) {
  constexpr double kKilo = 1024.0;
  wchar_t text[32] = {};
  const double value = static_cast<double>(bytes);
  if (bytes < 1024) {
    std::swprintf(text, std::size(text), L"%llu %ls", bytes, bytes == 1 ? L"byte" : L"bytes");
  } else if (std::lround(value / kKilo) < 1024) {
    std::swprintf(text, std::size(text), L"%ld KB", std::lround(value / kKilo));
  } else if (std::lround(value / (kKilo * kKilo)) < 1024) {
    std::swprintf(text, std::size(text), L"%ld MB", std::lround(value / (kKilo * kKilo)));
  } else {
    std::swprintf(text, std::size(text), L"%.1f GB", value / (kKilo * kKilo * kKilo));
  }
  return text;
}

StoreCounts CountStore(const std::vector<StorePackage>& packages) {
  StoreCounts counts;
  for (const StorePackage& package : packages) {
    ++counts.packages;
    counts.bytes += package.bytes;
    if (package.use == PackageUse::Unused) {
      ++counts.unused;
      counts.unusedBytes += package.bytes;
    }
    counts.windowsOwn += package.use == PackageUse::WindowsOwn ? 1 : 0;
    counts.unreadable += package.use == PackageUse::Unreadable ? 1 : 0;
    counts.usesKnown = counts.usesKnown && package.use != PackageUse::Unknown;
  }
  return counts;
}

std::wstring StoreCountsText(const StoreCounts& counts) {
  std::wstring text =
      L"Packages: " + std::to_wstring(counts.packages) + L" (" + SizeText(counts.bytes) + L"). ";
  if (counts.usesKnown) {
    text += L"Unused: " + std::to_wstring(counts.unused) + L" (" + SizeText(counts.unusedBytes) +
            L"). ";
  } else {
    text += L"Unused: not known (the drivers' packages could not be read). ";
  }
  text += L"Windows' own: " + std::to_wstring(counts.windowsOwn) + L".";
  if (counts.unreadable > 0) text += L" Unreadable: " + std::to_wstring(counts.unreadable) + L".";
  return text;
}

}  // namespace kestrun
