// Turns Windows and network error codes into readable text.
#pragma once

#include <windows.h>

namespace kestrun {

constexpr int kErrorTextCapacity = 1024;
constexpr int kErrorBoxTextCapacity = 512;

struct ErrorText {
  wchar_t text[kErrorTextCapacity];
};

// The program's one reporter, created at start-up in both modes.
class _DBGINFO {  // NOLINT(bugprone-reserved-identifier): the reporter class keeps its given name
 public:
  virtual ~_DBGINFO() = default;

  // The system's text for a code, else the network message module's (or
  // WinHTTP's, for its codes), else "Unspecified error!". At most 1023
  // characters; a longer text is cut.
  virtual ErrorText GetErrorText(DWORD code);

  // A message box of prefix + error text (at most 511 characters of the text).
  virtual int ShowErrorBox(HWND owner, const wchar_t* prefix, DWORD code, const wchar_t* caption,
                           UINT style);

  virtual void Reserved() {}
};

extern _DBGINFO* errorReporter;

// The system's text for a code, else the network message module's (or
// WinHTTP's, for its codes); false when neither knows the code (the result
// is then empty).
bool LookUpErrorText(DWORD code, ErrorText& result);

}  // namespace kestrun
