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
    SMALL_RECT region = {0, top, static_cast<SHORT>(width - 1),
                         static_cast<SHORT>(top + count - 1)};
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

HANDLE StartProcess(const std::wstring& commandLine, const Environment& environment,
                    HANDLE output) {
  ScopedEnvironment scoped(environment);
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  if (output) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = output;
  }
  PROCESS_INFORMATION process = {};
  std::wstring mutableLine = commandLine;
  // A fresh Wine prefix now and then refuses a start while its services come up.
  bool started = false;
  for (int attempt = 0; attempt < 5 && !started; ++attempt) {
    if (attempt > 0) ::Sleep(200);
    started = ::CreateProcessW(nullptr, mutableLine.data(), nullptr, nullptr, output != nullptr,
                               0, nullptr, nullptr, &startup, &process) != FALSE;
  }
  if (!started) return nullptr;
  ::CloseHandle(process.hThread);
  return process.hProcess;
}

HANDLE StartInConsole(const std::wstring& commandLine, const Environment& environment,
                      HANDLE output) {
  ClearConsole(ConsoleOutput());
  return StartProcess(commandLine, environment, output);
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
    return static_cast<WORD>(((ansi & 1) ? FOREGROUND_RED : 0) |
                             ((ansi & 2) ? FOREGROUND_GREEN : 0) |
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
        while (end < line.size() &&
               (iswdigit(line[end].character) || line[end].character == L';')) {
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

std::vector<std::vector<ConsoleCell>> DecodeTerminal(std::string_view bytes,
                                                     WORD defaultAttributes) {
  std::wstring text(bytes.size(), L'\0');
  if (!bytes.empty()) {
    text.resize(::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()),
                                      text.data(), static_cast<int>(text.size())));
  }
  std::vector<std::vector<ConsoleCell>> screen(1);
  size_t row = 0;
  size_t column = 0;
  WORD attributes = defaultAttributes;
  const auto line = [&]() -> std::vector<ConsoleCell>& {
    if (screen.size() <= row) screen.resize(row + 1);
    return screen[row];
  };
  const auto put = [&](wchar_t c) {
    auto& cells = line();
    if (cells.size() <= column) cells.resize(column + 1, {L' ', defaultAttributes});
    cells[column++] = {c, attributes};
  };
  for (size_t i = 0; i < text.size(); ++i) {
    const wchar_t c = text[i];
    if (c == L'\x1b' && i + 1 < text.size() && text[i + 1] == L'[') {
      size_t end = i + 2;
      while (end < text.size() && (iswdigit(text[end]) || text[end] == L';' || text[end] == L'?')) {
        ++end;
      }
      if (end < text.size()) {
        const std::wstring_view parameters(text.data() + i + 2, end - i - 2);
        const bool privateMode = !parameters.empty() && parameters[0] == L'?';
        bool known = true;
        switch (text[end]) {
          case L'm':
            attributes = ApplySgr(attributes, parameters, defaultAttributes);
            break;
          case L'K':
            if (line().size() > column) line().resize(column);
            break;
          case L'C':
            column += parameters.empty() ? 1 : std::stoul(std::wstring(parameters));
            break;
          case L'H': {
            const size_t separator = parameters.find(L';');
            const std::wstring top(parameters.substr(0, separator));
            const std::wstring left(separator == std::wstring_view::npos
                                        ? std::wstring_view()
                                        : parameters.substr(separator + 1));
            row = top.empty() ? 0 : std::stoul(top) - 1;
            column = left.empty() ? 0 : std::stoul(left) - 1;
            break;
          }
          case L'h':
          case L'l':
            known = privateMode;
            break;
          default:
            known = false;
        }
        if (known) {
          i = end;
          continue;
        }
      }
    }
    if (c == L'\r') {
      column = 0;
    } else if (c == L'\n') {
      ++row;
    } else if (c == L'\b') {
      if (column > 0) --column;
    } else {
      put(c);
    }
  }
  for (auto& cells : screen) {
    while (!cells.empty() && cells.back().character == L' ') cells.pop_back();
  }
  return screen;
}

namespace {

constexpr wchar_t kTranscriptVariable[] = L"KESTRUN_TERMINAL_TRANSCRIPT";

std::wstring TranscriptPath() {
  wchar_t path[MAX_PATH] = {};
  ::GetEnvironmentVariableW(kTranscriptVariable, path, MAX_PATH);
  return path;
}

std::string ReadTranscript() {
  HANDLE file = ::CreateFileW(TranscriptPath().c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::string bytes;
  char buffer[65536];
  DWORD read = 0;
  while (::ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
    bytes.append(buffer, read);
  }
  ::CloseHandle(file);
  return bytes;
}

std::string MarkText(const std::string& name) { return "[[" + name + "]]"; }

}  // namespace

bool TerminalTranscript::Available() { return !TranscriptPath().empty(); }

void TerminalTranscript::Mark(const std::string& name) const {
  const std::string line = "\r\n" + MarkText(name) + "\r\n";
  DWORD written = 0;
  ::WriteConsoleA(::GetStdHandle(STD_OUTPUT_HANDLE), line.data(), static_cast<DWORD>(line.size()),
                  &written, nullptr);
}

ConsoleRun TerminalTranscript::Between(const std::string& from, const std::string& to,
                                       WORD defaultAttributes, DWORD timeoutMs) const {
  ConsoleRun run;
  const std::string first = MarkText(from);
  const std::string second = MarkText(to);
  const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
  std::string bytes;
  size_t start = std::string::npos;
  size_t end = std::string::npos;
  do {
    bytes = ReadTranscript();
    start = bytes.rfind(first);
    end = start == std::string::npos ? start : bytes.find(second, start);
    if (end != std::string::npos) break;
    ::Sleep(50);
  } while (::GetTickCount64() < deadline);
  if (end == std::string::npos) return run;
  run.started = run.finished = true;
  start += first.size();
  run.lines = DecodeTerminal(std::string_view(bytes).substr(start, end + second.size() - start),
                             defaultAttributes);
  return run;
}

}  // namespace kestrun::testing