#include <gtest/gtest.h>

#include "inventory/classification.h"
#include "inventory/protected_print.h"
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

// The protected-print verdict rests on what a vendor package cannot copy:
// the provider exactly Microsoft, Windows' own INF, Type 4, the class flag.
TEST(Classification, ProtectedPrintVerdictsTellWindowsOwnDriversFromSpoofs) {
  const std::wstring store = L"C:\\Windows\\System32\\DriverStore\\FileRepository\\";
  const std::wstring prnms = store + L"prnms017.inf_x\\prnms017.inf";
  const wchar_t *out = L"Removed: third-party driver", *inbox = L"Inbox driver: not documented",
                *works = L"Works: inbox IPP class driver", *ipp = L"Microsoft IPP Class Driver";
  const struct {
    const wchar_t *name, *provider;
    DWORD type;
    std::wstring inf;  // empty: none named
    DWORD attributes;
    bool level8;
    const wchar_t* verdict;
  } cases[] = {
      {L"Norvex Universal PCL6", L"Norvex", 3, L"", 0, true, out},
      {L"Send to Microsoft OneNote 16 Driver", L"Microsoft", 3, store + L"x\\msonpppr.inf", 0, 1,
       out},
      {ipp, L"Acme", 3, L"", 0, false, out},
      {L"microsoft ipp class driver", L"Microsoft Corporation (spoof)", 4, L"", 8, true, out},
      {ipp, L"Microsoft", 4, store + L"oem12.inf_x\\oem12.inf", 8, true, out},
      {ipp, L"Microsoft", 3, prnms, 8, true,
       L"Removed: Windows' legacy driver, not the modern print stack"},
      {ipp, L"microsoft", 4, store + L"prnms017.inf_x\\PRNMS017.INF", 0, true, inbox},
      {L"microsoft ipp class driver", L"Microsoft", 4, prnms, 8, true, works},
      {L"Universal Print Class Driver", L"Microsoft", 4, L"", 0, false, works},
      {L"Microsoft Universal Print Class Driver", L"Microsoft", 4, prnms, 8, true, inbox},
      {L"Microsoft Print To PDF", L"Microsoft", 4, L"C:\\Windows\\INF\\ntprint4.inf", 0, 1, inbox},
      {ipp, L"Microsoft", 4, L"", 8, true, L"Removed: third-party driver (no Windows package)"},
      {L"Microsoft PCL6 Class Driver", L"Microsoft", 3, prnms, 0, true,
       L"Removed: Windows' legacy driver, not the modern print stack"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::wstring(c.name) + L" / " + c.provider + L" / " + c.inf);
    DRIVER_INFO_6 row = Driver(c.provider, 0x01C69000);  // 21 June 2006 counts for nothing here
    row.pName = const_cast<wchar_t*>(c.name);
    row.cVersion = c.type;
    const DriverPackageFields package{c.inf.empty() ? nullptr : c.inf.c_str(), c.attributes};
    const DriverPackageFields* fields = c.level8 ? &package : nullptr;
    EXPECT_EQ(std::wstring(VerdictText(VerdictOf(&row, fields))), c.verdict);
    // Inbox unless the verdict is a third-party one; unconfirmed without level 8.
    const bool thirdParty = std::wstring(c.verdict).rfind(out, 0) == 0;
    EXPECT_EQ(std::wstring(DriverOriginText(OriginOfDriver(&row, fields))),
              thirdParty ? L"Third-party"
              : c.level8 ? L"Inbox"
                         : L"Inbox (unconfirmed)");
  }
  EXPECT_EQ(VerdictOf(nullptr, nullptr), ProtectedPrintVerdict::NotInstalled);
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
