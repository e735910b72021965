// The device probe's one system DLL, WinHTTP: its functions in a table filled
// at run time from System32's winhttp.dll (never from beside the executable,
// which imports none of it), in the shape of the spooler's seam.
#pragma once

#include <windows.h>
#include <winhttp.h>

namespace kestrun {

struct WinHttpApi {
  DWORD loadError = 0;  // 0 when every function below was found
  decltype(&::WinHttpOpen) WinHttpOpen;
  decltype(&::WinHttpConnect) WinHttpConnect;
  decltype(&::WinHttpOpenRequest) WinHttpOpenRequest;
  decltype(&::WinHttpSetOption) WinHttpSetOption;
  decltype(&::WinHttpSetTimeouts) WinHttpSetTimeouts;
  decltype(&::WinHttpSetStatusCallback) WinHttpSetStatusCallback;
  decltype(&::WinHttpSendRequest) WinHttpSendRequest;
  decltype(&::WinHttpReceiveResponse) WinHttpReceiveResponse;
  decltype(&::WinHttpQueryHeaders) WinHttpQueryHeaders;
  decltype(&::WinHttpReadData) WinHttpReadData;
  decltype(&::WinHttpCloseHandle) WinHttpCloseHandle;
};

// The table, loaded once (safe from any thread). When the DLL or one of its
// functions is missing, `loadError` says so and no function may be called.
const WinHttpApi& WinHttp();

}  // namespace kestrun
