// View > Driver Store Packages... and View > Print Security..., over a remote
// machine's driver store and registry.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cwchar>
#include <string>
#include <vector>

#include "inventory/snapshot.h"
#include "res/ids.h"
#include "tests/support/main_window_fixture.h"
#include "tests/support/test_paths.h"
#include "tests/support/ui_waits.h"
#include "ui/controls.h"
#include "ui/packages_window.h"
#include "ui/posture_window.h"
#include "report/posture.h"
#include "ui/restore_command.h"
#include "ui/workers.h"

namespace kestrun::testing {
namespace {

const std::wstring kServer = L"\\\\STORESRV";
const std::wstring kUnused = L"fabrikam.inf_amd64_5e6f7a8b9c0d1e2f";

std::wstring Text(HWND window) {
  wchar_t text[512] = {};
  ::GetWindowTextW(window, text, 512);
  return text;
}

class PackagesWindow : public MainWindowFixture {};

TEST_F(PackagesWindow, ShowsTheStoreAndRemovesOnlyTheTickedUnusedPackageAfterASnapshot) {
  RemoveTree(FakeSpooler::MachineShare(kServer, L"admin$") + L"\\System32");
  FakeDriver contoso = RichDriver(L"Contoso Universal PCL6", L"Contoso");
  contoso.infPath = FakeSpooler::AddStorePackage(
      kServer, L"contoso.inf_amd64_0a1b2c3d4e5f",
      "[Version]\r\nClass=Printer\r\nProvider=%C%\r\nDriverVer=03/12/2019,61.4.0.0\r\n"
      "[Strings]\r\nC=\"Contoso\"\r\n",
      2, 1000);
  spooler.machines[kServer].drivers = {contoso};
  FakeSpooler::AddStorePackage(
      kServer, kUnused,
      "[Version]\r\nClass=Printer\r\nProvider=Fabrikam\r\nDriverVer=01/02/2020,5.0.0.1\r\n", 1,
      3000);
  FakeSpooler::AddStorePackage(kServer, L"ntprint.inf_amd64_1122334455667788",
                               "[Version]\r\nClass=Printer\r\nProvider=Microsoft\r\n");
  OpenWindow();
  EnumerateMachine(L"STORESRV");
  Command(IDM_PACKAGES);
  const HWND packages = kestrun::PackagesWindow();
  ASSERT_NE(packages, nullptr);
  const HWND counts = ::GetDlgItem(packages, IDC_PACKAGES_COUNTS);
  const HWND list = ::GetDlgItem(packages, IDC_PACKAGES_LIST);
  const HWND remove = ::GetDlgItem(packages, IDC_PACKAGES_REMOVE);
  const auto read = [counts](const wchar_t* start) {
    return PumpUntil([=] { return Text(counts).rfind(start, 0) == 0 && WaitForWorkers(0); });
  };
  ASSERT_TRUE(read(L"Packages: 3")) << Text(counts);
  EXPECT_EQ(Text(packages), L"Driver store packages on STORESRV");
  EXPECT_EQ(Text(counts), L"Packages: 3 (5 KB). Unused: 1 (3 KB). Windows' own: 1.");
  std::vector<std::wstring> rows;  // by name; only the unused one has a check box
  for (int row = 0; row < 3; ++row) {
    std::wstring shown;
    for (int column = 0; column < 8; ++column)
      shown += ReadWholeListCell(list, row, column, 64) + L"|";
    rows.push_back(shown +
                   std::to_wstring(ListView_GetItemState(list, row, LVIS_STATEIMAGEMASK) >> 12));
  }
  EXPECT_EQ(rows,
            (std::vector<std::wstring>{
                L"contoso.inf|Contoso|61.4.0.0|2019-03-12|Windows x64|2 KB|Contoso Universal "
                L"PCL6|contoso.inf_amd64_0a1b2c3d4e5f|0",
                L"fabrikam.inf|Fabrikam|5.0.0.1|2020-01-02|Windows x64|3 KB||" + kUnused + L"|1",
                L"ntprint.inf|Microsoft|||Windows x64|46 bytes|Windows' own|"
                L"ntprint.inf_amd64_1122334455667788|0"}));

  // Nothing ticked says so; a row without a box cannot be ticked.
  auto nothing = AnswerMessageBox();
  ::SendMessageW(remove, BM_CLICK, 0, 0);
  EXPECT_EQ(nothing.get(), L"Please check an unused package in the list before trying to remove!");
  ListView_SetItemState(list, 2, INDEXTOSTATEIMAGEMASK(2), LVIS_STATEIMAGEMASK);
  ListView_SetItemState(list, 1, INDEXTOSTATEIMAGEMASK(2), LVIS_STATEIMAGEMASK);
  EXPECT_EQ(ListView_GetItemState(list, 2, LVIS_STATEIMAGEMASK), 0u);
  const auto undoEnabled = [] {
    return (::GetMenuState(mainMenu, IDM_UNDO_DELETION, MF_BYCOMMAND) & MF_GRAYED) == 0;
  };
  EXPECT_FALSE(undoEnabled());

  // Remove Selected: asked with No the default, then the outcome.
  ::SendMessageW(remove, BM_CLICK, 0, 0);
  const auto [boxes, noFirst] = AnswerQuestionThenOutcome();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(
      boxes[0],
      L"Warning, this will remove the selected packages from the driver store!\nA snapshot is "
      L"saved first: Edit > Undo Deletion puts it back. Do you wish to proceed?\n\n1 package "
      L"(3 KB) will be removed from the driver store.\nSelected packages on STORESRV "
      L"(\\\\STORESRV)\nfabrikam.inf (Windows x64, 5.0.0.1, 2020-01-02, 3 KB)");
  EXPECT_TRUE(noFirst);
  const std::wstring snapshot = DeletionSnapshot();
  EXPECT_EQ(boxes[1].substr(0, boxes[1].find(L"\n\nSaved in ")),
            L"The selected packages were removed from the driver store.\nSelected packages on "
            L"STORESRV (\\\\STORESRV)\nRemoved 1 of 1 packages (3 KB).\n\nRemoved from the driver "
            L"store: fabrikam.inf (Windows x64, 5.0.0.1, 2020-01-02, 3 KB)");
  EXPECT_NE(boxes[1].find(L"\n\nSaved in " + snapshot.substr(0, 20)), std::wstring::npos);
  EXPECT_EQ(spooler.machines[kServer].removedPackages,
            std::vector<std::wstring>{L"C:\\Windows\\System32\\DriverStore\\FileRepository\\" +
                                      kUnused + L"\\fabrikam.inf|Windows x64"});
  EXPECT_EQ(ReadFileBytes(snapshot + L"\\packages\\0\\" + kUnused + L"\\file0.dll"),
            std::string(3000, 'x'));
  EXPECT_EQ(ReadFileBytes(snapshot + L"\\packages\\0\\" + kUnused + L"\\fabrikam.inf").substr(0, 9),
            "[Version]");
  EXPECT_TRUE(undoEnabled());
  // The main list and then the store are read again.
  EXPECT_TRUE(read(L"Packages: 2")) << Text(counts);
  EXPECT_EQ(Text(counts), L"Packages: 2 (2 KB). Unused: 0 (0 bytes). Windows' own: 1.");
}

// A print server shaped as real ones are: its settings are read on a worker
// and shown with the unsafe first; every key opened is closed; a registry that cannot be reached
// leaves every row "Not read".
TEST_F(PackagesWindow, PrintSecurityShowsTheListedMachinesSettingsUnsafeFirst) {
  const std::wstring server = L"\\\\POLICYSRV";
  const std::wstring policies = L"SOFTWARE\\Policies\\Microsoft\\Windows NT\\Printers\\";
  FakeMachine& machine = spooler.machines[server];
  AddRealServer(machine, 0);
  const auto text = [](const wchar_t* t) {
    return FakeValue{
        REG_SZ,
        {reinterpret_cast<const BYTE*>(t), reinterpret_cast<const BYTE*>(t + std::wcslen(t) + 1)}};
  };
  const std::wstring version = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\";
  machine.registry[version + L"CurrentBuildNumber"] = text(L"20348");
  machine.registry[version + L"DisplayVersion"] = text(L"21H2");
  machine.registry[policies + L"PointAndPrint\\RestrictDriverInstallationToAdministrators"] = {
      REG_DWORD, {0, 0, 0, 0}};
  machine.registry[L"SYSTEM\\CurrentControlSet\\Control\\Print\\RpcAuthnLevelPrivacyEnabled"] =
      text(L"1");
  machine.registry[policies + L"PackagePointAndPrint\\ListofServers\\1"] = text(L"PRINT01");
  machine.registry[policies + L"PackagePointAndPrint\\ListofServers\\2"] = text(L"PRINT02");
  machine.registryKeyErrors[policies + L"RPC"] = ERROR_ACCESS_DENIED;
  machine.serverType = SV_TYPE_SERVER | SV_TYPE_DOMAIN_CTRL;
  machine.registryDelayMs = 50;
  OpenWindow();
  EnumerateMachine(L"POLICYSRV");
  Command(IDM_POSTURE);
  const HWND posture = PostureWindow();
  ASSERT_NE(posture, nullptr);
  const HWND counts = ::GetDlgItem(posture, IDC_POSTURE_COUNTS);
  const HWND list = ::GetDlgItem(posture, IDC_POSTURE_LIST);
  const HWND refresh = ::GetDlgItem(posture, IDC_POSTURE_REFRESH);
  EXPECT_EQ(Text(refresh), L"Cancel");
  EXPECT_EQ(Text(counts), L"Reading the print security settings of POLICYSRV...");
  ASSERT_TRUE(PumpUntil([&] { return Text(refresh) == L"Refresh" && WaitForWorkers(0); }));
  EXPECT_EQ(Text(posture), L"Print security of POLICYSRV");
  EXPECT_EQ(Text(counts), L"22 settings: 3 unsafe, 5 not read, 11 not set, 3 safe.");
  const auto row = [list](int r) {
    std::wstring cells;
    for (int column = 0; column < 4; ++column)
      cells += ReadWholeListCell(list, r, column, 96) + L"|";
    return cells;
  };
  EXPECT_EQ(row(0),
            L"Unsafe|RestrictDriverInstallationToAdministrators|0|non-administrators can "
            L"install printer drivers|");
  EXPECT_EQ(row(1),
            L"Unsafe|RpcAuthnLevelPrivacyEnabled|(type 1, 4 bytes)|unexpected value: (type "
            L"1, 4 bytes)|");
  EXPECT_EQ(row(2),
            L"Unsafe|DomainControllerSpooler|domain controller, spooler answers|a domain "
            L"controller whose spooler answers the network|");
  EXPECT_EQ(row(3).substr(0, 46), L"Not read|RpcUseNamedPipeProtocol||not read: 5 ");
  EXPECT_EQ(row(19),
            L"Safe|ListofServers|PRINT01; PRINT02|the servers package connections may use|");
  EXPECT_EQ(row(20) + row(21),
            L"Safe|CurrentBuildNumber|20348|the Windows build|Safe|DisplayVersion|"
            L"21H2|the Windows version|");
  EXPECT_EQ(spooler.OpenRegistryKeys(), 0u);

  // Sorted by Setting (the first click turns the fill's order round); Copy Item copies a row's
  // cells; Save... writes a posture log.
  NMLISTVIEW click = {{list, IDC_POSTURE_LIST, LVN_COLUMNCLICK}, -1, 1};
  ::SendMessageW(posture, WM_NOTIFY, IDC_POSTURE_LIST, reinterpret_cast<LPARAM>(&click));
  EXPECT_EQ(row(0),
            L"Not set|WindowsProtectedPrintGroupPolicyState||not available on this build (20348)|");
  ListView_SetItemState(list, 0, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
  ::SendMessageW(posture, WM_COMMAND, IDM_POSTURE_COPY_ITEM, 0);
  EXPECT_EQ(ClipboardText().substr(0, 25), L"Not set\r\nWindowsProtected");
  const std::wstring path = MakeScratchDirectory(L"posture-save") + L"\\posture.csv";
  auto saved = AnswerSaveFileDialog(path);
  ::SendMessageW(::GetDlgItem(posture, IDC_POSTURE_SAVE), BM_CLICK, 0, 0);
  ASSERT_TRUE(saved.get());
  const std::string bytes = ReadFileBytes(path);
  EXPECT_EQ(bytes.substr(0, PostureLogHeader().size()), PostureLogHeader());
  EXPECT_NE(bytes.find(",POLICYSRV,RestrictDriverInstallationToAdministrators,0,Unsafe,"),
            std::string::npos);
  EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\n'), 23);

  machine.registryConnectError = ERROR_BAD_NETPATH;
  ::SendMessageW(refresh, BM_CLICK, 0, 0);
  ASSERT_TRUE(PumpUntil([&] { return Text(refresh) == L"Refresh" && WaitForWorkers(0); }));
  EXPECT_EQ(Text(counts).substr(0, 35), L"The settings could not be read: 53 ");
  EXPECT_EQ(row(21).substr(0, 25), L"Not read|CopyFilesPolicy|");
}

}  // namespace
}  // namespace kestrun::testing
