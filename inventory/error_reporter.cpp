#include "inventory/error_reporter.h"

#include <cwchar>
#include <memory>
#include <new>

#include "common/win32_handles.h"
#include "inventory/platform.h"

#include "common/bounded_text.h"

namespace kestrun {

_DBGINFO* errorReporter = nullptr;

namespace {

constexpr DWORD kLookupFlags =
    FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM;

// Asks FormatMessageW for a code; the buffer it allocated is owned by `buffer`.
DWORD LookUp(DWORD flags, HMODULE source, DWORD code, UniqueLocal& buffer) {
  wchar_t* text = nullptr;
  const DWORD length = ::FormatMessageW(flags, source, code, 0, reinterpret_cast<wchar_t*>(&text),
                                        0, nullptr);
  buffer.reset(text);
  return length;
}

}  // namespace

bool LookUpErrorText(DWORD code, ErrorText& result) {
  result.text[0] = L'\0';
  UniqueLocal buffer;
  DWORD length = LookUp(kLookupFlags, nullptr, code, buffer);
  if (length == 0) {
    // Network codes (2100 and up) live in the network message module, and
    // WinHTTP's (12000 and up) in WinHTTP's; only System32's is read, as
    // resources, without running any of its code.
    const bool web = code >= 12000 && code < 13000;
    UniqueModule messages(
        LoadSystemModule(web ? L"winhttp.dll" : L"netmsg.dll",
                         LOAD_LIBRARY_AS_IMAGE_RESOURCE | LOAD_LIBRARY_AS_DATAFILE));
    if (messages) {
      length = LookUp(kLookupFlags | FORMAT_MESSAGE_FROM_HMODULE, messages.get(), code, buffer);
    }
  }
  if (length == 0 || !buffer) return false;
  const auto* text = static_cast<const wchar_t*>(::LocalLock(buffer.get()));
  if (text == nullptr) return false;
  CopyBounded(result.text, text);
  ::LocalUnlock(buffer.get());
  return true;
}

ErrorText _DBGINFO::GetErrorText(DWORD code) {
  ErrorText result{};
  if (!LookUpErrorText(code, result)) CopyBounded(result.text, L"Unspecified error!");
  return result;
}

int _DBGINFO::ShowErrorBox(HWND owner, const wchar_t* prefix, DWORD code, const wchar_t* caption,
                           UINT style) {
  wchar_t errorText[kErrorBoxTextCapacity];
  CopyBounded(errorText, GetErrorText(code).text);
  const wchar_t* shownCaption = caption ? caption : L"";

  const size_t prefixLength = prefix ? wcslen(prefix) : 0;
  const size_t capacity = wcslen(errorText) + prefixLength + 1;
  std::unique_ptr<wchar_t[]> composed(new (std::nothrow) wchar_t[capacity]);
  if (!composed) {
    ::MessageBoxW(owner,
                  L"Encountered a memory allocation failure while trying to display a message "
                  L"box.\nCheck system resources and try again.",
                  shownCaption, MB_ICONERROR);
    return 0;
  }
  composed[0] = L'\0';
  if (prefix) CopyBounded(composed.get(), capacity, prefix);
  AppendBounded(composed.get(), capacity, errorText);
  return ::MessageBoxW(owner, composed.get(), shownCaption, style);
}

}  // namespace kestrun
