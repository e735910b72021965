// The HTTP exchange of a device probe: one POST of an IPP request over
// WinHTTP's asynchronous mode, so that many devices are asked at once and a
// device that never answers holds nobody. The caller owns the time limit:
// it waits for an exchange's wake-up and aborts it when its time is up.
// Only the request given is sent: no credentials (the user's never go out,
// and none are set), no cookies, no redirects followed.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <string_view>

#include "common/host_names.h"
#include <vector>

#include "devices/device_verdict.h"

namespace kestrun {

// The most a device's answer may hold.
constexpr size_t kMaxIppAnswerBytes = size_t{1024} * 1024;

// IPP's own port, where a TCP/IP port's device is asked.
constexpr unsigned short kIppPort = 631;

// Where a device is asked: an ipp://, ipps://, http:// or https:// address
// taken apart.
struct DeviceUri {
  bool secure = false;  // ipps or https: over TLS
  std::wstring host;    // an IPv6 address without its brackets
  unsigned short port = 0;
  std::wstring path;  // from its "/", with the query, percent-encoded; never empty
};

// Takes an address apart: scheme, host (IPv6 in brackets), port, path. ipp
// and ipps default to port 631, http to 80 and https to 443; blanks and
// characters beyond ASCII in the path are percent-encoded. False with why
// not: another scheme, a host that is not one, a port that is not 1 to
// 65535, control characters, or over 1024 characters.
bool ParseDeviceUri(std::wstring_view address, DeviceUri& uri, NotProbedReason& why);

// The printer-uri a request names: ipp:// (ipps:// over TLS), host, port, path.
std::wstring PrinterUriText(const DeviceUri& uri);

struct ExchangeOutcome {
  DWORD error = 0;                  // the system's code when there was no HTTP answer
  DWORD httpStatus = 0;             // the HTTP status of the answer
  bool tooLarge = false;            // the answer holds more than kMaxIppAnswerBytes
  std::vector<unsigned char> body;  // of a 200 answer
};

// One POST in flight.
class IppExchange {
 public:
  struct State;
  explicit IppExchange(std::shared_ptr<State> state);
  ~IppExchange();  // aborts it
  IppExchange(const IppExchange&) = delete;
  IppExchange& operator=(const IppExchange&) = delete;

  bool Done() const;
  // Its outcome, once done.
  ExchangeOutcome Take();
  // Closes its handles. Nothing of it is read or signalled afterwards, even
  // while WinHTTP still winds a connection down.
  void Abort();

 private:
  std::shared_ptr<State> state_;
};

// One WinHTTP session, in asynchronous mode, for one probe run. Proxies as
// the system has them set (addresses the system bypasses go direct).
class IppSession {
 public:
  IppSession() = default;
  ~IppSession();
  IppSession(const IppSession&) = delete;
  IppSession& operator=(const IppSession&) = delete;

  // 0, or why there is no session: WinHTTP could not be loaded, or opened.
  DWORD Open();

  // Starts POSTing `body` (an IPP request, Content-Type application/ipp) to
  // `uri`. WinHTTP's own time limits are `limitMs` each. `wake` (an event)
  // is set when the exchange is done; it must outlive the exchange.
  std::unique_ptr<IppExchange> Post(const DeviceUri& uri, std::vector<unsigned char> body,
                                    DWORD limitMs, HANDLE wake);

 private:
  void* session_ = nullptr;
};

}  // namespace kestrun
