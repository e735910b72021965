// Kestrun: print driver information gathering utility.
#include <windows.h>

#include "app/startup.h"
#include "inventory/platform.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR argumentText, int) {
  // Before anything loads a DLL by name: a file planted beside the program
  // (in a download folder, on a share) is never one of them.
  kestrun::RestrictDllSearchToSystem32();
  return kestrun::RunKestrun(instance, argumentText);
}
