// The one seam between Kestrun and the spooler and network services: every call
// to them goes through this table, which points at the real Win32 functions
// unless a test has installed stand-ins.
#pragma once

#include <windows.h>
#include <lm.h>
#include <winnetwk.h>
#include <winspool.h>

#include "common/win32_handles.h"

namespace kestrun {

struct PlatformApi {
  decltype(&::EnumPrinterDriversW) EnumPrinterDriversW;
  decltype(&::EnumPrintersW) EnumPrintersW;
  decltype(&::OpenPrinterW) OpenPrinterW;
  decltype(&::DeletePrinter) DeletePrinter;
  decltype(&::ClosePrinter) ClosePrinter;
  decltype(&::DeletePrinterDriverExW) DeletePrinterDriverExW;
  decltype(&::GetPrinterDataExW) GetPrinterDataExW;
  decltype(&::WNetAddConnection2W) WNetAddConnection2W;
  decltype(&::WNetCancelConnection2W) WNetCancelConnection2W;
  decltype(&::NetServerEnum) NetServerEnum;
  decltype(&::NetApiBufferFree) NetApiBufferFree;
  decltype(&::NetApiBufferSize) NetApiBufferSize;
};

// The table of the real Win32 functions.
PlatformApi RealPlatform();

// The table in force.
const PlatformApi& Platform();

// Replaces the table; only tests call this, before any worker runs.
void InstallPlatform(const PlatformApi& api);

namespace detail {
inline void ClosePrinterHandle(HANDLE printer) { Platform().ClosePrinter(printer); }
}  // namespace detail

// A printer handle from OpenPrinterW, closed through the table in force.
using UniquePrinter = UniqueAny<HANDLE, detail::ClosePrinterHandle>;

}  // namespace kestrun
