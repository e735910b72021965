#include "tests/support/fake_spooler.h"

#include <cwchar>

#include "inventory/platform.h"

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

  LPWSTR Text(const OptionalText& text) {
    if (!text) return nullptr;
    auto* out = reinterpret_cast<wchar_t*>(cursor_);
    std::wmemcpy(out, text->c_str(), text->size() + 1);
    cursor_ += TextBytes(text);
    return out;
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

std::wstring OrNull(const wchar_t* text) { return text ? text : L"(null)"; }

}  // namespace

void FakeSpooler::Install() {
  activeSpooler = this;
  PlatformApi api = RealPlatform();
  api.EnumPrinterDriversW = SeamEnumPrinterDrivers;
  api.WNetAddConnection2W = SeamAddConnection;
  api.WNetCancelConnection2W = SeamCancelConnection;
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

void FakeSpooler::Record(std::wstring call) {
  std::lock_guard<std::mutex> guard(lock);
  calls.push_back(std::move(call));
}

FakeMachine* FakeSpooler::FindMachine(const wchar_t* server) {
  const auto found = machines.find(server ? server : L"");
  return found == machines.end() ? nullptr : &found->second;
}

BOOL FakeSpooler::EnumPrinterDrivers(LPWSTR server, LPWSTR environment, DWORD level,
                                     LPBYTE buffer, DWORD size, LPDWORD needed,
                                     LPDWORD returned) {
  Record(L"EnumPrinterDrivers " + OrNull(server) + L" " + OrNull(environment) + L" " +
         std::to_wstring(level) + L" " + std::to_wstring(size));
  {
    std::lock_guard<std::mutex> guard(lock);
    ++enumerateCalls;
  }
  *returned = 0;
  FakeMachine* machine = FindMachine(server);
  if (machine == nullptr) {
    ::SetLastError(RPC_S_SERVER_UNAVAILABLE);
    return FALSE;
  }
  if (machine->enumerateDelayMs) ::Sleep(machine->enumerateDelayMs);
  if (level != 6 || environment == nullptr || std::wcscmp(environment, L"all") != 0) {
    ::SetLastError(ERROR_INVALID_LEVEL);
    return FALSE;
  }
  const DWORD required = DriverBufferSize(machine->drivers);
  *needed = required;
  if (buffer == nullptr || size < required) {
    if (machine->firstCallError) {
      ::SetLastError(machine->firstCallError);
      return FALSE;
    }
    if (required == 0) return TRUE;  // no drivers: the first call succeeds
    ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (machine->secondCallError) {
    ::SetLastError(machine->secondCallError);
    return FALSE;
  }
  PackDrivers(machine->drivers, buffer);
  *returned = static_cast<DWORD>(machine->drivers.size());
  return TRUE;
}

DWORD FakeSpooler::AddConnection(LPNETRESOURCEW resource, LPCWSTR password, LPCWSTR user,
                                 DWORD flags) {
  std::wstring remote = OrNull(resource->lpRemoteName);
  Record(L"WNetAddConnection2 " + remote + L" type=" + std::to_wstring(resource->dwType) +
         L" local=" + OrNull(resource->lpLocalName) + L" provider=" +
         OrNull(resource->lpProvider) + L" password=" + OrNull(password) + L" user=" +
         OrNull(user) + L" flags=" + std::to_wstring(flags));
  const std::wstring suffix = L"\\IPC$";
  if (remote.size() <= suffix.size() || remote.compare(remote.size() - suffix.size(),
                                                       suffix.size(), suffix) != 0) {
    return ERROR_BAD_NET_NAME;
  }
  FakeMachine* machine = FindMachine(remote.substr(0, remote.size() - suffix.size()).c_str());
  return machine ? machine->connectResult : ERROR_BAD_NETPATH;
}

DWORD FakeSpooler::CancelConnection(LPCWSTR name, DWORD flags, BOOL force) {
  Record(L"WNetCancelConnection2 " + OrNull(name) + L" flags=" + std::to_wstring(flags) +
         L" force=" + std::to_wstring(force));
  return ERROR_NOT_CONNECTED;
}

DWORD DriverBufferSize(const std::vector<FakeDriver>& drivers) {
  size_t bytes = drivers.size() * sizeof(DRIVER_INFO_6);
  for (const auto& d : drivers) {
    bytes += TextBytes(d.name) + TextBytes(d.environment) + TextBytes(d.driverPath) +
             TextBytes(d.dataFile) + TextBytes(d.configFile) + TextBytes(d.helpFile) +
             ListBytes(d.dependentFiles) + TextBytes(d.monitorName) +
             TextBytes(d.defaultDataType) + ListBytes(d.previousNames) + TextBytes(d.mfgName) +
             TextBytes(d.oemUrl) + TextBytes(d.hardwareId) + TextBytes(d.provider);
  }
  return static_cast<DWORD>(bytes);
}

void PackDrivers(const std::vector<FakeDriver>& drivers, BYTE* buffer) {
  auto* records = reinterpret_cast<DRIVER_INFO_6*>(buffer);
  StringPacker strings(buffer + drivers.size() * sizeof(DRIVER_INFO_6));
  for (size_t i = 0; i < drivers.size(); ++i) {
    const FakeDriver& d = drivers[i];
    DRIVER_INFO_6& r = records[i];
    r = {};
    r.cVersion = 3;
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
  single.dependentFiles = std::vector<std::wstring>{L"C:\\Drivers\\FABRES.DLL"};
  single.previousNames = std::vector<std::wstring>{};
  single.environment = L"Windows NT x86";
  drivers.push_back(single);
  return drivers;
}

std::vector<FakeDriver> GeneratedDrivers(size_t count) {
  static const wchar_t* const kMakers[] = {L"Microsoft", L"Contoso", L"Fabrikam", L"Norvex",
                                           L"Tailspin", L"Northwind", L"Adatum"};
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

}  // namespace kestrun::testing
