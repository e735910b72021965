// Waiting for windows the way a user waits for them: poll until a condition
// holds, pumping this thread's messages meanwhile, never a bare sleep.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace kestrun::testing {

// Pumps this thread's messages until `condition` holds or the time is up.
bool PumpUntil(const std::function<bool()>& condition, DWORD timeoutMs = 10000);

// A top-level window of a class and caption (any process); null on time-out.
HWND WaitForWindow(const wchar_t* className, const wchar_t* caption, DWORD timeoutMs = 10000);

// The text of a message box (its static control 0xFFFF).
std::wstring DialogText(HWND box);

}  // namespace kestrun::testing
