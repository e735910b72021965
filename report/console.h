// The console of a command-line report: the parent's console when the system
// can attach to it, otherwise a new one.
#pragma once

#include <windows.h>

#include <string>

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
  // The console's own mode, given back at the end of the report.
  DWORD savedMode = 0;
  // True when the console took ENABLE_VIRTUAL_TERMINAL_PROCESSING: colours then
  // travel inside the text as SGR sequences, and the text goes out in large
  // pieces instead of one write and two attribute changes per colour run.
  bool virtualTerminal = false;
  // True when standard output was redirected to a file, a pipe or NUL: the
  // text goes there as UTF-8, without colours, and the console is not cleared.
  bool redirected = false;
  std::wstring pending;    // text not yet written (virtual-terminal or redirected)
  WORD pendingColour = 0;  // the colour the pending text ends in
};

extern ConsoleState* consoleState;

// Detaches from any console, then attaches to the parent's (or allocates one
// where the system has no attach function) and records its handles. Output
// that the caller redirected stays redirected. A console program keeps the
// console it was started with.
void SetUpConsole(ConsoleState& state);

// Marks the process as the console program, whose console is its own from
// its start: reports keep it rather than attach to the parent's.
void UseOwnConsole();

// Turns on virtual-terminal processing when the console takes it.
void EnableVirtualTerminal(ConsoleState& state);

// Writes what is pending and gives the console its own mode back.
void RestoreConsole(ConsoleState& state);
// Gives the console its own mode back from any thread, for a control handler
// that is about to end the process.
void RestoreConsoleModeNow();

// Writes a text in a colour and restores the console's own colour afterwards.
// On a virtual-terminal console the text may wait for FlushConsole.
void WriteConsoleColored(WORD attribute, const wchar_t* text);
bool WriteConsoleRed(const wchar_t* text);

// Writes what is pending, ending in the console's own colour.
void FlushConsole();

// Clears the console through the command interpreter; redirected output is
// never cleared.
void ClearConsole();

// True for a standard output handle that is a file, a pipe or NUL rather than
// a console.
bool IsRedirectedOutput(HANDLE output);

// The SGR sequence that turns the console's own colours (`saved`) into
// `attribute`: its foreground, and its background where that differs.
void AppendColourSequence(std::wstring& text, WORD attribute, WORD saved);
// The SGR sequence back to the console's own colours.
void AppendRestoreSequence(std::wstring& text, WORD saved);

}  // namespace kestrun
