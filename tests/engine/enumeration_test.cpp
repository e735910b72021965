#include <gtest/gtest.h>

#include "inventory/classification.h"
#include "inventory/driver_inventory.h"
#include "inventory/field_text.h"
#include "tests/support/fake_spooler.h"

namespace kestrun {
namespace {

using testing::FakeSpooler;

class Enumeration : public ::testing::Test {
 protected:
  void SetUp() override {
    spooler.machines[L""].drivers = testing::SampleDrivers();
    spooler.machines[L"\\\\PRINTSRV"].drivers = testing::GeneratedDrivers(3);
    spooler.Install();
    ResetInventory(inventory);
  }
  void TearDown() override { FakeSpooler::Uninstall(); }

  FakeSpooler spooler;
  DriverInventory inventory;
};

TEST_F(Enumeration, LocalMachineUsesTheNullServerAndTwoCalls) {
  ASSERT_TRUE(EnumerateDrivers(inventory, L""));
  EXPECT_STREQ(inventory.targetName, L"\\\\");
  EXPECT_FALSE(inventory.isRemote);
  ASSERT_EQ(inventory.driverCount, 5u);
  EXPECT_EQ(inventory.lastError, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  const auto calls = spooler.Calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0], L"EnumPrinterDrivers (null) all 8 0");
  EXPECT_EQ(calls[1].rfind(L"EnumPrinterDrivers (null) all 8 ", 0), 0u);
  EXPECT_EQ(calls[2], L"EnumPrinters flags=6 (null) 2 0");  // its own and the connections

  // Every string points into the record's own buffer.
  const BYTE* begin = inventory.drivers.get();
  const BYTE* end = begin + testing::DriverBufferSize8(testing::SampleDrivers());
  const DRIVER_INFO_6* drivers = inventory.Drivers();
  EXPECT_STREQ(drivers[0].pName, L"Microsoft XPS Document Writer v4");
  EXPECT_STREQ(drivers[3].pName, L"Generic / Text Only");
  EXPECT_EQ(drivers[3].pszProvider, nullptr);
  for (DWORD i = 0; i < inventory.driverCount; ++i) {
    const auto* name = reinterpret_cast<const BYTE*>(drivers[i].pName);
    EXPECT_TRUE(name >= begin && name < end);
  }
}

TEST_F(Enumeration, NamedMachineGetsTwoBackslashesHoweverItWasTyped) {
  for (const wchar_t* typed : {L"PRINTSRV", L"\\\\PRINTSRV", L"\\\\\\\\PRINTSRV", L"\\PRINTSRV"}) {
    SCOPED_TRACE(::testing::Message() << std::wstring(typed));
    spooler.calls.clear();
    DriverInventory named;
    ResetInventory(named);
    ASSERT_TRUE(EnumerateDrivers(named, typed));
    EXPECT_STREQ(named.targetName, L"\\\\PRINTSRV");
    EXPECT_TRUE(named.isRemote);
    EXPECT_EQ(named.driverCount, 3u);
    EXPECT_EQ(spooler.Calls()[0], L"EnumPrinterDrivers \\\\PRINTSRV all 8 0");
  }

  // Backslashes alone name no machine.
  DriverInventory slashes;
  ResetInventory(slashes);
  EXPECT_FALSE(EnumerateDrivers(slashes, L"\\\\"));
  EXPECT_EQ(slashes.lastError, static_cast<DWORD>(ERROR_INVALID_NAME));
  EXPECT_FALSE(slashes.isRemote);
}

TEST_F(Enumeration, NoDriversSucceedsOnTheFirstCall) {
  spooler.machines[L"\\\\EMPTY"] = {};
  ASSERT_TRUE(EnumerateDrivers(inventory, L"EMPTY"));
  EXPECT_EQ(inventory.driverCount, 0u);
  EXPECT_EQ(inventory.drivers, nullptr);
  EXPECT_EQ(inventory.lastError, 0u);
  EXPECT_EQ(spooler.Calls().size(), 2u);  // the drivers, then the printers
}

TEST_F(Enumeration, FailuresKeepTheirCodeAndLeaveNoRecordsToRead) {
  spooler.machines[L"\\\\DENIED"].firstCallError = ERROR_ACCESS_DENIED;
  ASSERT_FALSE(EnumerateDrivers(inventory, L"DENIED"));
  EXPECT_EQ(inventory.lastError, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(inventory.driverCount, 0u);
  EXPECT_EQ(inventory.drivers, nullptr);
  EXPECT_EQ(spooler.Calls().size(), 1u);

  spooler.machines[L"\\\\FLAKY"].drivers = testing::GeneratedDrivers(2);
  spooler.machines[L"\\\\FLAKY"].secondCallError = RPC_S_CALL_FAILED;
  DriverInventory flaky;
  ResetInventory(flaky);
  ASSERT_FALSE(EnumerateDrivers(flaky, L"FLAKY"));
  EXPECT_EQ(flaky.lastError, static_cast<DWORD>(RPC_S_CALL_FAILED));
  EXPECT_EQ(flaky.driverCount, 0u);
  EXPECT_NE(flaky.drivers, nullptr);  // the buffer stays with the record
}

TEST_F(Enumeration, NamesLongerThanTheServerNameAreRefusedWithoutACall) {
  const std::wstring longest(kMaxTargetMachineName, L'M');
  spooler.machines[L"\\\\" + longest].drivers = testing::GeneratedDrivers(1);
  ASSERT_TRUE(EnumerateDrivers(inventory, longest));
  EXPECT_EQ(std::wstring(inventory.targetName), L"\\\\" + longest);

  // The backslashes an admin types in front do not count against the limit.
  DriverInventory typedAsUnc;
  ResetInventory(typedAsUnc);
  ASSERT_TRUE(EnumerateDrivers(typedAsUnc, L"\\\\" + longest));
  EXPECT_EQ(std::wstring(typedAsUnc.targetName), L"\\\\" + longest);

  DriverInventory tooLong;
  ResetInventory(tooLong);
  EXPECT_FALSE(EnumerateDrivers(tooLong, longest + L"M"));
  EXPECT_EQ(tooLong.lastError, static_cast<DWORD>(ERROR_INVALID_NAME));
  EXPECT_STREQ(tooLong.targetName, L"\\\\");
  EXPECT_EQ(spooler.Calls().size(), 6u);  // only the first two enumerations'
}

TEST_F(Enumeration, PrintersCountByNameWhateverItsCaseInEveryEnvironmentAndUnusedNeedsThemRead) {
  const std::wstring contoso = L"Contoso LaserJet 4200 PCL6";
  testing::FakeMachine& local = spooler.machines[L""];
  testing::FakeDriver x86 = testing::RichDriver(contoso, L"Contoso, Ltd.");
  x86.environment = L"Windows NT x86";  // handed to 32-bit clients by the same printers
  x86.type = 4;
  x86.attributes = 1;
  x86.infPath = L"C:\\Windows\\System32\\DriverStore\\FileRepository\\prnhp001.inf";
  local.drivers.push_back(x86);
  local.printers = {{L"A", contoso}, {L"B", contoso}, {L"C", L"contoso laserjet 4200 pcl6"}};
  // A connection runs a local copy of its server's driver.
  local.connections = {{L"\\\\OTHER\\Desk", L"Fabrikam Imagewriter \u00c9lite \u4e2d"}};
  const auto factsOf = [](const DriverInventory& listed, DWORD index) {
    DriverFacts facts;
    DescribeDriver(listed, index, DateForm::Iso, facts);
    return facts.printers + L"|" + facts.type + L"|" + facts.packageAware + L"|" + facts.package;
  };

  ASSERT_TRUE(EnumerateDrivers(inventory, L""));
  // Microsoft, Norvex, Contoso, Generic, Fabrikam, Contoso x86: names match as
  // the spooler matches them, letter case ignored.
  const DWORD expected[] = {0, 0, 3, 0, 1, 3};
  for (DWORD i = 0; i < 6; ++i) EXPECT_EQ(inventory.printerUse[i], expected[i]) << i;
  EXPECT_EQ(UnusedNonNativeIndexes(inventory), std::vector<DWORD>{3});  // Generic / Text Only
  EXPECT_EQ(factsOf(inventory, 5), L"3|Type 4 - User Mode|Yes|prnhp001.inf");

  // Printers that cannot be read leave the drivers listed, every count unknown.
  local.printerListError = ERROR_ACCESS_DENIED;
  local.packageListError = ERROR_INVALID_LEVEL;  // an older server: level 6, no package facts
  DriverInventory denied;
  ResetInventory(denied);
  ASSERT_TRUE(EnumerateDrivers(denied, L""));
  EXPECT_EQ(denied.printerError, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(UnusedNonNativeCount(denied), 0u);
  EXPECT_EQ(factsOf(denied, 5), L"|Type 4 - User Mode||");
}

TEST_F(Enumeration, ReleaseAndResetLeaveTheEmptyState) {
  ASSERT_TRUE(EnumerateDrivers(inventory, L"PRINTSRV"));
  inventory.lastError = 5;
  ResetInventory(inventory);
  EXPECT_STREQ(inventory.targetName, L"\\\\");
  EXPECT_EQ(inventory.driverCount, 0u);
  EXPECT_EQ(inventory.drivers, nullptr);
  EXPECT_FALSE(inventory.isRemote);
  EXPECT_EQ(inventory.lastError, 0u);

  MakeCurrentInventory(CreateInventory());
  ASSERT_NE(currentInventory, nullptr);
  EXPECT_TRUE(EnumerateDrivers(*currentInventory, L""));
  ReleaseInventory();
  EXPECT_EQ(currentInventory, nullptr);
  ReleaseInventory();  // releasing nothing is harmless
}

}  // namespace
}  // namespace kestrun
