#include "tests/support/console_capture.h"

namespace kestrun::testing {

namespace {

constexpr SHORT kConsoleWidth = 200;
constexpr SHORT kConsoleHeight = 9000;

HANDLE consoleOutput = nullptr;

HANDLE ConsoleOutput() {
  if (consoleOutput == nullptr) {
    ::FreeConsole();
    ::AllocConsole();
    consoleOutput = ::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                  nullptr);
    ::SetConsoleScreenBufferSize(consoleOutput, {kConsoleWidth, kConsoleHeight});
  }
  return consoleOutput;
}

void ClearConsole(HANDLE output) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  ::GetConsoleScreenBufferInfo(output, &info);
  const DWORD cells = static_cast<DWORD>(info.dwSize.X) * static_cast<DWORD>(info.dwSize.Y);
  DWORD written = 0;
  ::FillConsoleOutputCharacterW(output, L' ', cells, {0, 0}, &written);
  ::FillConsoleOutputAttribute(output, info.wAttributes, cells, {0, 0}, &written);
  ::SetConsoleCursorPosition(output, {0, 0});
}

class ScopedEnvironment {
 public:
  explicit ScopedEnvironment(const Environment& environment) {
    for (const auto& [name, value] : environment) {
      wchar_t previous[2048];
      const DWORD length = ::GetEnvironmentVariableW(name.c_str(), previous, 2048);
      saved_.emplace_back(name, length ? std::wstring(previous) : std::wstring(), length != 0);
      ::SetEnvironmentVariableW(name.c_str(), value.c_str());
    }
  }
  ~ScopedEnvironment() {
    for (const auto& [name, value, existed] : saved_) {
      ::SetEnvironmentVariableW(name.c_str(), existed ? value.c_str() : nullptr);
    }
  }

 private:
  std::vector<std::tuple<std::wstring, std::wstring, bool>> saved_;
};

}  // namespace

void DetachConsole() {
  if (consoleOutput) ::CloseHandle(consoleOutput);
  consoleOutput = nullptr;
  ::FreeConsole();
}

std::wstring ConsoleRun::Text() const {
  std::wstring text;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i) text += L'\n';
    for (const auto& cell : lines[i]) text += cell.character;
  }
  return text;
}

WORD ConsoleRun::ColourOf(const std::wstring& wanted) const {
  for (const auto& line : lines) {
    std::wstring text;
    for (const auto& cell : line) text += cell.character;
    const size_t at = text.find(wanted);
    if (at != std::wstring::npos) return line[at].attributes & 0xFF;
  }
  return 0;
}

HANDLE StartProcess(const std::wstring& commandLine, const Environment& environment) {
  ScopedEnvironment scoped(environment);
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  std::wstring mutableLine = commandLine;
  if (!::CreateProcessW(nullptr, mutableLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
    return nullptr;
  }
  ::CloseHandle(process.hThread);
  return process.hProcess;
}

ConsoleRun RunInConsole(const std::wstring& commandLine, const Environment& environment,
                        DWORD timeoutMs) {
  ConsoleRun run;
  const HANDLE output = ConsoleOutput();
  ClearConsole(output);

  const HANDLE process = StartProcess(commandLine, environment);
  if (process == nullptr) return run;
  run.started = true;
  run.finished = ::WaitForSingleObject(process, timeoutMs) == WAIT_OBJECT_0;
  if (!run.finished) ::TerminateProcess(process, 99);
  ::GetExitCodeProcess(process, &run.exitCode);
  ::CloseHandle(process);

  CONSOLE_SCREEN_BUFFER_INFO info;
  ::GetConsoleScreenBufferInfo(output, &info);
  const SHORT rows = static_cast<SHORT>(info.dwCursorPosition.Y + 1);
  const SHORT width = info.dwSize.X;
  constexpr SHORT kChunkRows = 40;  // console reads are limited in size
  std::vector<CHAR_INFO> cells(static_cast<size_t>(width) * kChunkRows);
  for (SHORT top = 0; top < rows; top += kChunkRows) {
    const SHORT count = static_cast<SHORT>(rows - top < kChunkRows ? rows - top : kChunkRows);
    SMALL_RECT region = {0, top, static_cast<SHORT>(width - 1), static_cast<SHORT>(top + count - 1)};
    ::ReadConsoleOutputW(output, cells.data(), {width, count}, {0, 0}, &region);
    for (SHORT y = 0; y < count; ++y) {
      std::vector<ConsoleCell> line;
      for (SHORT x = 0; x < width; ++x) {
        const CHAR_INFO& cell = cells[static_cast<size_t>(y) * width + x];
        line.push_back({cell.Char.UnicodeChar, cell.Attributes});
      }
      while (!line.empty() && line.back().character == L' ') line.pop_back();
      run.lines.push_back(std::move(line));
    }
  }
  return run;
}

}  // namespace kestrun::testing
