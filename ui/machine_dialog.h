// The small "which machine?" dialog of Copy To... and Restore from Snapshot...:
// a box to type a machine's name in, whose drop-down lists the network's
// servers as the main window's machine box does, with OK and Cancel.
#pragma once

#include <windows.h>

#include <string>

namespace kestrun {

// Asks over `owner`, `machine` filled in first. True on OK with the name as
// typed, blanks around it dropped (an empty box is refused with a beep);
// false on Cancel, `machine` unchanged.
bool AskForMachine(HWND owner, const wchar_t* caption, const wchar_t* prompt,
                   std::wstring& machine);

}  // namespace kestrun
