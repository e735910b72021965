#include "tests/support/main_window_fixture.h"

#include <windows.h>
#include <commctrl.h>

#include <thread>

#include "app/shared_records.h"
#include "app/startup.h"
#include "common/bounded_text.h"
#include "inventory/driver_inventory.h"
#include "tests/support/ui_waits.h"
#include "ui/controls.h"
#include "ui/driver_list.h"
#include "ui/ids.h"
#include "ui/main_window.h"
#include "ui/workers.h"

namespace kestrun::testing {

namespace {

HWND FindMessageBox(const wchar_t* caption) { return ::FindWindowW(L"#32770", caption); }

}  // namespace

void MainWindowFixture::SetUp() {
  spooler.machines[L""].drivers = SampleDrivers();
  spooler.Install();
  checkAllNext = true;
  sortDescendingNext = false;
}

void MainWindowFixture::OpenWindow() {
  ASSERT_TRUE(CreateSharedRecords());
  processLock = new CriticalSection;
  AppWindowState& state = *appWindowState;
  ConfigureMainWindowState(state, ::GetModuleHandleW(nullptr));
  state.width = 1000;
  state.height = 600;
  ASSERT_TRUE(CreateMainWindow(state));
  window = state.hwnd;
  ASSERT_TRUE(WaitIdle());
}

void MainWindowFixture::TearDown() {
  if (window && ::IsWindow(window)) ::DestroyWindow(window);
  PumpUntil([] { return WaitForWorkers(0); }, 30000);
  MSG message;
  while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&message);
  const bool workersDone = WaitForWorkers(0);
  EXPECT_TRUE(workersDone) << "a worker outlived the window";
  ReleaseSharedRecords(!workersDone);
  if (workersDone) {
    delete processLock;
    processLock = nullptr;
  }
  if (appIcon) {
    ::DestroyIcon(appIcon);
    appIcon = nullptr;
  }
  FakeSpooler::Uninstall();
}

bool MainWindowFixture::WaitIdle(DWORD timeoutMs) {
  return PumpUntil(
      [] { return !ExclusiveRunActive() && ::IsWindowEnabled(enumerateButton) && WaitForWorkers(0); },
      timeoutMs);
}

void MainWindowFixture::EnumerateMachine(const std::wstring& machine) {
  ::SetWindowTextW(machineCombo, machine.c_str());
  ::SendMessageW(enumerateButton, BM_CLICK, 0, 0);
  WaitIdle();
}

std::wstring MainWindowFixture::Cell(int row, int column) const {
  wchar_t text[4096] = {};
  LVITEMW item = {};
  item.iSubItem = column;
  item.pszText = text;
  item.cchTextMax = 4096;
  ::SendMessageW(listView, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item));
  return text;
}

std::vector<std::wstring> MainWindowFixture::Column(int column) const {
  std::vector<std::wstring> texts;
  for (int row = 0; row < RowCount(); ++row) texts.push_back(Cell(row, column));
  return texts;
}

int MainWindowFixture::RowCount() const {
  return static_cast<int>(::SendMessageW(listView, LVM_GETITEMCOUNT, 0, 0));
}

bool MainWindowFixture::IsChecked(int row) const {
  return (::SendMessageW(listView, LVM_GETITEMSTATE, row, LVIS_STATEIMAGEMASK) &
          LVIS_STATEIMAGEMASK) == INDEXTOSTATEIMAGEMASK(2);
}

RECT MainWindowFixture::ChildRect(HWND child) const {
  RECT rect;
  ::GetWindowRect(child, &rect);
  ::MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

void MainWindowFixture::Command(UINT id) const {
  ::SendMessageW(window, WM_COMMAND, MAKEWPARAM(id, 0), 0);
}

int MainWindowFixture::SelectedRow() const {
  return static_cast<int>(::SendMessageW(listView, LVM_GETNEXTITEM, static_cast<WPARAM>(-1),
                                         LVNI_SELECTED));
}

std::vector<COLORREF> MainWindowFixture::CountPanelPixels() const {
  ::UpdateWindow(window);
  const RECT remove = ChildRect(deleteButton);
  RECT client;
  ::GetClientRect(window, &client);
  std::vector<COLORREF> pixels;
  HDC dc = ::GetDC(window);
  for (int y = remove.top - 20; y < remove.bottom; y += 2) {
    for (int x = remove.right; x < client.right; x += 3) pixels.push_back(::GetPixel(dc, x, y));
  }
  ::ReleaseDC(window, dc);
  return pixels;
}

void MainWindowFixture::PressKey(HWND target, WPARAM key, bool control) {
  BYTE keys[256] = {};
  ::GetKeyboardState(keys);
  keys[VK_CONTROL] = control ? 0x80 : 0;
  ::SetKeyboardState(keys);
  ::SendMessageW(target, WM_KEYDOWN, key, 1);
  keys[VK_CONTROL] = 0;
  ::SetKeyboardState(keys);
}

std::future<std::wstring> AnswerMessageBox(const wchar_t* caption, int button, DWORD timeoutMs) {
  return std::async(std::launch::async, [caption, button, timeoutMs] {
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    HWND box = nullptr;
    while (!(box = FindMessageBox(caption)) && ::GetTickCount64() < deadline) ::Sleep(10);
    if (!box) return std::wstring();
    const std::wstring text = DialogText(box);
    ::PostMessageW(box, WM_COMMAND, button, 0);
    while (::IsWindow(box) && ::GetTickCount64() < deadline) ::Sleep(10);
    return text;
  });
}

std::wstring ReadAndCloseMessageBox(DWORD timeoutMs) {
  HWND box = nullptr;
  if (!PumpUntil([&] { return (box = FindMessageBox(L"Kestrun")) != nullptr; }, timeoutMs)) {
    return {};
  }
  const std::wstring text = DialogText(box);
  ::PostMessageW(box, WM_COMMAND, IDOK, 0);
  PumpUntil([&] { return !::IsWindow(box); }, timeoutMs);
  return text;
}

std::wstring ClipboardText() {
  std::wstring text;
  if (!::OpenClipboard(nullptr)) return text;
  if (HANDLE data = ::GetClipboardData(CF_UNICODETEXT)) {
    if (const auto* chars = static_cast<const wchar_t*>(::GlobalLock(data))) {
      text = chars;
      ::GlobalUnlock(data);
    }
  }
  ::CloseClipboard();
  return text;
}

}  // namespace kestrun::testing
