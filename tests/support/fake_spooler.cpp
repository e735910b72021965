#include "tests/support/fake_spooler.h"

#include <sddl.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <cwctype>

#include "inventory/platform.h"
#include "inventory/printers.h"
#include "inventory/snapshot.h"

namespace kestrun::testing {

namespace {

FakeSpooler* activeSpooler = nullptr;

size_t TextBytes(const OptionalText& text) {
  return text ? (text->size() + 1) * sizeof(wchar_t) : 0;
}

size_t ListBytes(const OptionalList& list) {
  if (!list) return 0;
  size_t chars = 1;  // the list's own terminator
  for (const auto& entry : *list) chars += entry.size() + 1;
  return chars * sizeof(wchar_t);
}

class StringPacker {
 public:
  explicit StringPacker(BYTE* cursor) : cursor_(cursor) {}

  LPWSTR Text(const OptionalText& text) { return text ? Text(*text) : nullptr; }

  LPWSTR Text(const std::wstring& text) {  // no optional copied on the way
    auto* out = reinterpret_cast<wchar_t*>(cursor_);
    std::wmemcpy(out, text.c_str(), text.size() + 1);
    cursor_ += (text.size() + 1) * sizeof(wchar_t);
    return out;
  }

  // Binary bytes (a security descriptor), at the next 8-byte boundary.
  void* Binary(const std::vector<BYTE>& bytes) {
    if (bytes.empty()) return nullptr;
    while (reinterpret_cast<uintptr_t>(cursor_) % 8 != 0) ++cursor_;
    std::memcpy(cursor_, bytes.data(), bytes.size());
    void* at = cursor_;
    cursor_ += bytes.size();
    return at;
  }

  LPWSTR List(const OptionalList& list) {
    if (!list) return nullptr;
    auto* out = reinterpret_cast<wchar_t*>(cursor_);
    wchar_t* write = out;
    for (const auto& entry : *list) {
      std::wmemcpy(write, entry.c_str(), entry.size() + 1);
      write += entry.size() + 1;
    }
    *write = L'\0';
    cursor_ += ListBytes(list);
    return out;
  }

 private:
  BYTE* cursor_;
};

BOOL WINAPI SeamEnumPrinterDrivers(LPWSTR server, LPWSTR environment, DWORD level, LPBYTE buffer,
                                   DWORD size, LPDWORD needed, LPDWORD returned) {
  return activeSpooler->EnumPrinterDrivers(server, environment, level, buffer, size, needed,
                                           returned);
}

DWORD WINAPI SeamAddConnection(LPNETRESOURCEW resource, LPCWSTR password, LPCWSTR user,
                               DWORD flags) {
  return activeSpooler->AddConnection(resource, password, user, flags);
}

DWORD WINAPI SeamCancelConnection(LPCWSTR name, DWORD flags, BOOL force) {
  return activeSpooler->CancelConnection(name, flags, force);
}

BOOL WINAPI SeamEnumPrinters(DWORD flags, LPWSTR name, DWORD level, LPBYTE buffer, DWORD size,
                             LPDWORD needed, LPDWORD returned) {
  return activeSpooler->EnumPrinters(flags, name, level, buffer, size, needed, returned);
}

BOOL WINAPI SeamOpenPrinter(LPWSTR name, LPHANDLE handle, LPPRINTER_DEFAULTSW defaults) {
  return activeSpooler->OpenPrinter(name, handle, defaults);
}

BOOL WINAPI SeamDeletePrinter(HANDLE handle) { return activeSpooler->DeletePrinter(handle); }

BOOL WINAPI SeamClosePrinter(HANDLE handle) { return activeSpooler->ClosePrinter(handle); }

BOOL WINAPI SeamDeletePrinterDriverEx(LPWSTR server, LPWSTR environment, LPWSTR driverName,
                                      DWORD deleteFlag, DWORD versionFlag) {
  return activeSpooler->DeletePrinterDriverEx(server, environment, driverName, deleteFlag,
                                              versionFlag);
}

HRESULT WINAPI SeamDeletePrinterDriverPackage(LPCWSTR server, LPCWSTR infPath,
                                              LPCWSTR environment) {
  return activeSpooler->DeletePrinterDriverPackage(server, infPath, environment);
}

DWORD WINAPI SeamGetPrinterDataEx(HANDLE handle, LPCWSTR key, LPCWSTR value, LPDWORD type,
                                  LPBYTE data, DWORD size, LPDWORD needed) {
  return activeSpooler->GetPrinterDataEx(handle, key, value, type, data, size, needed);
}

BOOL WINAPI SeamEnumPorts(LPWSTR name, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed,
                          LPDWORD returned) {
  return activeSpooler->EnumPorts(name, level, buffer, size, needed, returned);
}

BOOL WINAPI SeamEnumPrintProcessors(LPWSTR name, LPWSTR environment, DWORD level, LPBYTE buffer,
                                    DWORD size, LPDWORD needed, LPDWORD returned) {
  return activeSpooler->EnumPrintProcessors(name, environment, level, buffer, size, needed,
                                            returned);
}

BOOL WINAPI SeamXcvData(HANDLE handle, PCWSTR dataName, PBYTE input, DWORD inputSize, PBYTE output,
                        DWORD outputSize, PDWORD written, PDWORD status) {
  return activeSpooler->XcvData(handle, dataName, input, inputSize, output, outputSize, written,
                                status);
}

NET_API_STATUS WINAPI SeamNetServerEnum(LMCSTR server, DWORD level, LPBYTE* buffer,
                                        DWORD preferredLength, LPDWORD entriesRead,
                                        LPDWORD totalEntries, DWORD serverType, LMCSTR domain,
                                        LPDWORD resumeHandle) {
  return activeSpooler->NetServerEnum(server, level, buffer, preferredLength, entriesRead,
                                      totalEntries, serverType, domain, resumeHandle);
}

NET_API_STATUS WINAPI SeamNetServerGetInfo(LMSTR server, DWORD level, LPBYTE* buffer) {
  return activeSpooler->NetServerGetInfo(server, level, buffer);
}
LSTATUS WINAPI SeamRegConnectRegistry(LPCWSTR server, HKEY, PHKEY root) {
  return activeSpooler->RegConnectRegistry(server, root);
}
LSTATUS WINAPI SeamRegOpenKeyEx(HKEY parent, LPCWSTR key, DWORD, REGSAM, PHKEY opened) {
  return activeSpooler->RegOpenKeyEx(parent, key, opened);
}
LSTATUS WINAPI SeamRegQueryValueEx(HKEY key, LPCWSTR name, LPDWORD, LPDWORD type, LPBYTE data,
                                   LPDWORD size) {
  return activeSpooler->RegQueryValueEx(key, name, type, data, size);
}
LSTATUS WINAPI SeamRegEnumValue(HKEY key, DWORD index, LPWSTR name, LPDWORD nameSize, LPDWORD,
                                LPDWORD type, LPBYTE data, LPDWORD size) {
  return activeSpooler->RegEnumValue(key, index, name, nameSize, type, data, size);
}
LSTATUS WINAPI SeamRegCloseKey(HKEY key) { return activeSpooler->RegCloseKey(key); }

NET_API_STATUS WINAPI SeamNetApiBufferFree(LPVOID buffer) {
  return activeSpooler->NetApiBufferFree(buffer);
}

NET_API_STATUS WINAPI SeamNetApiBufferSize(LPVOID buffer, LPDWORD bytes) {
  return activeSpooler->NetApiBufferSize(buffer, bytes);
}

BOOL WINAPI SeamGetPrinterDriverDirectory(LPWSTR server, LPWSTR environment, DWORD level,
                                          LPBYTE buffer, DWORD size, LPDWORD needed) {
  return activeSpooler->GetPrinterDriverDirectory(server, environment, level, buffer, size, needed);
}
BOOL WINAPI SeamGetPrinter(HANDLE handle, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed) {
  return activeSpooler->GetPrinter(handle, level, buffer, size, needed);
}
DWORD WINAPI SeamEnumPrinterKey(HANDLE handle, LPCWSTR key, LPWSTR subkeys, DWORD size,
                                LPDWORD needed) {
  return activeSpooler->EnumPrinterKey(handle, key, subkeys, size, needed);
}
DWORD WINAPI SeamEnumPrinterDataEx(HANDLE handle, LPCWSTR key, LPBYTE values, DWORD size,
                                   LPDWORD needed, LPDWORD count) {
  return activeSpooler->EnumPrinterDataEx(handle, key, values, size, needed, count);
}
DWORD WINAPI SeamSetPrinterDataEx(HANDLE handle, LPCWSTR key, LPCWSTR name, DWORD type,
                                  LPBYTE data, DWORD size) {
  return activeSpooler->SetPrinterDataEx(handle, key, name, type, data, size);
}
BOOL WINAPI SeamAddPrinterDriverEx(LPWSTR server, DWORD level, LPBYTE info, DWORD flags) {
  return activeSpooler->AddPrinterDriverEx(server, level, info, flags);
}
HANDLE WINAPI SeamAddPrinter(LPWSTR server, DWORD level, LPBYTE info) {
  return activeSpooler->AddPrinter(server, level, info);
}
BOOL WINAPI SeamSetPrinter(HANDLE handle, DWORD level, LPBYTE info, DWORD command) {
  return activeSpooler->SetPrinter(handle, level, info, command);
}
HRESULT WINAPI SeamUploadPrinterDriverPackage(LPCWSTR server, LPCWSTR infPath,
                                              LPCWSTR environment, DWORD flags, HWND window,
                                              LPWSTR uploaded, PULONG length) {
  return activeSpooler->UploadPrinterDriverPackage(server, infPath, environment, flags, window,
                                                   uploaded, length);
}
HRESULT WINAPI SeamInstallPrinterDriverFromPackage(LPCWSTR server, LPCWSTR infPath,
                                                   LPCWSTR driverName, LPCWSTR environment,
                                                   DWORD flags) {
  return activeSpooler->InstallPrinterDriverFromPackage(server, infPath, driverName, environment,
                                                        flags);
}

std::wstring OrNull(const wchar_t* text) { return text ? text : L"(null)"; }

// Hands a call's outcome to the caller as the spooler does; set after the lock
// is released, so nothing in between can change the thread's last error.
BOOL Outcome(DWORD error) {
  if (error == 0) return TRUE;
  ::SetLastError(error);
  return FALSE;
}

// The two-call protocol of a list, with a machine's tampering: the sizing
// call (no buffer, or too small) reports the bytes needed, the filling call
// packs the records and their strings.
DWORD AnswerList(const Tampering& tampering, DWORD required, DWORD firstError, DWORD secondError,
                 LPBYTE buffer, DWORD size, LPDWORD needed, LPDWORD returned,
                 const std::function<DWORD(BYTE*)>& pack) {
  const DWORD asked = tampering.askedBytes ? tampering.askedBytes : required;
  *needed = asked;
  if (buffer == nullptr || size < asked) {
    if (tampering.sizingSuccessCount) {
      *returned = *tampering.sizingSuccessCount;
      return 0;
    }
    // No records: the first call succeeds.
    return firstError ? firstError : required == 0 ? 0 : ERROR_INSUFFICIENT_BUFFER;
  }
  if (secondError) return secondError;
  *returned = pack(buffer);
  if (tampering.answer) tampering.answer(buffer, size, *returned);
  return 0;
}

bool SameTextIgnoringCase(const std::wstring& a, const std::wstring& b) {
  return _wcsicmp(a.c_str(), b.c_str()) == 0;
}

// The strings of one PRINTER_INFO_2 record, as the spooler fills them.
struct PrinterStrings {
  OptionalText serverName, printerName, shareName, portName, driverName, comment, location, sepFile,
      printProcessor, dataType, parameters;

  PrinterStrings(const std::wstring& server, const FakePrinter& p)
      : serverName(server.empty() ? OptionalText() : OptionalText(server)),
        printerName(server.empty() || p.name.rfind(L"\\\\", 0) == 0 ? p.name
                                                                    : server + L"\\" + p.name),
        shareName(p.shareName),
        portName(p.portName),
        driverName(p.driverName),
        comment(p.comment),
        location(p.location),
        sepFile(L""),
        printProcessor(p.printProcessor),
        dataType(L"RAW"),
        parameters(L"") {}

  size_t Bytes() const {
    return TextBytes(serverName) + TextBytes(printerName) + TextBytes(shareName) +
           TextBytes(portName) + TextBytes(driverName) + TextBytes(comment) + TextBytes(location) +
           TextBytes(sepFile) + TextBytes(printProcessor) + TextBytes(dataType) +
           TextBytes(parameters);
  }
};

// Splits "\\SRV\Office" into the machine key and the bare printer name; a
// name without a server part belongs to the local machine.
bool SplitPrinterName(const std::wstring& full, std::wstring& server, std::wstring& printer) {
  if (full.rfind(L"\\\\", 0) != 0) {
    server.clear();
    printer = full;
    return !printer.empty();
  }
  const size_t slash = full.find(L'\\', 2);
  if (slash == std::wstring::npos) return false;  // a server's own name, not a printer
  server = full.substr(0, slash);
  printer = full.substr(slash + 1);
  return !printer.empty();
}

}  // namespace

void FakeSpooler::Install() {
  activeSpooler = this;
  PlatformApi api = RealPlatform();
  api.EnumPrinterDriversW = SeamEnumPrinterDrivers;
  api.WNetAddConnection2W = SeamAddConnection;
  api.WNetCancelConnection2W = SeamCancelConnection;
  api.EnumPrintersW = SeamEnumPrinters;
  api.OpenPrinterW = SeamOpenPrinter;
  api.DeletePrinter = SeamDeletePrinter;
  api.ClosePrinter = SeamClosePrinter;
  api.DeletePrinterDriverExW = SeamDeletePrinterDriverEx;
  api.GetPrinterDataExW = SeamGetPrinterDataEx;
  api.DeletePrinterDriverPackageW = SeamDeletePrinterDriverPackage;
  api.EnumPortsW = SeamEnumPorts;
  api.XcvDataW = SeamXcvData;
  api.EnumPrintProcessorsW = SeamEnumPrintProcessors;
  api.NetServerEnum = SeamNetServerEnum;
  api.NetApiBufferFree = SeamNetApiBufferFree;
  api.NetServerGetInfo = SeamNetServerGetInfo;
  api.RegConnectRegistryW = SeamRegConnectRegistry;
  api.RegOpenKeyExW = SeamRegOpenKeyEx;
  api.RegQueryValueExW = SeamRegQueryValueEx;
  api.RegEnumValueW = SeamRegEnumValue;
  api.RegCloseKey = SeamRegCloseKey;
  api.NetApiBufferSize = SeamNetApiBufferSize;
  api.GetPrinterDriverDirectoryW = SeamGetPrinterDriverDirectory;
  api.GetPrinterW = SeamGetPrinter;
  api.EnumPrinterKeyW = SeamEnumPrinterKey;
  api.EnumPrinterDataExW = SeamEnumPrinterDataEx;
  api.SetPrinterDataExW = SeamSetPrinterDataEx;
  api.AddPrinterDriverExW = SeamAddPrinterDriverEx;
  api.AddPrinterW = SeamAddPrinter;
  api.SetPrinterW = SeamSetPrinter;
  api.UploadPrinterDriverPackageW = SeamUploadPrinterDriverPackage;
  api.InstallPrinterDriverFromPackageW = SeamInstallPrinterDriverFromPackage;
  InstallPlatform(api);
}

void FakeSpooler::Uninstall() {
  InstallPlatform(RealPlatform());
  activeSpooler = nullptr;
}

std::vector<std::wstring> FakeSpooler::Calls() {
  std::lock_guard<std::mutex> guard(lock);
  return calls;
}

std::vector<std::wstring> FakeSpooler::CallsStartingWith(const std::wstring& prefix) {
  std::vector<std::wstring> found;
  for (const auto& call : Calls()) {
    if (call.rfind(prefix, 0) == 0) found.push_back(call);
  }
  return found;
}

void FakeSpooler::Record(std::wstring call) {
  std::lock_guard<std::mutex> guard(lock);
  if (recordCalls) calls.push_back(std::move(call));
}

FakeMachine* FakeSpooler::FindMachine(const wchar_t* server) {
  const auto found = machines.find(server ? server : L"");
  return found == machines.end() ? nullptr : &found->second;
}

BOOL FakeSpooler::EnumPrinterDrivers(LPWSTR server, LPWSTR environment, DWORD level, LPBYTE buffer,
                                     DWORD size, LPDWORD needed, LPDWORD returned) {
  Record(L"EnumPrinterDrivers " + OrNull(server) + L" " + OrNull(environment) + L" " +
         std::to_wstring(level) + L" " + std::to_wstring(size));
  DWORD delay = 0;
  {
    std::lock_guard<std::mutex> guard(lock);
    ++enumerateCalls;
    if (FakeMachine* machine = FindMachine(server)) delay = machine->enumerateDelayMs;
  }
  if (delay) ::Sleep(delay);  // outside the lock, so other calls go on meanwhile

  DWORD error = 0;
  {
    std::lock_guard<std::mutex> guard(lock);
    *returned = 0;
    FakeMachine* machine = FindMachine(server);
    if (machine && level == 8 && machine->storeFolderVanishes && machine->level8Reads++ == 2) {
      kestrun::RemoveTree(MachineShare(server, L"admin$") +
                          L"\\System32\\DriverStore\\FileRepository\\gone.inf_amd64_2");
    }
    if (machine == nullptr) {
      error = RPC_S_SERVER_UNAVAILABLE;
    } else if ((level != 6 && level != 8) || environment == nullptr ||
               std::wcscmp(environment, L"all") != 0) {
      error = ERROR_INVALID_LEVEL;
    } else if (level == 8 && machine->packageListError) {
      error = machine->packageListError;
    } else if (level == 8 && machine->packageRereadError && machine->level8Calls++ >= 2) {
      error = machine->packageRereadError;  // the listing's two calls went through
    } else {
      const bool level8 = level == 8;
      error = AnswerList(
          machine->driverTampering,
          level8 ? DriverBufferSize8(machine->drivers) : DriverBufferSize(machine->drivers),
          machine->firstCallError, machine->secondCallError, buffer, size, needed, returned,
          [machine, level8](BYTE* records) {
            (level8 ? PackDrivers8 : PackDrivers)(machine->drivers, records);
            return static_cast<DWORD>(machine->drivers.size());
          });
    }
  }
  return Outcome(error);
}

DWORD FakeSpooler::AddConnection(LPNETRESOURCEW resource, LPCWSTR password, LPCWSTR user,
                                 DWORD flags) {
  std::wstring remote = OrNull(resource->lpRemoteName);
  Record(L"WNetAddConnection2 " + remote + L" type=" + std::to_wstring(resource->dwType) +
         L" local=" + OrNull(resource->lpLocalName) + L" provider=" + OrNull(resource->lpProvider) +
         L" password=" + OrNull(password) + L" user=" + OrNull(user) + L" flags=" +
         std::to_wstring(flags));
  const std::wstring suffix = L"\\IPC$";
  if (remote.size() <= suffix.size() ||
      remote.compare(remote.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return ERROR_BAD_NET_NAME;
  }
  std::lock_guard<std::mutex> guard(lock);
  FakeMachine* machine = FindMachine(remote.substr(0, remote.size() - suffix.size()).c_str());
  return machine ? machine->connectResult : ERROR_BAD_NETPATH;
}

DWORD FakeSpooler::CancelConnection(LPCWSTR name, DWORD flags, BOOL force) {
  Record(L"WNetCancelConnection2 " + OrNull(name) + L" flags=" + std::to_wstring(flags) +
         L" force=" + std::to_wstring(force));
  return ERROR_NOT_CONNECTED;
}

BOOL FakeSpooler::EnumPrinters(DWORD flags, LPWSTR name, DWORD level, LPBYTE buffer, DWORD size,
                               LPDWORD needed, LPDWORD returned) {
  Record(L"EnumPrinters flags=" + std::to_wstring(flags) + L" " + OrNull(name) + L" " +
         std::to_wstring(level) + L" " + std::to_wstring(size));
  DWORD error = 0;
  {
    std::lock_guard<std::mutex> guard(lock);
    *returned = 0;
    const std::wstring server = name ? name : L"";
    FakeMachine* machine = FindMachine(server.c_str());
    if (machine == nullptr) {
      error = RPC_S_SERVER_UNAVAILABLE;
    } else if (level != 2) {
      error = ERROR_INVALID_LEVEL;
    } else {
      std::vector<FakePrinter> listed = machine->printers;
      if (flags & PRINTER_ENUM_CONNECTIONS) {
        listed.insert(listed.end(), machine->connections.begin(), machine->connections.end());
      }
      error = AnswerList(machine->printerTampering, PrinterBufferSize(server, listed),
                         machine->printerListError, machine->printerListSecondError, buffer, size,
                         needed, returned, [&listed, &server](BYTE* records) {
                           PackPrinters(server, listed, records);
                           return static_cast<DWORD>(listed.size());
                         });
    }
  }
  return Outcome(error);
}

BOOL FakeSpooler::OpenPrinter(LPWSTR name, LPHANDLE handle, LPPRINTER_DEFAULTSW defaults) {
  const DWORD access = defaults ? defaults->DesiredAccess : 0;
  Record(L"OpenPrinter " + OrNull(name) + L" access=" + std::to_wstring(access) + L" datatype=" +
         OrNull(defaults ? defaults->pDatatype : nullptr) +
         (defaults && defaults->pDevMode ? L" devmode=set" : L" devmode=(null)"));
  DWORD error = 0;
  {
    std::lock_guard<std::mutex> guard(lock);
    *handle = nullptr;
    std::wstring server, printer;
    FakeMachine* machine = nullptr;
    if (name && SplitPrinterName(name, server, printer)) machine = FindMachine(server.c_str());
    const auto found = machine ? FindPrinter(*machine, printer) : nullptr;
    FakeMachine* serverItself = name && name[0] == L'\\' ? FindMachine(name) : nullptr;
    const std::wstring xcvPort = L",XcvPort ";
    if (machine != nullptr && printer == L",XcvMonitor Standard TCP/IP Port") {
      nextHandle_ += 8;
      *handle = reinterpret_cast<HANDLE>(nextHandle_);
      openPrinters[*handle] = FakePrinterHandle{server, printer, access};
    } else if (machine != nullptr && printer.rfind(xcvPort, 0) == 0) {
      // A port's monitor, for XcvDataW.
      if (FindPort(*machine, printer.substr(xcvPort.size())) == nullptr) {
        error = ERROR_INVALID_PRINTER_NAME;
      } else {
        nextHandle_ += 8;
        *handle = reinterpret_cast<HANDLE>(nextHandle_);
        openPrinters[*handle] = FakePrinterHandle{server, printer, access};
      }
    } else if (serverItself != nullptr) {
      // The server's own handle: its settings can be read, nothing deleted.
      nextHandle_ += 8;
      *handle = reinterpret_cast<HANDLE>(nextHandle_);
      openPrinters[*handle] = FakePrinterHandle{name, L"", access};
    } else if (found == nullptr) {
      error = ERROR_INVALID_PRINTER_NAME;
    } else if (found->openError) {
      error = found->openError;
    } else {
      nextHandle_ += 8;
      *handle = reinterpret_cast<HANDLE>(nextHandle_);
      openPrinters[*handle] = FakePrinterHandle{server, found->name, access};
    }
  }
  return Outcome(error);
}

BOOL FakeSpooler::DeletePrinter(HANDLE handle) {
  Record(L"DeletePrinter " + HandleName(handle));
  DWORD error = 0;
  {
    std::lock_guard<std::mutex> guard(lock);
    const auto open = openPrinters.find(handle);
    FakeMachine* machine =
        open == openPrinters.end() ? nullptr : FindMachine(open->second.server.c_str());
    FakePrinter* found = machine ? FindPrinter(*machine, open->second.printer) : nullptr;
    if (open == openPrinters.end()) {
      error = ERROR_INVALID_HANDLE;
    } else if (found == nullptr) {
      error = ERROR_INVALID_PRINTER_NAME;  // deleted through another handle meanwhile
    } else if (found->deleteError) {
      error = found->deleteError;
    } else {
      machine->printers.erase(machine->printers.begin() + (found - machine->printers.data()));
    }
  }
  return Outcome(error);
}

BOOL FakeSpooler::ClosePrinter(HANDLE handle) {
  Record(L"ClosePrinter " + HandleName(handle));
  DWORD error = 0;
  {
    std::lock_guard<std::mutex> guard(lock);
    if (openPrinters.erase(handle) == 0) {
      ++badPrinterCloses;
      error = ERROR_INVALID_HANDLE;
    }
  }
  return Outcome(error);
}

BOOL FakeSpooler::DeletePrinterDriverEx(LPWSTR server, LPWSTR environment, LPWSTR driverName,
                                        DWORD deleteFlag, DWORD versionFlag) {
  Record(L"DeletePrinterDriverEx " + OrNull(server) + L" " + OrNull(environment) + L" " +
         OrNull(driverName) + L" flags=" + std::to_wstring(deleteFlag) + L" version=" +
         std::to_wstring(versionFlag));
  DWORD delay = 0;
  {
    std::lock_guard<std::mutex> guard(lock);
    if (FakeMachine* machine = FindMachine(server)) delay = machine->deleteDelayMs;
  }
  if (delay) ::Sleep(delay);  // a slow driver call, outside the lock
  DWORD error = 0;
  {
    std::lock_guard<std::mutex> guard(lock);
    // With DPD_DELETE_SPECIFIC_VERSION only that version (cVersion) goes.
    const bool specific = (deleteFlag & DPD_DELETE_SPECIFIC_VERSION) != 0;
    error = RemoveDriver(server, environment, driverName, specific ? &versionFlag : nullptr);
  }
  return Outcome(error);
}

DWORD FakeSpooler::RemoveDriver(const wchar_t* server, const wchar_t* environment,
                                const wchar_t* driverName, const DWORD* version) {
  FakeMachine* machine = FindMachine(server);
  if (machine == nullptr) return RPC_S_SERVER_UNAVAILABLE;
  if (machine->deleteDriverError) return machine->deleteDriverError;
  if (driverName == nullptr) return ERROR_INVALID_PARAMETER;
  // No environment means the server's own, which is x64 for every fake machine.
  const std::wstring wanted = environment ? environment : L"Windows x64";
  auto matches = [&](const FakeDriver& d) {
    return d.name && SameTextIgnoringCase(*d.name, driverName) && d.environment &&
           SameTextIgnoringCase(*d.environment, wanted) &&
           (version == nullptr || d.type == *version);
  };
  auto& drivers = machine->drivers;
  const auto first = std::find_if(drivers.begin(), drivers.end(), matches);
  if (first == drivers.end()) return ERROR_UNKNOWN_PRINTER_DRIVER;
  if (first->deleteError) return first->deleteError;
  // A printer, or a connection to another server's, uses the driver of its
  // name in its server's own environment.
  const std::wstring own = machine->architecture.value_or(L"Windows x64");
  for (const auto& p : machine->printers) {
    if (SameTextIgnoringCase(p.driverName, driverName) && SameTextIgnoringCase(own, wanted)) {
      return ERROR_PRINTER_DRIVER_IN_USE;
    }
  }
  // Every version of the driver in that environment goes, or the one named.
  drivers.erase(std::remove_if(drivers.begin(), drivers.end(), matches), drivers.end());
  return 0;
}

HRESULT FakeSpooler::DeletePrinterDriverPackage(LPCWSTR server, LPCWSTR infPath,
                                                LPCWSTR environment) {
  Record(L"DeletePrinterDriverPackage " + OrNull(server) + L" " + OrNull(infPath) + L" " +
         OrNull(environment));
  std::lock_guard<std::mutex> guard(lock);
  FakeMachine* machine = FindMachine(server);
  if (machine == nullptr) return HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE);
  if (infPath == nullptr || environment == nullptr) return E_INVALIDARG;
  if (machine->packageDeleteError) return HRESULT_FROM_WIN32(machine->packageDeleteError);
  // A driver still installed from the package keeps it.
  for (const auto& d : machine->drivers) {
    if (d.infPath && SameTextIgnoringCase(*d.infPath, infPath)) {
      return HRESULT_FROM_WIN32(3015);  // ERROR_PRINTER_DRIVER_PACKAGE_IN_USE
    }
  }
  machine->removedPackages.push_back(std::wstring(infPath) + L"|" + environment);
  // A remote server's package folder, when a test made one, goes from its store.
  const std::wstring path(infPath);
  const std::wstring store = L"\\DriverStore\\FileRepository\\";
  const size_t at = path.find(store);
  const size_t end = at == std::wstring::npos ? at : path.find(L'\\', at + store.size());
  if (server != nullptr && server[0] == L'\\' && end != std::wstring::npos) {
    kestrun::RemoveTree(MachineShare(server, L"admin$") + L"\\System32" +
                        path.substr(at, end - at));
  }
  return S_OK;
}

DWORD FakeSpooler::GetPrinterDataEx(HANDLE handle, LPCWSTR key, LPCWSTR value, LPDWORD type,
                                    LPBYTE data, DWORD size, LPDWORD needed) {
  Record(L"GetPrinterDataEx " + HandleName(handle) + L" key=" + OrNull(key) + L" " + OrNull(value) +
         L" " + std::to_wstring(size));
  std::lock_guard<std::mutex> guard(lock);
  const auto open = openPrinters.find(handle);
  if (open == openPrinters.end()) return ERROR_INVALID_HANDLE;
  FakeMachine* machine = FindMachine(open->second.server.c_str());
  if (machine == nullptr || !open->second.printer.empty() || !machine->architecture ||
      value == nullptr || std::wcscmp(value, SPLREG_ARCHITECTURE) != 0) {
    return ERROR_FILE_NOT_FOUND;
  }
  const DWORD bytes = static_cast<DWORD>((machine->architecture->size() + 1) * sizeof(wchar_t));
  *needed = bytes;
  if (type) *type = REG_SZ;
  if (size < bytes || data == nullptr) return ERROR_MORE_DATA;
  std::memcpy(data, machine->architecture->c_str(), bytes);
  return ERROR_SUCCESS;
}

BOOL FakeSpooler::EnumPorts(LPWSTR name, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed,
                            LPDWORD returned) {
  Record(L"EnumPorts " + OrNull(name) + L" " + std::to_wstring(level) + L" " +
         std::to_wstring(size));
  DWORD error = 0;
  {
    std::lock_guard<std::mutex> guard(lock);
    *returned = 0;
    FakeMachine* machine = FindMachine(name);
    if (machine == nullptr) {
      error = RPC_S_SERVER_UNAVAILABLE;
    } else if (level != 2) {
      error = ERROR_INVALID_LEVEL;
    } else {
      error =
          AnswerList(machine->portTampering, PortBufferSize(machine->ports), machine->portListError,
                     0, buffer, size, needed, returned, [machine](BYTE* records) {
                       PackPorts(machine->ports, records);
                       return static_cast<DWORD>(machine->ports.size());
                     });
    }
  }
  return Outcome(error);
}

BOOL FakeSpooler::EnumPrintProcessors(LPWSTR name, LPWSTR environment, DWORD level, LPBYTE buffer,
                                      DWORD size, LPDWORD needed, LPDWORD returned) {
  Record(L"EnumPrintProcessors " + OrNull(name) + L" " + OrNull(environment));
  std::lock_guard<std::mutex> guard(lock);
  *returned = 0;
  FakeMachine* machine = FindMachine(name);
  if (machine == nullptr) return Outcome(RPC_S_SERVER_UNAVAILABLE);
  if (level != 1) return Outcome(ERROR_INVALID_LEVEL);
  size_t bytes = machine->printProcessors.size() * sizeof(PRINTPROCESSOR_INFO_1W);
  for (const std::wstring& processor : machine->printProcessors) {
    bytes += (processor.size() + 1) * sizeof(wchar_t);
  }
  return Outcome(AnswerList({}, static_cast<DWORD>(bytes), machine->printProcessorError, 0, buffer,
                            size, needed, returned, [machine](BYTE* records) {
                              auto* infos = reinterpret_cast<PRINTPROCESSOR_INFO_1W*>(records);
                              StringPacker strings(records + machine->printProcessors.size() *
                                                                 sizeof(PRINTPROCESSOR_INFO_1W));
                              for (size_t i = 0; i < machine->printProcessors.size(); ++i) {
                                infos[i].pName = strings.Text(machine->printProcessors[i]);
                              }
                              return static_cast<DWORD>(machine->printProcessors.size());
                            }));
}

BOOL FakeSpooler::XcvData(HANDLE handle, PCWSTR dataName, PBYTE input, DWORD inputSize,
                          PBYTE output, DWORD outputSize, PDWORD written, PDWORD status) {
  Record(L"XcvData " + HandleName(handle) + L" " + OrNull(dataName));
  DWORD delay = 0;
  {
    std::lock_guard<std::mutex> guard(lock);
    const auto open = openPrinters.find(handle);
    FakeMachine* machine =
        open == openPrinters.end() ? nullptr : FindMachine(open->second.server.c_str());
    delay = machine ? machine->copyCallDelayMs : 0;
  }
  if (delay) ::Sleep(delay);
  std::lock_guard<std::mutex> guard(lock);
  const auto open = openPrinters.find(handle);
  FakeMachine* machine =
      open == openPrinters.end() ? nullptr : FindMachine(open->second.server.c_str());
  if (machine && open->second.printer == L",XcvMonitor Standard TCP/IP Port") {
    // "AddPort" with a PORT_DATA_1, as the monitor takes it.
    PortData1 data = {};
    const bool asked =
        dataName && std::wcscmp(dataName, L"AddPort") == 0 && input && inputSize >= sizeof(data);
    if (asked) std::memcpy(&data, input, sizeof(data));
    *written = 0;
    const std::wstring name(data.sztPortName, wcsnlen(data.sztPortName, 64));
    *status = !asked                                ? ERROR_INVALID_PARAMETER
              : machine->addPortStatus              ? machine->addPortStatus
              : FindPort(*machine, name) != nullptr ? ERROR_ALREADY_EXISTS
                                                    : 0;
    if (*status == 0) {
      FakePort port;
      port.name = name;
      port.host.assign(data.sztHostAddress, wcsnlen(data.sztHostAddress, 49));
      port.protocol = data.dwProtocol;
      port.portNumber = data.dwPortNumber;
      port.queue.assign(data.sztQueue, wcsnlen(data.sztQueue, 33));
      port.byteCount = data.dwDoubleSpool != 0;
      port.snmp = data.dwSNMPEnabled != 0;
      port.community.assign(data.sztSNMPCommunity, wcsnlen(data.sztSNMPCommunity, 33));
      port.snmpIndex = data.dwSNMPDevIndex;
      machine->ports.push_back(port);
    }
    return TRUE;
  }
  const std::wstring xcvPort = L",XcvPort ";
  FakePort* port = machine && open->second.printer.rfind(xcvPort, 0) == 0
                       ? FindPort(*machine, open->second.printer.substr(xcvPort.size()))
                       : nullptr;
  if (port == nullptr) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // GetConfigInfo for a port with a host; any other question is refused.
  ConfigInfoData1 request = {};
  if (input && inputSize >= sizeof(request)) std::memcpy(&request, input, sizeof(request));
  const bool asked =
      dataName && std::wcscmp(dataName, L"GetConfigInfo") == 0 && request.dwVersion == 1;
  *written = sizeof(PortData1);
  *status = !asked                           ? ERROR_INVALID_PARAMETER
            : port->host.empty()             ? ERROR_NOT_SUPPORTED
            : port->xcvStatus                ? port->xcvStatus
            : outputSize < sizeof(PortData1) ? ERROR_INSUFFICIENT_BUFFER
                                             : 0;
  if (*status != 0) return TRUE;
  PortData1 data = {};
  data.dwVersion = 1;
  data.dwProtocol = port->protocol;
  port->host.copy(data.sztHostAddress, std::size(data.sztHostAddress) - 1);
  port->queue.copy(data.sztQueue, std::size(data.sztQueue) - 1);
  port->community.copy(data.sztSNMPCommunity, std::size(data.sztSNMPCommunity) - 1);
  data.dwDoubleSpool = port->byteCount ? 1 : 0;
  data.dwSNMPEnabled = port->snmp ? 1 : 0;
  data.dwSNMPDevIndex = port->snmpIndex;
  data.dwPortNumber = port->portNumber;
  std::memcpy(output, &data, sizeof(data));
  if (port->tampering) port->tampering(output, outputSize, *written);
  return TRUE;
}

FakePort* FakeSpooler::FindPort(FakeMachine& machine, const std::wstring& name) {
  for (auto& port : machine.ports) {
    if (SameTextIgnoringCase(port.name, name)) return &port;
  }
  return nullptr;
}

FakePrinter* FakeSpooler::FindPrinter(FakeMachine& machine, const std::wstring& name) {
  for (auto& p : machine.printers) {
    if (SameTextIgnoringCase(p.name, name)) return &p;
  }
  return nullptr;
}

std::wstring FakeSpooler::HandleName(HANDLE handle) {
  std::lock_guard<std::mutex> guard(lock);
  const auto open = openPrinters.find(handle);
  if (open == openPrinters.end()) return L"(unknown)";
  return open->second.printer.empty() ? open->second.server : open->second.printer;
}

NET_API_STATUS FakeSpooler::NetServerEnum(LPCWSTR server, DWORD level, LPBYTE* buffer,
                                          DWORD preferredLength, LPDWORD entriesRead,
                                          LPDWORD totalEntries, DWORD serverType, LPCWSTR domain,
                                          LPDWORD resumeHandle) {
  Record(L"NetServerEnum " + OrNull(server) + L" " + std::to_wstring(level) + L" " +
         std::to_wstring(preferredLength) + L" type=" + std::to_wstring(serverType) + L" domain=" +
         OrNull(domain) + L" resume=" +
         (resumeHandle ? std::to_wstring(*resumeHandle) : std::wstring(L"(null)")));
  DWORD delay = 0;
  {
    std::lock_guard<std::mutex> guard(lock);
    delay = serverListDelayMs;
  }
  if (delay) ::Sleep(delay);

  std::lock_guard<std::mutex> guard(lock);
  *buffer = nullptr;
  *entriesRead = 0;
  *totalEntries = 0;
  if (level != 100) return ERROR_INVALID_LEVEL;
  if (serverListStatus != NERR_Success && serverListStatus != ERROR_MORE_DATA) {
    return serverListStatus;
  }
  if (serverNames.empty()) return serverListStatus;

  size_t bytes = serverNames.size() * sizeof(SERVER_INFO_100);
  for (const auto& name : serverNames) bytes += (name.size() + 1) * sizeof(wchar_t);
  BYTE* block = static_cast<BYTE*>(::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, bytes));
  if (block == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  auto* records = reinterpret_cast<SERVER_INFO_100*>(block);
  auto* text = reinterpret_cast<wchar_t*>(block + serverNames.size() * sizeof(SERVER_INFO_100));
  for (size_t i = 0; i < serverNames.size(); ++i) {
    records[i].sv100_platform_id = PLATFORM_ID_NT;
    records[i].sv100_name = text;
    std::wmemcpy(text, serverNames[i].c_str(), serverNames[i].size() + 1);
    text += serverNames[i].size() + 1;
  }
  serverBuffers.insert(block);
  *buffer = block;
  *entriesRead = static_cast<DWORD>(serverNames.size());
  *totalEntries = serverListTotal ? serverListTotal : *entriesRead;
  return serverListStatus;
}

NET_API_STATUS FakeSpooler::NetApiBufferFree(LPVOID buffer) {
  Record(buffer ? L"NetApiBufferFree" : L"NetApiBufferFree (null)");
  if (buffer == nullptr) return NERR_Success;  // as the real one: nothing to free
  std::lock_guard<std::mutex> guard(lock);
  if (serverBuffers.erase(buffer) == 0) {
    ++badBufferFrees;  // never handed out, or freed already: not touched
    return ERROR_INVALID_PARAMETER;
  }
  ::HeapFree(::GetProcessHeap(), 0, buffer);
  return NERR_Success;
}

NET_API_STATUS FakeSpooler::NetServerGetInfo(LPCWSTR server, DWORD level, LPBYTE* buffer) {
  Record(L"NetServerGetInfo " + OrNull(server) + L" " + std::to_wstring(level));
  std::lock_guard<std::mutex> guard(lock);
  *buffer = nullptr;
  const FakeMachine* machine = FindMachine(server);
  if (machine == nullptr) return ERROR_BAD_NETPATH;
  if (level != 101) return ERROR_INVALID_LEVEL;
  auto* info = static_cast<SERVER_INFO_101*>(
      ::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(SERVER_INFO_101)));
  if (info == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  info->sv101_platform_id = PLATFORM_ID_NT;
  info->sv101_type = machine->serverType;
  serverBuffers.insert(info);
  *buffer = reinterpret_cast<LPBYTE>(info);
  return NERR_Success;
}

namespace {

// Waits a machine's registry delay, outside the lock; its code when it has no registry.
LSTATUS RegistryCall(FakeSpooler& fake, const std::wstring& machine) {
  DWORD delay = 0;
  {
    std::lock_guard<std::mutex> guard(fake.lock);
    const auto found = fake.machines.find(machine);
    if (found == fake.machines.end()) return ERROR_BAD_NETPATH;
    delay = found->second.registryDelayMs;
  }
  if (delay) ::Sleep(delay);
  return ERROR_SUCCESS;
}

// A call on an open key: its machine and path, after the machine's delay.
LSTATUS KeyCall(FakeSpooler& fake, HKEY key, std::pair<std::wstring, std::wstring>& at) {
  {
    std::lock_guard<std::mutex> guard(fake.lock);
    const auto found = fake.openKeys.find(key);
    if (found == fake.openKeys.end()) return ERROR_INVALID_HANDLE;
    at = found->second;
  }
  return RegistryCall(fake, at.first);
}

LSTATUS CopyOut(const void* from, DWORD bytes, LPBYTE to, LPDWORD size) {
  const DWORD room = size ? *size : 0;
  if (size) *size = bytes;
  if (to == nullptr) return ERROR_SUCCESS;
  if (room < bytes) return ERROR_MORE_DATA;
  std::memcpy(to, from, bytes);
  return ERROR_SUCCESS;
}

}  // namespace

LSTATUS FakeSpooler::RegConnectRegistry(LPCWSTR server, HKEY* root) {
  Record(L"RegConnectRegistry " + OrNull(server));
  const std::wstring machine = OrNull(server);
  if (const LSTATUS status = RegistryCall(*this, machine)) return status;
  std::lock_guard<std::mutex> guard(lock);
  if (const DWORD error = machines[machine].registryConnectError)
    return static_cast<LSTATUS>(error);
  *root = reinterpret_cast<HKEY>(new char);
  openKeys[*root] = {machine, L""};
  return ERROR_SUCCESS;
}

LSTATUS FakeSpooler::RegOpenKeyEx(HKEY parent, LPCWSTR key, HKEY* opened) {
  std::wstring machine;
  {
    std::lock_guard<std::mutex> guard(lock);
    const auto found = openKeys.find(parent);
    if (parent != HKEY_LOCAL_MACHINE && found == openKeys.end()) return ERROR_INVALID_HANDLE;
    if (found != openKeys.end()) machine = found->second.first;
  }
  if (const LSTATUS status = RegistryCall(*this, machine)) return status;
  std::lock_guard<std::mutex> guard(lock);
  const FakeMachine& of = machines[machine];
  const std::wstring path = key;
  if (const auto error = of.registryKeyErrors.find(path); error != of.registryKeyErrors.end()) {
    return static_cast<LSTATUS>(error->second);
  }
  const auto value = of.registry.lower_bound(path + L"\\");
  if (value == of.registry.end() || value->first.rfind(path + L"\\", 0) != 0) {
    return ERROR_FILE_NOT_FOUND;
  }
  *opened = reinterpret_cast<HKEY>(new char);
  openKeys[*opened] = {machine, path};
  return ERROR_SUCCESS;
}

LSTATUS FakeSpooler::RegQueryValueEx(HKEY key, LPCWSTR name, LPDWORD type, LPBYTE data,
                                     LPDWORD size) {
  std::pair<std::wstring, std::wstring> at;
  if (const LSTATUS status = KeyCall(*this, key, at)) return status;
  std::lock_guard<std::mutex> guard(lock);
  const FakeMachine& of = machines[at.first];
  const auto value = of.registry.find(at.second + L"\\" + name);
  if (value == of.registry.end()) return ERROR_FILE_NOT_FOUND;
  if (type) *type = value->second.type;
  return CopyOut(value->second.data.data(), static_cast<DWORD>(value->second.data.size()), data,
                 size);
}

LSTATUS FakeSpooler::RegEnumValue(HKEY key, DWORD index, LPWSTR name, LPDWORD nameSize,
                                  LPDWORD type, LPBYTE data, LPDWORD size) {
  std::pair<std::wstring, std::wstring> at;
  if (const LSTATUS status = KeyCall(*this, key, at)) return status;
  std::lock_guard<std::mutex> guard(lock);
  const std::wstring prefix = at.second + L"\\";
  DWORD seen = 0;
  for (const auto& [path, value] : machines[at.first].registry) {
    if (path.rfind(prefix, 0) != 0 || path.find(L'\\', prefix.size()) != std::wstring::npos) {
      continue;  // another key's, or a subkey's
    }
    if (seen++ < index) continue;
    const std::wstring own = path.substr(prefix.size());
    if (*nameSize <= own.size()) return ERROR_MORE_DATA;
    std::wmemcpy(name, own.c_str(), own.size() + 1);
    *nameSize = static_cast<DWORD>(own.size());
    if (type) *type = value.type;
    return CopyOut(value.data.data(), static_cast<DWORD>(value.data.size()), data, size);
  }
  return ERROR_NO_MORE_ITEMS;
}

LSTATUS FakeSpooler::RegCloseKey(HKEY key) {
  std::lock_guard<std::mutex> guard(lock);
  if (openKeys.erase(key) == 0) return ERROR_INVALID_HANDLE;
  delete reinterpret_cast<char*>(key);
  return ERROR_SUCCESS;
}

size_t FakeSpooler::OpenRegistryKeys() {
  std::lock_guard<std::mutex> guard(lock);
  return openKeys.size();
}

NET_API_STATUS FakeSpooler::NetApiBufferSize(LPVOID buffer, LPDWORD bytes) {
  std::lock_guard<std::mutex> guard(lock);
  if (serverBuffers.count(buffer) == 0) return ERROR_INVALID_PARAMETER;
  *bytes = static_cast<DWORD>(::HeapSize(::GetProcessHeap(), 0, buffer));
  return NERR_Success;
}

size_t FakeSpooler::OpenPrinterCount() {
  std::lock_guard<std::mutex> guard(lock);
  return openPrinters.size();
}

int FakeSpooler::BadPrinterCloses() {
  std::lock_guard<std::mutex> guard(lock);
  return badPrinterCloses;
}

size_t FakeSpooler::OutstandingServerBuffers() {
  std::lock_guard<std::mutex> guard(lock);
  return serverBuffers.size();
}

int FakeSpooler::BadBufferFrees() {
  std::lock_guard<std::mutex> guard(lock);
  return badBufferFrees;
}

std::vector<std::wstring> FakeSpooler::PrinterNames(const std::wstring& server) {
  std::lock_guard<std::mutex> guard(lock);
  std::vector<std::wstring> names;
  if (FakeMachine* machine = FindMachine(server.c_str())) {
    for (const auto& p : machine->printers) names.push_back(p.name);
  }
  return names;
}

std::vector<std::wstring> FakeSpooler::DriverKeys(const std::wstring& server) {
  std::lock_guard<std::mutex> guard(lock);
  std::vector<std::wstring> keys;
  if (FakeMachine* machine = FindMachine(server.c_str())) {
    for (const auto& d : machine->drivers) {
      keys.push_back(d.name.value_or(L"(null)") + L"|" + d.environment.value_or(L"(null)"));
    }
  }
  return keys;
}

DWORD PrinterBufferSize(const std::wstring& server, const std::vector<FakePrinter>& printers) {
  size_t bytes = printers.size() * sizeof(PRINTER_INFO_2W);
  for (const auto& p : printers) {
    bytes += PrinterStrings(server, p).Bytes();
    if (!p.securityDescriptor.empty()) bytes += p.securityDescriptor.size() + 8;
  }
  return static_cast<DWORD>(bytes);
}

void PackPrinters(const std::wstring& server, const std::vector<FakePrinter>& printers,
                  BYTE* buffer) {
  auto* records = reinterpret_cast<PRINTER_INFO_2W*>(buffer);
  StringPacker strings(buffer + printers.size() * sizeof(PRINTER_INFO_2W));
  for (size_t i = 0; i < printers.size(); ++i) {
    const PrinterStrings s(server, printers[i]);
    PRINTER_INFO_2W& r = records[i];
    r = {};
    r.pServerName = strings.Text(s.serverName);
    r.pPrinterName = strings.Text(s.printerName);
    r.pShareName = strings.Text(s.shareName);
    r.pPortName = strings.Text(s.portName);
    r.pDriverName = strings.Text(s.driverName);
    r.pComment = strings.Text(s.comment);
    r.pLocation = strings.Text(s.location);
    r.pSepFile = strings.Text(s.sepFile);
    r.pPrintProcessor = strings.Text(s.printProcessor);
    r.pDatatype = strings.Text(s.dataType);
    r.pParameters = strings.Text(s.parameters);
    r.pSecurityDescriptor = strings.Binary(printers[i].securityDescriptor);
    // Another server's printer is a connection; a printer with a share name is shared.
    const bool connection = printers[i].name.rfind(L"\\\\", 0) == 0;
    r.Attributes = connection ? PRINTER_ATTRIBUTE_NETWORK : PRINTER_ATTRIBUTE_LOCAL;
    if (!printers[i].shareName.empty()) r.Attributes |= PRINTER_ATTRIBUTE_SHARED;
    r.Priority = 1;
    r.DefaultPriority = 1;
  }
}

DWORD PortBufferSize(const std::vector<FakePort>& ports) {
  size_t bytes = ports.size() * sizeof(PORT_INFO_2W);
  for (const auto& p : ports) {
    bytes += TextBytes(p.name) + TextBytes(p.monitor) + TextBytes(p.monitor);
  }
  return static_cast<DWORD>(bytes);
}

void PackPorts(const std::vector<FakePort>& ports, BYTE* buffer) {
  auto* records = reinterpret_cast<PORT_INFO_2W*>(buffer);
  StringPacker strings(buffer + ports.size() * sizeof(PORT_INFO_2W));
  for (size_t i = 0; i < ports.size(); ++i) {
    PORT_INFO_2W& r = records[i];
    r = {};
    r.pPortName = strings.Text(ports[i].name);
    r.pMonitorName = strings.Text(ports[i].monitor);
    r.pDescription = strings.Text(ports[i].monitor);
    r.fPortType = PORT_TYPE_WRITE;
  }
}

DWORD DriverBufferSize(const std::vector<FakeDriver>& drivers) {
  size_t bytes = drivers.size() * sizeof(DRIVER_INFO_6);
  for (const auto& d : drivers) {
    bytes += TextBytes(d.name) + TextBytes(d.environment) + TextBytes(d.driverPath) +
             TextBytes(d.dataFile) + TextBytes(d.configFile) + TextBytes(d.helpFile) +
             ListBytes(d.dependentFiles) + TextBytes(d.monitorName) + TextBytes(d.defaultDataType) +
             ListBytes(d.previousNames) + TextBytes(d.mfgName) + TextBytes(d.oemUrl) +
             TextBytes(d.hardwareId) + TextBytes(d.provider);
  }
  return static_cast<DWORD>(bytes);
}

namespace {

// The fields levels 6 and 8 share, strings laid out in the same order.
template <typename Record>
void PackDriverFields(const FakeDriver& d, Record& r, StringPacker& strings) {
  r = {};
  r.cVersion = d.type;
  r.pName = strings.Text(d.name);
  r.pEnvironment = strings.Text(d.environment);
  r.pDriverPath = strings.Text(d.driverPath);
  r.pDataFile = strings.Text(d.dataFile);
  r.pConfigFile = strings.Text(d.configFile);
  r.pHelpFile = strings.Text(d.helpFile);
  r.pDependentFiles = strings.List(d.dependentFiles);
  r.pMonitorName = strings.Text(d.monitorName);
  r.pDefaultDataType = strings.Text(d.defaultDataType);
  r.pszzPreviousNames = strings.List(d.previousNames);
  r.ftDriverDate = d.driverDate;
  r.dwlDriverVersion = d.driverVersion;
  r.pszMfgName = strings.Text(d.mfgName);
  r.pszOEMUrl = strings.Text(d.oemUrl);
  r.pszHardwareID = strings.Text(d.hardwareId);
  r.pszProvider = strings.Text(d.provider);
}

}  // namespace

void PackDrivers(const std::vector<FakeDriver>& drivers, BYTE* buffer) {
  auto* records = reinterpret_cast<DRIVER_INFO_6*>(buffer);
  StringPacker strings(buffer + drivers.size() * sizeof(DRIVER_INFO_6));
  for (size_t i = 0; i < drivers.size(); ++i) PackDriverFields(drivers[i], records[i], strings);
}

DWORD DriverBufferSize8(const std::vector<FakeDriver>& drivers) {
  size_t bytes = DriverBufferSize(drivers) - drivers.size() * sizeof(DRIVER_INFO_6) +
                 drivers.size() * sizeof(DRIVER_INFO_8W);
  for (const auto& d : drivers) bytes += TextBytes(d.infPath);
  return static_cast<DWORD>(bytes);
}

void PackDrivers8(const std::vector<FakeDriver>& drivers, BYTE* buffer) {
  auto* records = reinterpret_cast<DRIVER_INFO_8W*>(buffer);
  StringPacker strings(buffer + drivers.size() * sizeof(DRIVER_INFO_8W));
  for (size_t i = 0; i < drivers.size(); ++i) {
    PackDriverFields(drivers[i], records[i], strings);
    records[i].pszInfPath = strings.Text(drivers[i].infPath);
    records[i].dwPrinterDriverAttributes = drivers[i].attributes;
  }
}

FakeDriver RichDriver(const std::wstring& name, const std::wstring& provider) {
  const std::wstring folder = L"C:\\Windows\\System32\\spool\\DRIVERS\\x64\\3\\";
  FakeDriver d;
  d.name = name;
  d.provider = provider;
  d.environment = L"Windows x64";
  d.driverPath = folder + L"UNIDRV.DLL";
  d.dataFile = folder + L"SAMPLE.GPD";
  d.configFile = folder + L"UNIDRVUI.DLL";
  d.helpFile = folder + L"UNIDRV.HLP";
  d.dependentFiles = std::vector<std::wstring>{folder + L"UNIRES.DLL", folder + L"STDNAMES.GPD",
                                               folder + L"LOCALE.GPD"};
  d.monitorName = L"";
  d.defaultDataType = L"RAW";
  d.previousNames = std::vector<std::wstring>{name + L" (old)", name + L" (older)"};
  d.mfgName = provider;
  d.oemUrl = L"http://www.example.com/printers";
  d.hardwareId = L"example_printer_1234";
  d.driverDate = {0x12345678, 0x01D00000};
  d.driverVersion = 0x000A000000000001ULL;
  return d;
}

FakeDriver InboxClassDriver(const std::wstring& name) {
  FakeDriver d = RichDriver(name, L"Microsoft");
  d.type = 4;
  d.attributes = 0x8;  // PRINTER_DRIVER_CLASS
  d.infPath =
      L"C:\\Windows\\System32\\DriverStore\\FileRepository\\prnms017.inf_amd64_1\\prnms017.inf";
  return d;
}

// A print server as real ones are: two drivers from one vendor package in
// each of two environments (acme.inf_amd64_... and acme.inf_x86_..., files
// named by full path, one dependent file shared), Windows' own IPP class
// driver from its package, RAW and LPR ports (LPR on 515 and on another
// number), a pool, a WSD port; its printers have permissions and data, and
// `queues` more print to the RAW port.
void AddRealServer(FakeMachine& machine, unsigned long queues) {
  const std::wstring store = L"C:\\Windows\\System32\\DriverStore\\FileRepository\\";
  machine.drivers.clear();
  for (const bool x86 : {false, true}) {
    const std::wstring folder = std::wstring(L"C:\\Windows\\System32\\spool\\DRIVERS\\") +
                                (x86 ? L"W32X86" : L"x64") + L"\\3\\";
    for (const wchar_t* name : {L"Acme PCL6", L"Acme PS"}) {
      FakeDriver driver = RichDriver(name, L"Acme");
      driver.environment = x86 ? L"Windows NT x86" : L"Windows x64";
      driver.driverPath = folder + L"acme" + std::wstring(name).substr(5) + L".dll";
      driver.dataFile = driver.configFile = driver.helpFile = folder + L"acmeui.dll";
      driver.dependentFiles = std::vector<std::wstring>{folder + L"acmecomm.dll", L"acmeres.dll"};
      driver.infPath =
          store + (x86 ? L"acme.inf_x86_8d2e6a1f0b9c7e43" : L"acme.inf_amd64_4f1c2b7d9e0a3c61") +
          L"\\acme.inf";
      driver.attributes = 1;  // package aware
      machine.drivers.push_back(driver);
    }
  }
  FakeDriver inbox = InboxClassDriver(L"Microsoft IPP Class Driver");
  inbox.infPath = store + L"ntprint4.inf_amd64_1a2b3c4d5e6f7a8b\\ntprint4.inf";
  machine.drivers.push_back(inbox);
  const wchar_t* tcpIp = L"Standard TCP/IP Port";  // SNMP on, "public", device 1
  machine.ports = {
      {L"IP_10.1.2.3", tcpIp, L"10.1.2.3", 1, 9100, L"", false, true, L"public", 1},
      {L"IP_10.1.2.4", tcpIp, L"10.1.2.4", 2, 515, L"lp", true, true, L"public", 1},
      {L"10.1.2.5", tcpIp, L"10.1.2.5", 2, 5515, L"PASSTHRU", true, true, L"public", 1},
      {L"WSD-7f3a", L"WSD Port"},
      {L"LPT1:", L"Local Port"}};
  // Administrators manage, Everyone prints.
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ::ConvertStringSecurityDescriptorToSecurityDescriptorW(
      L"O:BAG:SYD:(A;;0xf000c;;;BA)(A;;0x20008;;;WD)", SDDL_REVISION_1, &descriptor, nullptr);
  const auto* bytes = static_cast<const BYTE*>(descriptor);
  const std::vector<BYTE> security(bytes, bytes + ::GetSecurityDescriptorLength(descriptor));
  ::LocalFree(descriptor);
  const auto printer = [&security](const std::wstring& name, const wchar_t* driver,
                                   const wchar_t* ports, const wchar_t* share) {
    FakePrinter made{name, driver, ports};
    made.shareName = share;
    made.location = L"Building 1";
    made.securityDescriptor = security;
    made.data[L"PrinterDriverData\\Duplex"] = {REG_DWORD, {1, 0, 0, 0}};
    return made;
  };
  machine.printers = {printer(L"HR Laser", L"Acme PCL6", L"IP_10.1.2.3", L"HRLaser"),
                      printer(L"Finance Pool", L"Acme PS", L"IP_10.1.2.3,IP_10.1.2.4", L"FinPool"),
                      printer(L"Plotter", L"Acme PCL6", L"10.1.2.5", L""),
                      printer(L"Lobby", L"Microsoft IPP Class Driver", L"WSD-7f3a", L"")};
  for (unsigned long q = 1; q <= queues; ++q) {
    machine.printers.push_back(
        printer(L"Queue " + std::to_wstring(q), L"Acme PCL6", L"IP_10.1.2.3", L""));
  }
}

std::vector<FakeDriver> SampleDrivers() {
  std::vector<FakeDriver> drivers;
  drivers.push_back(RichDriver(L"Microsoft XPS Document Writer v4", L"Microsoft"));
  drivers.push_back(RichDriver(L"Norvex Universal Print Class Driver", L"Norvex"));
  drivers.push_back(RichDriver(L"Contoso LaserJet 4200 PCL6", L"Contoso, Ltd."));

  FakeDriver sparse;  // a driver with only the fields every spooler fills
  sparse.name = L"Generic / Text Only";
  sparse.environment = L"Windows x64";
  sparse.driverPath = L"C:\\Windows\\System32\\spool\\DRIVERS\\x64\\3\\TTY.DLL";
  sparse.dataFile = L"C:\\Windows\\System32\\spool\\DRIVERS\\x64\\3\\TTY.GPD";
  sparse.configFile = L"C:\\Windows\\System32\\spool\\DRIVERS\\x64\\3\\TTYUI.DLL";
  sparse.driverDate = {0, 0x01C694C5};  // the system's own drivers' date
  drivers.push_back(sparse);

  FakeDriver single = RichDriver(L"Fabrikam Imagewriter \u00c9lite \u4e2d", L"Fabrikam");
  single.dependentFiles =
      std::vector<std::wstring>{L"C:\\Windows\\System32\\spool\\DRIVERS\\W32X86\\3\\FABRES.DLL"};
  single.previousNames = std::vector<std::wstring>{};
  single.environment = L"Windows NT x86";
  drivers.push_back(single);
  return drivers;
}

FakeDriver TrickyDriver() {
  FakeDriver tricky = RichDriver(L"Quoted \"Laser\", 4200", L"Contoso, Ltd.");
  tricky.hardwareId = L"line one\r\nline two";
  tricky.oemUrl = L"http://example.com/\x1b[31mred\x1b[0m\tand tab";
  tricky.previousNames = std::vector<std::wstring>{L"Old, \"Name\"\n", L"Older"};
  tricky.mfgName = L"Fabrik\u00e4m \u5370\u5237 \U0001F5A8";
  tricky.helpFile = std::nullopt;
  tricky.dependentFiles = std::vector<std::wstring>{L"C:\\D\\A,B.DLL", L"Q\"UOTE.INI"};
  return tricky;
}

std::vector<FakeDriver> GeneratedDrivers(size_t count) {
  static const wchar_t* const kMakers[] = {L"Microsoft", L"Contoso",   L"Fabrikam", L"Norvex",
                                           L"Tailspin",  L"Northwind", L"Adatum"};
  std::vector<FakeDriver> drivers;
  drivers.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    const std::wstring maker = kMakers[i % std::size(kMakers)];
    drivers.push_back(RichDriver(maker + L" Model " + std::to_wstring((i * 7919) % 100000) +
                                     L" Series " + std::to_wstring(i),
                                 maker));
  }
  return drivers;
}

// --- snapshots and restores -------------------------------------------------

namespace {

constexpr wchar_t kSpoolDrivers[] = L"\\spool\\drivers\\";

// The part of a driver file's path below "...\spool\drivers\"; empty when it is not there.
std::wstring BelowDriverFolders(const std::wstring& path) {
  std::wstring folded = path;
  for (wchar_t& c : folded) c = static_cast<wchar_t>(std::towlower(c));
  const size_t at = folded.find(kSpoolDrivers);
  return at == std::wstring::npos ? std::wstring() : path.substr(at + std::wcslen(kSpoolDrivers));
}

std::wstring ArchitectureFolder(const std::wstring& environment) {
  if (SameTextIgnoringCase(environment, L"Windows NT x86")) return L"W32X86";
  if (SameTextIgnoringCase(environment, L"Windows ARM64")) return L"ARM64";
  return L"x64";
}

// Puts a file (its content its own path, as text) where a share holds it.
void Materialize(const std::wstring& share, const std::wstring& path) {
  const std::wstring below = BelowDriverFolders(path);
  if (below.empty()) return;
  const std::wstring file = share + L"\\" + below;
  for (size_t slash = file.find(L'\\', share.size() + 1); slash != std::wstring::npos;
       slash = file.find(L'\\', slash + 1)) {
    ::CreateDirectoryW(file.substr(0, slash).c_str(), nullptr);
  }
  if (::GetFileAttributesW(file.c_str()) != INVALID_FILE_ATTRIBUTES) return;
  const HANDLE out = ::CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  if (out == INVALID_HANDLE_VALUE) return;
  const std::string bytes(path.begin(), path.end());
  DWORD written = 0;
  ::WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  ::CloseHandle(out);
}

// Hands a wide text back the way the spooler's "get" calls do.
DWORD AnswerText(const std::wstring& text, LPBYTE buffer, DWORD size, LPDWORD needed) {
  const DWORD bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
  *needed = bytes;
  if (buffer == nullptr || size < bytes) return ERROR_INSUFFICIENT_BUFFER;
  std::memcpy(buffer, text.c_str(), bytes);
  return 0;
}

OptionalText TextOf(const wchar_t* text) { return text ? OptionalText(text) : std::nullopt; }

OptionalList ListOf(const wchar_t* list) {
  if (list == nullptr) return std::nullopt;
  std::vector<std::wstring> entries;
  for (; *list; list += std::wcslen(list) + 1) entries.emplace_back(list);
  return entries;
}

}  // namespace

std::wstring FakeSpooler::DriverShare(const std::wstring& server) {
  if (server.empty()) {  // this computer's own driver folders
    wchar_t system[MAX_PATH] = {};
    ::GetSystemDirectoryW(system, MAX_PATH);
    return std::wstring(system) + L"\\spool\\drivers";
  }
  return MachineShare(server, L"print$");
}

std::wstring FakeSpooler::AddStorePackage(const std::wstring& server, const std::wstring& folder,
                                          const std::string& inf, int files, size_t bytes) {
  std::wstring path = MachineShare(server, L"admin$");
  for (const wchar_t* part : {L"System32", L"DriverStore", L"FileRepository"}) {
    path += L"\\" + std::wstring(part);
    ::CreateDirectoryW(path.c_str(), nullptr);
  }
  path += L"\\" + folder;
  ::CreateDirectoryW(path.c_str(), nullptr);
  const std::wstring infName = folder.substr(0, folder.find(L".inf") + 4);
  const auto write = [](const std::wstring& file, const std::string& content) {
    const HANDLE handle =
        ::CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    ::WriteFile(handle, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    ::CloseHandle(handle);
  };
  write(path + L"\\" + infName, inf);
  for (int f = 0; f < files; ++f) {
    write(path + L"\\file" + std::to_wstring(f) + L".dll", std::string(bytes, 'x'));
  }
  return L"C:\\Windows\\System32\\DriverStore\\FileRepository\\" + folder + L"\\" + infName;
}

std::wstring FakeSpooler::MachineShare(const std::wstring& server, const std::wstring& share) {
  // A folder of the prefix's dosdevices\unc\SERVER, reached here through the Z: drive.
  const std::wstring machine = server.substr(server.find_first_not_of(L'\\'));
  wchar_t prefix[MAX_PATH] = {};
  ::GetEnvironmentVariableW(L"WINEPREFIX", prefix, MAX_PATH);
  std::wstring unc = L"Z:" + std::wstring(prefix) + L"/dosdevices/unc";
  std::replace(unc.begin(), unc.end(), L'/', L'\\');
  for (const std::wstring& folder :
       {unc, unc + L"\\" + machine, unc + L"\\" + machine + L"\\" + share}) {
    ::CreateDirectoryW(folder.c_str(), nullptr);
  }
  return L"\\\\" + machine + L"\\" + share;
}

BOOL FakeSpooler::GetPrinterDriverDirectory(LPWSTR server, LPWSTR environment, DWORD level,
                                            LPBYTE buffer, DWORD size, LPDWORD needed) {
  Record(L"GetPrinterDriverDirectory " + OrNull(server) + L" " + OrNull(environment));
  std::lock_guard<std::mutex> guard(lock);
  FakeMachine* machine = FindMachine(server);
  if (machine == nullptr) return Outcome(RPC_S_SERVER_UNAVAILABLE);
  if (level != 1 || environment == nullptr) return Outcome(ERROR_INVALID_LEVEL);
  if (machine->driverFolderError) return Outcome(machine->driverFolderError);
  const std::wstring share = DriverShare(server ? server : L"");
  for (const FakeDriver& d : machine->drivers) {
    for (const OptionalText* path : {&d.driverPath, &d.dataFile, &d.configFile, &d.helpFile}) {
      if (*path) Materialize(share, **path);
    }
    if (d.dependentFiles) {
      // A file named bare lies beside the driver's own, as on Windows.
      const std::wstring beside =
          d.driverPath ? d.driverPath->substr(0, d.driverPath->find_last_of(L'\\') + 1) : L"";
      for (const auto& entry : *d.dependentFiles) {
        Materialize(share, entry.find(L'\\') == std::wstring::npos ? beside + entry : entry);
      }
    }
  }
  // As on Windows, the answer names the folder whether or not it is there yet.
  const std::wstring folder = share + L"\\" + ArchitectureFolder(environment);
  return Outcome(AnswerText(machine->driverFolderAnswer.value_or(folder), buffer, size, needed));
}

BOOL FakeSpooler::GetPrinter(HANDLE handle, DWORD level, LPBYTE buffer, DWORD size,
                             LPDWORD needed) {
  Record(L"GetPrinter " + HandleName(handle) + L" " + std::to_wstring(level));
  std::lock_guard<std::mutex> guard(lock);
  const auto open = openPrinters.find(handle);
  FakeMachine* machine = open == openPrinters.end() ? nullptr : FindMachine(open->second.server.c_str());
  FakePrinter* printer = machine ? FindPrinter(*machine, open->second.printer) : nullptr;
  if (printer == nullptr) return Outcome(ERROR_INVALID_HANDLE);
  if (level != 2) return Outcome(ERROR_INVALID_LEVEL);
  const std::vector<FakePrinter> one = {*printer};
  const DWORD bytes = PrinterBufferSize(open->second.server, one);
  *needed = bytes;
  if (buffer == nullptr || size < bytes) return Outcome(ERROR_INSUFFICIENT_BUFFER);
  PackPrinters(open->second.server, one, buffer);
  return TRUE;
}

DWORD FakeSpooler::EnumPrinterKey(HANDLE handle, LPCWSTR key, LPWSTR subkeys, DWORD size,
                                  LPDWORD needed) {
  std::lock_guard<std::mutex> guard(lock);
  const auto open = openPrinters.find(handle);
  FakeMachine* machine = open == openPrinters.end() ? nullptr : FindMachine(open->second.server.c_str());
  FakePrinter* printer = machine ? FindPrinter(*machine, open->second.printer) : nullptr;
  if (printer == nullptr || key == nullptr) return ERROR_INVALID_HANDLE;
  const std::wstring prefix = *key ? std::wstring(key) + L"\\" : std::wstring();
  std::vector<std::wstring> names;
  for (const auto& [path, value] : printer->data) {
    if (path.rfind(prefix, 0) != 0) continue;
    const std::wstring rest = path.substr(prefix.size());
    const size_t slash = rest.find(L'\\');
    if (slash == std::wstring::npos) continue;  // a value of this key itself
    const std::wstring name = rest.substr(0, slash);
    if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
  }
  std::wstring list;
  for (const auto& name : names) list += name + L'\0';
  list += L'\0';
  const DWORD bytes = static_cast<DWORD>(list.size() * sizeof(wchar_t));
  *needed = bytes;
  if (names.empty()) return ERROR_FILE_NOT_FOUND;
  if (subkeys == nullptr || size < bytes) return ERROR_MORE_DATA;
  std::memcpy(subkeys, list.data(), bytes);
  return 0;
}

DWORD FakeSpooler::EnumPrinterDataEx(HANDLE handle, LPCWSTR key, LPBYTE values, DWORD size,
                                     LPDWORD needed, LPDWORD count) {
  std::lock_guard<std::mutex> guard(lock);
  *needed = 0;
  *count = 0;
  const auto open = openPrinters.find(handle);
  FakeMachine* machine = open == openPrinters.end() ? nullptr : FindMachine(open->second.server.c_str());
  FakePrinter* printer = machine ? FindPrinter(*machine, open->second.printer) : nullptr;
  if (printer == nullptr || key == nullptr || *key == L'\0') return ERROR_INVALID_PARAMETER;
  const std::wstring prefix = std::wstring(key) + L"\\";
  std::vector<std::pair<std::wstring, const FakeValue*>> found;
  for (const auto& [path, value] : printer->data) {
    const std::wstring rest = path.rfind(prefix, 0) == 0 ? path.substr(prefix.size()) : L"\\";
    if (rest.find(L'\\') == std::wstring::npos) found.emplace_back(rest, &value);
  }
  size_t bytes = found.size() * sizeof(PRINTER_ENUM_VALUESW);
  for (const auto& [name, value] : found) bytes += (name.size() + 1) * sizeof(wchar_t) + value->data.size();
  *needed = static_cast<DWORD>(bytes);
  if (found.empty()) return ERROR_FILE_NOT_FOUND;
  if (values == nullptr || size < bytes) return ERROR_MORE_DATA;
  auto* records = reinterpret_cast<PRINTER_ENUM_VALUESW*>(values);
  BYTE* cursor = values + found.size() * sizeof(PRINTER_ENUM_VALUESW);
  for (size_t i = 0; i < found.size(); ++i) {
    const auto& [name, value] = found[i];
    records[i] = {};
    records[i].pValueName = reinterpret_cast<LPWSTR>(cursor);
    records[i].cbValueName = static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t));
    std::memcpy(cursor, name.c_str(), records[i].cbValueName);
    cursor += records[i].cbValueName;
    records[i].dwType = value->type;
    records[i].pData = cursor;
    records[i].cbData = static_cast<DWORD>(value->data.size());
    if (!value->data.empty()) std::memcpy(cursor, value->data.data(), value->data.size());
    cursor += value->data.size();
  }
  *count = static_cast<DWORD>(found.size());
  return 0;
}

DWORD FakeSpooler::SetPrinterDataEx(HANDLE handle, LPCWSTR key, LPCWSTR name, DWORD type,
                                    LPBYTE data, DWORD size) {
  Record(L"SetPrinterDataEx " + HandleName(handle) + L" " + OrNull(key) + L"\\" + OrNull(name));
  std::lock_guard<std::mutex> guard(lock);
  const auto open = openPrinters.find(handle);
  FakeMachine* machine = open == openPrinters.end() ? nullptr : FindMachine(open->second.server.c_str());
  FakePrinter* printer = machine ? FindPrinter(*machine, open->second.printer) : nullptr;
  if (printer == nullptr || key == nullptr || name == nullptr) return ERROR_INVALID_PARAMETER;
  if (machine->setDataError) return machine->setDataError;
  printer->data[std::wstring(key) + L"\\" + name] = FakeValue{type, std::vector<BYTE>(data, data + size)};
  return 0;
}

BOOL FakeSpooler::AddPrinterDriverEx(LPWSTR server, DWORD level, LPBYTE info, DWORD flags) {
  const auto* record = reinterpret_cast<const DRIVER_INFO_8W*>(info);
  Record(L"AddPrinterDriverEx " + OrNull(server) + L" " + std::to_wstring(level) + L" " +
         OrNull(record ? record->pName : nullptr) + L" flags=" + std::to_wstring(flags));
  DelayCopyCall(server);
  std::lock_guard<std::mutex> guard(lock);
  FakeMachine* machine = FindMachine(server);
  if (machine == nullptr) return Outcome(RPC_S_SERVER_UNAVAILABLE);
  if ((level != 6 && level != 8) || record == nullptr || record->pName == nullptr ||
      record->pEnvironment == nullptr || record->pDriverPath == nullptr) {
    return Outcome(ERROR_INVALID_PARAMETER);
  }
  if (machine->addDriverError) return Outcome(machine->addDriverError);
  // The new files are taken from the driver folder, into its version folder.
  const std::wstring version = L"C:\\Windows\\System32\\spool\\DRIVERS\\" +
                               ArchitectureFolder(record->pEnvironment) + L"\\" +
                               std::to_wstring(record->cVersion) + L"\\";
  const auto take = [&version](const wchar_t* path) -> OptionalText {
    if (path == nullptr) return std::nullopt;
    if (::GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) return OptionalText(L"?");
    const std::wstring named(path);
    return version + named.substr(named.find_last_of(L'\\') + 1);
  };
  FakeDriver d;
  d.name = record->pName;
  d.environment = record->pEnvironment;
  d.type = record->cVersion;
  d.driverPath = take(record->pDriverPath);
  d.dataFile = take(record->pDataFile);
  d.configFile = take(record->pConfigFile);
  d.helpFile = take(record->pHelpFile);
  for (const OptionalText* taken : {&d.driverPath, &d.dataFile, &d.configFile, &d.helpFile}) {
    if (*taken == OptionalText(L"?")) return Outcome(ERROR_FILE_NOT_FOUND);
  }
  if (const OptionalList named = ListOf(record->pDependentFiles)) {
    d.dependentFiles.emplace();
    for (const auto& entry : *named) {
      const OptionalText taken = take(entry.c_str());
      if (taken == OptionalText(L"?")) return Outcome(ERROR_FILE_NOT_FOUND);
      d.dependentFiles->push_back(*taken);
    }
  }
  d.monitorName = TextOf(record->pMonitorName);
  d.defaultDataType = TextOf(record->pDefaultDataType);
  d.previousNames = ListOf(record->pszzPreviousNames);
  d.driverDate = record->ftDriverDate;
  d.driverVersion = record->dwlDriverVersion;
  d.mfgName = TextOf(record->pszMfgName);
  d.oemUrl = TextOf(record->pszOEMUrl);
  d.hardwareId = TextOf(record->pszHardwareID);
  d.provider = TextOf(record->pszProvider);
  if (level == 8) {
    d.infPath = TextOf(record->pszInfPath);
    d.attributes = record->dwPrinterDriverAttributes;
  }
  machine->drivers.push_back(d);
  return TRUE;
}

void FakeSpooler::DelayCopyCall(const wchar_t* server) {
  DWORD delay = 0;
  {
    std::lock_guard<std::mutex> guard(lock);
    const FakeMachine* machine = FindMachine(server);
    delay = machine ? machine->copyCallDelayMs : 0;
  }
  if (delay) ::Sleep(delay);
}

HANDLE FakeSpooler::AddPrinter(LPWSTR server, DWORD level, LPBYTE info) {
  const auto* record = reinterpret_cast<const PRINTER_INFO_2W*>(info);
  Record(L"AddPrinter " + OrNull(server) + L" " + OrNull(record ? record->pPrinterName : nullptr));
  DelayCopyCall(server);
  std::lock_guard<std::mutex> guard(lock);
  FakeMachine* machine = FindMachine(server);
  if (machine == nullptr) {
    ::SetLastError(RPC_S_SERVER_UNAVAILABLE);
    return nullptr;
  }
  if (level != 2 || record == nullptr || record->pPrinterName == nullptr ||
      record->pDriverName == nullptr || record->pPortName == nullptr) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (FindPrinter(*machine, record->pPrinterName) != nullptr) {
    ::SetLastError(ERROR_PRINTER_ALREADY_EXISTS);
    return nullptr;
  }
  FakePrinter printer;
  printer.name = record->pPrinterName;
  printer.driverName = record->pDriverName;
  printer.portName = record->pPortName;
  printer.shareName = record->pShareName ? record->pShareName : L"";
  printer.comment = record->pComment ? record->pComment : L"";
  printer.location = record->pLocation ? record->pLocation : L"";
  printer.printProcessor = record->pPrintProcessor ? record->pPrintProcessor : L"";
  machine->printers.push_back(printer);
  nextHandle_ += 8;
  const auto handle = reinterpret_cast<HANDLE>(nextHandle_);
  openPrinters[handle] = FakePrinterHandle{server ? server : L"", printer.name, PRINTER_ALL_ACCESS};
  return handle;
}

BOOL FakeSpooler::SetPrinter(HANDLE handle, DWORD level, LPBYTE info, DWORD command) {
  Record(L"SetPrinter " + HandleName(handle) + L" " + std::to_wstring(level));
  std::lock_guard<std::mutex> guard(lock);
  const auto open = openPrinters.find(handle);
  FakeMachine* machine = open == openPrinters.end() ? nullptr : FindMachine(open->second.server.c_str());
  FakePrinter* printer = machine ? FindPrinter(*machine, open->second.printer) : nullptr;
  if (printer == nullptr) return Outcome(ERROR_INVALID_HANDLE);
  if (level != 3 || info == nullptr || command != 0) return Outcome(ERROR_INVALID_LEVEL);
  const auto* security = reinterpret_cast<const PRINTER_INFO_3*>(info);
  if (!::IsValidSecurityDescriptor(security->pSecurityDescriptor)) {
    return Outcome(ERROR_INVALID_SECURITY_DESCR);
  }
  const auto* bytes = static_cast<const BYTE*>(security->pSecurityDescriptor);
  printer->securityDescriptor.assign(
      bytes, bytes + ::GetSecurityDescriptorLength(security->pSecurityDescriptor));
  return TRUE;
}

HRESULT FakeSpooler::UploadPrinterDriverPackage(LPCWSTR server, LPCWSTR infPath,
                                                LPCWSTR environment, DWORD, HWND,
                                                LPWSTR uploaded, PULONG length) {
  Record(L"UploadPrinterDriverPackage " + OrNull(server) + L" " + OrNull(environment) + L" " +
         OrNull(infPath));
  if (infPath == nullptr || ::GetFileAttributesW(infPath) == INVALID_FILE_ATTRIBUTES) {
    return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
  }
  if (duringUpload) duringUpload(infPath);
  const std::wstring named(infPath);
  const std::wstring stored = L"C:\\Windows\\System32\\DriverStore\\FileRepository\\uploaded\\" +
                              named.substr(named.find_last_of(L'\\') + 1);
  if (uploaded == nullptr || length == nullptr || *length <= stored.size()) {
    return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
  }
  std::wmemcpy(uploaded, stored.c_str(), stored.size() + 1);
  *length = static_cast<ULONG>(stored.size() + 1);
  return S_OK;
}

HRESULT FakeSpooler::InstallPrinterDriverFromPackage(LPCWSTR server, LPCWSTR infPath,
                                                     LPCWSTR driverName, LPCWSTR environment,
                                                     DWORD) {
  Record(L"InstallPrinterDriverFromPackage " + OrNull(server) + L" " + OrNull(driverName));
  std::lock_guard<std::mutex> guard(lock);
  FakeMachine* machine = FindMachine(server);
  if (machine == nullptr) return HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE);
  if (infPath == nullptr || driverName == nullptr || environment == nullptr) return E_INVALIDARG;
  FakeDriver d = RichDriver(driverName, L"Contoso");
  d.environment = environment;
  d.infPath = infPath;
  machine->drivers.push_back(d);
  return S_OK;
}

}  // namespace kestrun::testing
