// The console of a command-line report: the parent's console when the system
// can attach to it, otherwise a new one.
#pragma once

#include <windows.h>

namespace kestrun {

// Console colours of the report (foreground bits).
constexpr WORD kRed = FOREGROUND_RED | FOREGROUND_INTENSITY;
constexpr WORD kGreen = FOREGROUND_GREEN | FOREGROUND_INTENSITY;
constexpr WORD kBlue = FOREGROUND_BLUE | FOREGROUND_INTENSITY;

using AttachConsoleFunction = BOOL(WINAPI*)(DWORD);

struct ConsoleState {
  bool allocated = false;
  HANDLE inputHandle = nullptr;
  HANDLE outputHandle = nullptr;
  CONSOLE_SCREEN_BUFFER_INFO savedScreenInfo = {};
  AttachConsoleFunction attachConsole = nullptr;
};

extern ConsoleState* consoleState;

// Detaches from any console, then attaches to the parent's (or allocates one
// where the system has no attach function) and records its handles.
void SetUpConsole(ConsoleState& state);

// Writes a text in a colour and restores the console's own colour afterwards.
void WriteConsoleColored(WORD attribute, const wchar_t* text);
bool WriteConsoleRed(const wchar_t* text);

// Clears the console through the command interpreter.
void ClearConsole();

}  // namespace kestrun
