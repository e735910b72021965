// Kestrun.com, the console program beside Kestrun.exe: what it does that the
// window program does not.
#pragma once

#include <windows.h>

#include <string>

namespace kestrun {

// The arguments of a process's command line, after its program name, as
// WinMain's command line gives them: a quoted name ends at its closing quote,
// another at the first blank, and the blanks after it go too.
const wchar_t* ArgumentsAfterProgramName(const wchar_t* commandLine);

// The window program beside a console program: the same path ending in ".exe"
// in place of its own extension.
std::wstring WindowProgramBeside(const std::wstring& consoleProgram);

// Started without arguments, the console program opens the window program
// beside it and ends at once, so the prompt comes back while the window
// opens. Returns the exit code: 0 once it started, else 1 with the reason.
int StartWindowProgram();

}  // namespace kestrun
