// The printers behind the drivers: port kinds, device addresses and verdicts
// from the fake spooler, the port answers that cannot be read, and printers
// on Wine's own spooler; and /posture over machines whose registries cannot be read.
#include <gtest/gtest.h>

#include <windows.h>
#include <winspool.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <memory>
#include <mutex>
#include <string>

#include "inventory/driver_inventory.h"
#include "inventory/printers.h"
#include "inventory/queue_rows.h"
#include "report/command_line.h"
#include "report/csv_log.h"
#include "tests/support/console_capture.h"
#include "tests/support/fake_spooler.h"
#include "tests/support/test_paths.h"

namespace kestrun {
namespace {

using testing::FakePort;
const std::wstring kContoso = L"Contoso LaserJet 4200 PCL6";
const std::wstring kTcpIp = L"Standard TCP/IP Port";

class Queues : public ::testing::Test {
 protected:
  void SetUp() override {
    server.drivers = testing::SampleDrivers();  // Fabrikam's is an x86 driver only
    for (const wchar_t* name : {L"Microsoft IPP Class Driver", L"Universal Print Class Driver"}) {
      server.drivers.push_back(testing::InboxClassDriver(name));
    }
    // Windows' own v3 driver, from its own package.
    server.drivers.push_back(testing::InboxClassDriver(L"Microsoft PCL6 Class Driver"));
    server.drivers.back().type = 3;
    spooler.Install();
  }
  void TearDown() override { testing::FakeSpooler::Uninstall(); }

  // Each printer's cells, then its reason, owned.
  std::vector<std::vector<std::wstring>> List() {
    DriverInventory inventory;
    ResetInventory(inventory);
    EXPECT_TRUE(EnumerateDrivers(inventory, L"SRV"));
    ReadQueues(inventory);
    EXPECT_EQ(spooler.OpenPrinterCount(), 0u) << "every port handle is closed";
    const QueueTable table = DescribeQueues(inventory);
    counts = CountVerdicts(table.rows);
    std::vector<std::vector<std::wstring>> rows;
    for (const QueueRow& row : table.rows) {
      rows.emplace_back(std::begin(row.cells), std::end(row.cells));
      rows.back().push_back(row.reason);
    }
    return rows;
  }

  VerdictCounts counts;
  testing::FakeSpooler spooler;
  testing::FakeMachine& server = spooler.machines[L"\\\\SRV"];
};

TEST_F(Queues, PortKindsAndVerdicts) {
  server.ports = {{L"IP_10.1.2.3", kTcpIp, L"10.1.2.3"},
                  {L"IP_lpr", kTcpIp, L"lpr.contoso.com", 2, 515, L"PASSTHRU"},
                  {L"WSD-1234", L"WSD Port"},
                  {L"LPT1:", L"Local Port"},
                  {L"COM1:", L"Local Monitor"},  // as Wine names the local monitor
                  {L"SHRFAX:", L"Microsoft Shared Fax Monitor"},
                  {L"IPP_1", L"ippmon"}};
  const std::wstring removed = L" | Third-party | Removed: third-party driver";
  const std::wstring legacy =
      L" | Inbox | Removed: Windows' legacy driver, not the modern print stack";
  const std::wstring works = L" | Inbox | Works: inbox IPP class driver";
  const std::wstring missing = L" | Not installed | Unknown: driver not installed";
  // clang-format off
  // Each printer, and its kind | address | origin | verdict.
  const std::pair<testing::FakePrinter, std::wstring> cases[] = {
      {{L"HR Laser", kContoso, L"IP_10.1.2.3"}, L"TCP/IP | 10.1.2.3:9100" + removed},
      {{L"Mail", L"CONTOSO LASERJET 4200 PCL6", L"ip_LPR"},
       L"TCP/IP | lpr.contoso.com (LPR PASSTHRU)" + removed},
      {{L"Lobby", L"Microsoft IPP Class Driver", L"WSD-1234"}, L"WSD | " + works},
      {{L"Cloud", L"Universal Print Class Driver", L"https://p.contoso.com/c"},
       L"IPP | https://p.contoso.com/c" + works},
      {{L"Old", L"Microsoft PCL6 Class Driver", L"IPP_1"}, L"IPP | " + legacy},
      {{L"Front Desk", L"Norvex Universal Print Class Driver", L"LPT1:,COM1:"},
       L"Local | " + removed},  // the maker's own drivers are third-party to Windows
      {{L"Terminal", L"Generic / Text Only", L"COM1:"}, L"Local | " + removed},  // no provider
      {{L"Fax", L"Microsoft XPS Document Writer v4", L"SHRFAX:"},
       L"Microsoft Shared Fax Monitor | " + legacy},  // Type 3 here
      // Installed for 32-bit clients only: not in the server's own environment.
      {{L"Label", L"Fabrikam Imagewriter \u00c9lite \u4e2d", L"LPT1:"}, L"Local | " + missing},
      {{L"Gone", L"Vanished Driver", L"IP_10.1.2.3"}, L"TCP/IP | 10.1.2.3:9100" + missing},
      {{L"\\\\OTHER\\Shared", kContoso, L"IP_10.1.2.3"}, L"Connection | " + removed},
  };
  // clang-format on
  for (const auto& c : cases) server.printers.push_back(c.first);
  server.printers[0].shareName = L"HRLaser";
  server.printers[0].location = L"Building 1, floor 2";
  server.printers[1].comment = L"=cmd";
  const auto rows = List();
  ASSERT_EQ(rows.size(), std::size(cases));
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i][kQueuePortKind] + L" | " + rows[i][kQueueDeviceAddress] + L" | " +
                  rows[i][kQueueDriverOrigin] + L" | " + rows[i][kQueueProtectedPrint],
              cases[i].second);
    EXPECT_EQ(rows[i][kQueueColumnCount], L"") << "no reason";
  }
  EXPECT_EQ(rows[0][kQueuePrinter] + L"|" + rows[0][kQueueShareName] + L"|" +
                rows[0][kQueueLocation] + L"|" + rows[0][kQueueDriverType] + L"|" +
                rows[1][kQueueComment] + L"|" + rows[5][kQueuePort],
            L"\\\\SRV\\HR Laser|HRLaser|Building 1, floor 2|Type 3 - User Mode|=cmd|LPT1:,COM1:");
  EXPECT_EQ(VerdictCountsText(counts),
            L"Printers: 11. Third-party driver: 5. Windows' legacy driver: 2. Inbox IPP class "
            L"driver: 2. Inbox: 0. Driver not installed: 2.");
  // One question per TCP/IP port, with no more access than reading needs.
  EXPECT_EQ(spooler.CallsStartingWith(L"XcvData ,XcvPort IP_10.1.2.3 GetConfigInfo").size(), 1u);
  EXPECT_EQ(
      spooler.CallsStartingWith(L"OpenPrinter \\\\SRV\\,XcvPort IP_10.1.2.3 access=2 ").size(), 1u);
}

// Each case: a TCP/IP port whose monitor answers as it says, one printer on
// it, and the address shown or (after "!") the start of the reason.
TEST_F(Queues, PortAnswersThatCannotBeReadLeaveTheAddressEmptyWithTheReason) {
  const std::wstring invalid = L"!the port monitor's answer about the device could not be read";
  const auto set = [](size_t at, DWORD value) {
    return [=](BYTE* answer, DWORD, DWORD&) { std::memcpy(answer + at, &value, 4); };
  };
  const auto fill = [](size_t at, size_t chars) {
    return [=](BYTE* answer, DWORD, DWORD&) {
      std::wmemset(reinterpret_cast<wchar_t*>(answer + at), L'x', chars);
    };
  };
  struct Case {
    std::function<void(BYTE*, DWORD, DWORD&)> tampering;
    DWORD protocol;
    std::wstring expected;
  } cases[] = {
      {set(offsetof(PortData1, dwVersion), 2), 1, invalid},
      {set(offsetof(PortData1, dwProtocol), 3), 1, invalid},
      {set(offsetof(PortData1, dwPortNumber), 0), 1, invalid},
      {set(offsetof(PortData1, dwPortNumber), 65536), 1, invalid},
      {set(offsetof(PortData1, dwPortNumber), 65535), 1, L"10.0.0.4:65535"},
      {fill(offsetof(PortData1, sztHostAddress), 49), 1, invalid},
      {fill(offsetof(PortData1, sztHostAddress), 48), 1, std::wstring(48, L'x') + L":9100"},
      {set(offsetof(PortData1, sztHostAddress), 0), 1, invalid},  // no host
      {nullptr, 2, L"10.0.0.8 (LPR)"},
      {fill(offsetof(PortData1, sztQueue), 33), 2, invalid},
      {[](BYTE*, DWORD, DWORD& written) { written = 100; }, 1, invalid},
      {[](BYTE*, DWORD size, DWORD& written) { written = size + 1; }, 1, invalid},
      {set(offsetof(PortData1, dwPortNumber), 515), 1, L"10.0.0.12:515"},  // before the refused
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const std::wstring host = L"10.0.0." + std::to_wstring(i);
    server.ports.push_back({L"IP_" + host, kTcpIp, host, cases[i].protocol});
    server.ports.back().tampering = cases[i].tampering;
    server.printers.push_back({L"P" + std::to_wstring(i), kContoso, L"IP_" + host});
  }
  server.ports.push_back({L"IP_refused", kTcpIp, L"10.0.1.1"});
  server.ports.back().xcvStatus = ERROR_ACCESS_DENIED;
  server.printers.push_back({L"Refused", kContoso, L"IP_refused"});
  server.printers.push_back({L"Unlisted", kContoso, L"IP_10.9.9.9"});
  auto rows = List();
  ASSERT_EQ(rows.size(), std::size(cases) + 2);
  for (size_t i = 0; i < std::size(cases); ++i) {
    const std::wstring& expected = cases[i].expected;
    const bool fails = expected[0] == L'!';
    EXPECT_EQ(fails ? L"!" + rows[i][kQueueColumnCount].substr(0, expected.size() - 1)
                    : rows[i][kQueueDeviceAddress],
              expected)
        << i;
    EXPECT_EQ(rows[i][kQueuePortKind] + L"|" + (fails ? rows[i][kQueueDeviceAddress] : L""),
              L"TCP/IP|");
  }
  EXPECT_EQ(rows[std::size(cases)][kQueueDeviceAddress] +
                rows[std::size(cases)][kQueueColumnCount].substr(0, 39),
            L"the device address could not be read: 5")
      << "no address of the port asked before";
  EXPECT_EQ(rows.back()[kQueuePortKind] + L"|" + rows.back()[kQueueColumnCount],
            L"IP_10.9.9.9|the port is not among the machine's ports");

  // A port list that cannot be read, or that does not hold its count: every
  // printer keeps its port's name as its kind, and the verdicts stand.
  server.portListError = ERROR_ACCESS_DENIED;
  rows = List();
  EXPECT_EQ(rows[0][kQueuePortKind] + L"|" + rows[0][kQueueProtectedPrint],
            L"IP_10.0.0.0|Removed: third-party driver");
  EXPECT_EQ(rows[0][kQueueColumnCount].substr(0, 30), L"the ports could not be read: 5");
  server.portListError = 0;
  server.portTampering.answer = [](BYTE*, DWORD, DWORD& returned) { returned = 100000; };
  EXPECT_EQ(List()[0][kQueueColumnCount].substr(0, 31), L"the ports could not be read: 13");
}

TEST(WineSpooler, APrinterOnLpt1IsLocal) {
  // Two sample drivers in Wine's own spooler, and a printer of the second on LPT1:.
  const HANDLE seeding = testing::StartProcess(L"\"" + testing::SeedExePath() + L"\" 2");
  ASSERT_NE(seeding, nullptr);
  ::WaitForSingleObject(seeding, 60000);
  ::CloseHandle(seeding);
  wchar_t name[] = L"Kestrun LPT1 Test", port[] = L"LPT1:", driver[] = L"Contoso LaserJet 4200 PS",
          processor[] = L"winprint",
          type[] = L"RAW";  // Wine's spooler opens no printer without one
  PRINTER_INFO_2W info = {.pPrinterName = name,
                          .pPortName = port,
                          .pDriverName = driver,
                          .pPrintProcessor = processor,
                          .pDatatype = type};
  const HANDLE added = ::AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&info));
  ASSERT_NE(added, nullptr) << ::GetLastError();
  DriverInventory inventory;
  ResetInventory(inventory);
  EXPECT_TRUE(EnumerateDrivers(inventory, L""));
  ReadQueues(inventory);
  ::DeletePrinter(added);
  ::ClosePrinter(added);
  const QueueTable table = DescribeQueues(inventory);
  const auto row = std::find_if(table.rows.begin(), table.rows.end(),
                                [&](const QueueRow& r) { return r.cells[kQueuePrinter] == name; });
  ASSERT_NE(row, table.rows.end());
  EXPECT_EQ(std::wstring(row->cells[kQueuePortKind]) + L"|" + std::wstring(row->cells[kQueuePort]) +
                L"|" + row->reason,
            L"Local|LPT1:|");
}

}  // namespace
}  // namespace kestrun

namespace kestrun {
namespace {

// /posture over a fleet whose registries cannot be read: a Remote Registry
// that does not answer (1722) or refuses (5), and reads that hang past the
// time limit. None is counted safe, and the run fails; a machine read gives
// its settings.
TEST(PostureRun, MachinesNotReadAreNeverSafeAndFailTheRun) {
  testing::FakeSpooler spooler;
  spooler.machines[L"\\\\RPCDOWN"].registryConnectError = RPC_S_SERVER_UNAVAILABLE;
  spooler.machines[L"\\\\REFUSES"].registryConnectError = ERROR_ACCESS_DENIED;
  spooler.machines[L"\\\\HANGS"].registryDelayMs = 1500;
  spooler.machines[L"\\\\READ"].registry
      [L"SYSTEM\\CurrentControlSet\\Control\\Print\\"
       L"RpcAuthnLevelPrivacyEnabled"] = {REG_DWORD, {1, 0, 0, 0}};
  spooler.Install();
  const std::wstring folder = testing::MakeScratchDirectory(L"posture-run");
  testing::WriteFileBytes(folder + L"\\machines.txt", "RPCDOWN\r\nREFUSES\r\nHANGS\r\nREAD\r\n");
  std::unique_ptr<CsvLog> log;
  const int code = RunCommandLineReport(
      L"/posture /timeout:1 \"@" + folder + L"\\machines.txt\" \"" + folder + L"\\p.csv\"", log);
  log.reset();
  {  // the read left behind ends before the fake goes
    const std::lock_guard<std::mutex> guard(spooler.lock);
    spooler.machines[L"\\\\HANGS"].registryDelayMs = 0;
  }
  ::Sleep(2000);
  testing::FakeSpooler::Uninstall();
  EXPECT_EQ(code, 1);
  const std::string bytes = testing::ReadFileBytes(folder + L"\\p.csv");
  EXPECT_NE(
      bytes.find(",RPCDOWN,RestrictDriverInstallationToAdministrators,,Not read,not read: 1722"),
      std::string::npos);
  EXPECT_NE(bytes.find(",REFUSES,DomainControllerSpooler,,Not read,not read: 5"),
            std::string::npos);
  EXPECT_EQ(bytes.find(",HANGS,"), std::string::npos) << "given up: no row";
  EXPECT_NE(bytes.find(",READ,RpcAuthnLevelPrivacyEnabled,1,Safe,RPC privacy on,"),
            std::string::npos);
}

}  // namespace
}  // namespace kestrun
