// A stand-in for the print spooler and network client: machines with drivers
// and printers, buffers laid out as the spooler lays them out (the records
// first, then the strings they point to), the two-call protocol with 122 and
// the bytes needed, and any error code on any call. Every call is recorded.
// Printer handles and server-list buffers are counted so tests can tell that
// none leaks and none is released twice. Safe to call from any thread.
#pragma once

#include <windows.h>
#include <lm.h>
#include <winnetwk.h>
#include <winspool.h>

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kestrun::testing {

using OptionalText = std::optional<std::wstring>;
using OptionalList = std::optional<std::vector<std::wstring>>;

struct FakeDriver {
  OptionalText name;
  OptionalText environment = L"Windows x64";
  OptionalText driverPath;
  OptionalText dataFile;
  OptionalText configFile;
  OptionalText helpFile;
  OptionalList dependentFiles;
  OptionalText monitorName;
  OptionalText defaultDataType;
  OptionalList previousNames;
  FILETIME driverDate = {};
  DWORDLONG driverVersion = 0;
  OptionalText mfgName;
  OptionalText oemUrl;
  OptionalText hardwareId;
  OptionalText provider;
  DWORD deleteError = 0;  // DeletePrinterDriverExW fails with this, when set
  OptionalText infPath;   // its package in the driver store (level 8)
  DWORD type = 3;         // cVersion
  DWORD attributes = 0;   // dwPrinterDriverAttributes (level 8)
};

// A printer's name is bare ("Office"). The spooler reports and opens a remote
// machine's printer as "\\SRV\Office" and a local one by its bare name;
// names are compared without case. A name that starts with two backslashes
// ("\\OTHER\Accounting") is listed as it is: another server's printer.
// A printer data value, as SetPrinterDataExW keeps it.
struct FakeValue {
  DWORD type = REG_SZ;
  std::vector<BYTE> data;
};

struct FakePrinter {
  std::wstring name;
  std::wstring driverName;
  std::wstring portName = L"FILE:";
  DWORD openError = 0;    // OpenPrinterW fails with this, when set
  DWORD deleteError = 0;  // DeletePrinter fails with this, when set
  std::map<std::wstring, FakeValue> data;  // by "key\name"; keys nest with "\"
  std::vector<BYTE> securityDescriptor;    // as SetPrinterW level 3 left it
  // Shared under this name, when set.
  std::wstring shareName;
  std::wstring location;
  std::wstring comment;
  std::wstring printProcessor = L"winprint";
};

// A port of a machine, listed by EnumPortsW level 2. A port with a host
// answers XcvDataW "GetConfigInfo" on its ",XcvPort NAME" handle as the
// Standard TCP/IP Port monitor does.
struct FakePort {
  std::wstring name;
  std::wstring monitor = L"Standard TCP/IP Port";
  std::wstring host;
  DWORD protocol = 1;  // RAW; 2 LPR
  DWORD portNumber = 9100;
  std::wstring queue;
  bool byteCount = false;  // LPR byte counting
  bool snmp = false;
  std::wstring community;
  DWORD snmpIndex = 0;
  DWORD xcvStatus = 0;  // GetConfigInfo answers with this status, when set
  // Rewrites the PORT_DATA_1 answer (as many bytes as the caller gave) and
  // the bytes it says it wrote.
  std::function<void(BYTE* answer, DWORD size, DWORD& written)> tampering;
};

// A broken or hostile server's answer to a list call (drivers or printers).
struct Tampering {
  std::optional<DWORD> sizingSuccessCount;  // the sizing call "succeeds" with this count
  DWORD askedBytes = 0;                     // the sizing call asks for this instead, when set
  // Rewrites the filled answer: its bytes (as many as the caller gave) and count.
  std::function<void(BYTE* buffer, DWORD size, DWORD& returned)> answer;
};

struct FakeMachine {
  std::vector<FakeDriver> drivers;
  std::vector<FakePrinter> printers;
  std::vector<FakePrinter> connections;  // "\\OTHER\Office", listed with PRINTER_ENUM_CONNECTIONS
  std::vector<FakePort> ports;
  DWORD portListError = 0;  // EnumPortsW fails with this instead of 122, when set
  // Its print processors, for EnumPrintProcessorsW (every environment alike).
  std::vector<std::wstring> printProcessors = {L"winprint"};
  DWORD printProcessorError = 0;  // EnumPrintProcessorsW fails with this, when set
  Tampering portTampering;
  DWORD firstCallError = 0;   // instead of 122, when set
  DWORD secondCallError = 0;  // the filling call fails with this, when set
  DWORD connectResult = NO_ERROR;
  DWORD enumerateDelayMs = 0;        // a slow spooler
  DWORD printerListError = 0;        // EnumPrintersW fails with this instead of 122, when set
  DWORD printerListSecondError = 0;  // the filling EnumPrintersW call fails with this
  DWORD deleteDriverError = 0;       // every DeletePrinterDriverExW fails with this
  DWORD deleteDelayMs = 0;           // a slow DeletePrinterDriverExW
  // The server's own environment, which its printers use; its "Architecture"
  // value. Absent: the value is not there (2), as Wine's spooler answers.
  OptionalText architecture = L"Windows x64";
  Tampering driverTampering;
  Tampering printerTampering;
  DWORD packageListError =
      0;  // the level-8 list fails with this (ERROR_INVALID_LEVEL: an old server)
  DWORD packageDeleteError = 0;  // DeletePrinterDriverPackageW fails with this, when set
  // The level-8 list fails with this once a listing has read it (its two
  // calls): the packages a deletion reads again cannot be read.
  DWORD packageRereadError = 0;
  int level8Calls = 0;
  // Its store folder gone.inf_amd64_2 is removed (by someone else) once a
  // listing has read the packages: a deletion reading them again finds it gone.
  bool storeFolderVanishes = false;
  int level8Reads = 0;
  DWORD addDriverError = 0;   // AddPrinterDriverExW fails with this, when set
  DWORD addPortStatus = 0;    // the TCP/IP monitor's "AddPort" answers with this, when set
  // A slow server: each port, driver and printer call that adds or reads a
  // copy's objects (XcvDataW, AddPrinterDriverExW, AddPrinterW) waits this long.
  DWORD copyCallDelayMs = 0;
  DWORD setDataError = 0;     // SetPrinterDataExW fails with this, when set
  DWORD driverFolderError = 0;  // GetPrinterDriverDirectoryW fails with this, when set
  OptionalText driverFolderAnswer;            // a hostile server's answer to it, when set
  std::vector<std::wstring> removedPackages;  // "INF|environment", in order
  // Its registry below HKEY_LOCAL_MACHINE, by "KEY\\NAME"; a key is there
  // when a value of it is. Opening a key of `registryKeyErrors` fails with its
  // code, every call waits `registryDelayMs`, and connecting (a remote
  // machine) fails with `registryConnectError` when set.
  std::map<std::wstring, FakeValue> registry;
  std::map<std::wstring, DWORD> registryKeyErrors;
  DWORD registryConnectError = 0;
  DWORD registryDelayMs = 0;
  DWORD serverType = SV_TYPE_WORKSTATION | SV_TYPE_SERVER;  // NetServerGetInfo level 101
};

// One printer handle the fake handed out and has not seen closed.
struct FakePrinterHandle {
  std::wstring server;  // the machine's key
  std::wstring printer;
  DWORD desiredAccess = 0;
};

class FakeSpooler {
 public:
  // Key: the server name as the caller passes it ("" for a null server, the
  // local spooler), for example "\\\\PRINTSRV".
  std::map<std::wstring, FakeMachine> machines;

  // What the program asked for, in order.
  std::vector<std::wstring> calls;
  bool recordCalls = true;  // off for volume runs
  int enumerateCalls = 0;

  // The network's server browser, for NetServerEnum: the names in the order
  // the network answers, the status (0, ERROR_MORE_DATA with these names, or
  // any failure, which hands out no buffer), the total it reports (0: the
  // number of names) and a delay so two fetches overlap. No names and status
  // 0 hands out no buffer.
  std::vector<std::wstring> serverNames;
  // Runs inside each UploadPrinterDriverPackageW with the INF it was handed:
  // what another program might do meanwhile.
  std::function<void(const std::wstring& inf)> duringUpload;
  NET_API_STATUS serverListStatus = NERR_Success;
  DWORD serverListTotal = 0;
  DWORD serverListDelayMs = 0;

  // Book-keeping for leak checks.
  std::map<HANDLE, FakePrinterHandle> openPrinters;
  int badPrinterCloses = 0;  // ClosePrinter of a handle not open
  std::set<void*> serverBuffers;
  std::map<HKEY, std::pair<std::wstring, std::wstring>> openKeys;  // machine, key path
  int badBufferFrees = 0;  // NetApiBufferFree of a buffer not handed out (or freed twice)

  // Points the program's seam at this spooler; Uninstall restores the real one.
  void Install();
  static void Uninstall();

  std::vector<std::wstring> Calls();
  // The calls whose record starts with `prefix` (all of them for an empty one).
  std::vector<std::wstring> CallsStartingWith(const std::wstring& prefix);

  // Handlers, shared by the in-process seam and the test spooler DLL.
  BOOL EnumPrinterDrivers(LPWSTR server, LPWSTR environment, DWORD level, LPBYTE buffer, DWORD size,
                          LPDWORD needed, LPDWORD returned);
  DWORD AddConnection(LPNETRESOURCEW resource, LPCWSTR password, LPCWSTR user, DWORD flags);
  DWORD CancelConnection(LPCWSTR name, DWORD flags, BOOL force);
  BOOL EnumPrinters(DWORD flags, LPWSTR name, DWORD level, LPBYTE buffer, DWORD size,
                    LPDWORD needed, LPDWORD returned);
  BOOL OpenPrinter(LPWSTR name, LPHANDLE handle, LPPRINTER_DEFAULTSW defaults);
  BOOL DeletePrinter(HANDLE handle);
  BOOL ClosePrinter(HANDLE handle);
  BOOL DeletePrinterDriverEx(LPWSTR server, LPWSTR environment, LPWSTR driverName, DWORD deleteFlag,
                             DWORD versionFlag);
  HRESULT DeletePrinterDriverPackage(LPCWSTR server, LPCWSTR infPath, LPCWSTR environment);
  DWORD GetPrinterDataEx(HANDLE handle, LPCWSTR key, LPCWSTR value, LPDWORD type, LPBYTE data,
                         DWORD size, LPDWORD needed);
  BOOL EnumPorts(LPWSTR name, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed,
                 LPDWORD returned);
  BOOL EnumPrintProcessors(LPWSTR name, LPWSTR environment, DWORD level, LPBYTE buffer, DWORD size,
                           LPDWORD needed, LPDWORD returned);
  BOOL XcvData(HANDLE handle, PCWSTR dataName, PBYTE input, DWORD inputSize, PBYTE output,
               DWORD outputSize, PDWORD written, PDWORD status);
  NET_API_STATUS NetServerEnum(LPCWSTR server, DWORD level, LPBYTE* buffer, DWORD preferredLength,
                               LPDWORD entriesRead, LPDWORD totalEntries, DWORD serverType,
                               LPCWSTR domain, LPDWORD resumeHandle);
  NET_API_STATUS NetApiBufferFree(LPVOID buffer);
  NET_API_STATUS NetServerGetInfo(LPCWSTR server, DWORD level, LPBYTE* buffer);
  LSTATUS RegConnectRegistry(LPCWSTR server, HKEY* root);
  LSTATUS RegOpenKeyEx(HKEY parent, LPCWSTR key, HKEY* opened);
  LSTATUS RegQueryValueEx(HKEY key, LPCWSTR name, LPDWORD type, LPBYTE data, LPDWORD size);
  LSTATUS RegEnumValue(HKEY key, DWORD index, LPWSTR name, LPDWORD nameSize, LPDWORD type,
                       LPBYTE data, LPDWORD size);
  LSTATUS RegCloseKey(HKEY key);
  size_t OpenRegistryKeys();  // handed out and not closed
  NET_API_STATUS NetApiBufferSize(LPVOID buffer, LPDWORD bytes);
  // What a snapshot reads and a restore writes. A machine's driver folder
  // (DriverShare) gets its drivers' files when it is asked for.
  BOOL GetPrinterDriverDirectory(LPWSTR server, LPWSTR environment, DWORD level, LPBYTE buffer,
                                 DWORD size, LPDWORD needed);
  BOOL GetPrinter(HANDLE handle, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed);
  DWORD EnumPrinterKey(HANDLE handle, LPCWSTR key, LPWSTR subkeys, DWORD size, LPDWORD needed);
  DWORD EnumPrinterDataEx(HANDLE handle, LPCWSTR key, LPBYTE values, DWORD size, LPDWORD needed,
                          LPDWORD count);
  DWORD SetPrinterDataEx(HANDLE handle, LPCWSTR key, LPCWSTR name, DWORD type, LPBYTE data,
                         DWORD size);
  BOOL AddPrinterDriverEx(LPWSTR server, DWORD level, LPBYTE info, DWORD flags);
  HANDLE AddPrinter(LPWSTR server, DWORD level, LPBYTE info);
  BOOL SetPrinter(HANDLE handle, DWORD level, LPBYTE info, DWORD command);
  HRESULT UploadPrinterDriverPackage(LPCWSTR server, LPCWSTR infPath, LPCWSTR environment,
                                     DWORD flags, HWND window, LPWSTR uploaded, PULONG length);
  HRESULT InstallPrinterDriverFromPackage(LPCWSTR server, LPCWSTR infPath, LPCWSTR driverName,
                                          LPCWSTR environment, DWORD flags);
  // A machine's driver folders: \\SRV\print$, or this computer's spool\drivers.
  static std::wstring DriverShare(const std::wstring& server);
  // A share of a server ("admin$"), as Wine reaches it; made when it is not there.
  static std::wstring MachineShare(const std::wstring& server, const std::wstring& share);
  // A package folder in a server's driver store, reached as
  // \\SRV\admin$\System32\DriverStore\FileRepository\FOLDER: its INF (named
  // by the folder's name up to ".inf", holding `inf` as it is) and `files`
  // more files of `bytes` bytes each. Returns the INF's path as the server's
  // spooler names it (C:\Windows\System32\DriverStore\...).
  static std::wstring AddStorePackage(const std::wstring& server, const std::wstring& folder,
                                      const std::string& inf, int files = 0, size_t bytes = 0);

  // Thread-safe reads of the book-keeping.
  size_t OpenPrinterCount();
  int BadPrinterCloses();
  size_t OutstandingServerBuffers();
  int BadBufferFrees();
  // The printers' names on a machine, in order.
  std::vector<std::wstring> PrinterNames(const std::wstring& server);
  // The drivers on a machine as "name|environment", in order.
  std::vector<std::wstring> DriverKeys(const std::wstring& server);

  std::mutex lock;

  // The printer a handle the fake handed out opens ("?" when none).
  std::wstring HandleName(HANDLE handle);

 private:
  void Record(std::wstring call);
  void DelayCopyCall(const wchar_t* server);
  FakeMachine* FindMachine(const wchar_t* server);
  FakePrinter* FindPrinter(FakeMachine& machine, const std::wstring& name);
  FakePort* FindPort(FakeMachine& machine, const std::wstring& name);
  DWORD RemoveDriver(const wchar_t* server, const wchar_t* environment, const wchar_t* driverName,
                     const DWORD* version);
  uintptr_t nextHandle_ = 0x4B50;
};

// Bytes the level-2 records of a machine's printers and their strings take.
DWORD PrinterBufferSize(const std::wstring& server, const std::vector<FakePrinter>& printers);
// Lays them out at `buffer`, followed by their strings.
void PackPrinters(const std::wstring& server, const std::vector<FakePrinter>& printers,
                  BYTE* buffer);

// The same for the level-2 records of ports.
DWORD PortBufferSize(const std::vector<FakePort>& ports);
void PackPorts(const std::vector<FakePort>& ports, BYTE* buffer);

// Bytes the level-6 records of these drivers and their strings take.
DWORD DriverBufferSize(const std::vector<FakeDriver>& drivers);
// Lays the records out at `buffer`, followed by their strings.
void PackDrivers(const std::vector<FakeDriver>& drivers, BYTE* buffer);
// The same at level 8 (DRIVER_INFO_8W), with each driver's package path.
DWORD DriverBufferSize8(const std::vector<FakeDriver>& drivers);
void PackDrivers8(const std::vector<FakeDriver>& drivers, BYTE* buffer);

// A driver with every field set, in the shape real drivers have.
FakeDriver RichDriver(const std::wstring& name, const std::wstring& provider);
// One of Windows' own IPP class drivers as Windows installs it: Type 4, a
// class driver from Microsoft, from Windows' own package.
FakeDriver InboxClassDriver(const std::wstring& name);
// The sample machine used across tests: a handful of drivers of several makers.
std::vector<FakeDriver> SampleDrivers();
// A driver whose texts hold what a CSV reader and a console must survive:
// commas, double quotes, line breaks, an escape sequence, characters beyond
// Latin-1 and beyond the Basic Multilingual Plane.
FakeDriver TrickyDriver();
// A print server as real ones are (its drivers, ports and printers), with
// `queues` more printers on its RAW port.
void AddRealServer(FakeMachine& machine, unsigned long queues);
// `count` generated drivers, for volume tests and benchmarks.
std::vector<FakeDriver> GeneratedDrivers(size_t count);

}  // namespace kestrun::testing
