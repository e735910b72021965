// A test spooler DLL named winspool.drv. Placed beside Kestrun.exe and marked
// native in WINEDLLOVERRIDES, it serves the scenario named by the environment
// variable KESTRUN_FAKE_SPOOLER:
//   sample          the sample drivers, on the local spooler and on PRINTSRV
//   generated:N     N generated drivers, likewise
//   fail:CODE       PRINTSRV's spooler fails with CODE
//   empty           PRINTSRV has no drivers
#include <windows.h>

#include <cstdlib>
#include <string>

#include "tests/support/fake_spooler.h"

using kestrun::testing::FakeMachine;
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
      machine.drivers = kestrun::testing::GeneratedDrivers(std::wcstoul(scenario.c_str() + 10, nullptr, 10));
    } else if (scenario.rfind(L"fail:", 0) == 0) {
      machine.firstCallError = std::wcstoul(scenario.c_str() + 5, nullptr, 10);
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

BOOL WINAPI Fake_EnumPrinterDriversW(LPWSTR server, LPWSTR environment, DWORD level,
                                     LPBYTE buffer, DWORD size, LPDWORD needed,
                                     LPDWORD returned) {
  return Spooler().EnumPrinterDrivers(server, environment, level, buffer, size, needed, returned);
}

BOOL WINAPI Fake_EnumPrintersW(DWORD, LPWSTR, DWORD, LPBYTE, DWORD, LPDWORD needed,
                               LPDWORD returned) {
  *needed = 0;
  *returned = 0;
  return TRUE;
}

BOOL WINAPI Fake_OpenPrinterW(LPWSTR, LPHANDLE, LPVOID) {
  ::SetLastError(ERROR_INVALID_PRINTER_NAME);
  return FALSE;
}

BOOL WINAPI Fake_DeletePrinter(HANDLE) {
  ::SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}

BOOL WINAPI Fake_ClosePrinter(HANDLE) { return TRUE; }

BOOL WINAPI Fake_DeletePrinterDriverExW(LPWSTR, LPWSTR, LPWSTR, DWORD, DWORD) {
  ::SetLastError(ERROR_UNKNOWN_PRINTER_DRIVER);
  return FALSE;
}

}  // extern "C"
