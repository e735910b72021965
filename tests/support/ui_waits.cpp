#include "tests/support/ui_waits.h"

namespace kestrun::testing {

bool PumpUntil(const std::function<bool()>& condition, DWORD timeoutMs) {
  const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
  for (;;) {
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      ::TranslateMessage(&message);
      ::DispatchMessageW(&message);
    }
    if (condition()) return true;
    if (::GetTickCount64() >= deadline) return false;
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
  }
}

HWND WaitForWindow(const wchar_t* className, const wchar_t* caption, DWORD timeoutMs) {
  HWND found = nullptr;
  PumpUntil([&] { return (found = ::FindWindowW(className, caption)) != nullptr; }, timeoutMs);
  return found;
}

std::wstring DialogText(HWND box) {
  wchar_t text[16384] = {};
  ::GetDlgItemTextW(box, 0xFFFF, text, 16384);
  return text;
}

}  // namespace kestrun::testing
