#include "inventory/snapshot.h"

#include <shlobj.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>
#include <unordered_set>

#include "common/parallel.h"
#include "common/sha256.h"
#include "common/win32_handles.h"
#include "inventory/field_text.h"
#include "inventory/folder_walk.h"
#include "inventory/inf_reader.h"
#include "inventory/machine_paths.h"
#include "inventory/platform.h"
#include "inventory/snapshot_trust.h"
#include "inventory/spooler_answer.h"
#include "inventory/tcpip_ports.h"

namespace kestrun {

namespace {

constexpr size_t kMaxManifestBytes = size_t{256} * 1024 * 1024;
constexpr int kMaxKeyDepth = 32;  // printer data keys nest no deeper
// The source answers each port's settings late: they are asked at once.
constexpr unsigned kPortsAtOnce = 8;

// The name a file system takes for a machine's folder.
std::wstring FolderNameOf(std::wstring_view name) {
  std::wstring folder;
  for (const wchar_t c : BareMachineName(name)) {
    folder += (c < 0x20 || std::wstring_view(L"\\/:*?\"<>|").find(c) != std::wstring_view::npos)
                  ? L'_'
                  : c;
  }
  return folder.empty() || folder == L"." || folder == L".." ? L"_" : folder;
}

std::wstring UtcStamp(wchar_t separator) {
  SYSTEMTIME now = {};
  ::GetSystemTime(&now);
  wchar_t text[32] = {};
  std::swprintf(text, 32,
                separator ? L"%04u-%02u-%02uT%02u:%02u:%02uZ" : L"%04u%02u%02uT%02u%02u%02uZ",
                now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond);
  return text;
}

// Copies files into a snapshot, hashing what they copy, through one buffer;
// a folder made once is not looked for again.
class FileCopier {
 public:
  explicit FileCopier(const std::atomic<bool>* stop) : stop_(stop) {}

  // 0 or the system's code (ERROR_CANCELLED once the run stops).
  DWORD Copy(const std::wstring& source, const std::wstring& destination, ULONGLONG& bytes,
             std::string& sha256) {
    if (!chunk_) chunk_.reset(new (std::nothrow) BYTE[kCopyChunkBytes]);
    if (!chunk_) return ERROR_NOT_ENOUGH_MEMORY;
    const UniqueFileHandle in(::CreateFileW(LongPath(source).c_str(), GENERIC_READ,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                                            nullptr));
    if (!in) return ::GetLastError();
    LARGE_INTEGER size = {};
    if (!::GetFileSizeEx(in.get(), &size)) return ::GetLastError();
    const std::wstring folder = std::wstring(ParentOf(destination));
    if (folders_.count(folder) == 0) {
      if (const DWORD error = CreateFolders(folder)) return error;
      folders_.insert(folder);
    }
    // The checksum, not a flush, tells a whole copy from a damaged one.
    const UniqueFileHandle out(::CreateFileW(LongPath(destination).c_str(), GENERIC_WRITE, 0,
                                             nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out) return ::GetLastError();
    Sha256 hash;
    // Saved as it was when opened: a file that grows or shrinks while it is
    // read (or never ends, a device behind a link) fails the snapshot.
    const auto most = static_cast<ULONGLONG>(size.QuadPart);
    if (const DWORD error =
            CopyFileBytes(in.get(), out.get(), chunk_.get(), bytes, &hash, stop_, most)) {
      return error;
    }
    if (bytes != most) return ERROR_FILE_INVALID;
    KeepWriteTime(in.get(), out.get());
    sha256 = hash.FinishHex();
    return 0;
  }

 private:
  const std::atomic<bool>* stop_;
  std::unique_ptr<BYTE[]> chunk_;
  std::unordered_set<std::wstring> folders_;
};

// Snapshots being written: a run that ends after Ctrl+C waits for each to
// remove its partial folder before the process ends.
std::mutex writingLock;
std::condition_variable writingEnded;
size_t writing = 0;

class WritingSnapshot {
 public:
  WritingSnapshot() {
    const std::lock_guard<std::mutex> guard(writingLock);
    ++writing;
  }
  ~WritingSnapshot() {
    {
      const std::lock_guard<std::mutex> guard(writingLock);
      --writing;
    }
    writingEnded.notify_all();
  }
  WritingSnapshot(const WritingSnapshot&) = delete;
  WritingSnapshot& operator=(const WritingSnapshot&) = delete;
};

}  // namespace

void RemoveTree(const std::wstring& folder) {
  // A link is removed itself, never what it leads to.
  WalkFolder(
      folder, kMaxKeyDepth,
      [&folder](const WalkedEntry& entry) -> DWORD {
        const std::wstring path = LongPath(folder + L"\\" + entry.relative);
        if (entry.link) {
          if (!::RemoveDirectoryW(path.c_str())) ::DeleteFileW(path.c_str());
        } else if (!entry.folder) {
          ::DeleteFileW(path.c_str());
        }
        return 0;
      },
      [&folder](const std::wstring& relative) {
        if (!relative.empty()) ::RemoveDirectoryW(LongPath(folder + L"\\" + relative).c_str());
      });
  ::RemoveDirectoryW(LongPath(folder).c_str());
}

namespace {

// A text the spooler handed back in one of its buffers, already checked.
std::wstring Text(const wchar_t* field) { return std::wstring(FieldOrEmpty(field)); }

// A multi-string, its strings joined by NUL characters (the list's end dropped).
std::wstring MultiText(const wchar_t* list) {
  std::wstring joined;
  for (const wchar_t* entry = list; entry && *entry; entry += std::wcslen(entry) + 1) {
    if (!joined.empty()) joined += L'\0';
    joined += entry;
  }
  return joined;
}

ULONGLONG FileTimeNumber(const FILETIME& time) {
  return (ULONGLONG{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

class SnapshotWriter {
 public:
  SnapshotWriter(const DeletionPlan& plan, std::wstring folder, std::wstring& problem)
      : plan_(plan),
        files_{std::wstring(BareMachineName(plan.targetName)), plan.isRemote},
        folder_(std::move(folder)),
        problem_(problem) {}

  // Whether the snapshot is whole; when not, `problem` says what could not be
  // saved and Error() the code of the call that failed.

  bool Write(Snapshot& snapshot) {
    snapshot.machine = SnapshotMachineName(plan_);
    snapshot.targetName = plan_.targetName;
    snapshot.isRemote = plan_.isRemote;
    snapshot.taken = UtcStamp(L'-');
    return SaveDrivers(snapshot) && SaveOrphans(snapshot) && SavePrinters(snapshot) &&
           SavePorts(snapshot) && SaveManifest(snapshot);
  }

 private:
  wchar_t* Server() const {
    return plan_.isRemote ? const_cast<wchar_t*>(plan_.targetName.c_str()) : nullptr;
  }

  bool Fail(std::wstring what, DWORD code = ERROR_INVALID_DATA) {
    problem_ = std::move(what);
    error_ = code;
    return false;
  }

 public:
  DWORD Error() const { return error_; }

 private:
  bool SaveDrivers(Snapshot& snapshot) {
    if (plan_.drivers.empty()) return true;
    // The drivers as the spooler keeps them: level 8, or 6 from an old server.
    wchar_t environment[] = L"all";
    wchar_t* server = Server();
    DWORD level = 8;
    const auto read = [&](DWORD wanted) {
      return ReadSpoolerList(
          [&](BYTE* records, DWORD size, DWORD* needed, DWORD* returned) {
            return Platform().EnumPrinterDriversW(server, environment, wanted, records, size,
                                                  needed, returned);
          },
          wanted == 8 ? kDriverInfo8Layout : kDriverInfo6Layout, answer_);
    };
    DWORD error = read(level);
    if (error == ERROR_INVALID_LEVEL) error = read(level = 6);
    if (error != 0) return Fail(L"the drivers could not be read again", error);
    // Each environment's driver folder is asked for and judged before any
    // file is read: a server that names another folder fails the machine.
    std::unordered_set<std::wstring> asked;
    for (const PlannedDriver& planned : plan_.drivers) {
      if (planned.keptBy != kNotKept || !asked.insert(NameKey(planned.environment)).second) {
        continue;
      }
      std::wstring folder, problem;
      if (const DWORD code = CheckedDriverFolder(files_, planned.environment, folder, problem)) {
        return Fail(problem, code);
      }
    }
    for (const PlannedDriver& planned : plan_.drivers) {
      // A driver a kept printer holds is never tried: nothing of it goes.
      if (planned.keptBy == kNotKept && !SaveDriver(snapshot, planned, level)) return false;
    }
    return true;
  }

  // The record of a planned driver: its name, environment and version.
  bool FindRecord(const PlannedDriver& planned, DWORD level, DRIVER_INFO_8W& record) {
    const size_t size = level == 8 ? sizeof(DRIVER_INFO_8W) : sizeof(DRIVER_INFO_6W);
    for (DWORD i = 0; i < answer_.count; ++i) {
      record = {};
      std::memcpy(&record, answer_.buffer.get() + i * size, size);
      if (record.cVersion == planned.version &&
          SameName(FieldOrEmpty(record.pName), planned.name) &&
          EqualsIgnoringAsciiCase(FieldOrEmpty(record.pEnvironment), planned.environment)) {
        return true;
      }
    }
    return false;
  }

  bool SaveDriver(Snapshot& snapshot, const PlannedDriver& planned, DWORD level) {
    DRIVER_INFO_8W record = {};
    if (!FindRecord(planned, level, record)) {
      return Fail(L"the driver \"" + planned.name + L"\" (" + planned.environment +
                  L") is no longer on the machine");
    }
    SnapshotDriver driver;
    driver.level = level;
    driver.name = Text(record.pName);
    driver.environment = Text(record.pEnvironment);
    driver.driverPath = Text(record.pDriverPath);
    driver.dataFile = Text(record.pDataFile);
    driver.configFile = Text(record.pConfigFile);
    driver.helpFile = Text(record.pHelpFile);
    driver.dependentFiles = MultiText(record.pDependentFiles);
    driver.monitorName = Text(record.pMonitorName);
    driver.defaultDataType = Text(record.pDefaultDataType);
    driver.previousNames = MultiText(record.pszzPreviousNames);
    driver.mfgName = Text(record.pszMfgName);
    driver.oemUrl = Text(record.pszOEMUrl);
    driver.hardwareId = Text(record.pszHardwareID);
    driver.provider = Text(record.pszProvider);
    driver.version = record.cVersion;
    driver.driverDate = FileTimeNumber(record.ftDriverDate);
    driver.driverVersion = record.dwlDriverVersion;
    if (level == 8) {
      driver.printProcessor = Text(record.pszPrintProcessor);
      driver.vendorSetup = Text(record.pszVendorSetup);
      driver.colorProfiles = MultiText(record.pszzColorProfiles);
      driver.infPath = Text(record.pszInfPath);
      driver.attributes = record.dwPrinterDriverAttributes;
      driver.coreDependencies = MultiText(record.pszzCoreDriverDependencies);
      driver.minInboxDate = FileTimeNumber(record.ftMinInboxDriverVerDate);
      driver.minInboxVersion = record.dwlMinInboxDriverVerVersion;
    }
    const size_t index = snapshot.drivers.size();
    if (!driver.infPath.empty() && !SavePackage(snapshot, driver)) return false;
    snapshot.drivers.push_back(driver);

    std::vector<std::wstring> named = {driver.driverPath, driver.dataFile, driver.configFile,
                                       driver.helpFile};
    // The dependent files are joined by NUL characters.
    for (size_t start = 0; start < driver.dependentFiles.size();) {
      const size_t end =
          std::min(driver.dependentFiles.find(L'\0', start), driver.dependentFiles.size());
      named.push_back(driver.dependentFiles.substr(start, end - start));
      start = end + 1;
    }
    for (const std::wstring& original : named) {
      if (!original.empty() && !SaveDriverFile(snapshot, index, driver, original)) return false;
    }
    return true;
  }

  // A file as the driver names it (...\spool\drivers\x64\3\UNIDRV.DLL), read
  // through the machine's driver folders and kept below "drivers" in the same
  // environment and version folders; one elsewhere below "files\DRIVE".
  bool SaveDriverFile(Snapshot& snapshot, size_t driver, const SnapshotDriver& record,
                      const std::wstring& original) {
    std::wstring source, below;
    if (!DriverFileSource(files_, original, record.driverPath, source, below)) {
      return Fail(L"the file " + original + L" of \"" + record.name + L"\" cannot be reached");
    }
    const std::wstring stored =
        below.empty() ? L"files\\" + std::wstring(1, original[0]) + L"\\" + original.substr(3)
                      : L"drivers\\" + below;
    if (!IsPathInside(stored)) {
      return Fail(L"the file " + original + L" of \"" + record.name + L"\" cannot be reached");
    }
    if (!storedFiles_.insert(NameKey(stored)).second) return true;  // saved for another driver
    SnapshotFile file;
    file.driver = driver;
    file.stored = stored;
    file.original = original;
    const DWORD error = copier_.Copy(source, folder_ + L"\\" + stored, file.bytes, file.sha256);
    if (error != 0) return Fail(L"the file " + original + L" could not be saved", error);
    snapshot.files.push_back(std::move(file));
    return true;
  }

  // The driver-store package a driver comes from, when the deletion removes it.
  bool SavePackage(Snapshot& snapshot, SnapshotDriver& driver) {
    bool removed = false;
    for (const PlannedPackage& package : plan_.packages) {
      removed = removed || EqualsIgnoringAsciiCase(package.infPath, driver.infPath);
    }
    if (!removed) return true;
    for (size_t k = 0; k < snapshot.packages.size(); ++k) {
      if (EqualsIgnoringAsciiCase(snapshot.packages[k].infPath, driver.infPath)) {
        driver.package = k;
        return true;
      }
    }
    driver.package = snapshot.packages.size();
    return SavePackageFolder(snapshot, driver.infPath, driver.environment);
  }

  // The store's unused packages the deletion removes: no driver names them.
  bool SaveOrphans(Snapshot& snapshot) {
    for (const PlannedPackage& package : plan_.packages) {
      if (!package.drivers.empty() || package.outcome == PackageOutcome::Gone) continue;
      // One removed by someone else since the plan is not there to save: its
      // removal says so, and the others are saved.
      std::wstring source;
      if (PackageFolderSource(files_, package.infPath, source) &&
          ::GetFileAttributesW(LongPath(source).c_str()) == INVALID_FILE_ATTRIBUTES &&
          (::GetLastError() == ERROR_FILE_NOT_FOUND || ::GetLastError() == ERROR_PATH_NOT_FOUND)) {
        continue;
      }
      if (!SavePackageFolder(snapshot, package.infPath, package.environment)) return false;
    }
    return true;
  }

  // Reads a package's folder from the machine's own driver store (through
  // admin$ on a remote one) as the snapshot's next package.
  bool SavePackageFolder(Snapshot& snapshot, const std::wstring& infPath,
                         const std::wstring& environment) {
    const std::wstring folder = std::wstring(ParentOf(infPath));
    std::wstring source;
    if (!PackageFolderSource(files_, infPath, source)) {
      return Fail(L"the package " + infPath + L" is not in the machine's driver store");
    }
    SnapshotPackage package;
    package.infPath = infPath;
    package.environment = environment;
    package.stored = L"packages\\" + std::to_wstring(snapshot.packages.size()) + L"\\" +
                     FolderNameOf(std::wstring(FileNamePart(folder)));
    snapshot.packages.push_back(package);
    return SaveFolder(snapshot, snapshot.packages.size() - 1, source, package.stored);
  }

  bool SaveFolder(Snapshot& snapshot, size_t package, const std::wstring& source,
                  const std::wstring& stored) {
    std::wstring why;
    DWORD failed = 0;
    const DWORD error =
        WalkFolder(source, kMaxPackageDepth, [&](const WalkedEntry& entry) -> DWORD {
          if (!IsPathInside(entry.found->cFileName)) {
            why = L"the package folder " + source + L" holds " + entry.relative;
            return ERROR_INVALID_DATA;
          }
          // What a link leads to is no part of the package: never followed.
          if (entry.link) {
            why = L"the package folder " + source + L" holds a link: " + entry.relative;
            return ERROR_INVALID_DATA;
          }
          if (entry.folder) return 0;
          SnapshotFile file;
          file.package = package;
          file.stored = stored + L"\\" + entry.relative;
          file.original = source + L"\\" + entry.relative;
          failed =
              copier_.Copy(file.original, folder_ + L"\\" + file.stored, file.bytes, file.sha256);
          if (failed != 0) {
            why = L"the file " + file.original + L" could not be saved";
            return failed;
          }
          snapshot.files.push_back(std::move(file));
          return 0;
        });
    if (error == 0) return true;
    if (why.empty()) {
      why = error == ERROR_FILENAME_EXCED_RANGE
                ? L"the package folder " + source + L" nests too deep"
                : L"the package folder " + source + L" could not be read";
    }
    return Fail(std::move(why), error);
  }

  // The TCP/IP ports a copy brings: the settings its plan judged, or each
  // asked of the monitor, up to eight at a time.
  bool SavePorts(Snapshot& snapshot) {
    const bool judged = plan_.portSettings.size() == plan_.ports.size();
    std::vector<TcpIpPortSettings> settings =
        judged ? plan_.portSettings : std::vector<TcpIpPortSettings>(plan_.ports.size());
    std::vector<DWORD> errors(plan_.ports.size(), 0);
    if (!judged) {
      RunAtOnce(plan_.ports.size(), kPortsAtOnce, [&](size_t p) {
        errors[p] = ReadTcpIpPort(Server(), plan_.ports[p], settings[p]);
      });
    }
    for (size_t p = 0; p < plan_.ports.size(); ++p) {
      if (errors[p] != 0) {
        return Fail(L"the settings of the port " + plan_.ports[p] + L" could not be read",
                    errors[p]);
      }
      snapshot.ports.push_back(PortRecordOf(settings[p]));
    }
    return true;
  }

  bool SavePrinters(Snapshot& snapshot) {
    for (const PlannedPrinter& planned : plan_.printers) {
      SnapshotPrinter printer;
      if (!SavePrinter(planned.name, printer)) return false;
      snapshot.printers.push_back(std::move(printer));
    }
    return true;
  }

  bool SavePrinter(const std::wstring& name, SnapshotPrinter& printer) {
    const auto failed = [&](const wchar_t* what, DWORD error) {
      return Fail(L"the " + std::wstring(what) + L" of the printer " + name + L" could not be read",
                  error);
    };
    PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    UniquePrinter handle;
    if (!Platform().OpenPrinterW(const_cast<wchar_t*>(name.c_str()), handle.put(), &defaults)) {
      return failed(L"settings", ::GetLastError());
    }
    SpoolerAnswer answer;
    DWORD error = ReadSpoolerList(
        [&handle](BYTE* buffer, DWORD size, DWORD* needed, DWORD* returned) {
          const BOOL read = Platform().GetPrinterW(handle.get(), 2, buffer, size, needed);
          *returned = read && buffer ? 1 : 0;
          return read;
        },
        kPrinterInfo2Layout, answer);
    if (error == 0 && answer.count != 1) error = ERROR_INVALID_DATA;
    if (error != 0) return failed(L"settings", error);
    const auto& record = *reinterpret_cast<const PRINTER_INFO_2W*>(answer.buffer.get());
    printer.name = name;
    printer.shareName = Text(record.pShareName);
    printer.portName = Text(record.pPortName);
    printer.driverName = Text(record.pDriverName);
    printer.comment = Text(record.pComment);
    printer.location = Text(record.pLocation);
    printer.sepFile = Text(record.pSepFile);
    printer.printProcessor = Text(record.pPrintProcessor);
    printer.datatype = Text(record.pDatatype);
    printer.parameters = Text(record.pParameters);
    printer.attributes = record.Attributes;
    printer.priority = record.Priority;
    printer.defaultPriority = record.DefaultPriority;
    printer.startTime = record.StartTime;
    printer.untilTime = record.UntilTime;
    if (!CopyDevMode(answer, record.pDevMode, printer.devMode)) {
      return failed(L"default settings (DEVMODE)", ERROR_INVALID_DATA);
    }
    if (!CopySecurity(answer, record.pSecurityDescriptor, printer.securityDescriptor)) {
      return failed(L"security descriptor", ERROR_INVALID_DATA);
    }
    error = SaveKey(handle.get(), L"", 0, printer.data);
    return error == 0 || failed(L"printer data", error);
  }

  // A DEVMODE inside the answer, whole: its public and private parts, as a
  // restore will take it.
  static bool CopyDevMode(const SpoolerAnswer& answer, const DEVMODEW* devMode,
                          std::vector<BYTE>& copy) {
    if (devMode == nullptr) return true;
    const size_t room = RoomAt(answer, devMode);
    const size_t header = offsetof(DEVMODEW, dmFields);
    if (room < header) return false;
    const auto* at = reinterpret_cast<const BYTE*>(devMode);
    DEVMODEW head;
    std::memcpy(&head, at, header);
    const size_t size = size_t{head.dmSize} + head.dmDriverExtra;
    if (size > room || !IsWholeDevMode(at, size)) return false;
    copy.assign(at, at + size);
    return true;
  }

  // A self-relative security descriptor inside the answer, whole and valid.
  static bool CopySecurity(const SpoolerAnswer& answer, PSECURITY_DESCRIPTOR descriptor,
                           std::vector<BYTE>& copy) {
    if (descriptor == nullptr) return true;
    const auto* at = static_cast<const BYTE*>(descriptor);
    const size_t length = WholeSecurityDescriptorLength(at, RoomAt(answer, descriptor));
    if (length == 0) return false;
    copy.assign(at, at + length);
    return true;
  }

  // The bytes of the answer from `at` on; 0 for a pointer outside it.
  static size_t RoomAt(const SpoolerAnswer& answer, const void* at) {
    const BYTE* begin = answer.buffer.get();
    const auto* byte = static_cast<const BYTE*>(at);
    if (byte < begin || static_cast<size_t>(byte - begin) >= answer.bytes) return 0;
    return answer.bytes - static_cast<size_t>(byte - begin);
  }

  // Every value of a printer data key and of each key below it.
  DWORD SaveKey(HANDLE printer, const std::wstring& key, int depth,
                std::vector<SnapshotValue>& data) {
    if (depth > kMaxKeyDepth) return ERROR_INVALID_DATA;
    if (!key.empty()) {
      if (const DWORD error = SaveValues(printer, key, data)) return error;
    }
    std::vector<std::wstring> subkeys;
    if (const DWORD error = Subkeys(printer, key, subkeys)) return error;
    for (const std::wstring& subkey : subkeys) {
      const std::wstring path = key.empty() ? subkey : key + L"\\" + subkey;
      if (const DWORD error = SaveKey(printer, path, depth + 1, data)) return error;
    }
    return 0;
  }

  static DWORD Subkeys(HANDLE printer, const std::wstring& key,
                       std::vector<std::wstring>& subkeys) {
    DWORD needed = 0;
    DWORD error = Platform().EnumPrinterKeyW(printer, key.c_str(), nullptr, 0, &needed);
    if (error == ERROR_CALL_NOT_IMPLEMENTED) {
      // A spooler that cannot list its keys (Wine's) has the keys drivers and
      // the directory service write read by name.
      if (key.empty()) subkeys = {L"PrinterDriverData", L"DsSpooler", L"DsDriver", L"DsUser"};
      return 0;
    }
    if (error == ERROR_FILE_NOT_FOUND || (error == 0 && needed == 0)) return 0;  // none below
    if (error != ERROR_MORE_DATA) return error != 0 ? error : ERROR_INVALID_DATA;
    if (needed > kMaxSpoolerAnswerBytes || needed % sizeof(wchar_t) != 0) return ERROR_INVALID_DATA;
    std::wstring list(needed / sizeof(wchar_t) + 2, L'\0');  // ends in two NULs whatever it says
    error = Platform().EnumPrinterKeyW(printer, key.c_str(), list.data(), needed, &needed);
    if (error != 0) return error;
    for (size_t start = 0; start < list.size() && list[start] != L'\0';) {
      const size_t end = list.find(L'\0', start);
      const std::wstring name = list.substr(start, end - start);
      if (name.find(L'\\') != std::wstring::npos) return ERROR_INVALID_DATA;
      subkeys.push_back(name);
      start = end + 1;
    }
    return 0;
  }

  static DWORD SaveValues(HANDLE printer, const std::wstring& key,
                          std::vector<SnapshotValue>& data) {
    DWORD needed = 0;
    DWORD count = 0;
    DWORD error = Platform().EnumPrinterDataExW(printer, key.c_str(), nullptr, 0, &needed, &count);
    if (error == 0 || error == ERROR_FILE_NOT_FOUND) return 0;  // no values
    if (error != ERROR_MORE_DATA) return error;
    if (needed > kMaxSpoolerAnswerBytes) return ERROR_INVALID_DATA;
    std::unique_ptr<BYTE[]> buffer(new (std::nothrow) BYTE[needed]);
    if (!buffer) return ERROR_NOT_ENOUGH_MEMORY;
    error =
        Platform().EnumPrinterDataExW(printer, key.c_str(), buffer.get(), needed, &needed, &count);
    if (error != 0) return error;
    if (count > needed / sizeof(PRINTER_ENUM_VALUESW)) return ERROR_INVALID_DATA;
    const BYTE* begin = buffer.get();
    for (DWORD i = 0; i < count; ++i) {
      PRINTER_ENUM_VALUESW value;
      std::memcpy(&value, begin + i * sizeof(value), sizeof(value));
      const auto* name = reinterpret_cast<const BYTE*>(value.pValueName);
      const auto* bytes = value.pData;
      const auto inside = [&](const BYTE* at, size_t size) {
        return size == 0 || (at >= begin && at <= begin + needed &&
                             size <= static_cast<size_t>(begin + needed - at));
      };
      if (value.pValueName == nullptr || !inside(name, value.cbValueName) ||
          value.cbValueName < sizeof(wchar_t) || value.cbValueName % sizeof(wchar_t) != 0 ||
          !inside(bytes, value.cbData) || (value.cbData > 0 && bytes == nullptr)) {
        return ERROR_INVALID_DATA;
      }
      SnapshotValue saved;
      saved.key = key;
      saved.name.assign(value.pValueName, value.cbValueName / sizeof(wchar_t));
      saved.name.resize(std::wcslen(saved.name.c_str()));  // up to its terminator
      saved.type = value.dwType;
      if (value.cbData > 0) saved.data.assign(bytes, bytes + value.cbData);
      data.push_back(std::move(saved));
    }
    return 0;
  }

  // Written last, and under another name first: a folder with a manifest
  // holds a whole snapshot.
  bool SaveManifest(const Snapshot& snapshot) {
    const std::string text = ManifestText(snapshot);
    const std::wstring path = folder_ + L"\\" + kManifestName;
    const std::wstring partial = path + L".partial";
    DWORD error = 0;
    {
      const UniqueFileHandle file(::CreateFileW(LongPath(partial).c_str(), GENERIC_WRITE, 0,
                                                nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                                nullptr));
      DWORD written = 0;
      if (!file) {
        error = ::GetLastError();
      } else if (!::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written,
                              nullptr) ||
                 written != text.size() || !::FlushFileBuffers(file.get())) {
        error = ::GetLastError() != 0 ? ::GetLastError() : ERROR_WRITE_FAULT;
      }
    }
    if (error == 0 && !::MoveFileExW(LongPath(partial).c_str(), LongPath(path).c_str(), 0)) {
      error = ::GetLastError();
    }
    return error == 0 || Fail(L"the manifest could not be written", error);
  }

  const DeletionPlan& plan_;
  const MachineFiles files_;
  const std::wstring folder_;
  std::wstring& problem_;
  DWORD error_ = 0;
  SpoolerAnswer answer_;
  std::unordered_set<std::wstring> storedFiles_;
  FileCopier copier_{plan_.stop};
};

// A new folder for one snapshot: root\MACHINE\yyyymmddThhmmssZ, or "-2" and
// on after it when a snapshot of that second is there.
// Only administrators, the system and the account taking it may change it.
DWORD CreateSnapshotFolder(const std::wstring& root, const std::wstring& machine,
                           std::wstring& folder) {
  const std::wstring parent = root + L"\\" + FolderNameOf(machine);
  if (const DWORD error = CreateFolders(parent)) return error;
  const std::wstring stamp = UtcStamp(L'\0');
  for (int attempt = 1; attempt < 100; ++attempt) {
    folder = parent + L"\\" + stamp + (attempt == 1 ? L"" : L"-" + std::to_wstring(attempt));
    const DWORD error = CreateProtectedFolder(LongPath(folder));
    if (error != ERROR_ALREADY_EXISTS) return error;
  }
  return ERROR_ALREADY_EXISTS;
}

}  // namespace

std::wstring DefaultSnapshotRoot() {
  wchar_t local[MAX_PATH * 2] = {};
  const DWORD length = ::GetEnvironmentVariableW(L"LOCALAPPDATA", local, MAX_PATH * 2);
  if (length == 0 || length >= MAX_PATH * 2) {
    local[0] = L'\0';
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, nullptr,
                                  SHGFP_TYPE_CURRENT, local))) {
      local[0] = L'\0';
    }
  }
  return std::wstring(local) + L"\\Kestrun\\Snapshots";
}

std::wstring SnapshotMachineName(const DeletionPlan& plan) {
  if (plan.isRemote) return std::wstring(BareMachineName(plan.targetName));
  return ThisComputerName();
}

std::wstring ThisComputerName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  return ::GetComputerNameW(name, &size) ? name : L"localhost";
}

std::wstring LongPath(std::wstring_view path) {
  if (path.substr(0, 4) == L"\\\\?\\") return std::wstring(path);
  if (path.substr(0, 2) == L"\\\\") return L"\\\\?\\UNC\\" + std::wstring(path.substr(2));
  if (path.size() >= 3 && path[1] == L':' && path[2] == L'\\')
    return L"\\\\?\\" + std::wstring(path);
  return std::wstring(path);
}

DWORD CreateFolders(const std::wstring& path) {
  if (path.empty()) return 0;
  const DWORD attributes = ::GetFileAttributesW(LongPath(path).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 0 : ERROR_DIRECTORY;
  }
  const std::wstring parent = std::wstring(ParentOf(path));
  // A share's root ("\\SRV\share") and a drive's are never made here.
  if (!parent.empty() && parent != path && parent.size() > 3 && parent != L"\\\\" &&
      std::count(parent.begin(), parent.end(), L'\\') > (parent[0] == L'\\' ? 3 : 0)) {
    if (const DWORD error = CreateFolders(parent)) return error;
  }
  if (::CreateDirectoryW(LongPath(path).c_str(), nullptr) ||
      ::GetLastError() == ERROR_ALREADY_EXISTS) {
    return 0;
  }
  return ::GetLastError();
}

DWORD TakeSnapshot(const DeletionPlan& plan, const std::wstring& root, std::wstring& folder,
                   std::wstring& problem) {
  if (const DWORD error = CreateSnapshotFolder(root, SnapshotMachineName(plan), folder)) {
    problem = L"its folder below " + root + L" could not be made";
    return error;
  }
  const WritingSnapshot counted;
  Snapshot snapshot;
  DWORD error = ERROR_NOT_ENOUGH_MEMORY;
  problem = L"memory ran out";
  try {
    SnapshotWriter writer(plan, folder, problem);
    error = writer.Write(snapshot) ? 0 : writer.Error();
  } catch (const std::bad_alloc&) {
    error = ERROR_NOT_ENOUGH_MEMORY;
  }
  if (error != 0) RemoveTree(folder);
  return error;
}

void WaitForSnapshotsInProgress(DWORD milliseconds) {
  std::unique_lock<std::mutex> held(writingLock);
  writingEnded.wait_for(held, std::chrono::milliseconds(milliseconds), [] { return writing == 0; });
}

DWORD CopyFileBytes(HANDLE from, HANDLE to, BYTE* chunk, ULONGLONG& bytes, Sha256* hash,
                    const std::atomic<bool>* stop, ULONGLONG most) {
  bytes = 0;
  for (;;) {
    if (stop != nullptr && stop->load()) return ERROR_CANCELLED;
    DWORD read = 0;
    if (!::ReadFile(from, chunk, kCopyChunkBytes, &read, nullptr)) return ::GetLastError();
    if (read == 0) return 0;
    if (read > most - bytes) return ERROR_FILE_INVALID;
    DWORD written = 0;
    if (!::WriteFile(to, chunk, read, &written, nullptr)) return ::GetLastError();
    if (written != read) return ERROR_WRITE_FAULT;
    if (hash != nullptr) hash->Add(chunk, read);
    bytes += read;
  }
}

DWORD HashOpenFile(HANDLE file, BYTE* chunk, ULONGLONG& bytes, std::string& sha256) {
  Sha256 hash;
  bytes = 0;
  DWORD got = 0;
  while (::ReadFile(file, chunk, kCopyChunkBytes, &got, nullptr)) {
    if (got == 0) {
      sha256 = hash.FinishHex();
      return 0;
    }
    hash.Add(chunk, got);
    bytes += got;
  }
  return ::GetLastError();
}

void KeepWriteTime(HANDLE from, HANDLE to) {
  FILETIME written = {};
  if (::GetFileTime(from, nullptr, nullptr, &written)) {
    ::SetFileTime(to, nullptr, nullptr, &written);
  }
}

namespace {

// The path an open handle names on its volume, as the file system has it
// (links resolved, long names), without the "\\?\" prefix; empty on failure.
std::wstring FinalPathOf(HANDLE open) {
  std::wstring path(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 3; ++attempt) {
    const DWORD length = ::GetFinalPathNameByHandleW(
        open, path.data(), static_cast<DWORD>(path.size()), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\" + path.substr(7);
      if (path.rfind(L"\\\\?\\", 0) == 0) return path.substr(4);
      return path;
    }
    path.assign(length + 1, L'\0');
  }
  return {};
}

// The path as asked, its short (8.3) names made long; no link is followed.
std::wstring LongNamesOf(const std::wstring& path) {
  const std::wstring asked = LongPath(path);
  std::wstring longer(asked.size() + MAX_PATH, L'\0');
  const DWORD length =
      ::GetLongPathNameW(asked.c_str(), longer.data(), static_cast<DWORD>(longer.size()));
  if (length == 0 || length >= longer.size()) return path;
  longer.resize(length);
  if (longer.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\" + longer.substr(7);
  if (longer.rfind(L"\\\\?\\", 0) == 0) return longer.substr(4);
  return longer;
}

// Opens a folder or file of a snapshot for reading (and its security),
// shared for reading only; a link is opened itself, never followed.
UniqueFileHandle OpenUnfollowed(const std::wstring& path, bool folder) {
  const DWORD access = (folder ? FILE_LIST_DIRECTORY : GENERIC_READ) | READ_CONTROL |
                       FILE_READ_ATTRIBUTES | SYNCHRONIZE;
  const DWORD flags = FILE_FLAG_OPEN_REPARSE_POINT |
                      (folder ? FILE_FLAG_BACKUP_SEMANTICS : FILE_FLAG_SEQUENTIAL_SCAN);
  return UniqueFileHandle(::CreateFileW(LongPath(path).c_str(), access, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, flags, nullptr));
}

// Why an opened handle is not `expected` itself (a link is, or one on the
// way leads elsewhere); empty when it is.
std::wstring ReachedThroughLink(HANDLE open, const std::wstring& expected) {
  FILE_ATTRIBUTE_TAG_INFO tag = {};
  if (!::GetFileInformationByHandleEx(open, FileAttributeTagInfo, &tag, sizeof(tag))) {
    return L" could not be read (error " + std::to_wstring(::GetLastError()) + L")";
  }
  if (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return L" is a link";
  const std::wstring reached = FinalPathOf(open);
  if (reached.empty()) {
    return L" could not be read (error " + std::to_wstring(::GetLastError()) + L")";
  }
  if (NameKey(reached) == NameKey(expected)) return {};
  std::wstring why = L" is reached through a link (it is ";
  AppendShownText(why, reached);
  return why + L")";
}

// Whether each package folder holds only the files the manifest lists for
// it, and no link: an upload would take whatever else lies there.
bool HoldsOnlyListedFiles(const std::wstring& folder, const Snapshot& snapshot,
                          std::wstring& problem) {
  std::unordered_map<std::wstring, size_t> listed;  // stored name: its package
  listed.reserve(snapshot.files.size());
  for (const SnapshotFile& file : snapshot.files) {
    if (file.package != kNoOwner) listed.emplace(NameKey(file.stored), file.package);
  }
  for (size_t k = 0; k < snapshot.packages.size(); ++k) {
    const SnapshotPackage& package = snapshot.packages[k];
    const std::wstring at = L"line " + std::to_wstring(package.line) + L": the package folder ";
    const DWORD error = WalkFolder(
        folder + L"\\" + package.stored, kMaxPackageDepth, [&](const WalkedEntry& entry) -> DWORD {
          const std::wstring path = package.stored + L"\\" + entry.relative;
          if (entry.link) {
            problem = at + L"holds a link: " + path;
            return ERROR_INVALID_DATA;
          }
          if (entry.folder) return 0;
          const auto found = listed.find(NameKey(path));
          if (found != listed.end() && found->second == k) return 0;
          problem = at + L"holds " + path + L", which the manifest does not list";
          return ERROR_INVALID_DATA;
        });
    if (error != 0 && error != ERROR_INVALID_DATA) {
      problem =
          at + package.stored + L" could not be listed (error " + std::to_wstring(error) + L")";
    }
    if (error != 0) return false;
  }
  return true;
}

// Each package's size and its INF's version, for the restore's lines and
// log, read through the held files (each read again from its start later).
void ReadPackageFacts(Snapshot& snapshot, const HeldSnapshot& held) {
  std::unordered_map<std::wstring, size_t> infs;  // its INF's stored name: the package
  for (size_t k = 0; k < snapshot.packages.size(); ++k) {
    const SnapshotPackage& package = snapshot.packages[k];
    infs.emplace(NameKey(package.stored + L"\\" + FileNamePart(package.infPath)), k);
  }
  for (size_t f = 0; f < snapshot.files.size(); ++f) {
    const SnapshotFile& file = snapshot.files[f];
    if (file.package >= snapshot.packages.size()) continue;
    snapshot.packages[file.package].bytes += file.bytes;
    const auto inf = infs.find(NameKey(file.stored));
    if (inf == infs.end() || inf->second != file.package) continue;
    std::string bytes(static_cast<size_t>(std::min<ULONGLONG>(file.bytes, kMaxInfBytes)), '\0');
    DWORD read = 0;
    InfFields fields;
    if (::SetFilePointerEx(held.files[f].get(), LARGE_INTEGER{}, nullptr, FILE_BEGIN) &&
        (bytes.empty() || ::ReadFile(held.files[f].get(), bytes.data(),
                                     static_cast<DWORD>(bytes.size()), &read, nullptr)) &&
        ReadInfFields(bytes.substr(0, read), fields) == InfRead::Read) {
      snapshot.packages[file.package].version = fields.version;
    }
  }
}

// Reads all of an open file of at most `most` bytes.
DWORD ReadWhole(HANDLE file, size_t most, std::string& bytes) {
  LARGE_INTEGER size = {};
  if (!::GetFileSizeEx(file, &size)) return ::GetLastError();
  if (size.QuadPart > static_cast<LONGLONG>(most)) return ERROR_FILE_TOO_LARGE;
  bytes.assign(static_cast<size_t>(size.QuadPart), '\0');
  DWORD read = 0;
  if (!bytes.empty() &&
      (!::ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) ||
       read != bytes.size())) {
    return read != bytes.size() && ::GetLastError() == 0 ? ERROR_HANDLE_EOF : ::GetLastError();
  }
  return 0;
}

}  // namespace

bool ReadSnapshot(const std::wstring& folder, Snapshot& snapshot, CheckedFiles& checked,
                  std::wstring& problem, const std::atomic<bool>* stop) {
  ProcessTrust trust;
  if (const DWORD error = trust.Read()) {
    problem =
        L"The account running Kestrun could not be read (error " + std::to_wstring(error) + L")";
    return false;
  }
  auto held = std::make_shared<HeldSnapshot>();
  // The folder first, reached without a link and held until the restore
  // ends: what is judged here is what is read and installed.
  const std::wstring asked = LongNamesOf(folder);
  held->folder = OpenUnfollowed(folder, true);
  if (!held->folder) {
    problem = folder + L" could not be opened (error " + std::to_wstring(::GetLastError()) + L")";
    return false;
  }
  if (std::wstring why = ReachedThroughLink(held->folder.get(), asked); !why.empty()) {
    problem = folder + why + L": name the snapshot folder itself";
    return false;
  }
  if (!trust.Judge(held->folder.get(), folder, problem)) return false;

  const std::wstring path = folder + L"\\" + kManifestName;
  const UniqueFileHandle manifest = OpenUnfollowed(path, false);
  if (!manifest) {
    problem = path + L" could not be read (error " + std::to_wstring(::GetLastError()) + L")";
    return false;
  }
  if (std::wstring why = ReachedThroughLink(manifest.get(), asked + L"\\" + kManifestName);
      !why.empty()) {
    problem = path + why;
    return false;
  }
  if (!trust.Judge(manifest.get(), path, problem)) return false;
  std::string bytes;
  if (const DWORD error = ReadWhole(manifest.get(), kMaxManifestBytes, bytes)) {
    problem = error == ERROR_FILE_TOO_LARGE
                  ? path + L" is too large for a manifest"
                  : path + L" could not be read (error " + std::to_wstring(error) + L")";
    return false;
  }
  if (!ReadManifest(bytes, snapshot, problem)) return false;
  // Every file as it was saved, before anything is changed.
  std::unique_ptr<BYTE[]> chunk(new (std::nothrow) BYTE[kCopyChunkBytes]);
  if (!chunk) {
    problem = L"memory ran out";
    return false;
  }
  held->files.resize(snapshot.files.size());
  for (size_t f = 0; f < snapshot.files.size(); ++f) {
    if (stop && stop->load()) {
      problem = L"the reading was cancelled";
      return false;
    }
    const SnapshotFile& saved = snapshot.files[f];
    const std::wstring at = L"line " + std::to_wstring(saved.line) + L": ";
    UniqueFileHandle in = OpenUnfollowed(folder + L"\\" + saved.stored, false);
    if (!in) {
      const DWORD error = ::GetLastError();
      problem = at + L"the file " + saved.stored +
                (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                     ? L" is missing"
                     : L" could not be opened (error " + std::to_wstring(error) + L")");
      return false;
    }
    if (std::wstring why = ReachedThroughLink(in.get(), asked + L"\\" + saved.stored);
        !why.empty()) {
      problem = at + L"the file " + saved.stored + why;
      return false;
    }
    if (!trust.Judge(in.get(), folder + L"\\" + saved.stored, problem)) return false;
    ULONGLONG bytesRead = 0;
    std::string sha256;
    if (const DWORD error = HashOpenFile(in.get(), chunk.get(), bytesRead, sha256)) {
      problem = at + L"the file " + saved.stored + L" could not be read (error " +
                std::to_wstring(error) + L")";
      return false;
    }
    if (bytesRead != saved.bytes || sha256 != saved.sha256) {
      problem = at + L"the file " + saved.stored + L" does not match its checksum";
      return false;
    }
    held->files[f] = std::move(in);
  }
  if (!HoldsOnlyListedFiles(folder, snapshot, problem)) return false;
  ReadPackageFacts(snapshot, *held);
  checked = std::move(held);
  return true;
}

}  // namespace kestrun
