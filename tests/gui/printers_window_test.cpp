// The printers window, opened from a driver row of the real main window.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/bounded_text.h"
#include "inventory/queue_rows.h"
#include "report/queues_log.h"
#include "res/ids.h"
#include "tests/support/main_window_fixture.h"
#include "tests/support/test_paths.h"
#include "tests/support/ui_waits.h"
#include "ui/controls.h"
#include "ui/find.h"
#include "ui/list_columns.h"
#include "ui/printers_window.h"

namespace kestrun::testing {
namespace {

const std::wstring kContoso = L"Contoso LaserJet 4200 PCL6";

std::wstring Text(HWND window) {
  wchar_t text[512] = {};
  ::GetWindowTextW(window, text, 512);
  return text;
}

class PrintersView : public MainWindowFixture {};

TEST_F(PrintersView, OpenedFromADriverRowShowsItsPrintersUntilShowAll) {
  FakeMachine& local = spooler.machines[L""];
  local.drivers.push_back(InboxClassDriver(L"Microsoft IPP Class Driver"));
  local.ports = {{L"IP_10.1.2.3", L"Standard TCP/IP Port", L"10.1.2.3"}, {L"LPT1:", L"Local Port"}};
  local.printers = {{L"HR Laser", kContoso, L"IP_10.1.2.3"},
                    {L"Annex", L"CONTOSO LASERJET 4200 PCL6", L"LPT1:"},
                    {L"Lobby", L"Microsoft IPP Class Driver", L"LPT1:"}};
  local.printers[0].location = L"Building 1, \"east\"";
  OpenWindow();
  const std::vector<std::wstring> names = Column(1);
  const int row = static_cast<int>(std::find(names.begin(), names.end(), kContoso) - names.begin());
  ::SendMessageW(listView, LVM_SETSELECTIONMARK, 0, row);
  const size_t calls = spooler.Calls().size();
  Command(IDM_CTX_SHOW_PRINTERS);

  const HWND printers = PrintersWindow();
  ASSERT_NE(printers, nullptr);
  const HWND list = ::GetDlgItem(printers, IDC_PRINTERS_LIST);
  const HWND showAll = ::GetDlgItem(printers, IDC_PRINTERS_SHOW_ALL);
  const auto cell = [list](int r, int c) { return ReadWholeListCell(list, r, c, 64); };
  const auto shown = [=] {  // the title, the counts and the rows
    return Text(printers) + L"\n" + Text(::GetDlgItem(printers, IDC_PRINTERS_COUNTS)) + L"\n" +
           std::to_wstring(::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
  };
  EXPECT_EQ(shown(),
            L"Printers on this computer using " + kContoso +
                L"\nPrinters: 2. Third-party driver: 2. Inbox IPP class driver: 0. Inbox: 0.\n2");
  EXPECT_EQ(cell(0, kQueuePrinter) + L"|" + cell(1, kQueuePortKind) + L" " +
                cell(1, kQueueDeviceAddress) + L"|" + cell(1, kQueueProtectedPrint),
            L"Annex|TCP/IP 10.1.2.3:9100|Removed: third-party driver");  // sorted by name
  EXPECT_EQ(spooler.Calls().size(), calls) << "the window shows the last listing";
  EXPECT_TRUE(::IsWindowEnabled(showAll));

  const auto arrow = [list](int column) {
    HDITEMW item = {};
    item.mask = HDI_FORMAT;
    Header_GetItem(ListView_GetHeader(list), column, &item);
    return item.fmt & (HDF_SORTUP | HDF_SORTDOWN);
  };
  for (int column = 0; column < kQueueColumnCount; ++column) {
    EXPECT_GE(::SendMessageW(list, LVM_GETCOLUMNWIDTH, column, 0),
              TitleFitWidth(list, kQueueColumnTitles[column]));
    EXPECT_EQ(arrow(column), column == 0 ? HDF_SORTUP : 0);
  }
  NMLISTVIEW click = {{list, IDC_PRINTERS_LIST, LVN_COLUMNCLICK}, -1, kQueuePrinter};
  ::SendMessageW(printers, WM_NOTIFY, IDC_PRINTERS_LIST, reinterpret_cast<LPARAM>(&click));
  EXPECT_EQ(cell(0, kQueuePrinter), L"HR Laser");
  EXPECT_EQ(arrow(0), HDF_SORTDOWN);

  // F3 finds in this list; Copy Item copies the found row; Ctrl+F opens a
  // Find dialog of its own.
  CopyBounded(findText, L"annex");
  PressKey(list, VK_F3);
  EXPECT_EQ(::SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED), 1);
  ::SendMessageW(printers, WM_COMMAND, IDM_PRINTERS_COPY_ITEM, 0);
  EXPECT_EQ(ClipboardText().substr(0, 32), L"Annex\r\n\r\nLPT1:\r\nLocal\r\n\r\nCONTOSO");
  PressKey(list, 'F', true);
  const HWND find = WaitForWindow(L"#32770", L"Find", 5000);
  ASSERT_NE(find, nullptr);
  EXPECT_EQ(::GetWindow(find, GW_OWNER), printers);
  ::SendMessageW(find, WM_COMMAND, IDCANCEL, 0);

  ::SendMessageW(showAll, BM_CLICK, 0, 0);
  EXPECT_EQ(shown(),
            L"Printers on this computer\nPrinters: 3. Third-party driver: 2. Inbox IPP class "
            L"driver: 1. Inbox: 0.\n3");
  EXPECT_FALSE(::IsWindowEnabled(showAll));

  // Save...: the rows shown, as the queues' CSV.
  const std::wstring path = MakeScratchDirectory(L"printers-save") + L"\\queues.csv";
  auto saved = AnswerSaveFileDialog(path);
  ::SendMessageW(::GetDlgItem(printers, IDC_PRINTERS_SAVE), BM_CLICK, 0, 0);
  ASSERT_TRUE(saved.get());
  const std::string bytes = ReadFileBytes(path);
  EXPECT_EQ(bytes.substr(0, QueuesLogHeader().size()), QueuesLogHeader());
  EXPECT_NE(bytes.find(",\"Building 1, \"\"east\"\"\","), std::string::npos);
  EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\n'), 4);

  // The main window's next listing reaches the window.
  local.printers.push_back({L"New", kContoso});
  EnumerateMachine(L"");
  EXPECT_EQ(shown().back(), L'4');

  // A counts line longer than its place wraps and the list moves down, at 96 and 144 DPI.
  const HWND counts = ::GetDlgItem(printers, IDC_PRINTERS_COUNTS);
  for (const LONG dpi : {96, 144}) {
    RECT place = {0, 0, 560 * dpi / 96, 400 * dpi / 96};
    ::SendMessageW(printers, WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&place));
    ::SetWindowTextW(counts,
                     (std::wstring(80, L'x') + L" 1 of 4 third-party queues can move").c_str());
    ::SendMessageW(printers, WM_SIZE, 0, 0);
    RECT text = {}, button = {}, rows = {}, needed = {};
    ::GetWindowRect(counts, &text);
    ::GetWindowRect(::GetDlgItem(printers, IDC_PRINTERS_CHECK_DEVICES), &button);
    ::GetWindowRect(list, &rows);
    const HDC dc = ::GetDC(counts);
    ::SelectObject(dc, reinterpret_cast<HGDIOBJ>(::SendMessageW(counts, WM_GETFONT, 0, 0)));
    needed.right = text.right - text.left;
    ::DrawTextW(dc, Text(counts).c_str(), -1, &needed, DT_CALCRECT | DT_WORDBREAK | DT_EDITCONTROL);
    ::ReleaseDC(counts, dc);
    EXPECT_TRUE(text.right <= button.left && rows.top >= text.bottom) << dpi;
    EXPECT_LE(needed.bottom, text.bottom - text.top) << dpi << ": the whole text has room";
    EXPECT_GT(needed.bottom, 20 * dpi / 96) << dpi << ": it wraps here";
  }
}

// Needs the IPP Everywhere printer the test script starts on 127.0.0.1:631.
TEST_F(PrintersView, CheckDevicesAsksTheDevicesAndCancelShowsWhatWasFound) {
  // A device that takes the request and never answers: nobody accepts on it.
  WSADATA winsock;
  ::WSAStartup(MAKEWORD(2, 2), &winsock);
  const SOCKET silent = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in at = {};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int size = sizeof(at);
  ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&at), size), 0);
  ::listen(silent, 4);
  ::getsockname(silent, reinterpret_cast<sockaddr*>(&at), &size);
  const std::wstring silentAddress =
      L"ipp://127.0.0.1:" + std::to_wstring(ntohs(at.sin_port)) + L"/";
  FakeMachine& local = spooler.machines[L""];
  local.ports = {{L"IP_127.0.0.1", L"Standard TCP/IP Port", L"127.0.0.1"},
                 {silentAddress, L"Internet Port"},
                 {L"LPT1:", L"Local Port"}};
  local.printers = {{L"Front", kContoso, L"IP_127.0.0.1"},
                    {L"Silent", kContoso, silentAddress},
                    {L"Annex", kContoso, L"LPT1:"},
                    {L"Back", L"Norvex Universal Print Class Driver", L"LPT1:"}};
  OpenWindow();
  const std::vector<std::wstring> names = Column(1);  // the check asks Contoso's printers only
  ::SendMessageW(listView, LVM_SETSELECTIONMARK, 0,
                 std::find(names.begin(), names.end(), kContoso) - names.begin());
  Command(IDM_CTX_SHOW_PRINTERS);
  const HWND printers = PrintersWindow();
  ASSERT_NE(printers, nullptr);
  const HWND list = ::GetDlgItem(printers, IDC_PRINTERS_LIST);
  const HWND counts = ::GetDlgItem(printers, IDC_PRINTERS_COUNTS);
  const HWND check = ::GetDlgItem(printers, IDC_PRINTERS_CHECK_DEVICES);
  const auto device = [list](int r) {  // Annex, Front, Silent
    return ReadWholeListCell(list, r, kQueueDevice, 80) + L" | " +
           ReadWholeListCell(list, r, kQueueDeviceModel, 80);
  };
  EXPECT_EQ(device(1), L"Not probed: not asked | ");
  EXPECT_EQ(Text(check), L"Check Devices");

  ::SendMessageW(check, BM_CLICK, 0, 0);
  EXPECT_EQ(Text(check), L"Cancel");
  EXPECT_TRUE(PumpUntil([counts] {
    return Text(counts) == L"Checking devices: 1 of 2 answered or given up.";
  })) << Text(counts);
  ::SendMessageW(check, BM_CLICK, 0, 0);  // Cancel
  EXPECT_TRUE(PumpUntil([check] { return Text(check) == L"Check Devices"; }, 2000));
  EXPECT_EQ(device(0), L"Not probed: local port | ");
  EXPECT_EQ(device(1), L"IPP Everywhere | Kestrun Test Printer 631");
  EXPECT_EQ(device(2), L"Not probed: cancelled | ");
  EXPECT_EQ(Text(counts),
            L"Printers: 3. Third-party driver: 3. Inbox IPP class driver: 0. Inbox: 0. 0 of 3 "
            L"queues that are removed can be added again on the inbox IPP class driver (their "
            L"devices report Mopria certification); 1 more do IPP Everywhere without reporting "
            L"Mopria certification; 1 not asked.");
  ::SendMessageW(::GetDlgItem(printers, IDC_PRINTERS_SHOW_ALL), BM_CLICK, 0, 0);
  EXPECT_EQ(Text(counts).substr(Text(counts).find(L" 0 of ")),
            L" 0 of 4 queues that are removed can be added again on the inbox IPP class driver "
            L"(their devices report Mopria certification); 1 more do IPP Everywhere without "
            L"reporting Mopria certification; 2 not asked.");
  ::closesocket(silent);
}

}  // namespace
}  // namespace kestrun::testing
