// The one seam between Kestrun and the spooler, network and registry services:
// every call to them goes through this table. By default it holds the
// functions of the system's own winspool.drv, mpr.dll, netapi32.dll and
// advapi32.dll, loaded from System32 on first use (never beside the
// executable); tests install stand-ins.
#pragma once

#include <windows.h>
#include <lm.h>
#include <winnetwk.h>
#include <winspool.h>

#include "common/win32_handles.h"

namespace kestrun {

// Installs a driver from a package in the driver store (Windows Vista and
// later); MinGW's headers do not declare it.
using InstallPrinterDriverFromPackageFunction = HRESULT(WINAPI*)(LPCWSTR server, LPCWSTR infPath,
                                                                 LPCWSTR driverName,
                                                                 LPCWSTR environment, DWORD flags);
constexpr DWORD kInstallCopyAllFiles = 0x00000001;  // IPDFP_COPY_ALL_FILES

struct PlatformApi {
  decltype(&::EnumPrinterDriversW) EnumPrinterDriversW;
  decltype(&::EnumPrintersW) EnumPrintersW;
  decltype(&::OpenPrinterW) OpenPrinterW;
  decltype(&::DeletePrinter) DeletePrinter;
  decltype(&::ClosePrinter) ClosePrinter;
  decltype(&::DeletePrinterDriverExW) DeletePrinterDriverExW;
  decltype(&::GetPrinterDataExW) GetPrinterDataExW;
  decltype(&::DeletePrinterDriverPackageW) DeletePrinterDriverPackageW;
  // What a snapshot reads, and what putting one back writes.
  decltype(&::GetPrinterW) GetPrinterW;
  decltype(&::EnumPrinterKeyW) EnumPrinterKeyW;
  decltype(&::EnumPrinterDataExW) EnumPrinterDataExW;
  decltype(&::GetPrinterDriverDirectoryW) GetPrinterDriverDirectoryW;
  decltype(&::AddPrinterDriverExW) AddPrinterDriverExW;
  decltype(&::AddPrinterW) AddPrinterW;
  decltype(&::SetPrinterW) SetPrinterW;
  decltype(&::SetPrinterDataExW) SetPrinterDataExW;
  decltype(&::UploadPrinterDriverPackageW) UploadPrinterDriverPackageW;
  InstallPrinterDriverFromPackageFunction InstallPrinterDriverFromPackageW;
  decltype(&::EnumPortsW) EnumPortsW;
  decltype(&::EnumPrintProcessorsW) EnumPrintProcessorsW;
  decltype(&::XcvDataW) XcvDataW;
  decltype(&::WNetAddConnection2W) WNetAddConnection2W;
  decltype(&::WNetCancelConnection2W) WNetCancelConnection2W;
  decltype(&::NetServerEnum) NetServerEnum;
  decltype(&::NetApiBufferFree) NetApiBufferFree;
  decltype(&::NetApiBufferSize) NetApiBufferSize;
  decltype(&::NetServerGetInfo) NetServerGetInfo;
  // A machine's registry, for the print security settings.
  decltype(&::RegConnectRegistryW) RegConnectRegistryW;
  decltype(&::RegOpenKeyExW) RegOpenKeyExW;
  decltype(&::RegQueryValueExW) RegQueryValueExW;
  decltype(&::RegEnumValueW) RegEnumValueW;
  decltype(&::RegCloseKey) RegCloseKey;
};

// The table of the system's functions, loaded from System32 once (safe from
// any thread). A function the system lacks fails with ERROR_PROC_NOT_FOUND.
PlatformApi RealPlatform();

// The table in force.
const PlatformApi& Platform();

// Replaces the table; only tests call this, before any worker runs.
void InstallPlatform(const PlatformApi& api);

// The first thing the process does: every DLL loaded later by name comes from
// System32 only. Does nothing where the system lacks the setting.
void RestrictDllSearchToSystem32();

// Loads a system DLL from System32 (by its full path where the system cannot
// be told to search System32 alone, and always for a DLL read as data); null
// when it cannot. `flags` may add LOAD_LIBRARY_AS_DATAFILE and the like.
HMODULE LoadSystemModule(const wchar_t* name, DWORD flags = 0);

namespace detail {
inline void ClosePrinterHandle(HANDLE printer) { Platform().ClosePrinter(printer); }
}  // namespace detail

// A printer handle from OpenPrinterW, closed through the table in force.
using UniquePrinter = UniqueAny<HANDLE, detail::ClosePrinterHandle>;

}  // namespace kestrun
