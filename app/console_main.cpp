// Kestrun.com: the same program for the console subsystem. A command
// interpreter prefers it to Kestrun.exe in the same folder, waits for it and
// sees its exit code; without arguments it opens Kestrun.exe's window.
#include <windows.h>

#include "app/console_twin.h"
#include "app/startup.h"
#include "inventory/platform.h"
#include "report/console.h"

int wmain(int, wchar_t**) {
  // Before anything loads a DLL by name: a file planted beside the program
  // (in a download folder, on a share) is never one of them.
  kestrun::RestrictDllSearchToSystem32();
  const wchar_t* arguments = kestrun::ArgumentsAfterProgramName(::GetCommandLineW());
  kestrun::UseOwnConsole();
  if (*arguments == L'\0') return kestrun::StartWindowProgram();
  return kestrun::RunKestrun(::GetModuleHandleW(nullptr), arguments);
}
