#include "inventory/restore.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <memory>
#include <new>
#include <unordered_map>
#include <unordered_set>

#include "common/parallel.h"
#include "common/units.h"
#include "common/win32_handles.h"
#include "inventory/driver_inventory.h"
#include "inventory/field_text.h"
#include "inventory/machine_paths.h"
#include "inventory/platform.h"
#include "inventory/printers.h"
#include "inventory/snapshot.h"
#include "inventory/snapshot_trust.h"
#include "inventory/spooler_answer.h"
#include "inventory/tcpip_ports.h"

namespace kestrun {

namespace {

constexpr DWORD kUploadSilently = 0x00000001;  // UPDP_SILENT_UPLOAD
// Ports and printers made at once: a remote spooler answers each call late.
constexpr unsigned kObjectsAtOnce = 8;
constexpr size_t kNoFile = static_cast<size_t>(-1);

wchar_t* ServerOf(RestorePlan& plan) {
  return plan.target.isRemote ? plan.targetName.data() : nullptr;
}

DWORD FailureCode() {
  const DWORD code = ::GetLastError();
  return code != 0 ? code : ERROR_GEN_FAILURE;
}

DWORD CodeOf(HRESULT result) {
  return HRESULT_FACILITY(result) == FACILITY_WIN32 ? HRESULT_CODE(result)
                                                    : static_cast<DWORD>(result);
}

std::wstring DriverKey(std::wstring_view name, std::wstring_view environment, DWORD version) {
  std::wstring key = NameKey(name) + L'|';
  for (const wchar_t c : environment) key += FoldAsciiLetter(c);
  return key + L'|' + std::to_wstring(version);
}

bool MayStart(RestorePlan& plan, RestoreKind kind, size_t index) {
  if (plan.stop != nullptr && plan.stop->load()) return false;
  return !plan.beforeStep || plan.beforeStep({kind, index});
}

// A text field of a record the spooler takes: absent when empty.
wchar_t* FieldOf(std::wstring& text) { return text.empty() ? nullptr : text.data(); }

// NUL-joined strings as the spooler's multi-string, ended by two NULs.
std::wstring MultiString(const std::wstring& joined) {
  return joined.empty() ? std::wstring() : joined + L'\0';
}

FILETIME FileTimeOf(ULONGLONG number) {
  return {static_cast<DWORD>(number), static_cast<DWORD>(number >> 32)};
}

// The file part of each NUL-joined path.
std::vector<std::wstring> SplitJoined(const std::wstring& joined) {
  std::vector<std::wstring> parts;
  for (size_t start = 0; start < joined.size();) {
    const size_t end = std::min(joined.find(L'\0', start), joined.size());
    parts.push_back(joined.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

// Copies a checked file, from the handle it was checked through, to `placed`
// (made anew or replaced); a copy that fails partway is removed. With
// `held`, the copy is then held open for reading only (no one may write or
// remove it while it is held) and checked again through that handle.
DWORD PutBackCheckedFile(const RestorePlan& plan, size_t f, const std::wstring& placed,
                         std::unique_ptr<BYTE[]>& chunk, UniqueFileHandle* held = nullptr) {
  const CheckedFiles& checked = plan.checkedFiles;
  if (!checked || f >= checked->files.size() || !checked->files[f]) {
    return ERROR_FILE_NOT_FOUND;  // never put back unchecked
  }
  if (!chunk) chunk.reset(new (std::nothrow) BYTE[kCopyChunkBytes]);
  if (!chunk) return ERROR_NOT_ENOUGH_MEMORY;
  const HANDLE from = checked->files[f].get();
  if (!::SetFilePointerEx(from, LARGE_INTEGER{}, nullptr, FILE_BEGIN)) return FailureCode();
  UniqueFileHandle to(::CreateFileW(LongPath(placed).c_str(), GENERIC_WRITE, 0, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!to) return FailureCode();
  ULONGLONG bytes = 0;
  DWORD error = CopyFileBytes(from, to.get(), chunk.get(), bytes, nullptr, nullptr,
                              plan.snapshot.files[f].bytes);
  if (error == 0 && bytes != plan.snapshot.files[f].bytes) error = ERROR_FILE_INVALID;
  if (error != 0) {
    to.reset();
    ::DeleteFileW(LongPath(placed).c_str());
    return error;
  }
  KeepWriteTime(from, to.get());
  if (held == nullptr) return 0;
  to.reset();
  held->reset(::CreateFileW(LongPath(placed).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!*held) return FailureCode();
  std::string sha256;
  if (const DWORD read = HashOpenFile(held->get(), chunk.get(), bytes, sha256)) return read;
  const SnapshotFile& file = plan.snapshot.files[f];
  return bytes == file.bytes && sha256 == file.sha256 ? 0 : ERROR_FILE_INVALID;
}

class DriverFromFiles {
 public:
  explicit DriverFromFiles(RestorePlan& plan) : plan_(plan) {
    for (size_t f = 0; f < plan.snapshot.files.size(); ++f) {
      const SnapshotFile& file = plan.snapshot.files[f];
      if (file.driver == kNoOwner) continue;
      stored_.emplace(NameKey(file.original), f);
      keptAt_.emplace(NameKey(file.stored), f);
    }
  }

  // Copies the driver's files into the machine's driver folder and adds it.
  DWORD Restore(const SnapshotDriver& saved) {
    std::wstring environment = saved.environment;
    const auto folder = plan_.driverFolders.find(NameKey(environment));
    if (folder == plan_.driverFolders.end()) return ERROR_PATH_NOT_FOUND;
    const wchar_t* directory = folder->second.c_str();
    // A server that never had a driver of this environment has no folder for
    // it yet (print$\W32X86 on a new x64 server): it is made, below print$.
    if (!::CreateDirectoryW(LongPath(folder->second).c_str(), nullptr) &&
        ::GetLastError() != ERROR_ALREADY_EXISTS) {
      return FailureCode();
    }
    // Each file by its name in the driver folder, where the spooler takes new files from.
    std::wstring driverPath, dataFile, configFile, helpFile, dependent;
    for (const auto& [original, placed] :
         {std::pair{&saved.driverPath, &driverPath}, std::pair{&saved.dataFile, &dataFile},
          std::pair{&saved.configFile, &configFile}, std::pair{&saved.helpFile, &helpFile}}) {
      if (original->empty()) continue;
      if (const DWORD error = Place(directory, *original, saved.driverPath, *placed)) return error;
    }
    for (const std::wstring& original : SplitJoined(saved.dependentFiles)) {
      std::wstring placed;
      if (const DWORD error = Place(directory, original, saved.driverPath, placed)) return error;
      dependent += placed + L'\0';
    }
    if (!dependent.empty()) dependent += L'\0';

    std::wstring name = saved.name, monitor = saved.monitorName, datatype = saved.defaultDataType,
                 previous = MultiString(saved.previousNames), mfg = saved.mfgName,
                 oem = saved.oemUrl, hardware = saved.hardwareId, provider = saved.provider,
                 processor = saved.printProcessor, setup = saved.vendorSetup,
                 profiles = MultiString(saved.colorProfiles), inf = saved.infPath,
                 core = MultiString(saved.coreDependencies);
    // A store path of the snapshot's machine means nothing to another one.
    if (!IsSameMachine(plan_.targetMachine, plan_.snapshot.machine)) inf.clear();
    DRIVER_INFO_8W info = {};
    info.cVersion = saved.version;
    info.pName = name.data();
    info.pEnvironment = environment.data();
    info.pDriverPath = FieldOf(driverPath);
    info.pDataFile = FieldOf(dataFile);
    info.pConfigFile = FieldOf(configFile);
    info.pHelpFile = FieldOf(helpFile);
    info.pDependentFiles = FieldOf(dependent);
    info.pMonitorName = FieldOf(monitor);
    info.pDefaultDataType = FieldOf(datatype);
    info.pszzPreviousNames = FieldOf(previous);
    info.ftDriverDate = FileTimeOf(saved.driverDate);
    info.dwlDriverVersion = saved.driverVersion;
    info.pszMfgName = FieldOf(mfg);
    info.pszOEMUrl = FieldOf(oem);
    info.pszHardwareID = FieldOf(hardware);
    info.pszProvider = FieldOf(provider);
    info.pszPrintProcessor = FieldOf(processor);
    info.pszVendorSetup = FieldOf(setup);
    info.pszzColorProfiles = FieldOf(profiles);
    info.pszInfPath = FieldOf(inf);
    info.dwPrinterDriverAttributes = saved.attributes;
    info.pszzCoreDriverDependencies = FieldOf(core);
    info.ftMinInboxDriverVerDate = FileTimeOf(saved.minInboxDate);
    info.dwlMinInboxDriverVerVersion = saved.minInboxVersion;
    // A level-8 record goes back at level 8; a spooler that takes only the
    // level-6 fields gets those.
    if (saved.level == 8 &&
        Platform().AddPrinterDriverExW(ServerOf(plan_), 8, reinterpret_cast<BYTE*>(&info),
                                       APD_COPY_NEW_FILES)) {
      return 0;
    }
    if (saved.level == 8 && ::GetLastError() != ERROR_INVALID_LEVEL &&
        ::GetLastError() != ERROR_INVALID_PARAMETER) {
      return FailureCode();
    }
    static_assert(offsetof(DRIVER_INFO_8W, ftDriverDate) == offsetof(DRIVER_INFO_6W, ftDriverDate));
    return Platform().AddPrinterDriverExW(ServerOf(plan_), 6, reinterpret_cast<BYTE*>(&info),
                                          APD_COPY_NEW_FILES)
               ? 0
               : FailureCode();
  }

 private:
  // Copies one saved file, from the handle it was checked through, into the
  // driver folder under its own name; a copy that fails partway is removed.
  // A file shared by several drivers is saved once, under the name the first
  // gave it: another that names it otherwise (bare against a full path)
  // finds it where the snapshot keeps it.
  DWORD Place(const wchar_t* directory, const std::wstring& original,
              const std::wstring& driverPath, std::wstring& placed) {
    const auto named = stored_.find(NameKey(original));
    size_t file = named != stored_.end() ? named->second : kNoFile;
    std::wstring source, below;
    if (file == kNoFile && DriverFileSource({}, original, driverPath, source, below) &&
        !below.empty()) {
      const auto kept = keptAt_.find(NameKey(L"drivers\\" + below));
      if (kept != keptAt_.end()) file = kept->second;
    }
    const std::wstring name(FileNamePart(original));
    if (file == kNoFile || !IsPlainFileName(name)) return ERROR_FILE_NOT_FOUND;
    placed = std::wstring(directory) + L"\\" + name;
    return PutBackCheckedFile(plan_, file, placed, chunk_);
  }

  RestorePlan& plan_;
  std::unique_ptr<BYTE[]> chunk_;
  std::unordered_map<std::wstring, size_t> stored_;  // by original name: its place in files
  std::unordered_map<std::wstring, size_t> keptAt_;  // by stored path: its place in files
};

// Copies the checked bytes of a package's files into a new staging folder
// that only Kestrun can write, of a name no one can guess, below the user's
// temporary folder, keeping their places in the package folder; each file
// stays held, for reading only, in `held`. 0 with the folder, or the code.
DWORD StagePackage(RestorePlan& plan, size_t k, std::wstring& staging,
                   std::vector<UniqueFileHandle>& held, std::unique_ptr<BYTE[]>& chunk) {
  wchar_t temp[MAX_PATH + 1] = {};
  const DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
  if (length == 0 || length > MAX_PATH) return FailureCode();
  std::wstring base(temp, length);
  if (base.back() == L'\\') base.pop_back();
  // Made anew: a folder of that name already there is never taken.
  DWORD error = ERROR_ALREADY_EXISTS;
  for (int attempt = 0; error == ERROR_ALREADY_EXISTS && attempt < 4; ++attempt) {
    const std::wstring name = UnguessableName();
    if (name.empty()) return ERROR_GEN_FAILURE;
    staging = base + L"\\" + name;
    error = CreateProtectedFolder(LongPath(staging));
  }
  if (error != 0) {
    staging.clear();  // not Kestrun's to remove
    return error;
  }
  const std::wstring& stored = plan.snapshot.packages[k].stored;
  for (size_t f = 0; f < plan.snapshot.files.size(); ++f) {
    const SnapshotFile& file = plan.snapshot.files[f];
    if (file.package != k) continue;
    const std::wstring placed = staging + file.stored.substr(stored.size());
    error = CreateFolders(placed.substr(0, placed.find_last_of(L'\\')));
    held.emplace_back();
    if (error == 0) error = PutBackCheckedFile(plan, f, placed, chunk, &held.back());
    if (error != 0) return error;
  }
  return 0;
}

// Uploads a saved package to the driver store and installs its drivers from it.
void RestorePackage(RestorePlan& plan, size_t k, std::unique_ptr<BYTE[]>& chunk) {
  const SnapshotPackage& package = plan.snapshot.packages[k];
  RestoreResult& result = plan.packages[k];
  // Whatever the upload does, the staged copy goes with the step, its files
  // let go first.
  struct Staging {
    std::wstring folder;
    std::vector<UniqueFileHandle> held;
    ~Staging() {
      held.clear();
      if (!folder.empty()) RemoveTree(folder);
    }
  } staging;
  const DWORD staged = StagePackage(plan, k, staging.folder, staging.held, chunk);
  if (staged != 0) {
    result = {RestoreOutcome::Failed, staged, {}};
    return;
  }
  const std::wstring inf = staging.folder + L"\\" + std::wstring(FileNamePart(package.infPath));
  wchar_t uploaded[MAX_PATH * 2] = {};
  ULONG length = MAX_PATH * 2;
  const HRESULT upload = Platform().UploadPrinterDriverPackageW(
      ServerOf(plan), inf.c_str(), package.environment.c_str(), kUploadSilently, nullptr, uploaded,
      &length);
  staging.held.clear();  // the store has its own copy now
  if (FAILED(upload)) {
    result = {RestoreOutcome::Failed, CodeOf(upload), {}};
    return;
  }
  result.outcome = RestoreOutcome::Restored;
  for (size_t d = 0; d < plan.snapshot.drivers.size(); ++d) {
    const SnapshotDriver& driver = plan.snapshot.drivers[d];
    if (driver.package != k || plan.drivers[d].outcome != RestoreOutcome::Pending) continue;
    // A driver that does not install from it is put back from its files.
    const HRESULT installed = Platform().InstallPrinterDriverFromPackageW(
        ServerOf(plan), uploaded, driver.name.c_str(), driver.environment.c_str(),
        kInstallCopyAllFiles);
    if (SUCCEEDED(installed)) plan.drivers[d] = {RestoreOutcome::Restored, 0, {}};
  }
}

// What the units of a phase read: their own copy, since a unit left inside
// a spooler call may outlive the restore.
struct PhaseData {
  std::wstring server;  // "\\SRV", empty for this computer
  std::vector<SnapshotPrinter> printers;
  std::vector<TcpIpPortSettings> ports;

  wchar_t* Server() { return server.empty() ? nullptr : server.data(); }
};

// Deletes a printer the restore added, through a handle of its own.
void DeleteAddedPrinter(PhaseData& data, const SnapshotPrinter& saved) {
  std::wstring name = LocalPrinterName(saved.name);
  if (!data.server.empty()) name = data.server + L"\\" + name;
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  UniquePrinter printer;
  if (Platform().OpenPrinterW(name.data(), printer.put(), &defaults)) {
    Platform().DeletePrinter(printer.get());
  }
}

// Adds a printer and sets it whole, as one unit: one that cannot be set
// whole, or that its phase gave up meanwhile, is deleted again.
DWORD RestorePrinter(PhaseData& data, SnapshotPrinter& saved, const UnitCheck& check) {
  std::wstring name = LocalPrinterName(saved.name);
  PRINTER_INFO_2W info = {};
  info.pPrinterName = name.data();
  info.pShareName = FieldOf(saved.shareName);
  info.pPortName = FieldOf(saved.portName);
  info.pDriverName = FieldOf(saved.driverName);
  info.pComment = FieldOf(saved.comment);
  info.pLocation = FieldOf(saved.location);
  info.pSepFile = FieldOf(saved.sepFile);
  info.pPrintProcessor = FieldOf(saved.printProcessor);
  info.pDatatype = FieldOf(saved.datatype);
  info.pParameters = FieldOf(saved.parameters);
  info.pDevMode =
      saved.devMode.empty() ? nullptr : reinterpret_cast<DEVMODEW*>(saved.devMode.data());
  info.Attributes = saved.attributes;
  info.Priority = saved.priority;
  info.DefaultPriority = saved.defaultPriority;
  info.StartTime = saved.startTime;
  info.UntilTime = saved.untilTime;
  UniquePrinter printer(Platform().AddPrinterW(data.Server(), 2, reinterpret_cast<BYTE*>(&info)));
  if (!printer) return FailureCode();
  DWORD error = check.Abandoned() ? ERROR_TIMEOUT : 0;
  if (error == 0 && !saved.securityDescriptor.empty()) {
    PRINTER_INFO_3 security = {saved.securityDescriptor.data()};
    if (!Platform().SetPrinterW(printer.get(), 3, reinterpret_cast<BYTE*>(&security), 0)) {
      error = FailureCode();
    }
  }
  for (size_t v = 0; error == 0 && v < saved.data.size(); ++v) {
    SnapshotValue& value = saved.data[v];
    error = Platform().SetPrinterDataExW(printer.get(), value.key.c_str(), value.name.c_str(),
                                         value.type, value.data.data(),
                                         static_cast<DWORD>(value.data.size()));
    if (error == 0 && check.Abandoned()) error = ERROR_TIMEOUT;
  }
  if (error == 0 && !check.Finish()) error = ERROR_TIMEOUT;
  // A printer goes back whole or not at all: the one this step made goes
  // again, so a later restore puts it back whole instead of keeping it.
  if (error != 0) Platform().DeletePrinter(printer.get());
  return error;
}

// The snapshot goes back to the machine it was taken from.
void AimAtOwnMachine(RestorePlan& plan) {
  plan.targetMachine = plan.snapshot.machine;
  plan.targetName = plan.snapshot.targetName;
  plan.target = {plan.snapshot.isRemote ? plan.snapshot.machine : std::wstring(),
                 plan.snapshot.isRemote};
}

// The strings of a REG_SZ or REG_MULTI_SZ value.
std::vector<std::wstring> StringsOf(const SnapshotValue& value) {
  if (value.type != REG_SZ && value.type != REG_EXPAND_SZ && value.type != REG_MULTI_SZ) return {};
  std::wstring text(value.data.size() / sizeof(wchar_t), L'\0');
  if (!text.empty()) std::memcpy(text.data(), value.data.data(), text.size() * sizeof(wchar_t));
  std::vector<std::wstring> strings = SplitJoined(text);
  std::erase_if(strings, [](const std::wstring& s) { return s.empty(); });
  return strings;
}

bool NamesAPath(std::wstring_view text) {
  return text.find_first_of(L"\\/:") != std::wstring_view::npos;
}

// Why a printer's data makes clients load or copy a file from elsewhere:
// the Point and Print values of CopyFiles\ name a module (a DLL the
// client already has) and files by name, never by path.
std::wstring ForeignCopyFiles(const SnapshotPrinter& printer) {
  constexpr std::wstring_view kCopyFiles = L"CopyFiles\\";
  for (const SnapshotValue& value : printer.data) {
    if (!EqualsIgnoringAsciiCase(std::wstring_view(value.key).substr(0, kCopyFiles.size()),
                                 kCopyFiles)) {
      continue;
    }
    const bool module = EqualsIgnoringAsciiCase(value.name, L"Module");
    if (!module && !EqualsIgnoringAsciiCase(value.name, L"Files")) continue;
    for (const std::wstring& named : StringsOf(value)) {
      if (!NamesAPath(named)) continue;
      std::wstring why = value.key + (module ? L" loads " : L" copies ");
      AppendShownText(why, named);
      return why;
    }
  }
  return {};
}

// Whether a separator page lies where Windows keeps its own (and its spool
// folder): a plain drive path into a System32 folder, never a share's.
bool IsSystemSeparatorPage(std::wstring_view page) {
  if (page.size() < 3 || !std::iswalpha(page[0]) || page.substr(1, 2) != L":\\" ||
      page.find(L"..") != std::wstring_view::npos || !IsPlainOriginalPath(page)) {
    return false;
  }
  const std::wstring key = NameKey(page);
  const std::wstring system32 = NameKey(L"\\System32\\");
  const size_t at = key.find(system32);
  if (at == std::wstring::npos) return false;
  const std::wstring_view rest = std::wstring_view(key).substr(at + system32.size());
  // A page of System32 itself, or anywhere below its spool folder.
  return rest.find(L'\\') == std::wstring_view::npos || rest.rfind(NameKey(L"spool\\"), 0) == 0;
}

void Refuse(RestoreResult& result, std::wstring why) {
  result = {RestoreOutcome::Failed, ERROR_INVALID_DATA, std::move(why)};
}

void RefuseForeignObjects(RestorePlan& plan) {
  const Snapshot& snapshot = plan.snapshot;
  std::unordered_map<std::wstring, size_t> ports;  // by name: its place in the snapshot
  for (size_t p = 0; p < snapshot.ports.size(); ++p) {
    ports.emplace(NameKey(snapshot.ports[p].name), p);
  }
  for (size_t p = 0; p < snapshot.ports.size(); ++p) {
    if (plan.ports[p].outcome != RestoreOutcome::Pending) continue;
    if (!IsCopyableTcpIpPort(SettingsOf(snapshot.ports[p]))) {
      Refuse(plan.ports[p], L"it is not a TCP/IP port's name and host");
    }
  }
  for (size_t p = 0; p < snapshot.printers.size(); ++p) {
    if (plan.printers[p].outcome != RestoreOutcome::Pending) continue;
    const SnapshotPrinter& printer = snapshot.printers[p];
    for (const std::wstring& port : PoolPorts(printer.portName)) {
      const auto found = ports.find(NameKey(port));
      if (found == ports.end()) continue;
      const size_t at = found->second;
      if (!plan.ports[at].refused.empty()) {
        std::wstring why = L"port ";
        AppendShownText(why, port);
        Refuse(plan.printers[p], why + L" is not made");
      } else if (plan.ports[at].outcome == RestoreOutcome::AlreadyThere) {
        // Kept as it is: the printer goes on it only where it prints to the same device.
        const std::optional<TcpIpPortSettings>& theirs = plan.portsThere[at];
        std::wstring why =
            theirs ? PortDifference(*theirs, SettingsOf(snapshot.ports[at]), plan.targetMachine)
                   : L"port " + snapshot.ports[at].name + L" on " + plan.targetMachine +
                         L" is not a TCP/IP port whose settings can be read";
        if (why.empty()) continue;
        std::wstring shown;
        AppendShownText(shown, why);
        Refuse(plan.printers[p], std::move(shown));
      }
    }
    if (!plan.printers[p].refused.empty()) continue;
    const std::wstring& page = printer.sepFile;
    if (!page.empty() && !IsSystemSeparatorPage(page)) {
      std::wstring why = L"its separator page ";
      AppendShownText(why, page);
      Refuse(plan.printers[p], why + L" is not in the machine's System32 folder");
    } else if (std::wstring why = ForeignCopyFiles(printer); !why.empty()) {
      Refuse(plan.printers[p], std::move(why));
    }
  }
  // A port is made only for a printer that goes back (or is there already).
  std::vector<bool> used(snapshot.ports.size(), false);
  for (size_t p = 0; p < snapshot.printers.size(); ++p) {
    if (!plan.printers[p].refused.empty()) continue;
    for (const std::wstring& port : PoolPorts(snapshot.printers[p].portName)) {
      const auto found = ports.find(NameKey(port));
      if (found != ports.end()) used[found->second] = true;
    }
  }
  for (size_t p = 0; p < snapshot.ports.size(); ++p) {
    if (plan.ports[p].outcome == RestoreOutcome::Pending && !used[p]) {
      Refuse(plan.ports[p], L"no printer restored uses it");
    }
  }
}

}  // namespace

void TakeResults(const RestorePlan& from, RestorePlan& to) {
  to.packages = from.packages;
  to.drivers = from.drivers;
  to.printers = from.printers;
  to.ports = from.ports;
  to.portsThere = from.portsThere;
}

bool IsSnapshotOfThisTarget(const Snapshot& snapshot, std::wstring& problem) {
  if (snapshot.isRemote || IsLocalMachineName(snapshot.machine)) return true;
  problem = L"the snapshot was taken on " + snapshot.machine +
            L", and is put back only there: run Kestrun on that machine, or name it";
  return false;
}

bool ReadRestorePlan(const std::wstring& folder, RestorePlan& plan, std::wstring& problem,
                     std::wstring_view to) {
  // Relative to the current folder, as typed; never a device's name alone.
  const DWORD size = ::GetFullPathNameW(folder.c_str(), 0, nullptr, nullptr);
  std::wstring full(size, L'\0');
  const DWORD length =
      size == 0 ? 0 : ::GetFullPathNameW(folder.c_str(), size, full.data(), nullptr);
  if (folder.empty() || length == 0 || length >= size) {
    problem = L"the folder cannot be found (error " + std::to_wstring(::GetLastError()) + L")";
    return false;
  }
  full.resize(length);
  while (full.size() > 3 && full.back() == L'\\') full.pop_back();
  plan.folder = full;
  if (!ReadSnapshot(plan.folder, plan.snapshot, plan.checkedFiles, problem, plan.stop)) {
    return false;
  }
  if (to.empty()) {
    AimAtOwnMachine(plan);
    return IsSnapshotOfThisTarget(plan.snapshot, problem);
  }
  // Another machine: named as the user named it, its files reached as its own.
  const std::wstring_view machine = BareMachineName(to);
  if (IsLocalMachineName(to)) {
    plan.targetMachine = ThisComputerName();
    plan.targetName.clear();
    plan.target = {};
    return true;
  }
  if (!IsMachineName(machine) || machine.size() > kMaxTargetMachineName) {
    problem = L"the machine name " + std::wstring(to) + L" cannot be used";
    return false;
  }
  plan.targetMachine = machine;
  plan.targetName = L"\\\\" + std::wstring(machine);
  plan.target = {std::wstring(machine), true};
  return true;
}

bool PrepareRestore(RestorePlan& plan, DWORD& error, std::wstring& why) {
  // A plan no machine was chosen for goes where its snapshot came from.
  if (plan.targetMachine.empty()) AimAtOwnMachine(plan);
  why = L"its drivers and printers could not be read";
  const Snapshot& snapshot = plan.snapshot;
  plan.packages.assign(snapshot.packages.size(), {});
  plan.drivers.assign(snapshot.drivers.size(), {});
  plan.printers.assign(snapshot.printers.size(), {});
  plan.ports.assign(snapshot.ports.size(), {});
  plan.portsThere.assign(snapshot.ports.size(), std::nullopt);
  wchar_t* server = ServerOf(plan);
  wchar_t all[] = L"all";
  SpoolerAnswer drivers;
  error = ReadSpoolerList(
      [&](BYTE* records, DWORD size, DWORD* needed, DWORD* returned) {
        return Platform().EnumPrinterDriversW(server, all, 6, records, size, needed, returned);
      },
      kDriverInfo6Layout, drivers);
  if (error != 0) return false;
  std::unordered_set<std::wstring> installed;
  const auto* records = reinterpret_cast<const DRIVER_INFO_6W*>(drivers.buffer.get());
  for (DWORD i = 0; i < drivers.count; ++i) {
    installed.insert(DriverKey(FieldOrEmpty(records[i].pName),
                               FieldOrEmpty(records[i].pEnvironment), records[i].cVersion));
  }
  for (size_t d = 0; d < snapshot.drivers.size(); ++d) {
    const SnapshotDriver& driver = snapshot.drivers[d];
    if (installed.count(DriverKey(driver.name, driver.environment, driver.version)) != 0) {
      plan.drivers[d].outcome = RestoreOutcome::AlreadyThere;
    }
  }
  SpoolerAnswer printers;
  error = ReadPrinters(server, printers);
  if (error != 0) return false;
  std::unordered_set<std::wstring> present;
  const auto* listed = reinterpret_cast<const PRINTER_INFO_2W*>(printers.buffer.get());
  for (DWORD p = 0; p < printers.count; ++p) {
    present.insert(NameKey(LocalPrinterName(std::wstring(FieldOrEmpty(listed[p].pPrinterName)))));
  }
  for (size_t p = 0; p < snapshot.printers.size(); ++p) {
    if (present.count(NameKey(LocalPrinterName(snapshot.printers[p].name))) != 0) {
      plan.printers[p].outcome = RestoreOutcome::AlreadyThere;
    }
  }
  if (!snapshot.ports.empty()) {
    SpoolerAnswer ports;
    error = ReadPorts(server, ports);
    if (error != 0) {
      why = L"its ports could not be read";
      return false;
    }
    std::unordered_set<std::wstring> there;
    const auto* portList = reinterpret_cast<const PORT_INFO_2W*>(ports.buffer.get());
    for (DWORD p = 0; p < ports.count; ++p)
      there.insert(NameKey(FieldOrEmpty(portList[p].pPortName)));
    for (size_t p = 0; p < snapshot.ports.size(); ++p) {
      if (there.count(NameKey(snapshot.ports[p].name)) != 0) {
        plan.ports[p].outcome = RestoreOutcome::AlreadyThere;
      }
    }
    // What a kept port sends to, asked eight at a time: a remote monitor
    // answers each late.
    RunAtOnce(snapshot.ports.size(), kObjectsAtOnce, [&plan, server](size_t p) {
      if (plan.ports[p].outcome != RestoreOutcome::AlreadyThere) return;
      TcpIpPortSettings settings;
      if (ReadTcpIpPort(server, plan.snapshot.ports[p].name, settings) == 0) {
        plan.portsThere[p] = std::move(settings);
      }
    });
  }
  RefuseForeignObjects(plan);
  // A package none of whose drivers is missing needs no upload; one no
  // driver came from (an unused one removed alone) only when its folder is
  // no longer in the machine's store.
  const MachineFiles& files = plan.target;
  for (size_t k = 0; k < snapshot.packages.size(); ++k) {
    bool needed = false;
    bool named = false;
    for (size_t d = 0; d < snapshot.drivers.size(); ++d) {
      named = named || snapshot.drivers[d].package == k;
      needed = needed || (snapshot.drivers[d].package == k &&
                          plan.drivers[d].outcome == RestoreOutcome::Pending);
    }
    std::wstring folder;
    if (!named) {
      needed = !PackageFolderSource(files, snapshot.packages[k].infPath, folder) ||
               ::GetFileAttributesW(LongPath(folder).c_str()) == INVALID_FILE_ATTRIBUTES;
    }
    if (!needed) plan.packages[k].outcome = RestoreOutcome::AlreadyThere;
  }
  // Where the drivers' files go, built by Kestrun: a spooler that names
  // another folder fails the machine before anything changes.
  plan.driverFolders.clear();
  for (size_t d = 0; d < snapshot.drivers.size(); ++d) {
    const std::wstring& environment = snapshot.drivers[d].environment;
    const std::wstring key = NameKey(environment);
    if (plan.drivers[d].outcome != RestoreOutcome::Pending || plan.driverFolders.count(key) != 0) {
      continue;
    }
    std::wstring folder;
    error = CheckedDriverFolder(files, environment, folder, why);
    if (error != 0) return false;
    plan.driverFolders.emplace(key, folder);
  }
  return true;
}

void ExecuteRestore(RestorePlan& plan) {
  bool stopped = false;
  const auto step = [&](RestoreKind kind, size_t index) {
    RestoreResult& result = plan.ResultsOf(kind)[index];
    if (result.outcome != RestoreOutcome::Pending) return false;
    stopped = stopped || !MayStart(plan, kind, index);
    if (stopped) result.outcome = RestoreOutcome::NotTried;
    return !stopped;
  };
  std::unique_ptr<BYTE[]> chunk;
  for (size_t k = 0; k < plan.snapshot.packages.size(); ++k) {
    if (step(RestoreKind::Package, k)) RestorePackage(plan, k, chunk);
  }
  DriverFromFiles fromFiles(plan);
  for (size_t d = 0; d < plan.snapshot.drivers.size(); ++d) {
    if (!step(RestoreKind::Driver, d)) continue;
    const DWORD error = fromFiles.Restore(plan.snapshot.drivers[d]);
    plan.drivers[d] = {error == 0 ? RestoreOutcome::Restored : RestoreOutcome::Failed, error, {}};
  }
  // Ports, then printers: each phase units made up to eight at a time,
  // which a stop or the deadline cuts between units, never inside one.
  const auto data = std::make_shared<PhaseData>();
  data->server = plan.target.isRemote ? plan.targetName : std::wstring();
  const auto phase = [&](RestoreKind kind, size_t count, const Unit& unit,
                         const std::function<void(size_t)>& undo) {
    std::vector<RestoreResult>& results = plan.ResultsOf(kind);
    std::vector<size_t> pending;
    for (size_t i = 0; i < count; ++i) {
      if (results[i].outcome == RestoreOutcome::Pending) pending.push_back(i);
    }
    if (pending.empty()) return;
    const auto late = [&plan] { return plan.deadline != 0 && ::GetTickCount64() >= plan.deadline; };
    stopped = stopped || !MayStart(plan, kind, pending.front()) || late();
    if (stopped) {
      plan.deadlineReached = plan.deadlineReached || late();
      for (const size_t i : pending) results[i].outcome = RestoreOutcome::NotTried;
      return;
    }
    UnitPhase units;
    units.count = pending.size();
    units.atOnce = kObjectsAtOnce;
    units.stop = plan.stop;
    units.deadline = plan.deadline;
    units.graceMs = plan.unitGraceMs;
    const std::vector<UnitOutcome> ends = RunUnits(
        units,
        [unit, pending](size_t u, const UnitCheck& check) { return unit(pending[u], check); },
        [&undo, &pending](size_t u) { undo(pending[u]); });
    for (size_t u = 0; u < ends.size(); ++u) {
      RestoreResult& result = results[pending[u]];
      if (ends[u].end == UnitEnd::NotStarted) {
        result.outcome = RestoreOutcome::NotTried;
        stopped = true;  // the phase was cut: nothing later starts
        plan.deadlineReached = plan.deadlineReached || late();
      } else {
        result = {ends[u].error == 0 ? RestoreOutcome::Restored : RestoreOutcome::Failed,
                  ends[u].error,
                  {}};
      }
    }
  };
  for (const SnapshotPort& port : plan.snapshot.ports) data->ports.push_back(SettingsOf(port));
  phase(
      RestoreKind::Port, plan.snapshot.ports.size(),
      [data](size_t p, const UnitCheck&) { return AddTcpIpPort(data->Server(), data->ports[p]); },
      [](size_t) {});  // a port made late is made whole: there is nothing half-made to undo
  data->printers = plan.snapshot.printers;
  phase(
      RestoreKind::Printer, plan.snapshot.printers.size(),
      [data](size_t p, const UnitCheck& check) {
        return RestorePrinter(*data, data->printers[p], check);
      },
      [data](size_t p) { DeleteAddedPrinter(*data, data->printers[p]); });
}

}  // namespace kestrun
