// Kestrun: print driver information gathering utility.
#include <windows.h>

#include "app/startup.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR argumentText, int) {
  return kestrun::RunKestrun(instance, argumentText);
}
