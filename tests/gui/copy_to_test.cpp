// The printers window's Copy To...: ticked printers of one server copied onto another.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <future>
#include <set>
#include <string>
#include <vector>

#include "res/ids.h"
#include "tests/support/main_window_fixture.h"
#include "tests/support/ui_waits.h"
#include "ui/printers_window.h"
#include "ui/restore_command.h"
#include "ui/workers.h"

namespace kestrun::testing {
namespace {

const std::wstring kOld = L"\\\\OLDSRV", kNew = L"\\\\NEWSRV";
const std::wstring kCopy = L"Copy printer \"HR Laser\" (Acme PCL6, port IP_10.1.2.3)\n";
// What HR Laser brings: its driver and package in each environment, its port.
std::wstring Brought(const std::wstring& verb) {
  std::wstring lines;
  for (const wchar_t* environment : {L"Windows x64", L"Windows NT x86"}) {
    lines += verb + L" driver \"Acme PCL6\" (" + environment + L", 10.0.0.1)\n" + verb +
             L" package \"acme.inf\" (" + environment + L")\n";
  }
  return lines + verb + L" port \"IP_10.1.2.3\"";
}
const std::wstring kLobby =
    L"Not copied: printer \"Lobby\" (Acme PCL6, port WSD-1): WSD port: add the device on the new "
    L"server\nNot copied: printer \"Old\" (Fab x86, port IP_10.1.2.9): the source has no Windows "
    L"x64 copy of its driver Fab x86\n";

std::wstring Text(HWND window) {
  wchar_t text[512] = {};
  ::GetWindowTextW(window, text, 512);
  return text;
}

class CopyTo : public MainWindowFixture {};

TEST_F(CopyTo, CopiesTheTickedPrintersWithTheirDriverAndPortAndLeavesTheSourceAsItWas) {
  FakeMachine& source = spooler.machines[kOld];
  // Acme comes from a package in each environment, as on a real server; Old
  // is not copied: neither its 32-bit driver nor its port goes.
  FakeDriver x64 = RichDriver(L"Acme PCL6", L"Acme"), x86 = x64,
             fab = RichDriver(L"Fab x86", L"Fabrikam");
  x86.environment = fab.environment = L"Windows NT x86";
  x64.infPath =
      FakeSpooler::AddStorePackage(kOld, L"acme.inf_amd64_4f1c2b7d9e0a3c61", "[Version]\r\n");
  x86.infPath =
      FakeSpooler::AddStorePackage(kOld, L"acme.inf_x86_8d2e6a1f0b9c7e43", "[Version]\r\n");
  source.drivers = {x64, x86, fab};
  source.ports = {{L"IP_10.1.2.3", L"Standard TCP/IP Port", L"10.1.2.3"},
                  {L"WSD-1", L"WSD Port"},
                  {L"IP_10.1.2.9", L"Standard TCP/IP Port", L"10.1.2.9"}};
  source.printers = {{L"HR Laser", L"Acme PCL6", L"IP_10.1.2.3"},
                     {L"Lobby", L"Acme PCL6", L"WSD-1"},
                     {L"Old", L"Fab x86", L"IP_10.1.2.9"}};
  spooler.machines[kNew].copyCallDelayMs = 200;  // the copy's counts line stays in view
  OpenWindow();
  EnumerateMachine(L"OLDSRV");
  Command(IDM_PRINTERS);
  const HWND printers = PrintersWindow();
  ASSERT_NE(printers, nullptr);
  const HWND list = ::GetDlgItem(printers, IDC_PRINTERS_LIST);
  const HWND copyTo = ::GetDlgItem(printers, IDC_PRINTERS_COPY_TO);
  const HWND counts = ::GetDlgItem(printers, IDC_PRINTERS_COUNTS);
  auto nothing = AnswerMessageBox();
  ::SendMessageW(copyTo, BM_CLICK, 0, 0);
  EXPECT_EQ(nothing.get(), L"Please tick the printers to copy in the list first.");

  // A click on HR Laser's box, Space on the selected Lobby.
  RECT icon = {LVIR_ICON};
  ::SendMessageW(list, LVM_GETITEMRECT, 0, reinterpret_cast<LPARAM>(&icon));
  ::SendMessageW(list, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(icon.left - 8, icon.top + 4));
  for (int row = 1; row < 3; ++row) {
    ListView_SetItemState(list, row, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
    PressKey(list, VK_SPACE);
  }
  for (int row = 0; row < 3; ++row) {
    EXPECT_EQ(ListView_GetItemState(list, row, LVIS_STATEIMAGEMASK), INDEXTOSTATEIMAGEMASK(2u));
  }

  auto typed = std::async(std::launch::async, [] {
    HWND dialog = nullptr;
    for (int i = 0; i < 1000 && !(dialog = ::FindWindowW(L"#32770", L"Copy To")); ++i) ::Sleep(10);
    if (dialog == nullptr) return false;
    ::SetDlgItemTextW(dialog, IDC_MACHINE_NAME, L"NEWSRV");
    ::PostMessageW(dialog, WM_COMMAND, IDOK, 0);
    return true;
  });
  ::SendMessageW(copyTo, BM_CLICK, 0, 0);
  ASSERT_TRUE(typed.get());
  std::set<std::wstring> lines;
  const auto [boxes, noFirst] = AnswerQuestionThenOutcome([&] { lines.insert(Text(counts)); });
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(
      boxes[0],
      L"1 printer will be copied to NEWSRV, with 2 drivers, 2 packages and 1 port.\nFrom "
      L"OLDSRV to NEWSRV (\\\\NEWSRV)\nNothing on OLDSRV changes. Do you wish to proceed?\n\n" +
          kLobby + kCopy + Brought(L"Copy"));
  EXPECT_TRUE(noFirst);
  EXPECT_EQ(boxes[1].substr(0, boxes[1].find(L"\n\nSaved in ")),
            L"Not all selected printers could be copied to NEWSRV.\nFrom OLDSRV to NEWSRV "
            L"(\\\\NEWSRV)\nCopied 1 of 3 printers; 2 drivers, 2 packages, 1 port.\n\n" +
                kLobby + L"Copied" + kCopy.substr(4) + Brought(L"Copied"));
  EXPECT_NE(boxes[1].find(L"\n\nSaved in "), std::wstring::npos);
  EXPECT_EQ(lines.count(L"Copying to NEWSRV..."), 1u);
  EXPECT_EQ(Text(counts).rfind(L"Printers: 3.", 0), 0u) << Text(counts);

  // The target has the printer on its new port with its driver; the source is as it was.
  const FakeMachine& target = spooler.machines[kNew];
  ASSERT_EQ(spooler.PrinterNames(kNew), std::vector<std::wstring>{L"HR Laser"});
  EXPECT_EQ(target.printers[0].portName, L"IP_10.1.2.3");
  ASSERT_EQ(target.ports.size(), 1u);
  EXPECT_EQ(target.ports[0].name + L" " + target.ports[0].host, L"IP_10.1.2.3 10.1.2.3");
  EXPECT_EQ(spooler.DriverKeys(kNew),
            (std::vector<std::wstring>{L"Acme PCL6|Windows x64", L"Acme PCL6|Windows NT x86"}));
  EXPECT_EQ(spooler.PrinterNames(kOld), (std::vector<std::wstring>{L"HR Laser", L"Lobby", L"Old"}));
  EXPECT_EQ(source.ports.size(), 3u);
  for (const wchar_t* change : {L"Delete", L"AddPrinter \\\\OLDSRV", L"SetPrinter \\\\OLDSRV"}) {
    EXPECT_TRUE(spooler.CallsStartingWith(change).empty()) << change;
  }

  // File > Restore puts the copy's snapshot on a third server: its port is
  // named and counted, and said when it cannot be made.
  spooler.machines[L"\\\\THIRDSRV"].addPortStatus = ERROR_ACCESS_DENIED;
  const size_t saved = boxes[1].find(L"\n\nSaved in ") + 11;
  ASSERT_TRUE(
      StartRestore(boxes[1].substr(saved, boxes[1].find(L'\n', saved) - saved - 1), L"THIRDSRV"));
  const auto [restore, no] = AnswerQuestionThenOutcome();
  ASSERT_EQ(restore.size(), 2u);
  const std::wstring port = L"port IP_10.1.2.3 (10.1.2.3, RAW 9100)";
  EXPECT_NE(restore[0].find(L"2 drivers, 1 printer, 1 port and 2 packages will be restored."),
            std::wstring::npos)
      << restore[0];
  EXPECT_NE(restore[0].find(L"These TCP/IP ports will be made:\n" + port), std::wstring::npos);
  EXPECT_EQ(restore[1].rfind(L"Not all of the snapshot could be restored.", 0), 0u) << restore[1];
  EXPECT_NE(restore[1].find(L"Not restored: " + port + L": "), std::wstring::npos) << restore[1];
}

}  // namespace
}  // namespace kestrun::testing
