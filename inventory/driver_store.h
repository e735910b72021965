// The printer packages of a machine's driver store (its
// System32\DriverStore\FileRepository): each folder whose INF installs
// printers, with its INF's facts, its size, and which installed driver comes
// from it. A package no driver names, and that is not one of Windows' own,
// is unused: a candidate for removal. The folder is read through a path
// built from the machine's name; its INFs are untrusted text.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "inventory/deletion.h"
#include "inventory/driver_inventory.h"
#include "inventory/machine_paths.h"

namespace kestrun {

enum class PackageUse {
  Used,        // an installed driver names an INF inside its folder
  Unused,      // nothing uses it: it may be removed
  WindowsOwn,  // one of Windows' own printer INFs: never removed, used or not
  Unreadable,  // its INF or its folder could not be read: never called unused
  Unknown,     // not judged (`why` says why; empty: an old server names no packages)
};

struct StorePackage {
  std::wstring folder;       // the folder's name in FileRepository
  std::wstring infName;      // "hpcu215u.inf"
  std::wstring environment;  // from the folder's name ("Windows x64"); empty when it names none
  std::wstring provider, version, date;  // from the INF; date as 2019-03-12
  ULONGLONG bytes = 0;                   // every file below the folder
  PackageUse use = PackageUse::Unknown;  // set by ClassifyStorePackages
  std::vector<std::wstring> usedBy;      // the drivers that come from it
  bool unreadable = false;               // its INF or its folder could not be read
  bool classConflict = false;            // its INF's Class and ClassGUID disagree
  std::wstring shortFolder;              // the folder's 8.3 name, when it has one
  std::wstring why;                      // why it is Unreadable or Unknown
};

// One entry of a folder, as a store listing sees it.
struct StoreEntry {
  std::wstring name;
  bool folder = false;
  ULONGLONG bytes = 0;
  std::wstring shortName;  // its 8.3 name, when the file system keeps one
};

// The file calls a store listing makes (the benchmark slows them down).
struct StoreFiles {
  // Every entry of a folder but "." and ".."; 0 or the system's code.
  std::function<DWORD(const std::wstring& folder, std::vector<StoreEntry>& entries)> list;
  // At most `most` of a file's first bytes; 0 or the system's code.
  std::function<DWORD(const std::wstring& file, size_t most, std::string& bytes)> read;
};
StoreFiles RealStoreFiles();

// The machine's FileRepository, built from its name:
// \\MACHINE\admin$\System32\DriverStore\FileRepository, or this computer's own.
std::wstring DriverStoreFolder(const MachineFiles& files);

// The environment a package folder's name gives ("x.inf_amd64_1a2b" is
// "Windows x64"); empty for one it does not name.
std::wstring_view EnvironmentOfStoreFolder(std::wstring_view folder);

// Lists every printer package of a FileRepository folder, up to eight
// package folders at a time, in the order of their folder names. 0, or the
// code with `problem` when FileRepository itself could not be listed. A
// package whose INF cannot be read, or a folder that cannot be walked (too
// deep, a name the file system would read otherwise, a listing that fails),
// is listed on its own, unreadable, its reason in `why`; the rest of the
// store is read. `stop` ends the listing early with ERROR_CANCELLED.
DWORD ListDriverStore(const std::wstring& repository, const StoreFiles& calls,
                      std::vector<StorePackage>& packages, std::wstring& problem,
                      const std::atomic<bool>* stop = nullptr);

// An installed driver and the INF its package is named by (level 8).
struct DriverInf {
  std::wstring name;
  std::wstring infPath;
};

// The drivers of a listing with their INF paths; false when the listing has
// none to give (the server answered no level 8).
bool DriverInfsOf(const DriverInventory& inventory, std::vector<DriverInf>& drivers);

// The folder of FileRepository an INF path lies in (letter case as written);
// empty for a path outside a driver store.
std::wstring_view StoreFolderOfInf(std::wstring_view infPath);

// The store's folders by their names and their 8.3 names, to tie a driver's
// INF path to one of them however the path spells it.
class StoreFolderNames {
 public:
  void Add(const std::wstring& folder, const std::wstring& shortName);
  // The folder's own name, or null for a name of none.
  const std::wstring* Find(std::wstring_view name) const;

 private:
  std::unordered_map<std::wstring, std::wstring> byName_;
};

enum class InfTie {
  Outside,  // not a path into a driver store
  Folder,   // tied to exactly one folder of the store
  Untied,   // into the store, but to no folder Kestrun can name
};

// Ties an INF path to its store folder the way Windows resolves the path:
// "/" read as "\", "." and ".." parts resolved, 8.3 parts (DRIVER~1,
// FILERE~1, the folder's own) read through `names`, a path to the folder
// itself accepted. `folder` is its name; for an untied path, `infName` is
// the INF file it names (or its folder is named after), when it names one.
InfTie TieInfToStore(std::wstring_view infPath, const StoreFolderNames& names, std::wstring& folder,
                     std::wstring& infName);

// Sets each package's use and the drivers that come from it. Without the
// drivers' packages (`driversKnown` false) none is called unused. One that
// would be unused is Unknown instead when its folder names no architecture,
// its INF's Class and ClassGUID disagree, or a driver's INF path naming an
// INF of its name cannot be tied to one folder.
void ClassifyStorePackages(std::vector<StorePackage>& packages,
                           const std::vector<DriverInf>& drivers, bool driversKnown);

// FileRepository as the machine's own spooler names it: this computer's
// system folder; a remote machine's as its drivers' INF paths show it
// (C:\Windows\System32\... when none does).
std::wstring StoreOnMachine(const MachineFiles& files, const std::vector<DriverInf>& drivers);

// An unused package as a deletion plan removes it: its INF path as the
// machine's spooler names it, with its environment, size and version.
PlannedPackage PlannedOrphan(const StorePackage& package, std::wstring_view storeOnMachine);

// "0 bytes", "12 KB", "412 MB", "6.8 GB" (1 KB = 1,024 bytes).
std::wstring SizeText(ULONGLONG bytes);

struct StoreCounts {
  size_t packages = 0;
  ULONGLONG bytes = 0;
  size_t unused = 0;
  ULONGLONG unusedBytes = 0;
  size_t windowsOwn = 0;
  size_t unreadable = 0;
  size_t notJudged = 0;   // Unknown for a reason of its own (no architecture, ...)
  bool usesKnown = true;  // false: the drivers' packages could not be read
};
StoreCounts CountStore(const std::vector<StorePackage>& packages);

// "Packages: 84 (21.3 GB). Unused: 31 (6.8 GB). Windows' own: 40." with
// "Unreadable: N." and "Not judged: N." when any is, and "Unused: not known"
// without the drivers' packages.
std::wstring StoreCountsText(const StoreCounts& counts);

}  // namespace kestrun
