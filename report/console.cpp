#include "report/console.h"

#include <cstdlib>

namespace kestrun {

ConsoleState* consoleState = nullptr;

void SetUpConsole(ConsoleState& state) {
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
  state.inputHandle = ::GetStdHandle(STD_INPUT_HANDLE);
  state.outputHandle = ::GetStdHandle(STD_OUTPUT_HANDLE);
  ::GetConsoleScreenBufferInfo(state.outputHandle, &state.savedScreenInfo);
}

static bool WriteColored(WORD attribute, const wchar_t* text) {
  if (consoleState == nullptr) return false;
  const HANDLE output = consoleState->outputHandle;
  ::SetConsoleTextAttribute(output, attribute);
  // Older consoles refuse very long writes, so a long text goes in pieces.
  constexpr DWORD kPieceChars = 8192;
  BOOL written = TRUE;
  DWORD remaining = text ? static_cast<DWORD>(lstrlenW(text)) : 0;
  for (const wchar_t* piece = text; remaining > 0 && written;) {
    const DWORD length = remaining < kPieceChars ? remaining : kPieceChars;
    DWORD count = 0;
    written = ::WriteConsoleW(output, piece, length, &count, nullptr);
    piece += length;
    remaining -= length;
  }
  ::SetConsoleTextAttribute(output, consoleState->savedScreenInfo.wAttributes);
  return written != FALSE;
}

void WriteConsoleColored(WORD attribute, const wchar_t* text) { WriteColored(attribute, text); }

bool WriteConsoleRed(const wchar_t* text) { return WriteColored(kRed, text); }

void ClearConsole() { std::system("cls"); }

}  // namespace kestrun
