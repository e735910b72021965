#include "inventory/platform.h"

#include <atomic>
#include <mutex>
#include <string>
#include <type_traits>

#include "common/bounded_text.h"

namespace kestrun {

namespace {

using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);

// Windows 7 without its loader update has no such function: there each DLL is
// loaded by its full System32 path instead.
SetDefaultDllDirectoriesFunction DefaultDllDirectoriesSetter() {
  const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
  return kernel ? reinterpret_cast<SetDefaultDllDirectoriesFunction>(
                      ::GetProcAddress(kernel, "SetDefaultDllDirectories"))
                : nullptr;
}

// Stands in for a function the system's DLL lacks: the call fails with
// ERROR_PROC_NOT_FOUND through the function's own way of failing.
template <typename Function>
struct Missing;
template <typename Result, typename... Arguments>
struct Missing<Result(WINAPI*)(Arguments...)> {
  static Result WINAPI Call(Arguments...) {
    if constexpr (std::is_same_v<Result, BOOL>) {
      ::SetLastError(ERROR_PROC_NOT_FOUND);
      return FALSE;
    } else if constexpr (std::is_same_v<Result, HRESULT>) {
      return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    } else if constexpr (std::is_pointer_v<Result>) {  // a handle: null, the code set
      ::SetLastError(ERROR_PROC_NOT_FOUND);
      return nullptr;
    } else {
      return ERROR_PROC_NOT_FOUND;
    }
  }
};

template <typename Function>
void Resolve(Function& slot, HMODULE module, const char* name) {
  const FARPROC found = module ? ::GetProcAddress(module, name) : nullptr;
  slot = found ? reinterpret_cast<Function>(found) : &Missing<Function>::Call;
}

PlatformApi LoadSystemPlatform() {
  // Loaded for the life of the process: the table points into them.
  const HMODULE spooler = LoadSystemModule(L"winspool.drv");
  const HMODULE network = LoadSystemModule(L"mpr.dll");
  const HMODULE netapi = LoadSystemModule(L"netapi32.dll");
  PlatformApi api = {};
  Resolve(api.EnumPrinterDriversW, spooler, "EnumPrinterDriversW");
  Resolve(api.EnumPrintersW, spooler, "EnumPrintersW");
  Resolve(api.OpenPrinterW, spooler, "OpenPrinterW");
  Resolve(api.DeletePrinter, spooler, "DeletePrinter");
  Resolve(api.ClosePrinter, spooler, "ClosePrinter");
  Resolve(api.DeletePrinterDriverExW, spooler, "DeletePrinterDriverExW");
  Resolve(api.GetPrinterDataExW, spooler, "GetPrinterDataExW");
  Resolve(api.DeletePrinterDriverPackageW, spooler, "DeletePrinterDriverPackageW");
  Resolve(api.GetPrinterW, spooler, "GetPrinterW");
  Resolve(api.EnumPrinterKeyW, spooler, "EnumPrinterKeyW");
  Resolve(api.EnumPrinterDataExW, spooler, "EnumPrinterDataExW");
  Resolve(api.GetPrinterDriverDirectoryW, spooler, "GetPrinterDriverDirectoryW");
  Resolve(api.AddPrinterDriverExW, spooler, "AddPrinterDriverExW");
  Resolve(api.AddPrinterW, spooler, "AddPrinterW");
  Resolve(api.SetPrinterW, spooler, "SetPrinterW");
  Resolve(api.SetPrinterDataExW, spooler, "SetPrinterDataExW");
  Resolve(api.UploadPrinterDriverPackageW, spooler, "UploadPrinterDriverPackageW");
  Resolve(api.InstallPrinterDriverFromPackageW, spooler, "InstallPrinterDriverFromPackageW");
  Resolve(api.EnumPortsW, spooler, "EnumPortsW");
  Resolve(api.EnumPrintProcessorsW, spooler, "EnumPrintProcessorsW");
  Resolve(api.XcvDataW, spooler, "XcvDataW");
  Resolve(api.WNetAddConnection2W, network, "WNetAddConnection2W");
  Resolve(api.WNetCancelConnection2W, network, "WNetCancelConnection2W");
  Resolve(api.NetServerEnum, netapi, "NetServerEnum");
  Resolve(api.NetApiBufferFree, netapi, "NetApiBufferFree");
  Resolve(api.NetApiBufferSize, netapi, "NetApiBufferSize");
  Resolve(api.NetServerGetInfo, netapi, "NetServerGetInfo");
  const HMODULE registry = LoadSystemModule(L"advapi32.dll");
  Resolve(api.RegConnectRegistryW, registry, "RegConnectRegistryW");
  Resolve(api.RegOpenKeyExW, registry, "RegOpenKeyExW");
  Resolve(api.RegQueryValueExW, registry, "RegQueryValueExW");
  Resolve(api.RegEnumValueW, registry, "RegEnumValueW");
  Resolve(api.RegCloseKey, registry, "RegCloseKey");
  return api;
}

const PlatformApi& SystemPlatform() {
  static std::once_flag loaded;
  static PlatformApi system = {};
  std::call_once(loaded, [] { system = LoadSystemPlatform(); });
  return system;
}

PlatformApi installedPlatform = {};
std::atomic<bool> platformInstalled{false};

}  // namespace

PlatformApi RealPlatform() { return SystemPlatform(); }

const PlatformApi& Platform() {
  return platformInstalled.load(std::memory_order_acquire) ? installedPlatform : SystemPlatform();
}

void InstallPlatform(const PlatformApi& api) {
  installedPlatform = api;
  platformInstalled.store(true, std::memory_order_release);
}

void RestrictDllSearchToSystem32() {
  if (const auto setter = DefaultDllDirectoriesSetter()) setter(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

HMODULE LoadSystemModule(const wchar_t* name, DWORD flags) {
  // A DLL read as data is named by its full path: Wine searches beside the
  // program for those whatever the flags say.
  constexpr DWORD kAsData = LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE;
  if (DefaultDllDirectoriesSetter() != nullptr && (flags & kAsData) == 0) {
    return ::LoadLibraryExW(name, nullptr, flags | LOAD_LIBRARY_SEARCH_SYSTEM32);
  }
  wchar_t path[MAX_PATH] = {};
  const UINT length = ::GetSystemDirectoryW(path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return nullptr;
  AppendBounded(path, L"\\");
  if (AppendBounded(path, name) != std::char_traits<wchar_t>::length(name)) return nullptr;
  // A code DLL's own imports are then looked for beside it, in System32.
  return ::LoadLibraryExW(path, nullptr,
                          flags | ((flags & kAsData) ? 0 : LOAD_WITH_ALTERED_SEARCH_PATH));
}

}  // namespace kestrun
