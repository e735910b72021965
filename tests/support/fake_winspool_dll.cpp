// A test spooler DLL named winspool.drv. Placed beside Kestrun.exe and marked
// native in WINEDLLOVERRIDES, it serves the scenario named by the environment
// variable KESTRUN_FAKE_SPOOLER:
//   sample          the sample drivers, on the local spooler and on PRINTSRV
//   generated:N     N generated drivers, likewise
//   fail:CODE       PRINTSRV's spooler fails with CODE
//   empty           PRINTSRV has no drivers
//   corrupt:KIND    the sample drivers in a broken answer: "sizing" (the sizing
//                   call succeeds with a count of 3), "count" (more records
//                   than the bytes hold), "huge" (asks for 4 GiB), "pointers"
//                   (strings outside the buffer, misaligned, unterminated)
//   printers        the sample drivers and three printers, on the local spooler
//                   and on PRINTSRV: "Office Laser" uses the Contoso driver,
//                   "Front Desk" and "Back Office" both use the Norvex driver
//                   (so deleting the Norvex driver fails with 3001 after the
//                   first of them went)
//   fleet:M,M,...   one machine per item, for fleet runs: NAME serves the
//                   sample drivers and TrickyDriver() (commas, quotes, line
//                   breaks and an escape in its texts); NAME*N serves N
//                   generated drivers instead; NAME!CODE fails with CODE;
//                   NAME~MS answers each call MS milliseconds late; NAME+
//                   has the printers of "printers"; NAME#CODE fails the
//                   deletion of its Contoso driver with CODE; NAME^MS answers
//                   each driver deletion MS milliseconds late; NAME$CODE fails its
//                   level-8 list with CODE once it was listed (the packages a
//                   deletion reads again); NAME& has a Type 2 copy
//                   of its x86 Fabrikam driver beside the Type 3 one; NAME% serves
//                   the printers of AddQueuePrinters() on their ports; NAME@ serves
//                   printers of devices on this machine: two on the TCP/IP
//                   port of 127.0.0.1, one on a WSD port and one on each IPP
//                   port that KESTRUN_FAKE_IPP_PORTS names (addresses
//                   separated by ";"); NAME= has its Contoso driver installed
//                   from the package contoso.inf_amd64_0a1b of its driver store;
//                   NAME>N is a print server as real ones are (AddRealServer),
//                   with N more queues; NAME<MS answers each call that makes
//                   a copy's port, driver or printer MS milliseconds late;
//                   NAME? loses its store folder gone.inf_amd64_2 once its
//                   packages were listed (a deletion reads them again);
//                   NAME| has a Universal Print queue and one on Windows'
//                   own v3 PCL6 driver on a port of the IppMon monitor.
//                   The local spooler has no
//                   drivers, unless an item without a NAME stands for it
//                   ("~60000": a local spooler that hangs).
// With KESTRUN_FAKE_SPOOLER_CALLS naming a file, every printer and driver
// deletion is appended to it as one UTF-8 line: the call, its target, its
// outcome.
// Printers can be opened, deleted and closed, and drivers deleted, for the
// life of the process that loaded this DLL.
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "inventory/printers.h"
#include "tests/support/fake_spooler.h"

using kestrun::testing::AddRealServer;
using kestrun::testing::FakeMachine;
using kestrun::testing::FakePrinter;
using kestrun::testing::FakeSpooler;

namespace {

std::wstring ScenarioName() {
  wchar_t value[4096] = {};
  ::GetEnvironmentVariableW(L"KESTRUN_FAKE_SPOOLER", value, 4096);
  return value;
}

kestrun::testing::Tampering BrokenAnswer(const std::wstring& kind) {
  kestrun::testing::Tampering tampering;
  if (kind == L"sizing") {
    tampering.sizingSuccessCount = 3;
  } else if (kind == L"count") {
    tampering.answer = [](BYTE*, DWORD, DWORD& returned) { returned = 100000; };
  } else if (kind == L"huge") {
    tampering.askedBytes = 0xFFFFFFFF;
  } else if (kind == L"pointers") {
    tampering.answer = [](BYTE* buffer, DWORD size, DWORD&) {
      auto* drivers = reinterpret_cast<DRIVER_INFO_6W*>(buffer);
      drivers[0].pName = reinterpret_cast<wchar_t*>(buffer + size + 65536);
      drivers[1].pszProvider = reinterpret_cast<wchar_t*>(buffer - 4096);
      drivers[2].pDependentFiles = reinterpret_cast<wchar_t*>(
          reinterpret_cast<BYTE*>(drivers[2].pDependentFiles) + 1);
      reinterpret_cast<wchar_t*>(buffer + size)[-1] = L'x';  // the last string runs off the end
    };
  }
  return tampering;
}

std::vector<FakePrinter> ScenarioPrinters() {
  return {
      FakePrinter{L"Office Laser", L"Contoso LaserJet 4200 PCL6"},
      FakePrinter{L"Front Desk", L"Norvex Universal Print Class Driver"},
      FakePrinter{L"Back Office", L"Norvex Universal Print Class Driver"},
  };
}

// A print server's queues, one for each verdict: on a TCP/IP port (shared,
// with a location and a comment a spreadsheet would take for a formula), a
// WSD port, a local port, and a TCP/IP port whose monitor refuses to answer.
void AddQueuePrinters(FakeMachine& machine) {
  machine.drivers.push_back(kestrun::testing::InboxClassDriver(L"Microsoft IPP Class Driver"));
  machine.ports = {{L"IP_10.1.2.3", L"Standard TCP/IP Port", L"10.1.2.3"},
                   {L"WSD-7f3a", L"WSD Port"}, {L"LPT1:", L"Local Port"},
                   {L"IP_10.9.9.9", L"Standard TCP/IP Port", L"10.9.9.9"}};
  machine.ports.back().xcvStatus = ERROR_ACCESS_DENIED;
  machine.ports.front().snmp = true;  // a copy takes these settings along
  machine.ports.front().community = L"public";
  machine.ports.front().snmpIndex = 1;
  FakePrinter hr{L"HR Laser", L"Contoso LaserJet 4200 PCL6", L"IP_10.1.2.3"};
  hr.shareName = L"HRLaser";
  hr.location = L"Building 1, floor 2";
  hr.comment = L"=HYPERLINK(\"x\")";
  machine.printers = {hr, {L"Lobby", L"Microsoft IPP Class Driver", L"WSD-7f3a"},
                      {L"Front Desk", L"Norvex Universal Print Class Driver", L"LPT1:"},
                      {L"Old Plotter", L"Gone Plotter", L"IP_10.9.9.9"}};
}

// Printers of a third-party driver whose devices are on 127.0.0.1.
void AddDevicePrinters(FakeMachine& machine) {
  const std::wstring contoso = L"Contoso LaserJet 4200 PCL6";
  machine.ports = {{L"IP_127.0.0.1", L"Standard TCP/IP Port", L"127.0.0.1"},
                   {L"WSD-1", L"WSD Port"}};
  machine.printers = {{L"Front", contoso, L"IP_127.0.0.1"},
                      {L"Back", contoso, L"IP_127.0.0.1"},
                      {L"Lobby", contoso, L"WSD-1"}};
  wchar_t value[4096] = {};
  ::GetEnvironmentVariableW(L"KESTRUN_FAKE_IPP_PORTS", value, 4096);
  const std::wstring addresses = value;
  for (size_t start = 0, device = 1; start < addresses.size(); ++device) {
    const size_t end = std::min(addresses.find(L';', start), addresses.size());
    const std::wstring address = addresses.substr(start, end - start);
    machine.ports.push_back({address, L"Internet Port"});
    machine.printers.push_back({L"Device " + std::to_wstring(device), contoso, address});
    start = end + 1;
  }
}

// "NAME*N!CODE~MS": a machine of a fleet scenario and its name.
std::pair<std::wstring, FakeMachine> FleetMachine(const std::wstring& item) {
  const size_t nameEnd = item.find_first_of(L"*!~+#^$&%@=><?|");
  std::pair<std::wstring, FakeMachine> made{item.substr(0, nameEnd), FakeMachine{}};
  FakeMachine& machine = made.second;
  machine.drivers = kestrun::testing::SampleDrivers();
  machine.drivers.push_back(kestrun::testing::TrickyDriver());
  for (size_t at = nameEnd; at < item.size();) {
    const wchar_t kind = item[at];
    wchar_t* end = nullptr;
    const unsigned long value = std::wcstoul(item.c_str() + at + 1, &end, 10);
    at = static_cast<size_t>(end - item.c_str());
    if (kind == L'*') machine.drivers = kestrun::testing::GeneratedDrivers(value);
    if (kind == L'!') machine.firstCallError = value;
    if (kind == L'~') machine.enumerateDelayMs = value;
    if (kind == L'+') machine.printers = ScenarioPrinters();
    if (kind == L'^') machine.deleteDelayMs = value;
    if (kind == L'%') AddQueuePrinters(machine);
    if (kind == L'$') machine.packageRereadError = value;
    if (kind == L'?') machine.storeFolderVanishes = true;
    if (kind ==
        L'|') {  // a Universal Print queue, and one on Windows' own v3 driver on an IppMon port
      for (const wchar_t* name :
           {L"Universal Print Class Driver", L"Microsoft PCL6 Class Driver"}) {
        machine.drivers.push_back(kestrun::testing::InboxClassDriver(name));
      }
      machine.drivers.back().type = 3;
      machine.ports = {{L"IPP_1", L"IppMon"}};
      machine.printers = {
          {L"Cloud", L"Universal Print Class Driver", L"https://print.contoso.com/1"},
          {L"Legacy", L"Microsoft PCL6 Class Driver", L"IPP_1"}};
    }
    if (kind == L'&') {
      for (const auto& driver : std::vector(machine.drivers)) {
        if (driver.environment != L"Windows NT x86") continue;
        machine.drivers.push_back(driver);
        machine.drivers.back().type = 2;
      }
    }
    if (kind == L'@') AddDevicePrinters(machine);
    if (kind == L'>') AddRealServer(machine, value);
    if (kind == L'<') machine.copyCallDelayMs = value;
    for (auto& driver : machine.drivers) {
      if (kind == L'#' && driver.name == L"Contoso LaserJet 4200 PCL6") driver.deleteError = value;
      if (kind == L'=' && driver.name == L"Contoso LaserJet 4200 PCL6") {
        driver.infPath =
            L"C:\\Windows\\System32\\DriverStore\\FileRepository\\contoso.inf_amd64_0a1b\\contoso."
            L"inf";
      }
    }
  }
  return made;
}

void AddFleet(FakeSpooler& spooler, const std::wstring& items) {
  spooler.machines[L""] = FakeMachine{};
  for (size_t start = 0; start < items.size();) {
    size_t end = items.find(L',', start);
    if (end == std::wstring::npos) end = items.size();
    auto [name, machine] = FleetMachine(items.substr(start, end - start));
    spooler.machines[name.empty() ? L"" : L"\\\\" + name] = machine;
    start = end + 1;
  }
}

FakeSpooler& Spooler() {
  static FakeSpooler* spooler = [] {
    auto* made = new FakeSpooler;
    const std::wstring scenario = ScenarioName();
    if (scenario.rfind(L"fleet:", 0) == 0) {
      AddFleet(*made, scenario.substr(6));
      return made;
    }
    FakeMachine machine;
    if (scenario.rfind(L"generated:", 0) == 0) {
      machine.drivers =
          kestrun::testing::GeneratedDrivers(std::wcstoul(scenario.c_str() + 10, nullptr, 10));
    } else if (scenario.rfind(L"fail:", 0) == 0) {
      machine.firstCallError = std::wcstoul(scenario.c_str() + 5, nullptr, 10);
    } else if (scenario.rfind(L"corrupt:", 0) == 0) {
      machine.drivers = kestrun::testing::SampleDrivers();
      machine.driverTampering = BrokenAnswer(scenario.substr(8));
      machine.packageListError = ERROR_INVALID_LEVEL;  // the tampering reads level-6 records
    } else if (scenario == L"printers") {
      machine.drivers = kestrun::testing::SampleDrivers();
      machine.printers = ScenarioPrinters();
    } else if (scenario != L"empty") {
      machine.drivers = kestrun::testing::SampleDrivers();
    }
    made->machines[L""] = machine;
    made->machines[L"\\\\PRINTSRV"] = machine;
    return made;
  }();
  return *spooler;
}

// Appends one line to the calls file, when there is one.
BOOL Journal(const std::wstring& call, BOOL result) {
  wchar_t path[MAX_PATH] = {};
  if (::GetEnvironmentVariableW(L"KESTRUN_FAKE_SPOOLER_CALLS", path, MAX_PATH) == 0) return result;
  const DWORD error = ::GetLastError();
  const std::wstring line = call + L" -> " + std::to_wstring(result ? 0 : error) + L"\r\n";
  char bytes[4096] = {};
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()),
                                         bytes, sizeof(bytes), nullptr, nullptr);
  static std::mutex journalLock;  // machines are cleaned up on several threads
  const std::lock_guard<std::mutex> guard(journalLock);
  const HANDLE file =
      ::CreateFileW(path, FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_ALWAYS, 0, nullptr);
  DWORD written = 0;
  if (file != INVALID_HANDLE_VALUE) {
    ::WriteFile(file, bytes, static_cast<DWORD>(size), &written, nullptr);
    ::CloseHandle(file);
  }
  ::SetLastError(error);
  return result;
}

}  // namespace

extern "C" {

BOOL WINAPI Fake_EnumPrinterDriversW(LPWSTR server, LPWSTR environment, DWORD level, LPBYTE buffer,
                                     DWORD size, LPDWORD needed, LPDWORD returned) {
  return Spooler().EnumPrinterDrivers(server, environment, level, buffer, size, needed, returned);
}

BOOL WINAPI Fake_EnumPrintersW(DWORD flags, LPWSTR name, DWORD level, LPBYTE buffer, DWORD size,
                               LPDWORD needed, LPDWORD returned) {
  return Spooler().EnumPrinters(flags, name, level, buffer, size, needed, returned);
}

BOOL WINAPI Fake_OpenPrinterW(LPWSTR name, LPHANDLE handle, LPPRINTER_DEFAULTSW defaults) {
  return Spooler().OpenPrinter(name, handle, defaults);
}

BOOL WINAPI Fake_DeletePrinter(HANDLE handle) {
  const std::wstring name = Spooler().HandleName(handle);
  return Journal(L"DeletePrinter " + name, Spooler().DeletePrinter(handle));
}

BOOL WINAPI Fake_ClosePrinter(HANDLE handle) { return Spooler().ClosePrinter(handle); }

BOOL WINAPI Fake_DeletePrinterDriverExW(LPWSTR server, LPWSTR environment, LPWSTR driverName,
                                        DWORD deleteFlag, DWORD versionFlag) {
  const std::wstring call = L"DeletePrinterDriverEx version=" +
                            ((deleteFlag & DPD_DELETE_SPECIFIC_VERSION) ? std::to_wstring(versionFlag)
                                                                        : std::wstring(L"all")) +
                            L" " + std::wstring(server ? server : L"") + L" " + environment + L" " +
                            driverName;
  return Journal(call, Spooler().DeletePrinterDriverEx(server, environment, driverName, deleteFlag,
                                                       versionFlag));
}

DWORD WINAPI Fake_GetPrinterDataExW(HANDLE handle, LPCWSTR key, LPCWSTR value, LPDWORD type,
                                   LPBYTE data, DWORD size, LPDWORD needed) {
  return Spooler().GetPrinterDataEx(handle, key, value, type, data, size, needed);
}

BOOL WINAPI Fake_GetPrinterDriverDirectoryW(LPWSTR server, LPWSTR environment, DWORD level,
                                            LPBYTE buffer, DWORD size, LPDWORD needed) {
  return Spooler().GetPrinterDriverDirectory(server, environment, level, buffer, size, needed);
}

BOOL WINAPI Fake_GetPrinterW(HANDLE handle, DWORD level, LPBYTE buffer, DWORD size,
                             LPDWORD needed) {
  return Spooler().GetPrinter(handle, level, buffer, size, needed);
}

DWORD WINAPI Fake_EnumPrinterKeyW(HANDLE handle, LPCWSTR key, LPWSTR subkeys, DWORD size,
                                  LPDWORD needed) {
  return Spooler().EnumPrinterKey(handle, key, subkeys, size, needed);
}

DWORD WINAPI Fake_EnumPrinterDataExW(HANDLE handle, LPCWSTR key, LPBYTE values, DWORD size,
                                     LPDWORD needed, LPDWORD count) {
  return Spooler().EnumPrinterDataEx(handle, key, values, size, needed, count);
}

DWORD WINAPI Fake_SetPrinterDataExW(HANDLE handle, LPCWSTR key, LPCWSTR name, DWORD type,
                                    LPBYTE data, DWORD size) {
  return Spooler().SetPrinterDataEx(handle, key, name, type, data, size);
}

BOOL WINAPI Fake_AddPrinterDriverExW(LPWSTR server, DWORD level, LPBYTE info, DWORD flags) {
  const auto* record = reinterpret_cast<const DRIVER_INFO_6W*>(info);
  const std::wstring call = L"AddPrinterDriverEx " + std::wstring(server ? server : L"") + L" " +
                            (record && record->pEnvironment ? record->pEnvironment : L"") + L" " +
                            (record && record->pName ? record->pName : L"");
  return Journal(call, Spooler().AddPrinterDriverEx(server, level, info, flags));
}

HANDLE WINAPI Fake_AddPrinterW(LPWSTR server, DWORD level, LPBYTE info) {
  const auto* record = reinterpret_cast<const PRINTER_INFO_2W*>(info);
  const HANDLE added = Spooler().AddPrinter(server, level, info);
  const auto text = [](const wchar_t* field) { return std::wstring(field ? field : L""); };
  Journal(L"AddPrinter " +
              (record ? text(record->pPrinterName) + L" port=" + text(record->pPortName) +
                            L" driver=" + text(record->pDriverName) + L" share=" +
                            text(record->pShareName) + L" location=" + text(record->pLocation)
                      : std::wstring()),
          added != nullptr);
  return added;
}

BOOL WINAPI Fake_SetPrinterW(HANDLE handle, DWORD level, LPBYTE info, DWORD command) {
  const std::wstring name = Spooler().HandleName(handle);
  return Journal(L"SetPrinter " + name + L" " + std::to_wstring(level),
                 Spooler().SetPrinter(handle, level, info, command));
}

BOOL WINAPI Fake_EnumPortsW(LPWSTR name, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed,
                            LPDWORD returned) {
  return Spooler().EnumPorts(name, level, buffer, size, needed, returned);
}

BOOL WINAPI Fake_EnumPrintProcessorsW(LPWSTR name, LPWSTR environment, DWORD level, LPBYTE buffer,
                                      DWORD size, LPDWORD needed, LPDWORD returned) {
  return Spooler().EnumPrintProcessors(name, environment, level, buffer, size, needed, returned);
}

BOOL WINAPI Fake_XcvDataW(HANDLE handle, PCWSTR dataName, PBYTE input, DWORD inputSize,
                          PBYTE output, DWORD outputSize, PDWORD written, PDWORD status) {
  const BOOL result =
      Spooler().XcvData(handle, dataName, input, inputSize, output, outputSize, written, status);
  if (dataName == nullptr || std::wstring(dataName) != L"AddPort" ||
      inputSize < sizeof(kestrun::PortData1)) {
    return result;
  }
  // A port made: its settings as the monitor took them.
  kestrun::PortData1 data = {};
  std::memcpy(&data, input, sizeof(data));
  data.sztPortName[63] = data.sztHostAddress[48] = data.sztQueue[32] = 0;
  data.sztSNMPCommunity[32] = 0;
  ::SetLastError(*status);
  Journal(L"AddPort " + std::wstring(data.sztPortName) + L" host=" + data.sztHostAddress +
              L" protocol=" + std::to_wstring(data.dwProtocol) + L" port=" +
              std::to_wstring(data.dwPortNumber) + L" queue=" + data.sztQueue + L" bytes=" +
              std::to_wstring(data.dwDoubleSpool) + L" snmp=" +
              std::to_wstring(data.dwSNMPEnabled) + L" community=" + data.sztSNMPCommunity +
              L" index=" + std::to_wstring(data.dwSNMPDevIndex),
          result && *status == 0);
  return result;
}

HRESULT WINAPI Fake_DeletePrinterDriverPackageW(LPCWSTR server, LPCWSTR infPath,
                                                LPCWSTR environment) {
  const HRESULT result = Spooler().DeletePrinterDriverPackage(server, infPath, environment);
  ::SetLastError(static_cast<DWORD>(result));
  Journal(L"DeletePrinterDriverPackage " + std::wstring(server ? server : L"") + L" " +
              (infPath ? infPath : L"") + L" " + (environment ? environment : L""),
          SUCCEEDED(result));
  return result;
}

HRESULT WINAPI Fake_InstallPrinterDriverFromPackageW(LPCWSTR server, LPCWSTR infPath,
                                                     LPCWSTR driverName, LPCWSTR environment,
                                                     DWORD flags) {
  const HRESULT result =
      Spooler().InstallPrinterDriverFromPackage(server, infPath, driverName, environment, flags);
  ::SetLastError(static_cast<DWORD>(result));
  Journal(L"InstallPrinterDriverFromPackage " + std::wstring(server ? server : L"") + L" " +
              (environment ? environment : L"") + L" " + (driverName ? driverName : L""),
          SUCCEEDED(result));
  return result;
}

HRESULT WINAPI Fake_UploadPrinterDriverPackageW(LPCWSTR server, LPCWSTR infPath,
                                                LPCWSTR environment, DWORD flags, HWND window,
                                                LPWSTR uploaded, PULONG length) {
  const HRESULT result = Spooler().UploadPrinterDriverPackage(server, infPath, environment, flags,
                                                              window, uploaded, length);
  Journal(L"UploadPrinterDriverPackage " + std::wstring(server ? server : L"") + L" " +
              (environment ? environment : L""),
          SUCCEEDED(result));
  return result;
}

}  // extern "C"
