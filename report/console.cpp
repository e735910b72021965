#include "report/console.h"

#include <atomic>
#include <cstdlib>

namespace kestrun {

ConsoleState* consoleState = nullptr;

namespace {

// Set once at the start of the console program, before any thread.
bool ownConsole = false;

// Older consoles refuse very long writes, so a long text goes in pieces.
constexpr DWORD kAttributePieceChars = 8192;
// A virtual-terminal console takes 32 KiB of text per write.
constexpr size_t kTerminalPieceChars = size_t{16} * 1024;
constexpr WORD kForegroundBits = 0x0F;
constexpr WORD kBackgroundBits = 0xF0;
// The colours a console starts with, which SGR 0 gives back.
constexpr WORD kConsoleDefault = FOREGROUND_RED | FOREGROUND_GREEN | FOREGROUND_BLUE;

// Ctrl+C ends a report at once; the console still gets its own mode back.
std::atomic<HANDLE> modeRestoreOutput{nullptr};
std::atomic<DWORD> modeToRestore{0};

BOOL WINAPI RestoreModeOnCtrl(DWORD) {
  RestoreConsoleModeNow();
  return FALSE;  // the next handler, or the system's, ends the process
}

// ANSI colour numbers take red, green and blue as bits 0, 1, 2; console
// attributes as bits 2, 1, 0. Intensity is the bright range, 60 higher.
int AnsiColour(WORD fourBits) {
  const int index = ((fourBits & FOREGROUND_RED) ? 1 : 0) |
                    ((fourBits & FOREGROUND_GREEN) ? 2 : 0) |
                    ((fourBits & FOREGROUND_BLUE) ? 4 : 0);
  return (fourBits & FOREGROUND_INTENSITY) ? 60 + index : index;
}

void AppendForegroundAndBackground(std::wstring& text, WORD attribute, bool background) {
  text += std::to_wstring(30 + AnsiColour(attribute & kForegroundBits));
  if (background) {
    text += L';';
    text += std::to_wstring(40 + AnsiColour(static_cast<WORD>((attribute & kBackgroundBits) >> 4)));
  }
}

WORD SavedAttributes(const ConsoleState& state) { return state.savedScreenInfo.wAttributes; }

bool WriteAttributed(const ConsoleState& state, WORD attribute, const wchar_t* text) {
  const HANDLE output = state.outputHandle;
  ::SetConsoleTextAttribute(output, attribute);
  BOOL written = TRUE;
  DWORD remaining = text ? static_cast<DWORD>(lstrlenW(text)) : 0;
  for (const wchar_t* piece = text; remaining > 0 && written;) {
    const DWORD length = remaining < kAttributePieceChars ? remaining : kAttributePieceChars;
    DWORD count = 0;
    written = ::WriteConsoleW(output, piece, length, &count, nullptr);
    piece += length;
    remaining -= length;
  }
  ::SetConsoleTextAttribute(output, SavedAttributes(state));
  return written != FALSE;
}

// Redirected output is the same text in UTF-8; a surrogate pair stays whole
// because pieces are only ever cut before a high surrogate.
bool WriteRedirected(const ConsoleState& state) {
  const std::wstring_view text = state.pending;
  const int length = static_cast<int>(text.size());
  const int size =
      ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, bytes.data(), size, nullptr, nullptr);
  DWORD written = 0;
  return ::WriteFile(state.outputHandle, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                     nullptr) != FALSE;
}

// Every write ends in the console's own colour, so whatever ends the program
// between writes leaves the console as it found it.
bool WritePending(ConsoleState& state) {
  if (state.pending.empty()) return true;
  if (state.redirected) {
    const bool written = WriteRedirected(state);
    state.pending.clear();
    return written;
  }
  if (state.pendingColour != SavedAttributes(state)) {
    AppendRestoreSequence(state.pending, SavedAttributes(state));
    state.pendingColour = SavedAttributes(state);
  }
  BOOL written = TRUE;
  std::wstring_view rest = state.pending;
  while (!rest.empty() && written) {
    size_t length = rest.size() < kTerminalPieceChars ? rest.size() : kTerminalPieceChars;
    // A surrogate pair stays in one write.
    if (length < rest.size() && IS_HIGH_SURROGATE(rest[length - 1])) --length;
    DWORD count = 0;
    written = ::WriteConsoleW(state.outputHandle, rest.data(), static_cast<DWORD>(length), &count,
                              nullptr);
    rest.remove_prefix(length);
  }
  state.pending.clear();
  return written != FALSE;
}

void QueueColored(ConsoleState& state, WORD attribute, const wchar_t* text) {
  const size_t length = text ? wcslen(text) : 0;
  if (length == 0) return;  // nothing to show, so no colour to change either
  constexpr size_t kSequenceRoom = 32;
  if (state.pending.size() + length + kSequenceRoom > kTerminalPieceChars) WritePending(state);
  if (attribute != state.pendingColour && !state.redirected) {
    if (attribute == SavedAttributes(state)) {
      AppendRestoreSequence(state.pending, attribute);
    } else {
      AppendColourSequence(state.pending, attribute, SavedAttributes(state));
    }
    state.pendingColour = attribute;
  }
  state.pending.append(text, length);
  if (state.pending.size() >= kTerminalPieceChars) WritePending(state);
}

bool WriteColored(WORD attribute, const wchar_t* text) {
  if (consoleState == nullptr) return false;
  if (!consoleState->virtualTerminal && !consoleState->redirected) {
    return WriteAttributed(*consoleState, attribute, text);
  }
  QueueColored(*consoleState, attribute, text);
  return true;
}

}  // namespace

void RestoreConsoleModeNow() {
  const HANDLE output = modeRestoreOutput.exchange(nullptr);
  if (output) ::SetConsoleMode(output, modeToRestore.load());
}

bool IsRedirectedOutput(HANDLE output) {
  if (output == nullptr || output == INVALID_HANDLE_VALUE) return false;
  const DWORD type = ::GetFileType(output);
  DWORD mode = 0;
  return type == FILE_TYPE_DISK || type == FILE_TYPE_PIPE ||
         (type == FILE_TYPE_CHAR && !::GetConsoleMode(output, &mode));  // NUL
}

void UseOwnConsole() { ownConsole = true; }

void SetUpConsole(ConsoleState& state) {
  // Read before attaching: the parent's console must not replace the file or
  // pipe the caller gave as standard output.
  const HANDLE given = ::GetStdHandle(STD_OUTPUT_HANDLE);
  if (!ownConsole) {
    ::FreeConsole();
    HMODULE kernel = ::GetModuleHandleW(L"Kernel32.dll");
    state.attachConsole =
        kernel ? reinterpret_cast<AttachConsoleFunction>(::GetProcAddress(kernel, "AttachConsole"))
               : nullptr;
    if (state.attachConsole) {
      state.attachConsole(ATTACH_PARENT_PROCESS);
      state.allocated = false;
    } else {
      state.allocated = true;
      ::AllocConsole();
    }
  }
  // Judged once attached, when a handle to the console is known as one.
  state.redirected = IsRedirectedOutput(given);
  state.inputHandle = ::GetStdHandle(STD_INPUT_HANDLE);
  if (state.redirected) {
    state.outputHandle = given;  // no console colours or mode to keep
    return;
  }
  state.outputHandle = ::GetStdHandle(STD_OUTPUT_HANDLE);
  ::GetConsoleScreenBufferInfo(state.outputHandle, &state.savedScreenInfo);
  EnableVirtualTerminal(state);
}

void EnableVirtualTerminal(ConsoleState& state) {
  DWORD mode = 0;
  if (!::GetConsoleMode(state.outputHandle, &mode)) return;  // not a console
  if (!(mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) &&
      !::SetConsoleMode(state.outputHandle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) {
    return;  // an older console: colours go as attributes
  }
  state.savedMode = mode;
  state.virtualTerminal = true;
  state.pendingColour = SavedAttributes(state);
  modeToRestore.store(mode);
  modeRestoreOutput.store(state.outputHandle);
  ::SetConsoleCtrlHandler(RestoreModeOnCtrl, TRUE);
}

void RestoreConsole(ConsoleState& state) {
  if (state.redirected) WritePending(state);
  if (!state.virtualTerminal) return;
  WritePending(state);
  ::SetConsoleCtrlHandler(RestoreModeOnCtrl, FALSE);
  modeRestoreOutput.store(nullptr);
  ::SetConsoleMode(state.outputHandle, state.savedMode);
  state.virtualTerminal = false;
}

void WriteConsoleColored(WORD attribute, const wchar_t* text) { WriteColored(attribute, text); }

bool WriteConsoleRed(const wchar_t* text) { return WriteColored(kRed, text); }

void FlushConsole() {
  if (consoleState && (consoleState->virtualTerminal || consoleState->redirected)) {
    WritePending(*consoleState);
  }
}

void ClearConsole() {
  FlushConsole();
  if (consoleState && consoleState->redirected) return;
  std::system("cls");
}

void AppendColourSequence(std::wstring& text, WORD attribute, WORD saved) {
  text += L"\x1b[";
  AppendForegroundAndBackground(text, attribute,
                                (attribute & kBackgroundBits) != (saved & kBackgroundBits));
  text += L'm';
}

void AppendRestoreSequence(std::wstring& text, WORD saved) {
  // SGR 0 gives the console its default colours; any other colours are named.
  if ((saved & (kForegroundBits | kBackgroundBits)) == kConsoleDefault) {
    text += L"\x1b[0m";
    return;
  }
  text += L"\x1b[0;";
  AppendForegroundAndBackground(text, saved, true);
  text += L'm';
}

}  // namespace kestrun
