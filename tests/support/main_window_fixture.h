// The real main window, created in the test process as start-up creates it,
// with the fake spooler behind the seam.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <future>
#include <string>
#include <vector>

#include "tests/support/fake_spooler.h"

namespace kestrun::testing {

class MainWindowFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Creates the window (which starts the first enumeration) and waits for it.
  void OpenWindow(int width = 1000, int height = 600);
  // Pumps messages until no enumeration or deletion runs and "Enumerate" is back.
  bool WaitIdle(DWORD timeoutMs = 20000);
  // Presses "Enumerate" for a machine typed into the box, and waits.
  void EnumerateMachine(const std::wstring& machine);

  std::wstring Cell(int row, int column) const;
  std::vector<std::wstring> Column(int column) const;
  int RowCount() const;
  bool IsChecked(int row) const;
  RECT ChildRect(HWND child) const;
  // A menu or context-menu command, as the window receives it.
  void Command(UINT id) const;
  // The selected row, or -1.
  int SelectedRow() const;
  // The pixels right of "Delete Driver(s)", where the count panel and its icon
  // are painted, as the window shows them now.
  std::vector<COLORREF> CountPanelPixels() const;
  // A text's width in the window's font.
  int TextWidth(const wchar_t* text) const;
  // A key press sent to a window, with Ctrl held when asked.
  static void PressKey(HWND target, WPARAM key, bool control = false);

  FakeSpooler spooler;
  HWND window = nullptr;
};

// Waits on another thread for a message box captioned `caption`, reads its
// text and presses `button`; the text is empty when no box came in time.
std::future<std::wstring> AnswerMessageBox(const wchar_t* caption = L"Kestrun",
                                           int button = IDOK, DWORD timeoutMs = 10000);

// Finds a message box captioned "Kestrun" while pumping this thread's
// messages, reads it and presses OK; empty when none came in time.
std::wstring ReadAndCloseMessageBox(DWORD timeoutMs = 10000);

// A run that asks, then reports: while pumping this thread's messages (and
// calling `each` between pumps), answers the first "Kestrun" box Yes and the
// second OK, until both were shown and the run has ended.
struct AskedAndTold {
  std::vector<std::wstring> boxes;  // the question's text, then the outcome's
  bool noIsDefault = false;         // the question's default button is No
};
AskedAndTold AnswerQuestionThenOutcome(const std::function<void()>& each = {},
                                       DWORD timeoutMs = 30000);

std::wstring ClipboardText();

// Drives the standard save-file dialog from another thread, as a user would:
// types a name and presses Save, or cancels when `typed` is empty.
std::future<bool> AnswerSaveFileDialog(std::wstring typed);

// Checks a main window's top row as its pixels show it (the window may belong
// to another process), at the window's DPI and with the font it paints in:
// every label drawn whole and clear of the next column, the count panel
// holding its red lines, its icon beside it, the whole row inside the client
// area, and no control overlapping another.
void ExpectWholeTopRow(HWND window, UINT dpi, HFONT font);

// Checks that a window lies whole inside its monitor's work area.
void ExpectInsideWorkArea(HWND window);

}  // namespace kestrun::testing
