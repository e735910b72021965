#include "inventory/deletion.h"

#include <cstddef>
#include <cstring>
#include <cwchar>
#include <algorithm>
#include <new>
#include <unordered_map>
#include <unordered_set>

#include "inventory/classification.h"
#include "inventory/driver_store.h"
#include "inventory/field_text.h"
#include "inventory/folder_walk.h"
#include "inventory/machine_paths.h"
#include "inventory/platform.h"
#include "inventory/spooler_answer.h"

namespace kestrun {

bool anyDriverDeleted = false;
DWORD lastDeleteError = 0;

namespace {

constexpr DWORD kPackageLevel = 8;
// One row of the list is one version of a name: only that version goes, with
// the files no other driver uses.
constexpr DWORD kDeleteFlags = DPD_DELETE_UNUSED_FILES | DPD_DELETE_SPECIFIC_VERSION;
constexpr size_t kEnvironmentCapacity = 64;
constexpr size_t kDropped = static_cast<size_t>(-1);

// The spooler name of the target: "\\name" for a remote one, null (the local
// spooler) otherwise. The spooler only reads it.
wchar_t* ServerName(DeletionPlan& plan) {
  return plan.isRemote ? plan.targetName.data() : nullptr;
}

// The code of the call that just failed; never 0, so a failure is never
// taken for a success.
DWORD FailureCode() {
  const DWORD code = ::GetLastError();
  return code != 0 ? code : ERROR_GEN_FAILURE;
}

// Opens, deletes and closes one printer; on false the last error holds the
// failed call's code (the handle owner keeps it across the close).
bool DeletePrinterNamed(const std::wstring& printerName) {
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  UniquePrinter printer;
  if (!Platform().OpenPrinterW(const_cast<wchar_t*>(printerName.c_str()), printer.put(),
                               &defaults)) {
    return false;
  }
  return Platform().DeletePrinter(printer.get()) != FALSE;
}

// The environment the target's own printers use: the native processor's for
// the local machine, the server's "Architecture" value for a remote one.
bool ReadServerEnvironment(DeletionPlan& plan, std::wstring& environment, DWORD& error) {
  if (!plan.isRemote) {
    SYSTEM_INFO system = {};
    ::GetNativeSystemInfo(&system);
    environment = EnvironmentOfArchitecture(system.wProcessorArchitecture);
    error = environment.empty() ? ERROR_NOT_SUPPORTED : 0;
    return !environment.empty();
  }
  UniquePrinter server;
  if (!Platform().OpenPrinterW(ServerName(plan), server.put(), nullptr)) {
    error = ::GetLastError();
    return false;
  }
  wchar_t value[kEnvironmentCapacity] = {};
  DWORD type = 0;
  DWORD needed = 0;
  // One character short of the buffer, so the text always ends inside it.
  error = Platform().GetPrinterDataExW(server.get(), L"", SPLREG_ARCHITECTURE, &type,
                                       reinterpret_cast<BYTE*>(value),
                                       sizeof(value) - sizeof(wchar_t), &needed);
  if (error != ERROR_SUCCESS) return false;
  if (type != REG_SZ || value[0] == L'\0') {
    error = ERROR_INVALID_DATA;
    return false;
  }
  environment = value;
  return true;
}

// The unused packages the plan was given, checked against the drivers as
// they are now, by the listing's rule: one a driver has come from since
// stays with it, and so does one a driver's INF path names in a way that
// cannot be tied to one folder.
void MatchOrphans(DeletionPlan& plan, const DRIVER_INFO_8W* records, DWORD count) {
  StoreFolderNames names;
  for (const PlannedPackage& orphan : plan.orphans) {
    names.Add(std::wstring(StoreFolderOfInf(orphan.infPath)), orphan.shortFolder);
  }
  std::unordered_map<std::wstring, std::wstring> usedBy;    // by store folder
  std::unordered_map<std::wstring, std::wstring> untiedBy;  // by INF name
  for (DWORD r = 0; r < count; ++r) {
    if (records[r].pszInfPath == nullptr || records[r].pName == nullptr) continue;
    std::wstring folder, infName;
    const InfTie tie = TieInfToStore(records[r].pszInfPath, names, folder, infName);
    if (tie == InfTie::Folder) usedBy.emplace(NameKey(folder), records[r].pName);
    if (tie == InfTie::Untied && !infName.empty()) {
      untiedBy.emplace(NameKey(infName), records[r].pName);
    }
  }
  for (PlannedPackage& orphan : plan.orphans) {
    const auto found = usedBy.find(NameKey(StoreFolderOfInf(orphan.infPath)));
    if (found == usedBy.end()) {
      const auto untied = untiedBy.find(NameKey(FileNamePart(orphan.infPath)));
      if (untied == untiedBy.end()) {
        plan.packages.push_back(std::move(orphan));
        continue;
      }
      orphan.keptWhy = L"a driver's package path could not be matched";
    } else {
      orphan.usedBy = found->second;
    }
    orphan.outcome = PackageOutcome::Kept;
    plan.sharedPackages.push_back(std::move(orphan));
  }
  plan.orphans.clear();
}

// A package whose folder holds a link stays: its snapshot would save (and
// its restore upload) whatever the link leads to. The rest of the plan goes
// on. An unused package whose folder is gone is so already.
void KeepPackagesHoldingLinks(DeletionPlan& plan) {
  const MachineFiles files{std::wstring(BareMachineName(plan.targetName)), plan.isRemote};
  std::vector<PlannedPackage> going;
  for (PlannedPackage& package : plan.packages) {
    std::wstring folder;
    DWORD error = 0;
    const std::wstring link = PackageFolderSource(files, package.infPath, folder)
                                  ? FirstLinkBelow(folder, kMaxPackageDepth, error)
                                  : std::wstring();
    // An unused package removed by someone else since the listing: nothing to do.
    if (package.orphan && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)) {
      package.outcome = PackageOutcome::Gone;
    }
    if (link.empty()) {
      going.push_back(std::move(package));
      continue;
    }
    package.keptWhy = L"holds a link: " + link;
    package.outcome = PackageOutcome::Kept;
    plan.sharedPackages.push_back(std::move(package));
  }
  plan.packages = std::move(going);
}

// Reads the target's drivers at level 8, where each names its package.
void PlanPackages(DeletionPlan& plan) {
  wchar_t* server = ServerName(plan);
  wchar_t environment[] = L"all";
  SpoolerAnswer answer;
  plan.packageListError = ReadSpoolerList(
      [server, &environment](BYTE* records, DWORD size, DWORD* needed, DWORD* returned) {
        return Platform().EnumPrinterDriversW(server, environment, kPackageLevel, records, size,
                                              needed, returned);
      },
      kDriverInfo8Layout, answer);
  if (plan.packageListError != 0) {
    plan.orphans.clear();  // without the drivers' packages none is known to be unused
    return;
  }
  const auto* records = reinterpret_cast<const DRIVER_INFO_8W*>(answer.buffer.get());
  if (plan.removePackages) MatchPackages(plan, records, answer.count);
  MatchOrphans(plan, records, answer.count);
  KeepPackagesHoldingLinks(plan);
}

bool MayStart(const DeletionPlan& plan, const DeletionStep& step) {
  if (plan.stop != nullptr && plan.stop->load()) return false;
  return !plan.beforeStep || plan.beforeStep(step);
}

// Removes the planned packages whose drivers all went, each once.
void RemovePackages(DeletionPlan& plan) {
  for (size_t k = 0; k < plan.packages.size(); ++k) {
    PlannedPackage& package = plan.packages[k];
    if (package.outcome == PackageOutcome::Gone) continue;
    bool driversGone = true;
    bool driversNotTried = false;
    for (const size_t d : package.drivers) {
      driversGone = driversGone && plan.drivers[d].error == 0;
      driversNotTried = driversNotTried || plan.drivers[d].error == ERROR_CANCELLED;
    }
    if (!driversGone) {
      // A driver from it stays: so does the package, untried.
      package.outcome = driversNotTried ? PackageOutcome::NotTried : PackageOutcome::Kept;
      continue;
    }
    if (!MayStart(plan, {true, k})) {
      package.outcome = PackageOutcome::NotTried;
      continue;
    }
    const HRESULT result = Platform().DeletePrinterDriverPackageW(
        ServerName(plan), package.infPath.c_str(), package.environment.c_str());
    const DWORD code = HRESULT_FACILITY(result) == FACILITY_WIN32 ? HRESULT_CODE(result)
                                                                  : static_cast<DWORD>(result);
    if (SUCCEEDED(result)) {
      package.outcome = PackageOutcome::Removed;
    } else if (package.orphan && (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)) {
      package.outcome = PackageOutcome::Gone;  // removed by someone else since
    } else if (package.orphan &&
               (code == ERROR_PRINTER_DRIVER_PACKAGE_IN_USE || code == ERROR_ACCESS_DENIED)) {
      // A driver installed from it since the listing, or a package the
      // system guards: it stays, as the spooler wants.
      package.outcome = PackageOutcome::Kept;
      package.error = code;
    } else {
      // The plan kept every package it knew another driver uses: a refusal
      // now (3015 included) is a failure.
      package.outcome = PackageOutcome::Failed;
      package.error = code;
    }
  }
}

// A level-8 record begins with the level-6 fields, so it is classified as one.
static_assert(offsetof(DRIVER_INFO_8W, pszProvider) == offsetof(DRIVER_INFO_6W, pszProvider));
static_assert(offsetof(DRIVER_INFO_8W, ftDriverDate) == offsetof(DRIVER_INFO_6W, ftDriverDate));
bool IsNativeRecord(const DRIVER_INFO_8W& record) {
  DRIVER_INFO_6W prefix;
  std::memcpy(&prefix, &record, sizeof(prefix));
  return !IsNonNativeDriver(prefix);
}

// A package path as a key: the spooler does not keep one spelling.
std::wstring FoldedPath(std::wstring_view path) {
  std::wstring key(path);
  for (wchar_t& c : key) c = FoldAsciiLetter(c);
  return key;
}

void CancelSessionOf(DeletionPlan& plan) {
  if (plan.sessionOpen && remoteSession != nullptr) CancelTargetSession(*remoteSession);
  plan.sessionOpen = false;
}

}  // namespace

DeletionPlan PlanOnTarget(const DriverInventory& inventory) {
  DeletionPlan plan;
  plan.machineText = inventory.machineText;
  plan.targetName = inventory.targetName;
  plan.isRemote = inventory.isRemote;
  return plan;
}

void AddPlannedDriver(DeletionPlan& plan, const DRIVER_INFO_6& driver) {
  PlannedDriver planned;
  planned.name = FieldOrEmpty(driver.pName);
  planned.environment = FieldOrEmpty(driver.pEnvironment);
  planned.version = driver.cVersion;
  planned.native = !IsNonNativeDriver(driver);
  plan.drivers.push_back(std::move(planned));
}

std::wstring_view EnvironmentOfArchitecture(WORD architecture) {
  switch (architecture) {
    case PROCESSOR_ARCHITECTURE_AMD64:
      return L"Windows x64";
    case PROCESSOR_ARCHITECTURE_INTEL:
      return L"Windows NT x86";
    case PROCESSOR_ARCHITECTURE_ARM64:
      return L"Windows ARM64";
    default:
      return {};
  }
}

bool IsPrinterOfTarget(std::wstring_view printerName, std::wstring_view targetName,
                       bool isRemote) {
  const bool qualified = printerName.size() >= 2 && printerName.substr(0, 2) == L"\\\\";
  if (!isRemote) return !qualified;
  // "\\TARGET\" then a name without further backslashes.
  const std::wstring_view machine = BareMachineName(targetName);
  const size_t prefix = 2 + machine.size() + 1;
  if (!qualified || machine.empty() || printerName.size() <= prefix) return false;
  if (!EqualsIgnoringAsciiCase(printerName.substr(2, machine.size()), machine)) return false;
  if (printerName[prefix - 1] != L'\\') return false;
  return printerName.find(L'\\', prefix) == std::wstring_view::npos;
}

void MatchPrinters(DeletionPlan& plan, const PRINTER_INFO_2W* printerRecords, DWORD count) {
  plan.printers.clear();
  plan.kept.clear();
  for (PlannedDriver& driver : plan.drivers) {
    driver.printers.clear();
    driver.clientPrinters.clear();
    driver.keptBy = kNotKept;
  }

  // Ticked drivers by name, as the spooler matches a printer's driver name.
  std::unordered_multimap<std::wstring, size_t> byName;
  byName.reserve(plan.drivers.size());
  for (size_t i = 0; i < plan.drivers.size(); ++i) byName.emplace(NameKey(plan.drivers[i].name), i);

  // A printer runs its server's own environment's driver of that name; a
  // ticked driver of another environment (one kept for clients) is not it.
  const bool environmentKnown = !plan.serverEnvironment.empty();
  const auto runs = [&plan, environmentKnown](const PlannedDriver& driver) {
    return !environmentKnown || EqualsIgnoringAsciiCase(driver.environment, plan.serverEnvironment);
  };

  // First the printers that stay, and the drivers they hold.
  std::vector<bool> keptPrinter(count, false);
  std::vector<std::wstring> keys(count);
  for (DWORD p = 0; p < count; ++p) {
    const PRINTER_INFO_2W& record = printerRecords[p];
    if (record.pPrinterName == nullptr || record.pDriverName == nullptr) continue;
    keys[p] = NameKey(record.pDriverName);
    const auto [first, last] = byName.equal_range(keys[p]);
    if (first == last) continue;
    for (auto it = first; it != last; ++it) {
      PlannedDriver& driver = plan.drivers[it->second];
      if (!runs(driver)) driver.clientPrinters.emplace_back(record.pPrinterName);
    }
    const bool ofTarget = IsPrinterOfTarget(record.pPrinterName, plan.targetName, plan.isRemote);
    if (ofTarget && environmentKnown) continue;
    keptPrinter[p] = true;
    plan.kept.push_back({record.pPrinterName, record.pDriverName,
                         ofTarget ? KeptReason::EnvironmentUnknown : KeptReason::OnAnotherServer});
    for (auto it = first; it != last; ++it) {
      PlannedDriver& driver = plan.drivers[it->second];
      if (runs(driver) && driver.keptBy == kNotKept) driver.keptBy = plan.kept.size() - 1;
    }
  }

  // Then the target's own printers of the drivers that go.
  for (DWORD p = 0; p < count; ++p) {
    const PRINTER_INFO_2W& record = printerRecords[p];
    if (keptPrinter[p] || record.pPrinterName == nullptr || record.pDriverName == nullptr) continue;
    const auto [first, last] = byName.equal_range(keys[p]);
    bool planned = false;
    for (auto it = first; it != last; ++it) {
      PlannedDriver& driver = plan.drivers[it->second];
      if (!runs(driver) || driver.keptBy != kNotKept) continue;
      if (!planned) {
        plan.printers.push_back({record.pPrinterName, record.pDriverName});
        planned = true;
      }
      driver.printers.push_back(plan.printers.size() - 1);
    }
  }
}

void MatchPackages(DeletionPlan& plan, const DRIVER_INFO_8W* records, DWORD count) {
  plan.packages.clear();
  plan.nativePackages.clear();
  plan.sharedPackages.clear();
  plan.withoutPackage.clear();
  std::unordered_multimap<std::wstring, DWORD> byName;
  byName.reserve(count);
  // A package is the system's own when any driver from it is.
  std::unordered_set<std::wstring> nativePaths;
  for (DWORD r = 0; r < count; ++r) {
    if (records[r].pName != nullptr) byName.emplace(NameKey(records[r].pName), r);
    if (records[r].pszInfPath != nullptr && IsNativeRecord(records[r])) {
      nativePaths.insert(FoldedPath(records[r].pszInfPath));
    }
  }
  // The records the plan deletes, each the one row of its driver.
  std::vector<bool> planned(count, false);
  for (size_t d = 0; d < plan.drivers.size(); ++d) {
    const PlannedDriver& driver = plan.drivers[d];
    std::wstring_view infPath;
    const auto [first, last] = byName.equal_range(NameKey(driver.name));
    for (auto it = first; it != last; ++it) {
      const DRIVER_INFO_8W& record = records[it->second];
      if (EqualsIgnoringAsciiCase(FieldOrEmpty(record.pEnvironment), driver.environment) &&
          record.cVersion == driver.version) {
        planned[it->second] = true;
        infPath = FieldOrEmpty(record.pszInfPath);
        break;
      }
    }
    if (infPath.empty()) {
      plan.withoutPackage.push_back(d);
      continue;
    }
    if (driver.native || nativePaths.count(FoldedPath(infPath)) != 0) {
      // The system's own print packages stay, whoever asks.
      bool listed = false;
      for (const auto& kept : plan.nativePackages) listed = listed || EqualsIgnoringAsciiCase(kept, infPath);
      if (!listed) plan.nativePackages.emplace_back(infPath);
      continue;
    }
    PlannedPackage* package = nullptr;
    for (PlannedPackage& candidate : plan.packages) {
      if (EqualsIgnoringAsciiCase(candidate.infPath, infPath) &&
          EqualsIgnoringAsciiCase(candidate.environment, driver.environment)) {
        package = &candidate;
      }
    }
    if (package == nullptr) {
      package = &plan.packages.emplace_back();
      package->infPath = infPath;
      package->environment = driver.environment;
    }
    package->drivers.push_back(d);
  }

  // A package a driver outside the plan comes from stays with that driver,
  // however its INF path is spelled; one a path cannot be tied to stays too.
  StoreFolderNames names;
  for (const PlannedPackage& package : plan.packages) {
    names.Add(std::wstring(StoreFolderOfInf(package.infPath)), {});
  }
  std::unordered_map<std::wstring, std::wstring> usedBy;    // by path, and by store folder
  std::unordered_map<std::wstring, std::wstring> untiedBy;  // by INF name
  for (DWORD r = 0; r < count; ++r) {
    if (planned[r] || records[r].pszInfPath == nullptr || records[r].pName == nullptr) continue;
    usedBy.emplace(FoldedPath(records[r].pszInfPath), records[r].pName);
    std::wstring folder, infName;
    const InfTie tie = TieInfToStore(records[r].pszInfPath, names, folder, infName);
    if (tie == InfTie::Folder) usedBy.emplace(L"|" + NameKey(folder), records[r].pName);
    if (tie == InfTie::Untied && !infName.empty()) {
      untiedBy.emplace(NameKey(infName), records[r].pName);
    }
  }
  std::vector<PlannedPackage> going;
  for (PlannedPackage& package : plan.packages) {
    auto found = usedBy.find(FoldedPath(package.infPath));
    const std::wstring_view folder = StoreFolderOfInf(package.infPath);
    if (found == usedBy.end() && !folder.empty()) found = usedBy.find(L"|" + NameKey(folder));
    const auto untied = untiedBy.find(NameKey(FileNamePart(package.infPath)));
    if (found == usedBy.end() && untied == untiedBy.end()) {
      going.push_back(std::move(package));
      continue;
    }
    if (found != usedBy.end()) {
      package.usedBy = found->second;
    } else {
      package.keptWhy = L"a driver's package path could not be matched";
    }
    package.outcome = PackageOutcome::Kept;
    plan.sharedPackages.push_back(std::move(package));
  }
  plan.packages = std::move(going);
}

bool EnumeratePrinters(const wchar_t* serverName, std::unique_ptr<BYTE[]>& buffer, DWORD& count,
                       DWORD& error) {
  SpoolerAnswer answer;
  error = ReadPrinters(serverName, answer);
  count = error == 0 ? answer.count : 0;
  buffer = error == 0 ? std::move(answer.buffer) : nullptr;
  return error == 0;
}

bool PrepareDeletion(DeletionPlan& plan, DWORD& error) {
  if (plan.isRemote && plan.withSession) {
    if (remoteSession == nullptr) {  // start-up could not make the record
      error = ERROR_NOT_ENOUGH_MEMORY;
      return false;
    }
    if (!ConnectTargetSession(*remoteSession, plan.targetName)) {
      error = remoteSession->lastResult;
      plan.failedStep = PreparationStep::Session;
      return false;
    }
    plan.sessionOpen = true;
  }

  std::unique_ptr<BYTE[]> buffer;
  DWORD count = 0;
  if (!EnumeratePrinters(ServerName(plan), buffer, count, error)) {
    plan.failedStep = PreparationStep::Printers;
    CancelSessionOf(plan);
    return false;
  }
  if (!ReadServerEnvironment(plan, plan.serverEnvironment, plan.environmentError)) {
    plan.serverEnvironment.clear();
  }
  MatchPrinters(plan, reinterpret_cast<const PRINTER_INFO_2W*>(buffer.get()), count);
  if (plan.removePackages || !plan.orphans.empty()) {
    PlanPackages(plan);
    // An old server answers no level 8: it keeps no packages to orphan.
    if (plan.packageListError != 0 && plan.packageListError != ERROR_INVALID_LEVEL) {
      error = plan.packageListError;
      plan.failedStep = PreparationStep::Packages;
      CancelSessionOf(plan);
      return false;
    }
  }
  return true;
}

void AbandonDeletion(DeletionPlan& plan) { CancelSessionOf(plan); }

bool ExecuteDeletion(DeletionPlan& plan, const std::function<void()>& refresh) {
  bool anyDeleted = false;
  bool deletedAll = true;
  // Each printer is tried once in a run; then 0 (deleted) or its failure code.
  constexpr DWORD kNotTried = 0xFFFFFFFF;
  std::vector<DWORD> printerOutcome(plan.printers.size(), kNotTried);
  for (PlannedDriver& driver : plan.drivers) driver.error = ERROR_CANCELLED;

  for (size_t d = 0; d < plan.drivers.size(); ++d) {
    PlannedDriver& driver = plan.drivers[d];
    // A printer the plan keeps still uses it: the spooler would refuse it.
    driver.error = driver.keptBy != kNotKept ? ERROR_PRINTER_DRIVER_IN_USE : 0;
    for (const size_t p : driver.printers) {
      if (driver.error != 0) break;
      if (printerOutcome[p] == kNotTried && !MayStart(plan, {false, d})) {
        driver.error = ERROR_CANCELLED;
      }
      if (printerOutcome[p] == kNotTried && driver.error == 0) {
        printerOutcome[p] = DeletePrinterNamed(plan.printers[p].name) ? 0 : FailureCode();
        plan.printers[p].deleted = printerOutcome[p] == 0;
      }
      if (driver.error == 0 && printerOutcome[p] != 0) driver.error = printerOutcome[p];
    }
    if (driver.error == 0 && !MayStart(plan, {false, d})) driver.error = ERROR_CANCELLED;
    // With one of its printers left, the driver stays in use: not tried.
    if (driver.error == 0 &&
        !Platform().DeletePrinterDriverExW(ServerName(plan), driver.environment.data(),
                                           driver.name.data(), kDeleteFlags, driver.version)) {
      driver.error = FailureCode();
    }
    anyDeleted = anyDeleted || driver.error == 0;
    deletedAll = deletedAll && driver.error == 0;
    if (driver.error != 0 && plan.keepsLastOutcome) lastDeleteError = driver.error;
  }
  if (plan.keepsLastOutcome) anyDriverDeleted = anyDeleted;

  // Through the same session as the drivers.
  RemovePackages(plan);
  // The refresh opens a session of its own when it lists a remote machine.
  CancelSessionOf(plan);
  if (refresh) refresh();
  return deletedAll;
}

std::vector<size_t> DropDrivers(DeletionPlan& plan, const std::vector<bool>& drop,
                                std::vector<PlannedPackage>& keptPackages) {
  std::vector<size_t> newIndex(plan.drivers.size(), kDropped);
  std::vector<size_t> oldIndex;
  std::vector<PlannedDriver> drivers;
  for (size_t d = 0; d < plan.drivers.size(); ++d) {
    if (d < drop.size() && drop[d]) continue;
    newIndex[d] = drivers.size();
    oldIndex.push_back(d);
    drivers.push_back(std::move(plan.drivers[d]));
  }
  plan.drivers = std::move(drivers);

  // The printers the drivers left still delete, renumbered in their order.
  std::vector<size_t> printerIndex(plan.printers.size(), kDropped);
  std::vector<PlannedPrinter> printers;
  for (PlannedDriver& driver : plan.drivers) {
    for (size_t& p : driver.printers) {
      if (printerIndex[p] == kDropped) {
        printerIndex[p] = printers.size();
        printers.push_back(plan.printers[p]);
      }
      p = printerIndex[p];
    }
  }
  plan.printers = std::move(printers);

  std::vector<PlannedPackage> packages;
  for (PlannedPackage& package : plan.packages) {
    bool whole = true;
    for (size_t& d : package.drivers) {
      whole = whole && newIndex[d] != kDropped;
      if (newIndex[d] != kDropped) d = newIndex[d];
    }
    if (!whole) package.drivers.clear();  // its drivers stay
    (whole ? packages : keptPackages).push_back(std::move(package));
  }
  plan.packages = std::move(packages);
  std::vector<size_t> withoutPackage;
  for (const size_t d : plan.withoutPackage) {
    if (newIndex[d] != kDropped) withoutPackage.push_back(newIndex[d]);
  }
  plan.withoutPackage = std::move(withoutPackage);
  return oldIndex;
}

std::vector<InUseDecision> DecideDriversInUse(DeletionPlan& plan, bool printersMayGo,
                                              const std::vector<bool>& goesAlone) {
  std::vector<InUseDecision> decisions(plan.drivers.size());
  // The server's own environment first: its printers stay or go with it.
  for (size_t d = 0; d < plan.drivers.size(); ++d) {
    const PlannedDriver& driver = plan.drivers[d];
    InUseDecision& decision = decisions[d];
    if (!printersMayGo) {
      for (const size_t p : driver.printers) decision.printers.push_back(plan.printers[p].name);
    }
    if (driver.keptBy != kNotKept) {
      for (const KeptPrinter& kept : plan.kept) {
        if (SameName(kept.driverName, driver.name)) decision.printers.push_back(kept.name);
      }
    }
    if (!decision.printers.empty()) decision.rule = InUseRule::UsedBy;
  }
  // Then the copies its printers' clients get, which never outlast nor
  // outrun those printers.
  for (size_t d = 0; d < plan.drivers.size(); ++d) {
    PlannedDriver& driver = plan.drivers[d];
    InUseDecision& decision = decisions[d];
    if (driver.clientPrinters.empty()) continue;
    decision.printers = driver.clientPrinters;
    if (d < goesAlone.size() && goesAlone[d]) {
      decision.warning = true;
      continue;
    }
    std::vector<size_t> going;
    for (const std::wstring& client : driver.clientPrinters) {
      for (size_t p = 0; p < plan.printers.size(); ++p) {
        if (SameName(plan.printers[p].name, client)) going.push_back(p);
      }
    }
    bool allGo = printersMayGo && going.size() == driver.clientPrinters.size();
    // Every printer goes with a driver of its name that is not kept itself.
    for (size_t other = 0; allGo && other < plan.drivers.size(); ++other) {
      if (decisions[other].rule == InUseRule::None) continue;
      for (const size_t p : plan.drivers[other].printers) {
        allGo = allGo && std::find(going.begin(), going.end(), p) == going.end();
      }
    }
    if (allGo) {
      driver.printers = going;
    } else {
      decision.rule = InUseRule::ClientsGetIt;
    }
  }
  return decisions;
}

std::wstring ClientKind(std::wstring_view environment) {
  if (EqualsIgnoringAsciiCase(environment, L"Windows NT x86")) return L"32-bit";
  if (EqualsIgnoringAsciiCase(environment, L"Windows x64")) return L"64-bit";
  if (EqualsIgnoringAsciiCase(environment, L"Windows ARM64")) return L"ARM64";
  if (EqualsIgnoringAsciiCase(environment, L"Windows IA64")) return L"Itanium";
  std::wstring kind;
  AppendShownText(kind, environment);
  return kind;
}

}  // namespace kestrun
