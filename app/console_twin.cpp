#include "app/console_twin.h"

#include <vector>

#include "common/win32_handles.h"
#include "inventory/field_text.h"
#include "report/command_line.h"
#include "report/console.h"
#include "report/fleet.h"

namespace kestrun {

namespace {

// This process's own path, however long.
std::wstring OwnPath() {
  std::vector<wchar_t> path(MAX_PATH);
  for (;;) {
    const DWORD length =
        ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) return std::wstring(path.data(), length);
    if (path.size() >= 32768) return {};
    path.resize(path.size() * 2);
  }
}

}  // namespace

const wchar_t* ArgumentsAfterProgramName(const wchar_t* commandLine) {
  const wchar_t* at = commandLine ? commandLine : L"";
  if (*at == L'"') {
    ++at;
    while (*at != L'\0' && *at != L'"') ++at;
    if (*at == L'"') ++at;
  } else {
    while (*at != L'\0' && *at != L' ' && *at != L'\t') ++at;
  }
  while (*at == L' ' || *at == L'\t') ++at;
  return at;
}

std::wstring WindowProgramBeside(const std::wstring& consoleProgram) {
  const size_t name = consoleProgram.find_last_of(L"\\/");
  const size_t dot = consoleProgram.rfind(L'.');
  const bool hasExtension = dot != std::wstring::npos && (name == std::wstring::npos || dot > name);
  return (hasExtension ? consoleProgram.substr(0, dot) : consoleProgram) + L".exe";
}

int StartWindowProgram() {
  const std::wstring self = OwnPath();
  const std::wstring program = self.empty() ? std::wstring() : WindowProgramBeside(self);
  std::wstring commandLine = L"\"" + program + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION started = {};
  DWORD error = ERROR_FILE_NOT_FOUND;
  if (!program.empty()) {
    if (::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                         nullptr, &startup, &started)) {
      UniqueHandle process(started.hProcess);
      UniqueHandle thread(started.hThread);
      return kExitOk;
    }
    error = ::GetLastError();
  }
  std::wstring failure = L"Kestrun could not start its window program ";
  AppendShownText(failure, program.empty() ? std::wstring(L"Kestrun.exe") : program);
  failure += L": " + std::to_wstring(error) + L" ";
  AppendShownText(failure, SystemErrorText(error));
  PrintConsoleMessage(kRed, failure + L"\r\n");
  return kExitFailed;
}

}  // namespace kestrun
