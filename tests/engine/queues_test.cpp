// The printers behind the drivers: port kinds, device addresses and verdicts
// from the fake spooler, the port answers that cannot be read, and printers
// on Wine's own spooler.
#include <gtest/gtest.h>

#include <windows.h>
#include <winspool.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <functional>
#include <string>

#include "inventory/driver_inventory.h"
#include "inventory/printers.h"
#include "inventory/queue_rows.h"
#include "tests/support/fake_spooler.h"
#include "tests/support/test_paths.h"

namespace kestrun {
namespace {

using testing::FakePort;
using testing::FakePrinter;
using testing::FakeSpooler;

const std::wstring kContoso = L"Contoso LaserJet 4200 PCL6";

class Queues : public ::testing::Test {
 protected:
  void SetUp() override {
    server.drivers = testing::SampleDrivers();  // Fabrikam's is an x86 driver only
    server.drivers.push_back(testing::RichDriver(L"Microsoft IPP Class Driver", L"Microsoft"));
    server.drivers.push_back(
        testing::RichDriver(L"Microsoft Universal Print Class Driver", L"Microsoft"));
    spooler.Install();
  }
  void TearDown() override { FakeSpooler::Uninstall(); }

  // The rows' cells, owned, and their reasons.
  struct Row {
    std::wstring cells[kQueueColumnCount];
    std::wstring reason;
  };
  std::vector<Row> List() {
    DriverInventory inventory;
    ResetInventory(inventory);
    EXPECT_TRUE(EnumerateDrivers(inventory, L"SRV"));
    ReadQueues(inventory);
    EXPECT_EQ(spooler.OpenPrinterCount(), 0u) << "every port handle is closed";
    const QueueTable table = DescribeQueues(inventory);
    counts = CountVerdicts(table.rows);
    std::vector<Row> rows(table.rows.size());
    for (size_t r = 0; r < rows.size(); ++r) {
      for (int c = 0; c < kQueueColumnCount; ++c) rows[r].cells[c] = table.rows[r].cells[c];
      rows[r].reason = table.rows[r].reason;
    }
    return rows;
  }

  VerdictCounts counts;

  FakeSpooler spooler;
  testing::FakeMachine& server = spooler.machines[L"\\\\SRV"];
};

TEST_F(Queues, PortKindsAndVerdicts) {
  const FakePort lpr{L"IP_lpr", L"Standard TCP/IP Port", L"lpr.contoso.com", 2, 515, L"PASSTHRU"};
  server.ports = {{L"IP_10.1.2.3", L"Standard TCP/IP Port", L"10.1.2.3"},
                  lpr,
                  {L"WSD-1234", L"WSD Port"},
                  {L"LPT1:", L"Local Port"},
                  {L"COM1:", L"Local Monitor"},  // as Wine names the local monitor
                  {L"SHRFAX:", L"Microsoft Shared Fax Monitor"}};
  const std::wstring removed = L" | Third-party | Removed: third-party driver";
  const std::wstring inbox = L" | Inbox | Inbox driver";
  const std::wstring works = L" | Inbox | Works: inbox IPP class driver";
  const std::wstring missing = L" | Not installed | Unknown: driver not installed";
  struct Case {
    FakePrinter printer;
    std::wstring expected;  // kind | address | origin | verdict
  } cases[] = {
      {{L"HR Laser", kContoso, L"IP_10.1.2.3"}, L"TCP/IP | 10.1.2.3:9100" + removed},
      {{L"Mail", L"CONTOSO LASERJET 4200 PCL6", L"ip_LPR"},
       L"TCP/IP | lpr.contoso.com (LPR PASSTHRU)" + removed},
      {{L"Lobby", L"Microsoft IPP Class Driver", L"WSD-1234"}, L"WSD | " + works},
      {{L"Cloud", L"Microsoft Universal Print Class Driver", L"https://print.contoso.com/c"},
       L"IPP | https://print.contoso.com/c" + works},
      {{L"Front Desk", L"Norvex Universal Print Class Driver", L"LPT1:,COM1:"},
       L"Local | " + inbox},
      // No provider: non-native, whatever its date.
      {{L"Terminal", L"Generic / Text Only", L"COM1:"}, L"Local | " + removed},
      {{L"Fax", L"Microsoft XPS Document Writer v4", L"SHRFAX:"},
       L"Microsoft Shared Fax Monitor | " + inbox},
      // Installed for 32-bit clients only: not in the server's own environment.
      {{L"Label", L"Fabrikam Imagewriter \u00c9lite \u4e2d", L"LPT1:"}, L"Local | " + missing},
      {{L"Gone", L"Vanished Driver", L"IP_10.1.2.3"}, L"TCP/IP | 10.1.2.3:9100" + missing},
      {{L"\\\\OTHER\\Shared", kContoso, L"IP_10.1.2.3"}, L"Connection | " + removed},
  };
  for (const Case& c : cases) server.printers.push_back(c.printer);
  server.printers[0].shareName = L"HRLaser";
  server.printers[0].location = L"Building 1, floor 2";
  server.printers[1].comment = L"=cmd";
  const auto rows = List();
  ASSERT_EQ(rows.size(), std::size(cases));
  for (size_t i = 0; i < rows.size(); ++i) {
    const std::wstring* cells = rows[i].cells;
    EXPECT_EQ(cells[kQueuePortKind] + L" | " + cells[kQueueDeviceAddress] + L" | " +
                  cells[kQueueDriverOrigin] + L" | " + cells[kQueueProtectedPrint],
              cases[i].expected);
    EXPECT_EQ(rows[i].reason, L"");
  }
  EXPECT_EQ(rows[0].cells[kQueuePrinter], L"\\\\SRV\\HR Laser");
  EXPECT_EQ(rows[0].cells[kQueueShareName], L"HRLaser");
  EXPECT_EQ(rows[0].cells[kQueueLocation], L"Building 1, floor 2");
  EXPECT_EQ(rows[0].cells[kQueueDriverType], L"Type 3 - User Mode");
  EXPECT_EQ(rows[1].cells[kQueueComment], L"=cmd");
  EXPECT_EQ(rows[4].cells[kQueuePort], L"LPT1:,COM1:");  // pooled: described by its first
  EXPECT_EQ(VerdictCountsText(counts),
            L"Printers: 10. Third-party driver: 4. Inbox IPP class driver: 2. Inbox: 2. Driver "
            L"not installed: 2.");
  // One question per TCP/IP port, with no more access than reading needs.
  EXPECT_EQ(spooler.CallsStartingWith(L"XcvData ,XcvPort IP_10.1.2.3 GetConfigInfo").size(), 1u);
  EXPECT_EQ(
      spooler.CallsStartingWith(L"OpenPrinter \\\\SRV\\,XcvPort IP_10.1.2.3 access=2 ").size(), 1u);
}

// Each case: a TCP/IP port whose monitor answers badly, one printer on it.
TEST_F(Queues, PortAnswersThatCannotBeReadLeaveTheAddressEmptyWithTheReason) {
  const std::wstring invalid = L"the port monitor's answer about the device could not be read";
  const auto set = [](size_t offset, DWORD value) {
    return [=](BYTE* answer, DWORD, DWORD&) { std::memcpy(answer + offset, &value, 4); };
  };
  const auto fill = [](size_t offset, size_t chars) {
    return [=](BYTE* answer, DWORD, DWORD&) {
      std::wmemset(reinterpret_cast<wchar_t*>(answer + offset), L'x', chars);
    };
  };
  struct Case {
    std::wstring host;
    std::function<void(BYTE*, DWORD, DWORD&)> tampering;
    std::wstring address, reason;
    DWORD status = 0;
    DWORD protocol = 1;
  } cases[] = {
      {L"10.0.0.1", set(offsetof(PortData1, dwVersion), 2), L"", invalid},
      {L"10.0.0.2", set(offsetof(PortData1, dwProtocol), 3), L"", invalid},
      {L"10.0.0.3", set(offsetof(PortData1, dwPortNumber), 0), L"", invalid},
      {L"10.0.0.4", set(offsetof(PortData1, dwPortNumber), 65536), L"", invalid},
      {L"10.0.0.5", set(offsetof(PortData1, dwPortNumber), 65535), L"10.0.0.5:65535", L""},
      {L"10.0.0.6", fill(offsetof(PortData1, sztHostAddress), 49), L"", invalid},
      {L"10.0.0.7", fill(offsetof(PortData1, sztHostAddress), 48),
       std::wstring(48, L'x') + L":9100", L""},
      {L"10.0.0.8", set(offsetof(PortData1, sztHostAddress), 0), L"", invalid},  // empty host
      {L"10.0.0.9", fill(offsetof(PortData1, sztQueue), 33), L"", invalid, 0, 2},
      {L"10.0.0.10", [](BYTE*, DWORD, DWORD& written) { written = 100; }, L"", invalid},
      {L"10.0.0.11", [](BYTE*, DWORD size, DWORD& written) { written = size + 1; }, L"", invalid},
      {L"10.0.0.12", nullptr, L"", L"the device address could not be read: 5", ERROR_ACCESS_DENIED},
      {L"10.0.0.13", nullptr, L"10.0.0.13 (LPR)", L"", 0, 2},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    FakePort port{L"IP_" + cases[i].host, L"Standard TCP/IP Port", cases[i].host,
                  cases[i].protocol};
    port.tampering = cases[i].tampering;
    port.xcvStatus = cases[i].status;
    server.ports.push_back(port);
    server.printers.push_back({L"P" + std::to_wstring(i), kContoso, port.name});
  }
  server.printers.push_back({L"Unlisted", kContoso, L"IP_10.9.9.9"});
  auto rows = List();
  ASSERT_EQ(rows.size(), std::size(cases) + 1);
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].host);
    EXPECT_EQ(rows[i].cells[kQueuePortKind], L"TCP/IP");
    EXPECT_EQ(rows[i].cells[kQueueDeviceAddress], cases[i].address);
    EXPECT_EQ(rows[i].reason.substr(0, cases[i].reason.size()), cases[i].reason);
    EXPECT_EQ(rows[i].reason.empty(), cases[i].reason.empty());
  }
  EXPECT_EQ(rows.back().cells[kQueuePortKind], L"IP_10.9.9.9");
  EXPECT_EQ(rows.back().reason, L"the port is not among the machine's ports");

  // A port list that cannot be read, or that does not hold its count: every
  // printer keeps its port's name as its kind, and the verdicts stand.
  server.portListError = ERROR_ACCESS_DENIED;
  rows = List();
  EXPECT_EQ(rows[0].cells[kQueuePortKind], L"IP_10.0.0.1");
  EXPECT_EQ(rows[0].reason.substr(0, 31), L"the ports could not be read: 5");
  EXPECT_EQ(rows[0].cells[kQueueProtectedPrint], L"Removed: third-party driver");
  server.portListError = 0;
  server.portTampering.answer = [](BYTE*, DWORD, DWORD& returned) { returned = 100000; };
  rows = List();
  EXPECT_EQ(rows[0].reason.substr(0, 31), L"the ports could not be read: 13");
  EXPECT_EQ(spooler.BadPrinterCloses(), 0);
}

TEST(WineSpooler, APrinterOnLpt1IsLocal) {
  // One sample driver in Wine's own spooler, and a printer of it on LPT1:.
  HANDLE seeding = nullptr;
  STARTUPINFOW startup = {sizeof(startup)};
  PROCESS_INFORMATION process = {};
  std::wstring command = L"\"" + testing::SeedExePath() + L"\" 2";
  ASSERT_TRUE(::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &process));
  seeding = process.hProcess;
  ::WaitForSingleObject(seeding, 60000);
  ::CloseHandle(process.hThread);
  ::CloseHandle(seeding);
  std::wstring name = L"Kestrun LPT1 Test", driver = L"Contoso LaserJet 4200 PS", port = L"LPT1:",
               processor = L"winprint", datatype = L"RAW";
  PRINTER_INFO_2W info = {};
  info.pPrinterName = name.data();
  info.pDriverName = driver.data();
  info.pPortName = port.data();
  info.pPrintProcessor = processor.data();
  info.pDatatype = datatype.data();
  HANDLE added = ::AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&info));
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
  EXPECT_EQ(row->cells[kQueuePortKind], L"Local");
  EXPECT_EQ(row->cells[kQueuePort], L"LPT1:");
  EXPECT_EQ(row->reason, L"");
  EXPECT_EQ(row->cells[kQueueDriverOrigin], L"Third-party");
}

}  // namespace
}  // namespace kestrun
