#include "tests/support/console_capture.h"

#include <cwctype>

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

// The colours the console had before the program ran, which SGR 0 gives back.
WORD consoleAttributes = FOREGROUND_RED | FOREGROUND_GREEN | FOREGROUND_BLUE;

void ClearConsole(HANDLE output) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  ::GetConsoleScreenBufferInfo(output, &info);
  const DWORD cells = static_cast<DWORD>(info.dwSize.X) * static_cast<DWORD>(info.dwSize.Y);
  DWORD written = 0;
  ::FillConsoleOutputCharacterW(output, L' ', cells, {0, 0}, &written);
  ::FillConsoleOutputAttribute(output, info.wAttributes, cells, {0, 0}, &written);
  ::SetConsoleCursorPosition(output, {0, 0});
  consoleAttributes = info.wAttributes;
}

// The console's lines down to the cursor, with trailing blanks trimmed and the
// colour sequences applied.
std::vector<std::vector<ConsoleCell>> ReadBack(HANDLE output) {
  std::vector<std::vector<ConsoleCell>> lines;
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
      lines.push_back(std::move(line));
    }
  }
  ApplyColourSequences(lines, consoleAttributes);
  return lines;
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

HANDLE StartInConsole(const std::wstring& commandLine, const Environment& environment) {
  ClearConsole(ConsoleOutput());
  return StartProcess(commandLine, environment);
}

ConsoleRun FinishInConsole(HANDLE process, DWORD timeoutMs) {
  ConsoleRun run;
  if (process == nullptr) return run;
  run.started = true;
  run.finished = ::WaitForSingleObject(process, timeoutMs) == WAIT_OBJECT_0;
  if (!run.finished) ::TerminateProcess(process, 99);
  ::GetExitCodeProcess(process, &run.exitCode);
  ::CloseHandle(process);
  run.lines = ReadBack(ConsoleOutput());
  return run;
}

ConsoleRun RunInConsole(const std::wstring& commandLine, const Environment& environment,
                        DWORD timeoutMs) {
  return FinishInConsole(StartInConsole(commandLine, environment), timeoutMs);
}

ConsoleRun CaptureConsole(const std::function<void(HANDLE output)>& write) {
  const HANDLE output = ConsoleOutput();
  ClearConsole(output);
  write(output);
  ConsoleRun run;
  run.started = run.finished = true;
  run.lines = ReadBack(output);
  return run;
}

WORD ApplySgr(WORD current, std::wstring_view parameters, WORD defaultAttributes) {
  // ANSI colour numbers take red, green and blue as bits 0, 1, 2; console
  // attributes as bits 2, 1, 0.
  const auto bits = [](int ansi) -> WORD {
    return static_cast<WORD>(((ansi & 1) ? FOREGROUND_RED : 0) | ((ansi & 2) ? FOREGROUND_GREEN : 0) |
                             ((ansi & 4) ? FOREGROUND_BLUE : 0));
  };
  WORD attributes = current;
  size_t start = 0;
  while (start <= parameters.size()) {
    size_t end = parameters.find(L';', start);
    if (end == std::wstring_view::npos) end = parameters.size();
    const std::wstring number(parameters.substr(start, end - start));
    const int code = number.empty() ? 0 : std::stoi(number);
    const WORD foreground = attributes & 0x0F;
    const WORD background = attributes & 0xF0;
    if (code == 0) {
      attributes = defaultAttributes;
    } else if (code == 1) {
      attributes |= FOREGROUND_INTENSITY;
    } else if (code >= 30 && code <= 37) {
      attributes = background | bits(code - 30);
    } else if (code >= 90 && code <= 97) {
      attributes = background | bits(code - 90) | FOREGROUND_INTENSITY;
    } else if (code == 39) {
      attributes = background | (defaultAttributes & 0x0F);
    } else if (code >= 40 && code <= 47) {
      attributes = foreground | static_cast<WORD>(bits(code - 40) << 4);
    } else if (code >= 100 && code <= 107) {
      attributes = foreground | static_cast<WORD>((bits(code - 100) | FOREGROUND_INTENSITY) << 4);
    } else if (code == 49) {
      attributes = foreground | (defaultAttributes & 0xF0);
    }
    start = end + 1;
  }
  return attributes;
}

void ApplyColourSequences(std::vector<std::vector<ConsoleCell>>& lines, WORD defaultAttributes) {
  bool coloured = false;  // no sequence yet: every cell keeps its own attributes
  WORD attributes = defaultAttributes;
  for (auto& line : lines) {
    std::vector<ConsoleCell> shown;
    for (size_t i = 0; i < line.size(); ++i) {
      if (line[i].character == L'\x1b' && i + 1 < line.size() && line[i + 1].character == L'[') {
        size_t end = i + 2;
        std::wstring parameters;
        while (end < line.size() && (iswdigit(line[end].character) || line[end].character == L';')) {
          parameters += line[end++].character;
        }
        if (end < line.size() && line[end].character == L'm') {
          attributes = ApplySgr(attributes, parameters, defaultAttributes);
          coloured = true;
          i = end;
          continue;
        }
      }
      shown.push_back({line[i].character, coloured ? attributes : line[i].attributes});
    }
    while (!shown.empty() && shown.back().character == L' ') shown.pop_back();
    line = std::move(shown);
  }
}

}  // namespace kestrun::testing