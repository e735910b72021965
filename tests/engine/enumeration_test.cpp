#include <gtest/gtest.h>

#include "inventory/driver_inventory.h"
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
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0], L"EnumPrinterDrivers (null) all 6 0");
  EXPECT_EQ(calls[1].rfind(L"EnumPrinterDrivers (null) all 6 ", 0), 0u);

  // Every string points into the record's own buffer.
  const BYTE* begin = inventory.drivers.get();
  const BYTE* end = begin + testing::DriverBufferSize(testing::SampleDrivers());
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
    EXPECT_EQ(spooler.Calls()[0], L"EnumPrinterDrivers \\\\PRINTSRV all 6 0");
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
  EXPECT_EQ(spooler.Calls().size(), 1u);
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
  EXPECT_EQ(spooler.Calls().size(), 4u);  // only the first two enumerations' 
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
