// The real main window under Wine and Xvfb, with the fake spooler.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <algorithm>

#include "ui/window_records.h"
#include "inventory/column_table.h"
#include "inventory/driver_inventory.h"
#include "inventory/field_text.h"
#include "tests/support/main_window_fixture.h"
#include "tests/support/ui_waits.h"
#include "ui/controls.h"
#include "ui/driver_list.h"
#include "ui/dpi.h"
#include "res/ids.h"
#include "ui/workers.h"

namespace kestrun::testing {
namespace {

using MainWindow = MainWindowFixture;

const std::vector<std::wstring> kSampleNamesAscending = {
    L"Contoso LaserJet 4200 PCL6", L"Fabrikam Imagewriter \u00c9lite \u4e2d",
    L"Generic / Text Only", L"Microsoft XPS Document Writer v4",
    L"Norvex Universal Print Class Driver"};

TEST_F(MainWindow, OpensWithTheLocalDriversSortedByName) {
  OpenWindow();
  EXPECT_EQ(spooler.Calls().front(), L"EnumPrinterDrivers (null) all 8 0");
  ASSERT_EQ(RowCount(), 5);
  EXPECT_EQ(Column(1), kSampleNamesAscending);
  for (int row = 0; row < RowCount(); ++row) EXPECT_FALSE(IsChecked(row));

  // The Contoso row, cell by cell.
  EXPECT_EQ(Cell(0, 0), L"");
  EXPECT_EQ(Cell(0, 2), L"Contoso, Ltd.");
  EXPECT_EQ(Cell(0, 3), L"UNIRES.DLL; STDNAMES.GPD; LOCALE.GPD; ");
  EXPECT_EQ(Cell(0, 4), L"Windows x64");
  EXPECT_EQ(Cell(0, 5), L"C:\\Windows\\System32\\spool\\DRIVERS\\x64\\3\\UNIDRV.DLL");
  EXPECT_EQ(Cell(0, 10), L"RAW");
  EXPECT_EQ(Cell(0, 11), L"Contoso LaserJet 4200 PCL6 (old)");
  EXPECT_EQ(Cell(0, 13), L"http://www.example.com/printers");
  EXPECT_EQ(Cell(0, 14), L"example_printer_1234");
  EXPECT_EQ(Cell(1, 3), L"FABRES.DLL");
  EXPECT_EQ(Cell(2, 2), L"");  // absent provider
  EXPECT_EQ(Cell(2, 3), L"");

  // Column 1 fits its longest name.
  const int width = static_cast<int>(::SendMessageW(listView, LVM_GETCOLUMNWIDTH, 1, 0));
  const int longest = static_cast<int>(
      ::SendMessageW(listView, LVM_GETSTRINGWIDTHW, 0,
                     reinterpret_cast<LPARAM>(L"Norvex Universal Print Class Driver")));
  EXPECT_GE(width, longest);
  EXPECT_LT(width, longest + 40);

  ASSERT_NE(currentInventory, nullptr);
  EXPECT_EQ(currentInventory->driverCount, 5u);
  EXPECT_TRUE(::IsWindowEnabled(enumerateButton));
  EXPECT_TRUE(::IsWindowEnabled(deleteButton));
  EXPECT_FALSE(::IsWindowVisible(progressBar));
  EXPECT_EQ(::GetFocus(), listView);
}

TEST_F(MainWindow, HeaderClicksCheckAllAndSortAlternately) {
  OpenWindow();
  HeaderClick(0);
  for (int row = 0; row < RowCount(); ++row) EXPECT_TRUE(IsChecked(row));
  HeaderClick(0);
  for (int row = 0; row < RowCount(); ++row) EXPECT_FALSE(IsChecked(row));

  // Through the real notification, as a click on the header sends it.
  NMLISTVIEW click = {};
  click.hdr.hwndFrom = listView;
  click.hdr.code = LVN_COLUMNCLICK;
  click.iSubItem = 1;
  ::SendMessageW(window, WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&click));
  EXPECT_EQ(Column(1), kSampleNamesAscending);
  HeaderClick(1);
  std::vector<std::wstring> descending(kSampleNamesAscending.rbegin(),
                                       kSampleNamesAscending.rend());
  EXPECT_EQ(Column(1), descending);
  HeaderClick(0);  // the check-box column does not change the direction
  HeaderClick(2);  // a different column continues the alternation: ascending
  const auto providers = Column(2);
  EXPECT_TRUE(std::is_sorted(providers.begin(), providers.end(), [](const auto& a, const auto& b) {
    return ::CompareStringW(::GetThreadLocale(), 0x1005, a.c_str(), -1, b.c_str(), -1) ==
           CSTR_LESS_THAN;
  }));
  EXPECT_EQ(providers.front(), L"");  // an empty cell sorts first
  for (int row = 0; row < RowCount(); ++row) EXPECT_TRUE(IsChecked(row));

  // A new enumeration sorts ascending and leaves the direction toggle alone.
  EnumerateMachine(L"");
  EXPECT_EQ(Column(1), kSampleNamesAscending);
  EXPECT_TRUE(sortDescendingNext);
  EXPECT_FALSE(checkAllNext);

  // Printers and versions sort as the numbers they are: 9 before 10 (Contoso, Norvex).
  auto& local = spooler.machines[L""];
  for (int i = 0; i < 19; ++i) local.printers.push_back({L"P", *local.drivers[i % 2 + 1].name});
  local.drivers[2].driverVersion = 0x0009000000000000ULL;
  EnumerateMachine(L"");
  HeaderClick(15);  // descending
  EXPECT_EQ(Column(15), (std::vector<std::wstring>{L"10", L"9", L"0", L"0", L"0"}));
  HeaderClick(16);
  EXPECT_EQ(Column(16)[1] + L" " + Column(16)[2], L"9.0.0.0 10.0.0.1");
}

TEST_F(MainWindow, TheListKeepsEveryFactTitleWholeShowsItsSortAndPutsTheFactsFirst) {
  OpenWindow();
  const HWND header = ListView_GetHeader(listView);
  const auto mouseAt = [header](int column, DWORD button, int dx = -1) {
    RECT item = {};
    Header_GetItemRect(header, column, &item);
    POINT at = {dx < 0 ? (item.left + item.right) / 2 : item.left + dx, item.bottom / 2};
    ::MapWindowPoints(header, nullptr, &at, 1);
    ::SetCursorPos(at.x, at.y);
    ::mouse_event(button, 0, 0, 0, 0);
    PumpUntil([] { return false; }, 40);
  };
  const auto text = [](const wchar_t* s) { return ListView_GetStringWidth(listView, s); };
  const auto expectSortedBy = [&](int column, int arrow) {
    // Each fact's title, a margin either side of it and of the arrow beside it, and the arrow.
    RECT bar;
    ::GetClientRect(header, &bar);
    const int margin = static_cast<int>(::SendMessageW(header, HDM_GETBITMAPMARGIN, 0, 0));
    const int padding = 4 * margin + bar.bottom / 2;
    for (int i = 0; i < kColumnCount; ++i) {
      HDITEMW item = {HDI_FORMAT | HDI_WIDTH};
      Header_GetItem(header, i, &item);
      EXPECT_EQ(item.fmt & (HDF_SORTUP | HDF_SORTDOWN), i == column ? arrow : 0) << i;
      EXPECT_GE(item.cxy, i < kFirstFactColumn ? 0 : text(columnTitles[i]) + padding) << i;
    }
    EXPECT_GE(ListView_GetColumnWidth(listView, kEnvironmentColumn),
              text(L"Windows NT x86") + 2 * margin);
  };
  std::vector<int> shown(kColumnCount), tableOrder(kColumnCount);
  const auto order = [&] {
    ListView_GetColumnOrderArray(listView, kColumnCount, shown.data());
    return shown;
  };
  for (int i = 0; i < kColumnCount; ++i) tableOrder[i] = i;
  std::vector<int> factsFirst = tableOrder;  // 0, 1, 15 to 20, 2 to 14
  std::rotate(factsFirst.begin() + 2, factsFirst.begin() + kFirstFactColumn, factsFirst.end());
  const auto clickAndDragHeaders = [&] {
    Command(IDM_DECISION_COLUMNS_FIRST);
    EXPECT_EQ(order(), factsFirst);
    EXPECT_TRUE(::GetMenuState(mainMenu, IDM_DECISION_COLUMNS_FIRST, MF_BYCOMMAND) & MF_CHECKED);
    for (int column = kFirstFactColumn; column < kColumnCount; ++column) {
      mouseAt(column, MOUSEEVENTF_LEFTDOWN | MOUSEEVENTF_LEFTUP);  // from ascending on, alternating
      expectSortedBy(column, (column - kFirstFactColumn) % 2 ? HDF_SORTDOWN : HDF_SORTUP);
    }
    // The check-box column neither moves nor lets a column before it; others move.
    for (const auto& [dragged, before] : {std::pair{20, 0}, {0, 17}, {20, 15}}) {
      mouseAt(dragged, MOUSEEVENTF_LEFTDOWN);
      mouseAt(dragged, 0, 2);
      mouseAt(before, MOUSEEVENTF_LEFTUP, 2);
    }
    std::vector<int> moved = factsFirst;  // 20 before 15
    std::rotate(moved.begin() + 2, moved.begin() + 7, moved.begin() + 8);
    EXPECT_EQ(order(), moved);
    Command(IDM_DECISION_COLUMNS_FIRST);
    EXPECT_EQ(order(), tableOrder);
    Command(IDM_RESET_VIEW);
    expectSortedBy(1, HDF_SORTUP);  // a view's sort, as a listing's
  };
  expectSortedBy(1, HDF_SORTUP);  // the listing's own sort
  clickAndDragHeaders();
  RECT at144 = {10, 20, 1510, 920};  // where Windows would move the window
  ::SendMessageW(window, WM_DPICHANGED, MAKEWPARAM(144, 144), reinterpret_cast<LPARAM>(&at144));
  clickAndDragHeaders();
}

TEST_F(MainWindow, CopyItemPutsEveryCellOnTheClipboard) {
  OpenWindow();
  auto noSelection = AnswerMessageBox();
  CopySelectedRow();
  EXPECT_EQ(noSelection.get(), L"There are no items selected to copy.");

  ::SendMessageW(listView, LVM_SETSELECTIONMARK, 0, 2);  // Generic / Text Only
  ::SendMessageW(window, WM_COMMAND, IDM_COPY_ITEM, 0);
  const std::wstring row = ClipboardText();
  const size_t facts = row.find(L"\r\n0\r\n0.0.0.0\r\n") + 2;
  // clang-format off
  EXPECT_EQ(row.substr(0, facts),
            L"Generic / Text Only\r\n\r\n\r\nWindows x64\r\n"
            L"C:\\Windows\\System32\\spool\\DRIVERS\\x64\\3\\TTY.DLL\r\n"
            L"C:\\Windows\\System32\\spool\\DRIVERS\\x64\\3\\TTY.GPD\r\n"
            L"C:\\Windows\\System32\\spool\\DRIVERS\\x64\\3\\TTYUI.DLL\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n");
  // clang-format on
  EXPECT_EQ(row.substr(facts), L"0\r\n0.0.0.0\r\n" +
                                   DriverDateText({0, 0x01C694C5}, DateForm::UserShort) +
                                   L"\r\nType 3 - User Mode\r\nNo\r\n\r\n");

  // A long row is copied whole, every cell whole, the facts at its end included.
  FakeDriver huge = RichDriver(std::wstring(3000, L'N'), std::wstring(3000, L'P'));
  spooler.machines[L""].drivers = {huge};
  EnumerateMachine(L"");
  ::SendMessageW(listView, LVM_SETSELECTIONMARK, 0, 0);
  CopySelectedRow();
  const std::wstring copied = ClipboardText();
  EXPECT_EQ(copied.substr(0, 6004), std::wstring(3000, L'N') + L"\r\n" + std::wstring(3000, L'P') + L"\r\n");
  EXPECT_EQ(std::count(copied.begin(), copied.end(), L'\n'), 20);
  EXPECT_NE(copied.find(L"\r\nType 3 - User Mode\r\n"), std::wstring::npos);

  spooler.machines[L""].drivers.clear();
  EnumerateMachine(L"");
  auto empty = AnswerMessageBox();
  CopySelectedRow();
  EXPECT_EQ(empty.get(), L"There are no items in the list to copy.");
}

TEST_F(MainWindow, EnterAnywhereEnumeratesTheNamedMachine) {
  spooler.machines[L"\\\\PRINTSRV"].drivers = GeneratedDrivers(3);
  OpenWindow();
  ::SetWindowTextW(machineCombo, L"PRINTSRV");
  for (HWND target : {listView, enumerateButton, deleteButton, window}) {
    const int before = spooler.enumerateCalls;
    ::SendMessageW(target, WM_KEYDOWN, VK_RETURN, 0);
    ASSERT_TRUE(WaitIdle());
    EXPECT_GT(spooler.enumerateCalls, before);
    EXPECT_EQ(RowCount(), 3);
  }
  // Typed into the machine box's own text field.
  HWND edit = ::FindWindowExW(machineCombo, nullptr, L"Edit", nullptr);
  ASSERT_NE(edit, nullptr);
  spooler.machines[L"\\\\OTHER"].drivers = GeneratedDrivers(7);
  ::SetWindowTextW(machineCombo, L"OTHER");
  ::SendMessageW(edit, WM_KEYDOWN, VK_RETURN, 0);
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(RowCount(), 7);
  const auto calls = spooler.Calls();
  EXPECT_NE(std::find(calls.begin(), calls.end(),
                      L"WNetAddConnection2 \\\\OTHER\\IPC$ type=0 local=(null) provider=(null) "
                      L"password=(null) user=(null) flags=8"),
            calls.end());
  EXPECT_EQ(calls.back(), L"WNetCancelConnection2 \\\\OTHER\\IPC$ flags=0 force=1");

  // A local listing afterwards leaves every share alone.
  const size_t cancels = spooler.CallsStartingWith(L"WNetCancelConnection2").size();
  ::SetWindowTextW(machineCombo, L"");
  ::SendMessageW(enumerateButton, BM_CLICK, 0, 0);
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(RowCount(), 5);
  EXPECT_EQ(spooler.CallsStartingWith(L"WNetCancelConnection2").size(), cancels);
}

TEST_F(MainWindow, ResizeMovesTheControlsToTheirPlaces) {
  OpenWindow();
  ::SetWindowPos(window, nullptr, 0, 0, 900, 500, SWP_NOMOVE | SWP_NOZORDER);
  PumpUntil([] { return false; }, 50);
  RECT client;
  ::GetClientRect(window, &client);
  const RECT list = ChildRect(listView);
  EXPECT_EQ(list.left, 4);
  EXPECT_EQ(list.top, 100);
  EXPECT_EQ(list.right - list.left, client.right - 8);
  EXPECT_EQ(list.bottom - list.top, client.bottom - 105);
  // Each button stands at its place, or just right of a label wider than the
  // space before it (Wine's font is wider than Windows').
  const int enumerateLeft =
      std::max(250, 8 + TextWidth(L"Select target machine to enumerate its drivers:") + 8);
  const int deleteLeft = std::max(422 + (enumerateLeft - 250),
                                  enumerateLeft + TextWidth(L"Enumerate Print Drivers:") + 8);
  const RECT enumerate = ChildRect(enumerateButton);
  EXPECT_EQ(enumerate.left, enumerateLeft);
  EXPECT_EQ(enumerate.top, 48);
  EXPECT_EQ(enumerate.right - enumerate.left, 150);
  const RECT remove = ChildRect(deleteButton);
  EXPECT_EQ(remove.left, deleteLeft);
  EXPECT_EQ(remove.right - remove.left, 150);
  const RECT combo = ChildRect(machineCombo);
  EXPECT_EQ(combo.left, 8);
  EXPECT_EQ(combo.top, 50);
  EXPECT_EQ(combo.right - combo.left, 220);
  const RECT bar = ChildRect(progressBar);
  EXPECT_EQ(bar.left, 20);
  EXPECT_EQ(bar.right - bar.left, client.right - 40);

  // Too small for the layout: nothing breaks, and the controls come back.
  ::SetWindowPos(window, nullptr, 0, 0, 60, 60, SWP_NOMOVE | SWP_NOZORDER);
  ::SetWindowPos(window, nullptr, 0, 0, 900, 500, SWP_NOMOVE | SWP_NOZORDER);
  EXPECT_EQ(ChildRect(listView).right - ChildRect(listView).left, client.right - 8);
}

TEST_F(MainWindow, ATooSmallWindowOpensBigEnoughForItsWholeTopRow) {
  OpenWindow(300, 120);
  ExpectInsideWorkArea(window);
  RECT client;
  ::GetClientRect(window, &client);
  EXPECT_GE(client.bottom, ChildRect(listView).top);
  ExpectWholeTopRow(window, WindowDpi(window), sharedGuiFont->font);
  // Counts of four digits still fit the window as it opened.
  spooler.machines[L""].drivers = GeneratedDrivers(1000);
  EnumerateMachine(L"");
  ExpectWholeTopRow(window, WindowDpi(window), sharedGuiFont->font);
}

// Wine never moves a window between DPIs, so the message comes from the test,
// as Windows sends it when the window reaches a monitor of another DPI.
TEST_F(MainWindow, AMonitorOfAnotherDpiScalesTheWholeWindow) {
  OpenWindow();
  const UINT dpi = WindowDpi(window);
  const int columnWidth = static_cast<int>(::SendMessageW(listView, LVM_GETCOLUMNWIDTH, 2, 0));
  LOGFONTW before = {};
  ::GetObjectW(sharedGuiFont->font, sizeof(before), &before);
  for (const UINT moved : {dpi * 3 / 2, dpi}) {
    SCOPED_TRACE(moved);
    const auto at = [moved](int value) { return ::MulDiv(value, static_cast<int>(moved), 96); };
    RECT suggested = {10, 20, 10 + at(1000), 20 + at(600)};
    ::SendMessageW(window, WM_DPICHANGED, MAKEWPARAM(moved, moved),
                   reinterpret_cast<LPARAM>(&suggested));
    RECT frame;
    ::GetWindowRect(window, &frame);
    EXPECT_TRUE(::EqualRect(&frame, &suggested)) << "the suggested rectangle is taken";
    const RECT combo = ChildRect(machineCombo);
    EXPECT_EQ(combo.left, at(8));
    EXPECT_EQ(combo.right - combo.left, at(220));
    EXPECT_EQ(ChildRect(listView).top, at(100));
    EXPECT_EQ(ChildRect(enumerateButton).bottom - ChildRect(enumerateButton).top, at(25));
    EXPECT_NEAR(::SendMessageW(listView, LVM_GETCOLUMNWIDTH, 2, 0),
                ::MulDiv(columnWidth, static_cast<int>(moved), static_cast<int>(dpi)), 1);
    LOGFONTW font = {};
    ::GetObjectW(reinterpret_cast<HFONT>(::SendMessageW(enumerateButton, WM_GETFONT, 0, 0)),
                 sizeof(font), &font);
    EXPECT_EQ(font.lfHeight,
              ::MulDiv(before.lfHeight, static_cast<int>(moved), static_cast<int>(dpi)));
    ExpectWholeTopRow(window, moved, sharedGuiFont->font);
  }
}

struct FailureCase {
  const wchar_t* machine;
  DWORD connectResult;
  DWORD spoolerError;
  const wchar_t* message;  // nullptr: no box at all
};

TEST_F(MainWindow, EveryFailureShowsItsMessageAndRestoresTheWindow) {
  OpenWindow();
  const std::wstring advice =
      L"Failed to get print driver information from: OLDSRV\nThe spooler RPC subsystem returned "
      L"error. \n\nIf the remote machine is Windows Server 2003, please ensure that its print "
      L"spooler is configured to accept client connections.\n\nThere is a policy that can be "
      L"configured to enable this. You can use the Group Policy Object Editor (Gpedit.msc), and "
      L"the corresponding policy is located in \"Administrative Templates\\Printers\".\n\n"
      L"Otherwise check RPC.";
  const FailureCase cases[] = {
      {L"DENIED", NO_ERROR, ERROR_ACCESS_DENIED,
       L"Failed to get print driver information from: DENIED\nAccess denied.\r\n\n"},
      {L"OLDSRV", NO_ERROR, ERROR_FILE_NOT_FOUND, advice.c_str()},
      {L"", NO_ERROR, ERROR_FILE_NOT_FOUND, nullptr},  // local: checked below
      {L"GONE", ERROR_BAD_NETPATH, 0, nullptr},
      {L"CANCELLED", ERROR_CANCELLED, 0, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.machine);
    FakeMachine machine;
    machine.connectResult = c.connectResult;
    machine.firstCallError = c.spoolerError;
    spooler.machines[c.machine[0] ? L"\\\\" + std::wstring(c.machine) : L""] = machine;

    ::SetWindowTextW(machineCombo, c.machine);
    ::SendMessageW(enumerateButton, BM_CLICK, 0, 0);
    const std::wstring shown =
        ReadAndCloseMessageBox(c.connectResult == ERROR_CANCELLED ? 1500 : 10000);
    if (c.message) {
      EXPECT_EQ(shown, c.message);
    } else if (c.machine[0] == L'\0') {
      EXPECT_EQ(shown.rfind(L"Failed to get print driver information from the local machine.\n", 0),
                0u)
          << shown;
    } else if (c.connectResult == ERROR_BAD_NETPATH) {
      EXPECT_EQ(shown.rfind(L"Failed to connect to: GONE\n", 0), 0u) << shown;
    } else {
      EXPECT_EQ(shown, L"");  // the user cancelled the credential prompt: no message
    }
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(RowCount(), 0);
    EXPECT_TRUE(::IsWindowEnabled(enumerateButton));
    EXPECT_FALSE(::IsWindowEnabled(deleteButton));
    EXPECT_FALSE(::IsWindowVisible(progressBar));
    // The box closes on its own thread: the window may take back its focus a moment later.
    // Without a window manager the X server may give the desktop the focus when the
    // box goes; activating the window, as a click would, must bring the list back.
    if (!PumpUntil([] { return ::GetFocus() == listView; }, 2000)) {
      ::SetForegroundWindow(::GetParent(listView));
      EXPECT_TRUE(PumpUntil([] { return ::GetFocus() == listView; }, 2000));
    }
  }
  // A target without drivers is a success with an empty list.
  spooler.machines[L"\\\\EMPTY"] = {};
  EnumerateMachine(L"EMPTY");
  EXPECT_EQ(RowCount(), 0);
  EXPECT_FALSE(::IsWindowEnabled(deleteButton));
  ASSERT_NE(currentInventory, nullptr);
  EXPECT_EQ(currentInventory->driverCount, 0u);
}

TEST_F(MainWindow, TheCountPanelShowsAFailedListingsCountsAtOnce) {
  spooler.machines[L"\\\\EMPTY"] = {};
  FakeMachine offline;
  offline.connectResult = ERROR_NO_NETWORK;
  spooler.machines[L"\\\\PRINTSRV01"] = offline;
  OpenWindow();
  const auto fiveDrivers = CountPanelPixels();
  EnumerateMachine(L"EMPTY");
  const auto noDrivers = CountPanelPixels();
  ASSERT_NE(noDrivers, fiveDrivers);
  EnumerateMachine(L"");
  ASSERT_EQ(CountPanelPixels(), fiveDrivers);

  // Typed, then Enter, with no network: while the error box is up the panel
  // already counts the new, empty inventory.
  ::SetWindowTextW(machineCombo, L"PRINTSRV01");
  ::SendMessageW(listView, WM_KEYDOWN, VK_RETURN, 0);
  HWND box = nullptr;
  ASSERT_TRUE(PumpUntil([&] { return (box = ::FindWindowW(L"#32770", L"Kestrun")) != nullptr; }));
  EXPECT_EQ(CountPanelPixels(), noDrivers);
  EXPECT_EQ(RowCount(), 0);
  ::PostMessageW(box, WM_COMMAND, IDOK, 0);
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(CountPanelPixels(), noDrivers);
}

TEST_F(MainWindow, TheProgressBarRunsRedOnBlack) {
  spooler.machines[L""].enumerateDelayMs = 300;
  OpenWindow();
  ::SendMessageW(enumerateButton, BM_CLICK, 0, 0);
  // The marquee's timer keeps the queue busy: look between single messages.
  bool red = false;
  bool black = false;
  const ULONGLONG deadline = ::GetTickCount64() + 3000;
  while (!(red && black) && ::IsWindowVisible(progressBar) && ::GetTickCount64() < deadline) {
    MSG message;
    if (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&message);
    RECT bar;
    ::GetClientRect(progressBar, &bar);
    HDC dc = ::GetDC(progressBar);
    for (int x = 0; x < bar.right; x += 4) {
      const COLORREF pixel = ::GetPixel(dc, x, bar.bottom / 2);
      red = red || pixel == RGB(255, 0, 0);
      black = black || pixel == RGB(0, 0, 0);
    }
    ::ReleaseDC(progressBar, dc);
  }
  EXPECT_TRUE(red);
  EXPECT_TRUE(black);
  ASSERT_TRUE(WaitIdle());
}

TEST_F(MainWindow, OnlyOneRunAtATimeWhateverIsPressed) {
  spooler.machines[L""].enumerateDelayMs = 30;
  OpenWindow();
  for (int i = 0; i < 40; ++i) {
    ::SendMessageW(listView, WM_KEYDOWN, VK_RETURN, 0);
    ::SendMessageW(enumerateButton, BM_CLICK, 0, 0);
    HeaderClick(i % 15);
    ::SetWindowPos(window, nullptr, 0, 0, 700 + (i % 5) * 40, 500, SWP_NOMOVE | SWP_NOZORDER);
    PumpUntil([] { return false; }, 5);
  }
  ASSERT_TRUE(WaitIdle());
  EnumerateMachine(L"");  // the last press may have cancelled its listing
  EXPECT_EQ(RowCount(), 5);
  // Two calls per run; never more runs than the presses that found no run going.
  EXPECT_EQ(spooler.enumerateCalls % 2, 0);
}

std::wstring ButtonText(HWND button) {
  wchar_t text[64] = {};
  ::GetWindowTextW(button, text, 64);
  return text;
}

TEST_F(MainWindow, CancelOrEscAbandonsAListingAtOnceAndItsResultIsDropped) {
  spooler.machines[L"\\\\EMPTY"] = {};
  spooler.machines[L"\\\\HUNG"].drivers = GeneratedDrivers(3);
  spooler.machines[L"\\\\HUNG"].enumerateDelayMs = 1500;
  OpenWindow();
  EnumerateMachine(L"EMPTY");
  const auto zeroCounts = CountPanelPixels();
  for (const bool esc : {false, true}) {
    SCOPED_TRACE(esc ? "Esc" : "Cancel");
    EnumerateMachine(L"");
    const size_t calls = spooler.CallsStartingWith(L"EnumPrinterDrivers \\\\HUNG").size();
    ::SetWindowTextW(machineCombo, L"HUNG");
    ::SendMessageW(enumerateButton, BM_CLICK, 0, 0);
    ASSERT_TRUE(PumpUntil(
        [&] { return spooler.CallsStartingWith(L"EnumPrinterDrivers \\\\HUNG").size() > calls; }));
    EXPECT_EQ(ButtonText(enumerateButton), L"Cancel");
    EXPECT_TRUE(::IsWindowEnabled(enumerateButton));
    ::SendMessageW(listView, WM_KEYDOWN, VK_RETURN, 0);  // Enter names a listing: no cancel
    EXPECT_EQ(ButtonText(enumerateButton), L"Cancel");

    if (esc) PressKey(listView, VK_ESCAPE);
    if (!esc) ::SendMessageW(enumerateButton, BM_CLICK, 0, 0);
    EXPECT_EQ(ButtonText(enumerateButton), L"Enumerate");
    EXPECT_TRUE(::IsWindowEnabled(enumerateButton));
    EXPECT_FALSE(::IsWindowVisible(progressBar));
    EXPECT_FALSE(ExclusiveRunActive());
    EXPECT_EQ(RowCount(), 0);
    EXPECT_EQ(CountPanelPixels(), zeroCounts);

    // The next listing runs at once; the abandoned one's answer, when it
    // comes, changes nothing and shows nothing, and its session is closed.
    EnumerateMachine(L"");
    EXPECT_EQ(RowCount(), 5);
    EXPECT_EQ(::FindWindowW(L"#32770", L"Kestrun"), nullptr);
    EXPECT_EQ(spooler.CallsStartingWith(L"WNetCancelConnection2").back(),
              L"WNetCancelConnection2 \\\\HUNG\\IPC$ flags=0 force=1");
  }
}

TEST_F(MainWindow, ClosingDuringASlowEnumerationNeitherCrashesNorHangs) {
  spooler.machines[L""].enumerateDelayMs = 300;
  OpenWindow();
  for (int i = 0; i < 5; ++i) {
    ::SendMessageW(enumerateButton, BM_CLICK, 0, 0);
    PumpUntil([] { return false; }, 50);
    ::SendMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_FALSE(::IsWindow(window));
    // The worker ends on its own: the window it reports to is gone.
    EXPECT_TRUE(PumpUntil([] { return WaitForWorkers(0); }, 10000));
    TearDown();
    SetUp();
    spooler.machines[L""].enumerateDelayMs = 300;
    OpenWindow();
  }
}

}  // namespace
}  // namespace kestrun::testing
