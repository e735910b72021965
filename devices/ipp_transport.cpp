#include "devices/ipp_transport.h"

#include <winhttp.h>

#include <algorithm>
#include <string_view>
#include <utility>

#include "common/host_names.h"
#include "common/shown_text.h"
#include "common/win32_handles.h"
#include "devices/ipp_message.h"
#include "devices/winhttp_api.h"

namespace kestrun {

namespace {

constexpr size_t kMaxAddressCharacters = 1024;
constexpr size_t kReadChunkBytes = size_t{16} * 1024;

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }
bool IsLabelCharacter(wchar_t c) {
  return IsDigit(c) || (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || c == L'-';
}
bool AllOf(std::wstring_view text, bool (*test)(wchar_t)) {
  return std::all_of(text.begin(), text.end(), test);
}

bool StartsWithScheme(std::wstring_view address, std::wstring_view scheme) {
  if (address.size() < scheme.size() + 3) return false;
  for (size_t i = 0; i < scheme.size(); ++i) {
    wchar_t c = address[i];
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    if (c != scheme[i]) return false;
  }
  return address.substr(scheme.size(), 3) == L"://";
}

bool ParsePort(std::wstring_view digits, unsigned short& port) {
  if (digits.empty() || digits.size() > 5 || !AllOf(digits, IsDigit)) return false;
  unsigned value = 0;
  for (const wchar_t c : digits) value = value * 10 + static_cast<unsigned>(c - L'0');
  if (value == 0 || value > 65535) return false;
  port = static_cast<unsigned short>(value);
  return true;
}

// The path as a URL carries it: what RFC 3986 lets through stays, the rest
// (blanks, brackets, characters beyond ASCII) goes percent-encoded as UTF-8.
std::wstring EncodedPath(std::wstring_view path) {
  static constexpr std::string_view kKept = "-._~!$&'()*+,;=:@/?%";
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::wstring encoded = path.empty() || path.front() != L'/' ? L"/" : L"";
  for (const char c : Utf8(path)) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x80 && IsLabelCharacter(static_cast<wchar_t>(byte))) ||
        kKept.find(c) != std::string_view::npos) {
      encoded += static_cast<wchar_t>(byte);
    } else {
      encoded +=
          {L'%', static_cast<wchar_t>(kHex[byte >> 4]), static_cast<wchar_t>(kHex[byte & 15])};
    }
  }
  return encoded;
}

}  // namespace

bool ParseDeviceUri(std::wstring_view address, DeviceUri& uri, NotProbedReason& why) {
  if (address.size() > kMaxAddressCharacters) {
    why = NotProbedReason::TooLong;
    return false;
  }
  if (std::any_of(address.begin(), address.end(), IsControlCharacter)) {
    why = NotProbedReason::ControlCharacters;
    return false;
  }
  static const struct {
    const wchar_t* scheme;
    bool secure;
    unsigned short port;
  } kSchemes[] = {{L"ipps", true, kIppPort},
                  {L"ipp", false, kIppPort},
                  {L"https", true, 443},
                  {L"http", false, 80}};
  DeviceUri parsed;
  std::wstring_view rest;
  for (const auto& known : kSchemes) {
    if (StartsWithScheme(address, known.scheme)) {
      parsed.secure = known.secure;
      parsed.port = known.port;
      rest = address.substr(std::wstring_view(known.scheme).size() + 3);
      break;
    }
  }
  if (parsed.port == 0) {
    why = NotProbedReason::BadAddress;
    return false;
  }
  const size_t authorityEnd = std::min(rest.find_first_of(L"/?#"), rest.size());
  const std::wstring_view authority = rest.substr(0, authorityEnd);
  std::wstring_view path = rest.substr(authorityEnd);
  path = path.substr(0, std::min(path.find(L'#'), path.size()));
  // An IPv6 host's colons are inside its brackets; the port follows them.
  const bool bracketed = !authority.empty() && authority.front() == L'[';
  size_t hostEnd = std::min(authority.find(bracketed ? L']' : L':'), authority.size());
  if (bracketed && hostEnd < authority.size()) ++hostEnd;
  const std::wstring_view after = authority.substr(hostEnd);
  // "ipp://fe80::1/" is an IPv6 host out of its brackets, not a port.
  if (!ParseHost(authority.substr(0, hostEnd), parsed.host) ||
      (!after.empty() && (after.front() != L':' || after.find(L':', 1) != after.npos))) {
    why = NotProbedReason::BadHost;
    return false;
  }
  if (!after.empty() && !ParsePort(after.substr(1), parsed.port)) {
    why = NotProbedReason::BadPortNumber;
    return false;
  }
  parsed.path = EncodedPath(path);
  uri = std::move(parsed);
  return true;
}

std::wstring PrinterUriText(const DeviceUri& uri) {
  std::wstring text = uri.secure ? L"ipps://" : L"ipp://";
  const bool v6 = uri.host.find(L':') != std::wstring::npos;
  text += v6 ? L"[" + uri.host + L"]" : uri.host;
  text += L":" + std::to_wstring(uri.port) + uri.path;
  return text;
}

// What one exchange shares with WinHTTP's callbacks. WinHTTP holds it (in
// `self`) until it says the request handle is closing: callbacks may come
// on any thread until then, also after Abort. Handles are reused by
// WinHTTP once closed, so a callback acts on its request only while
// `closed` is false, under the lock that Abort takes to close it.
struct IppExchange::State {
  CriticalSection lock;
  HANDLE wake = nullptr;
  HINTERNET connect = nullptr;
  HINTERNET request = nullptr;
  bool closed = false;
  bool done = false;
  std::shared_ptr<State> self;
  std::vector<unsigned char> requestBody;  // WinHTTP sends from it
  std::unique_ptr<unsigned char[]> chunk = std::make_unique<unsigned char[]>(kReadChunkBytes);
  ExchangeOutcome outcome;

  void Finish(DWORD error) {
    outcome.error = error;
    done = true;
    ::SetEvent(wake);
  }
  void ReadNext() {
    if (!WinHttp().WinHttpReadData(request, chunk.get(), kReadChunkBytes, nullptr)) {
      Finish(::GetLastError());
    }
  }
  void HeadersArrived() {
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (!WinHttp().WinHttpQueryHeaders(
            request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
            WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
      Finish(::GetLastError());
      return;
    }
    outcome.httpStatus = status;
    if (status != HTTP_STATUS_OK) {  // its body is not read
      Finish(0);
      return;
    }
    DWORD length = 0;
    size = sizeof(length);
    if (WinHttp().WinHttpQueryHeaders(
            request, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
            WINHTTP_HEADER_NAME_BY_INDEX, &length, &size, WINHTTP_NO_HEADER_INDEX) &&
        length > kMaxIppAnswerBytes) {
      outcome.tooLarge = true;
      Finish(0);
      return;
    }
    ReadNext();
  }
  void DataArrived(DWORD length) {
    if (length == 0) {
      Finish(0);
    } else if (length > kReadChunkBytes || outcome.body.size() + length > kMaxIppAnswerBytes) {
      outcome.body.clear();
      outcome.tooLarge = true;
      Finish(0);
    } else {
      outcome.body.insert(outcome.body.end(), chunk.get(), chunk.get() + length);
      ReadNext();
    }
  }
};

namespace {

void CALLBACK OnStatus(HINTERNET, DWORD_PTR context, DWORD status, void* information,
                       DWORD length) {
  auto* state = reinterpret_cast<IppExchange::State*>(context);
  if (state == nullptr) return;  // the session's or a connection's handle
  if (status == WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING) {
    std::shared_ptr<IppExchange::State> last;  // may free the state, after the lock is left
    CriticalSectionLock hold(state->lock);
    last = std::move(state->self);
    return;
  }
  CriticalSectionLock hold(state->lock);
  if (state->closed || state->done) return;
  switch (status) {
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
      if (!WinHttp().WinHttpReceiveResponse(state->request, nullptr)) {
        state->Finish(::GetLastError());
      }
      break;
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
      state->HeadersArrived();
      break;
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
      state->DataArrived(length);
      break;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR: {
      const auto* result = static_cast<const WINHTTP_ASYNC_RESULT*>(information);
      state->Finish(result != nullptr && result->dwError != 0 ? result->dwError
                                                              : ERROR_WINHTTP_INTERNAL_ERROR);
      break;
    }
    default:
      break;
  }
}

// Every option that keeps a probe to the one request: the user's
// credentials never sent, nothing else followed or stored.
void SetProbeOptions(HINTERNET request, DWORD limitMs, bool secure) {
  const WinHttpApi& api = WinHttp();
  api.WinHttpSetTimeouts(request, static_cast<int>(limitMs), static_cast<int>(limitMs),
                         static_cast<int>(limitMs), static_cast<int>(limitMs));
  DWORD value = limitMs;
  api.WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &value, sizeof(value));
  value = WINHTTP_AUTOLOGON_SECURITY_LEVEL_HIGH;
  api.WinHttpSetOption(request, WINHTTP_OPTION_AUTOLOGON_POLICY, &value, sizeof(value));
  value = WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_AUTHENTICATION |
          WINHTTP_DISABLE_KEEP_ALIVE;
  api.WinHttpSetOption(request, WINHTTP_OPTION_DISABLE_FEATURE, &value, sizeof(value));
  if (secure) {
    // Printers present certificates they signed themselves, named after
    // whatever they were called at the factory. Only public attributes are
    // read and nothing secret is sent, so the certificate is not checked.
    value = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID |
            SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE;
    api.WinHttpSetOption(request, WINHTTP_OPTION_SECURITY_FLAGS, &value, sizeof(value));
  }
}

}  // namespace

IppExchange::IppExchange(std::shared_ptr<State> state) : state_(std::move(state)) {}

IppExchange::~IppExchange() { Abort(); }

bool IppExchange::Done() const {
  CriticalSectionLock hold(state_->lock);
  return state_->done;
}

ExchangeOutcome IppExchange::Take() {
  CriticalSectionLock hold(state_->lock);
  return state_->done ? std::move(state_->outcome) : ExchangeOutcome{};
}

void IppExchange::Abort() {
  CriticalSectionLock hold(state_->lock);
  if (state_->closed) return;
  state_->closed = true;
  if (state_->request != nullptr) WinHttp().WinHttpCloseHandle(state_->request);
  if (state_->connect != nullptr) WinHttp().WinHttpCloseHandle(state_->connect);
}

IppSession::~IppSession() {
  if (session_ != nullptr) WinHttp().WinHttpCloseHandle(session_);
}

DWORD IppSession::Open() {
  const WinHttpApi& api = WinHttp();
  if (api.loadError != 0) return api.loadError;
  // Automatic proxy (Windows 8.1 on) follows the system's proxy settings and
  // their bypass list; older systems take the WinHTTP default.
  session_ = api.WinHttpOpen(L"Kestrun", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                             WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
  if (session_ == nullptr) {
    session_ = api.WinHttpOpen(L"Kestrun", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                               WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
  }
  if (session_ == nullptr) return ::GetLastError();
  if (api.WinHttpSetStatusCallback(session_, OnStatus, WINHTTP_CALLBACK_FLAG_ALL_NOTIFICATIONS,
                                   0) == WINHTTP_INVALID_STATUS_CALLBACK) {
    const DWORD error = ::GetLastError();
    api.WinHttpCloseHandle(session_);
    session_ = nullptr;
    return error;
  }
  return 0;
}

std::unique_ptr<IppExchange> IppSession::Post(const DeviceUri& uri, std::vector<unsigned char> body,
                                              DWORD limitMs, HANDLE wake) {
  const WinHttpApi& api = WinHttp();
  auto state = std::make_shared<IppExchange::State>();
  state->wake = wake;
  state->requestBody = std::move(body);
  auto exchange = std::make_unique<IppExchange>(state);
  CriticalSectionLock hold(state->lock);
  state->connect = api.WinHttpConnect(session_, uri.host.c_str(), uri.port, 0);
  if (state->connect == nullptr) {
    state->Finish(::GetLastError());
    return exchange;
  }
  const wchar_t* accept[] = {L"application/ipp", nullptr};
  state->request =
      api.WinHttpOpenRequest(state->connect, L"POST", uri.path.c_str(), nullptr, WINHTTP_NO_REFERER,
                             accept, uri.secure ? WINHTTP_FLAG_SECURE : 0);
  if (state->request == nullptr) {
    state->Finish(::GetLastError());
    return exchange;
  }
  auto context = reinterpret_cast<DWORD_PTR>(state.get());
  if (!api.WinHttpSetOption(state->request, WINHTTP_OPTION_CONTEXT_VALUE, &context,
                            sizeof(context))) {
    state->Finish(::GetLastError());
    return exchange;
  }
  state->self = state;  // until WinHTTP says the request handle is closing
  SetProbeOptions(state->request, limitMs, uri.secure);
  const auto size = static_cast<DWORD>(state->requestBody.size());
  if (!api.WinHttpSendRequest(state->request, L"Content-Type: application/ipp\r\n",
                              static_cast<DWORD>(-1), state->requestBody.data(), size, size,
                              context)) {
    state->Finish(::GetLastError());
  }
  return exchange;
}

}  // namespace kestrun
