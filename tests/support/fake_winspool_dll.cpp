// A test spooler DLL named winspool.drv. Placed beside Kestrun.exe and marked
// native in WINEDLLOVERRIDES, it serves the scenario named by the environment
// variable KESTRUN_FAKE_SPOOLER:
//   sample          the sample drivers, on the local spooler and on PRINTSRV
//   generated:N     N generated drivers, likewise
//   fail:CODE       PRINTSRV's spooler fails with CODE
//   empty           PRINTSRV has no drivers
//   printers        the sample drivers and three printers, on the local spooler
//                   and on PRINTSRV: "Office Laser" uses the Contoso driver,
//                   "Front Desk" and "Back Office" both use the Norvex driver
//                   (so deleting the Norvex driver fails with 3001 after the
//                   first of them went)
// Printers can be opened, deleted and closed, and drivers deleted, for the
// life of the process that loaded this DLL.
#include <windows.h>

#include <cstdlib>
#include <string>

#include "tests/support/fake_spooler.h"

using kestrun::testing::FakeMachine;
using kestrun::testing::FakePrinter;
using kestrun::testing::FakeSpooler;

namespace {

std::wstring ScenarioName() {
  wchar_t value[256] = {};
  ::GetEnvironmentVariableW(L"KESTRUN_FAKE_SPOOLER", value, 256);
  return value;
}

FakeSpooler& Spooler() {
  static FakeSpooler* spooler = [] {
    auto* made = new FakeSpooler;
    const std::wstring scenario = ScenarioName();
    FakeMachine machine;
    if (scenario.rfind(L"generated:", 0) == 0) {
      machine.drivers =
          kestrun::testing::GeneratedDrivers(std::wcstoul(scenario.c_str() + 10, nullptr, 10));
    } else if (scenario.rfind(L"fail:", 0) == 0) {
      machine.firstCallError = std::wcstoul(scenario.c_str() + 5, nullptr, 10);
    } else if (scenario == L"printers") {
      machine.drivers = kestrun::testing::SampleDrivers();
      machine.printers = {
          FakePrinter{L"Office Laser", L"Contoso LaserJet 4200 PCL6"},
          FakePrinter{L"Front Desk", L"Norvex Universal Print Class Driver"},
          FakePrinter{L"Back Office", L"Norvex Universal Print Class Driver"},
      };
    } else if (scenario != L"empty") {
      machine.drivers = kestrun::testing::SampleDrivers();
    }
    made->machines[L""] = machine;
    made->machines[L"\\\\PRINTSRV"] = machine;
    return made;
  }();
  return *spooler;
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

BOOL WINAPI Fake_DeletePrinter(HANDLE handle) { return Spooler().DeletePrinter(handle); }

BOOL WINAPI Fake_ClosePrinter(HANDLE handle) { return Spooler().ClosePrinter(handle); }

BOOL WINAPI Fake_DeletePrinterDriverExW(LPWSTR server, LPWSTR environment, LPWSTR driverName,
                                        DWORD deleteFlag, DWORD versionFlag) {
  return Spooler().DeletePrinterDriverEx(server, environment, driverName, deleteFlag, versionFlag);
}

DWORD WINAPI Fake_GetPrinterDataExW(HANDLE handle, LPCWSTR key, LPCWSTR value, LPDWORD type,
                                   LPBYTE data, DWORD size, LPDWORD needed) {
  return Spooler().GetPrinterDataEx(handle, key, value, type, data, size, needed);
}

}  // extern "C"
