#include "devices/winhttp_api.h"

#include <mutex>

#include "inventory/platform.h"

namespace kestrun {

namespace {

template <typename Function>
bool Resolve(Function& slot, HMODULE module, const char* name) {
  slot = reinterpret_cast<Function>(::GetProcAddress(module, name));
  return slot != nullptr;
}

WinHttpApi LoadWinHttp() {
  WinHttpApi api = {};
  // Loaded for the life of the process: the table points into it.
  const HMODULE module = LoadSystemModule(L"winhttp.dll");
  if (module == nullptr) {
    api.loadError = ::GetLastError() ? ::GetLastError() : ERROR_MOD_NOT_FOUND;
    return api;
  }
  const bool found = Resolve(api.WinHttpOpen, module, "WinHttpOpen") &&
                     Resolve(api.WinHttpConnect, module, "WinHttpConnect") &&
                     Resolve(api.WinHttpOpenRequest, module, "WinHttpOpenRequest") &&
                     Resolve(api.WinHttpSetOption, module, "WinHttpSetOption") &&
                     Resolve(api.WinHttpSetTimeouts, module, "WinHttpSetTimeouts") &&
                     Resolve(api.WinHttpSetStatusCallback, module, "WinHttpSetStatusCallback") &&
                     Resolve(api.WinHttpSendRequest, module, "WinHttpSendRequest") &&
                     Resolve(api.WinHttpReceiveResponse, module, "WinHttpReceiveResponse") &&
                     Resolve(api.WinHttpQueryHeaders, module, "WinHttpQueryHeaders") &&
                     Resolve(api.WinHttpReadData, module, "WinHttpReadData") &&
                     Resolve(api.WinHttpCloseHandle, module, "WinHttpCloseHandle");
  if (!found) api.loadError = ERROR_PROC_NOT_FOUND;
  return api;
}

}  // namespace

const WinHttpApi& WinHttp() {
  static std::once_flag loaded;
  static WinHttpApi api = {};
  std::call_once(loaded, [] { api = LoadWinHttp(); });
  return api;
}

}  // namespace kestrun
