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
#include "inventory/folder_walk.h"
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
  // A link inside a package is counted, never followed out of it.
  return ListFolderEntries(folder, [&entries](const WIN32_FIND_DATAW& found, bool isFolder, bool) {
    entries.push_back({found.cFileName, isFolder,
                       isFolder ? 0 : (ULONGLONG{found.nFileSizeHigh} << 32) | found.nFileSizeLow,
                       found.cAlternateFileName});
    return DWORD{0};
  });
}

DWORD ReadFirstBytes(const std::wstring& file, size_t most, std::string& bytes) {
  bytes.clear();
  const UniqueFileHandle handle(::CreateFileW(LongPath(file).c_str(), GENERIC_READ,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!handle) return ::GetLastError();
  // No bigger than the file: a megabyte made ready for every small INF costs
  // more than reading it.
  LARGE_INTEGER size = {};
  if (::GetFileSizeEx(handle.get(), &size) && size.QuadPart >= 0 &&
      static_cast<ULONGLONG>(size.QuadPart) < most) {
    most = static_cast<size_t>(size.QuadPart);
  }
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
  if (first == nullptr && entries.empty()) return std::wstring(named);  // its folder unread
  return first ? first->name : std::wstring();
}

// What reading one package folder gave.
struct FolderResult {
  DWORD error = 0;
  std::wstring problem;
  bool isPackage = false;
  StorePackage package;
};

// Adds up the files below a folder; false (with the code and why) when one
// cannot be walked.
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
      result.problem = L"it holds a folder named " + entry.name;
      return false;
    }
    if (depth >= kMaxFolderDepth) {
      result.error = ERROR_BAD_PATHNAME;
      result.problem = L"its folders nest deeper than " + std::to_wstring(kMaxFolderDepth);
      return false;
    }
    if ((result.error = calls.list(below, inner)) != 0) {
      result.problem = L"its folder " + entry.name + L" could not be read (error " +
                       std::to_wstring(result.error) + L")";
      return false;
    }
    if (!AddSizes(calls, below, inner, depth + 1, result)) return false;
  }
  return true;
}

// Reads one folder of the store: a printer package is listed, an
// unreadable folder too (its reason in `why`), anything else is not.
void ReadPackageFolder(const StoreFiles& calls, const std::wstring& repository,
                       const StoreEntry& entry, FolderResult& result) {
  const std::wstring folder = repository + L"\\" + entry.name;
  StorePackage& package = result.package;
  package.folder = entry.name;
  package.shortFolder = entry.shortName;
  package.environment = EnvironmentOfStoreFolder(entry.name);
  const auto unreadable = [&result](std::wstring why) {
    result.package.unreadable = result.isPackage = true;
    result.package.why = std::move(why);
    result.error = 0;
  };
  std::vector<StoreEntry> entries;
  if (const DWORD error = calls.list(folder, entries)) {
    package.infName = InfOfFolder(entry.name, {});
    unreadable(L"its folder could not be read (error " + std::to_wstring(error) + L")");
    return;
  }
  package.infName = InfOfFolder(entry.name, entries);
  if (package.infName.empty()) return;  // not a driver package
  std::string bytes;
  InfFields fields;
  const InfRead read = calls.read(folder + L"\\" + package.infName, kMaxInfBytes, bytes) == 0
                           ? ReadInfFields(bytes, fields)
                           : InfRead::Unreadable;
  bytes = std::string();  // held no longer than the INF is read
  if (read == InfRead::NoVersion ||
      (read == InfRead::Read && !fields.printerClass && !fields.classConflict)) {
    return;
  }
  package.unreadable = read == InfRead::Unreadable;
  if (package.unreadable) package.why = L"its INF could not be read";
  package.classConflict = fields.classConflict;
  package.provider = std::move(fields.provider);
  package.version = std::move(fields.version);
  package.date = std::move(fields.date);
  result.isPackage = true;
  if (!AddSizes(calls, folder, entries, 1, result)) unreadable(std::move(result.problem));
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
  std::vector<StoreEntry> folders;
  for (StoreEntry& entry : entries) {
    if (entry.folder) folders.push_back(std::move(entry));
  }
  std::sort(folders.begin(), folders.end(), [](const StoreEntry& a, const StoreEntry& b) {
    return NameKey(a.name) < NameKey(b.name);
  });
  std::vector<FolderResult> results(folders.size());
  RunAtOnce(folders.size(), kFoldersAtOnce, [&](size_t f) {
    if (stop != nullptr && stop->load()) {
      results[f].error = ERROR_CANCELLED;
      return;
    }
    // Only a name that stays a folder of the store is read.
    if (!IsPlainFileName(folders[f].name)) {
      results[f].package.folder = folders[f].name;
      results[f].package.infName = InfOfFolder(folders[f].name, {});
      results[f].package.unreadable = results[f].isPackage = true;
      results[f].package.why = L"its name is one the file system would read otherwise";
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

void StoreFolderNames::Add(const std::wstring& folder, const std::wstring& shortName) {
  byName_.emplace(NameKey(folder), folder);
  if (!shortName.empty()) byName_.emplace(NameKey(shortName), folder);
}

const std::wstring* StoreFolderNames::Find(std::wstring_view name) const {
  const auto found = byName_.find(NameKey(name));
  return found == byName_.end() ? nullptr : &found->second;
}

namespace {

// Whether a path part is `name` or an 8.3 name made from it ("FILERE~1").
bool IsNameOrShort(std::wstring_view part, std::wstring_view name) {
  if (SameName(part, name)) return true;
  return part.size() == 8 && part[6] == L'~' && part[7] >= L'1' && part[7] <= L'9' &&
         SameName(part.substr(0, 6), name.substr(0, 6));
}

// An 8.3 name the file system made ("SHORTI~1", "CONTOS~2.INF").
bool IsShortName(std::wstring_view name) {
  const size_t tilde = name.find(L'~');
  const size_t dot = name.find(L'.');
  const size_t base = dot == std::wstring_view::npos ? name.size() : dot;
  return tilde != std::wstring_view::npos && tilde < base && base <= 8 &&
         (dot == std::wstring_view::npos || name.size() - dot - 1 <= 3);
}

bool IsInfName(std::wstring_view name) {
  return name.size() > 4 && EqualsIgnoringAsciiCase(name.substr(name.size() - 4), L".inf");
}

}  // namespace

InfTie TieInfToStore(std::wstring_view infPath, const StoreFolderNames& names, std::wstring& folder,
                     std::wstring& infName) {
  folder.clear();
  infName.clear();
  std::vector<std::wstring_view> parts;
  for (size_t start = 0; start <= infPath.size();) {
    size_t end = infPath.find_first_of(L"\\/", start);
    if (end == std::wstring_view::npos) end = infPath.size();
    const std::wstring_view part = infPath.substr(start, end - start);
    start = end + 1;
    if (part.empty() || part == L".") continue;
    if (part == L"..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  size_t at = 0;
  while (at + 1 < parts.size() && !(IsNameOrShort(parts[at], L"DriverStore") &&
                                    IsNameOrShort(parts[at + 1], L"FileRepository"))) {
    ++at;
  }
  if (at + 1 >= parts.size()) return InfTie::Outside;
  if (!parts.empty() && IsInfName(parts.back())) infName = parts.back();
  if (at + 2 >= parts.size()) return InfTie::Untied;
  const std::wstring_view named = parts[at + 2];
  if (const std::wstring* found = names.Find(named); found != nullptr) {
    folder = *found;
    infName.clear();
    return InfTie::Folder;
  }
  // A folder named in full is that folder, listed or not: only a short name
  // Kestrun cannot read back leaves the path untied.
  const size_t inf = FindFolded(named, L".inf_");
  if (inf != std::wstring_view::npos && !IsShortName(named)) {
    folder = std::wstring(named);
    infName.clear();
    return InfTie::Folder;
  }
  // Untied: the INF it names, or the one its folder is named after.
  if (infName.empty() && inf != std::wstring_view::npos) infName = named.substr(0, inf + 4);
  return InfTie::Untied;
}

void ClassifyStorePackages(std::vector<StorePackage>& packages,
                           const std::vector<DriverInf>& drivers, bool driversKnown) {
  std::unordered_map<std::wstring, size_t> byFolder;
  StoreFolderNames names;
  for (size_t k = 0; k < packages.size(); ++k) {
    packages[k].usedBy.clear();
    byFolder.emplace(NameKey(packages[k].folder), k);
    names.Add(packages[k].folder, packages[k].shortFolder);
  }
  std::unordered_map<std::wstring, bool> untiedInfs;  // by NameKey of the INF's name
  for (const DriverInf& driver : drivers) {
    std::wstring folder, infName;
    const InfTie tie = TieInfToStore(driver.infPath, names, folder, infName);
    if (tie == InfTie::Untied && !infName.empty()) untiedInfs.emplace(NameKey(infName), true);
    if (tie != InfTie::Folder) continue;
    const auto found = byFolder.find(NameKey(folder));
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
    if (package.use != PackageUse::Unused) continue;
    // Never called unused on a guess: what Kestrun cannot judge stays.
    package.why = package.classConflict         ? L"its INF's Class and ClassGUID disagree"
                  : package.environment.empty() ? L"unknown architecture"
                  : untiedInfs.count(NameKey(package.infName)) != 0
                      ? L"a driver's package path could not be matched"
                      : L"";
    if (!package.why.empty()) package.use = PackageUse::Unknown;
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
  planned.shortFolder = package.shortFolder;
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
    const bool unknown = package.use == PackageUse::Unknown;
    counts.notJudged += unknown && !package.why.empty() ? 1 : 0;
    counts.usesKnown = counts.usesKnown && !(unknown && package.why.empty());
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
  if (counts.notJudged > 0) text += L" Not judged: " + std::to_wstring(counts.notJudged) + L".";
  return text;
}

}  // namespace kestrun
