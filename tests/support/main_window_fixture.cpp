#include "tests/support/main_window_fixture.h"

#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ui/window_records.h"
#include "app/startup.h"
#include "common/bounded_text.h"
#include "inventory/driver_inventory.h"
#include "tests/support/ui_waits.h"
#include "ui/controls.h"
#include "ui/driver_list.h"
#include "res/ids.h"
#include "ui/main_window.h"
#include "ui/workers.h"

namespace kestrun::testing {

namespace {

HWND FindMessageBox(const wchar_t* caption) { return ::FindWindowW(L"#32770", caption); }

// A window's client area as pixels, row after row.
class ClientPixels {
 public:
  explicit ClientPixels(HWND window) {
    ::GetClientRect(window, &client_);
    const int width = client_.right;
    const int height = client_.bottom;
    pixels_.resize(static_cast<size_t>(width) * height);
    HDC dc = ::GetDC(window);
    HDC memory = ::CreateCompatibleDC(dc);
    HBITMAP bitmap = ::CreateCompatibleBitmap(dc, width, height);
    HGDIOBJ previous = ::SelectObject(memory, bitmap);
    ::BitBlt(memory, 0, 0, width, height, dc, 0, 0, SRCCOPY);
    ::SelectObject(memory, previous);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top row first
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    ::GetDIBits(memory, bitmap, 0, height, pixels_.data(), &info, DIB_RGB_COLORS);
    ::DeleteObject(bitmap);
    ::DeleteDC(memory);
    ::ReleaseDC(window, dc);
  }
  int Width() const { return client_.right; }
  // Red, green and blue of one pixel.
  int Red(int x, int y) const { return (At(x, y) >> 16) & 0xFF; }
  int Green(int x, int y) const { return (At(x, y) >> 8) & 0xFF; }
  int Blue(int x, int y) const { return At(x, y) & 0xFF; }
  // Black text, with its smoothed edges.
  bool IsInk(int x, int y) const {
    return Red(x, y) < 200 && Green(x, y) < 200 && Blue(x, y) < 200;
  }
  bool IsPanelGrey(int x, int y) const { return At(x, y) == 0xF5F5F5; }
  bool IsWhite(int x, int y) const { return At(x, y) == 0xFFFFFF; }
  // Red text, with its smoothed edges.
  bool IsRedInk(int x, int y) const {
    return Red(x, y) >= 200 && Green(x, y) + 40 < Red(x, y) && Blue(x, y) + 40 < Red(x, y);
  }

 private:
  DWORD At(int x, int y) const { return pixels_[static_cast<size_t>(y) * client_.right + x]; }
  RECT client_ = {};
  std::vector<DWORD> pixels_;
};

// A child control's rectangle in its parent's client coordinates.
RECT ChildOf(HWND window, const wchar_t* className, const wchar_t* text) {
  RECT rect = {};
  if (HWND child = ::FindWindowExW(window, nullptr, className, text)) {
    ::GetWindowRect(child, &rect);
    ::MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&rect), 2);
  }
  return rect;
}

// Grows a box to take in a point.
void Take(RECT& box, int x, int y) {
  if (::IsRectEmpty(&box)) {
    box = {x, y, x + 1, y + 1};
    return;
  }
  box = {std::min<LONG>(box.left, x), std::min<LONG>(box.top, y), std::max<LONG>(box.right, x + 1),
         std::max<LONG>(box.bottom, y + 1)};
}

}  // namespace

void ExpectInsideWorkArea(HWND window) {
  RECT frame;
  ::GetWindowRect(window, &frame);
  MONITORINFO monitor = {};
  monitor.cbSize = sizeof(monitor);
  ::GetMonitorInfoW(::MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &monitor);
  RECT inside;
  EXPECT_TRUE(::IntersectRect(&inside, &frame, &monitor.rcWork) && ::EqualRect(&inside, &frame));
}

void ExpectWholeTopRow(HWND window, UINT dpi, HFONT font) {
  const auto at = [dpi](int value) { return ::MulDiv(value, static_cast<int>(dpi), 96); };
  const RECT combo = ChildOf(window, L"ComboBox", nullptr);
  const RECT enumerate = ChildOf(window, L"Button", L"Enumerate");
  const RECT remove = ChildOf(window, L"Button", L"Delete Driver(s)");
  const RECT list = ChildOf(window, L"SysListView32", nullptr);
  // A drop-down combo box is as tall as its field; its list drops below.
  const RECT controls[] = {combo, enumerate, remove, list};
  for (const RECT& a : controls) {
    for (const RECT& b : controls) {
      RECT overlap;
      if (&a != &b) {
        EXPECT_FALSE(::IntersectRect(&overlap, &a, &b)) << "controls overlap";
      }
    }
  }

  // The panel: its grey inside right of "Delete Driver(s)"; its red lines; and
  // whatever is drawn right of its border, the icon. Another process's window
  // reaches the screen a moment after it painted, so it is read until it shows.
  RECT panel = {}, red = {}, icon = {};
  std::optional<ClientPixels> shown;
  PumpUntil([&] {
    ::UpdateWindow(window);
    const ClientPixels& pixels = shown.emplace(window);
    panel = red = RECT{};
    for (int y = 0; y < list.top; ++y) {
      for (int x = remove.right; x < pixels.Width(); ++x) {
        if (pixels.IsPanelGrey(x, y)) Take(panel, x, y);
        if (pixels.IsRedInk(x, y)) Take(red, x, y);
      }
    }
    return !::IsRectEmpty(&panel) && !::IsRectEmpty(&red);
  }, 3000);
  const ClientPixels& pixels = *shown;
  ASSERT_FALSE(::IsRectEmpty(&panel)) << "no count panel";
  for (int y = 0; y < list.top; ++y) {
    for (int x = panel.right + 1; x < pixels.Width(); ++x) {
      if (!pixels.IsWhite(x, y)) Take(icon, x, y);
    }
  }
  RECT inside;
  EXPECT_TRUE(::IntersectRect(&inside, &panel, &red) && ::EqualRect(&inside, &red))
      << "the count texts run out of the panel: panel " << panel.left << ".." << panel.right
      << ", text " << red.left << ".." << red.right;
  EXPECT_GT(red.right - red.left, at(100)) << "no count text";
  EXPECT_FALSE(::IsRectEmpty(&icon)) << "no icon beside the panel";
  EXPECT_GE(icon.left, panel.right + at(5));
  EXPECT_GE(icon.right - icon.left, at(24));
  EXPECT_LT(icon.right, pixels.Width()) << "the icon is cut off by the window's edge";

  // Each label, whole: its ink reaches its text's end and leaves the gap
  // before the next column clear.
  struct Label {
    const wchar_t* text;
    LONG left;
    LONG next;
  };
  const Label labels[] = {
      {L"Select target machine to enumerate its drivers:", combo.left, enumerate.left},
      {L"Enumerate Print Drivers:", enumerate.left, remove.left},
      {L"Delete Selected Drivers:", remove.left, panel.left - 1},
  };
  HDC dc = ::GetDC(nullptr);
  HGDIOBJ previous = ::SelectObject(dc, font);
  for (const Label& label : labels) {
    SCOPED_TRACE(::testing::Message() << std::string(label.text, label.text + wcslen(label.text)));
    SIZE size = {};
    ::GetTextExtentPoint32W(dc, label.text, lstrlenW(label.text), &size);
    int inkEnd = -1;
    for (int y = at(28); y < enumerate.top; ++y) {
      for (int x = label.left; x < label.next; ++x) {
        if (pixels.IsInk(x, y)) inkEnd = std::max(inkEnd, x);
      }
    }
    // A final colon's ink stops a few pixels short of the text's advance.
    EXPECT_GE(inkEnd, label.left + size.cx - at(6)) << "the label is cut";
    EXPECT_LT(inkEnd, label.left + size.cx);
    EXPECT_GE(label.next - inkEnd, at(8)) << "the label runs into the next column";
  }
  ::SelectObject(dc, previous);
  ::ReleaseDC(nullptr, dc);
}

void MainWindowFixture::SetUp() {
  spooler.machines[L""].drivers = SampleDrivers();
  spooler.Install();
  checkAllNext = true;
  sortDescendingNext = false;
}

void MainWindowFixture::OpenWindow(int width, int height) {
  ASSERT_TRUE(CreateSharedRecords());
  processLock = new CriticalSection;
  AppWindowState& state = *appWindowState;
  ConfigureMainWindowState(state, ::GetModuleHandleW(nullptr));
  state.width = width;
  state.height = height;
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

int MainWindowFixture::TextWidth(const wchar_t* text) const {
  HDC dc = ::GetDC(window);
  HGDIOBJ previous = ::SelectObject(dc, sharedGuiFont->font);
  SIZE size = {};
  ::GetTextExtentPoint32W(dc, text, lstrlenW(text), &size);
  ::SelectObject(dc, previous);
  ::ReleaseDC(window, dc);
  return size.cx;
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

AskedAndTold AnswerQuestionThenOutcome(const std::function<void()>& each, DWORD timeoutMs) {
  AskedAndTold seen;
  PumpUntil(
      [&] {
        if (each) each();
        if (HWND box = FindMessageBox(L"Kestrun")) {
          seen.boxes.push_back(DialogText(box));
          if (seen.boxes.size() == 1) {
            seen.noIsDefault = (::GetWindowLongW(::GetDlgItem(box, IDNO), GWL_STYLE) &
                                BS_TYPEMASK) == BS_DEFPUSHBUTTON;
          }
          ::PostMessageW(box, WM_COMMAND, seen.boxes.size() == 1 ? IDYES : IDOK, 0);
          PumpUntil([box] { return !::IsWindow(box); }, 5000);
        }
        return seen.boxes.size() == 2 && !ExclusiveRunActive();
      },
      timeoutMs);
  return seen;
}

std::future<bool> AnswerSaveFileDialog(std::wstring typed) {
  return std::async(std::launch::async, [typed] {
    HWND dialog = WaitForWindow(L"#32770", L"Kestrun - Save Log File", 10000);
    if (!dialog) return false;
    if (typed.empty()) {
      ::PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
    } else {
      HWND name = ::GetDlgItem(dialog, 0x480);  // the file name box
      if (!name) name = ::GetDlgItem(dialog, 0x47C);
      if (!name) return false;
      ::SendMessageW(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(typed.c_str()));
      ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                     reinterpret_cast<LPARAM>(::GetDlgItem(dialog, IDOK)));
    }
    const ULONGLONG deadline = ::GetTickCount64() + 10000;
    while (::IsWindow(dialog) && ::GetTickCount64() < deadline) ::Sleep(10);
    return !::IsWindow(dialog);
  });
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
