// A stand-in for the print spooler and network client: machines with drivers
// and printers, buffers laid out as the spooler lays them out (the records
// first, then the strings they point to), the two-call protocol with 122 and
// the bytes needed, and any error code on any call. Every call is recorded.
#pragma once

#include <windows.h>
#include <lm.h>
#include <winnetwk.h>
#include <winspool.h>

#include <map>
#include <mutex>
#include <optional>
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
};

struct FakePrinter {
  std::wstring name;
  std::wstring driverName;
  std::wstring portName = L"FILE:";
};

struct FakeMachine {
  std::vector<FakeDriver> drivers;
  std::vector<FakePrinter> printers;
  DWORD firstCallError = 0;   // instead of 122, when set
  DWORD secondCallError = 0;  // the filling call fails with this, when set
  DWORD connectResult = NO_ERROR;
  DWORD enumerateDelayMs = 0;  // a slow spooler
};

class FakeSpooler {
 public:
  // Key: the server name as the caller passes it ("" for a null server, the
  // local spooler), for example "\\\\PRINTSRV".
  std::map<std::wstring, FakeMachine> machines;

  // What the program asked for, in order.
  std::vector<std::wstring> calls;
  int enumerateCalls = 0;

  // Points the program's seam at this spooler; Uninstall restores the real one.
  void Install();
  static void Uninstall();

  std::vector<std::wstring> Calls();

  // Handlers, shared by the in-process seam and the test spooler DLL.
  BOOL EnumPrinterDrivers(LPWSTR server, LPWSTR environment, DWORD level, LPBYTE buffer,
                          DWORD size, LPDWORD needed, LPDWORD returned);
  DWORD AddConnection(LPNETRESOURCEW resource, LPCWSTR password, LPCWSTR user, DWORD flags);
  DWORD CancelConnection(LPCWSTR name, DWORD flags, BOOL force);

  std::mutex lock;

 private:
  void Record(std::wstring call);
  FakeMachine* FindMachine(const wchar_t* server);
};

// Bytes the level-6 records of these drivers and their strings take.
DWORD DriverBufferSize(const std::vector<FakeDriver>& drivers);
// Lays the records out at `buffer`, followed by their strings.
void PackDrivers(const std::vector<FakeDriver>& drivers, BYTE* buffer);

// A driver with every field set, in the shape real drivers have.
FakeDriver RichDriver(const std::wstring& name, const std::wstring& provider);
// The sample machine used across tests: a handful of drivers of several makers.
std::vector<FakeDriver> SampleDrivers();
// `count` generated drivers, for volume tests and benchmarks.
std::vector<FakeDriver> GeneratedDrivers(size_t count);

}  // namespace kestrun::testing
