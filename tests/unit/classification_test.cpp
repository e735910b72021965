#include <gtest/gtest.h>

#include "inventory/classification.h"
#include "tests/support/fake_spooler.h"

namespace kestrun {
namespace {

DRIVER_INFO_6 Driver(const wchar_t* provider, DWORD dateHigh = 0x01D00000) {
  DRIVER_INFO_6 driver = {};
  driver.pszProvider = const_cast<wchar_t*>(provider);
  driver.ftDriverDate.dwHighDateTime = dateHigh;
  return driver;
}

TEST(Classification, ProvidersAndDatesDecideNativeness) {
  const struct {
    const wchar_t* provider;
    DWORD dateHigh;
    bool nonNative;
  } cases[] = {
      {nullptr, 0x01D00000, true},
      {nullptr, kNativeDriverDateHigh, true},  // no provider: the date does not help
      {L"Microsoft", 0x01D00000, false},
      {L"microsoft corporation", 0x01D00000, false},
      {L"MICROSOFT", 0x01D00000, false},
      {L"MiCrOsOfTx", 0x01D00000, false},
      {L"Microsof", 0x01D00000, true},  // ends within the prefix
      {L"Micro", kNativeDriverDateHigh, false},
      {L" Microsoft", 0x01D00000, true},
      {L"Norvex", 0x01D00000, false},
      {L"NORVEX Systems", 0x01D00000, false},
      {L"norve", 0x01D00000, true},
      {L"Contoso", 0x01D00000, true},
      {L"Contoso", kNativeDriverDateHigh, false},
      {L"Contoso", kNativeDriverDateHigh - 1, true},  // a day earlier
      {L"Contoso", kNativeDriverDateHigh + 1, true},
      {L"", 0x01D00000, true},
      {L"", kNativeDriverDateHigh, false},
      {L"\u039cicrosoft", 0x01D00000, true},  // a Greek capital is not folded
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.provider ? std::wstring(c.provider) : std::wstring(L"(absent)"));
    EXPECT_EQ(IsNonNativeDriver(Driver(c.provider, c.dateHigh)), c.nonNative);
  }
}

TEST(Classification, CountsAndIndexesTheNonNativeDrivers) {
  DriverInventory inventory;
  ResetInventory(inventory);
  ClassifyDrivers(inventory);
  EXPECT_EQ(inventory.nonNativeCount, 0u);

  const auto drivers = testing::SampleDrivers();  // native, native, other, no provider, other
  inventory.drivers.reset(new BYTE[testing::DriverBufferSize(drivers)]);
  testing::PackDrivers(drivers, inventory.drivers.get());
  inventory.driverCount = static_cast<DWORD>(drivers.size());
  for (int pass = 0; pass < 2; ++pass) {  // repeated runs give the same result
    ClassifyDrivers(inventory);
    ASSERT_EQ(inventory.nonNativeCount, 3u);
    ASSERT_NE(inventory.nonNativeIndexes, nullptr);
    EXPECT_EQ(inventory.nonNativeIndexes[0], 2u);
    EXPECT_EQ(inventory.nonNativeIndexes[1], 3u);
    EXPECT_EQ(inventory.nonNativeIndexes[2], 4u);
  }
}

}  // namespace
}  // namespace kestrun
