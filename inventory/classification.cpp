#include "inventory/classification.h"

#include <new>

#include "inventory/field_text.h"

namespace kestrun {

namespace {

// True when text begins with prefix, A to Z folded; a shorter text never matches.
bool StartsWithFolded(const wchar_t* text, const wchar_t* prefix) {
  for (; *prefix != L'\0'; ++text, ++prefix) {
    if (*text == L'\0' || FoldAsciiLetter(*text) != FoldAsciiLetter(*prefix)) return false;
  }
  return true;
}

}  // namespace

bool IsNonNativeDriver(const DRIVER_INFO_6& driver) {
  if (driver.pszProvider == nullptr) return true;
  if (StartsWithFolded(driver.pszProvider, L"Microsoft")) return false;
  if (StartsWithFolded(driver.pszProvider, L"Norvex")) return false;
  if (driver.ftDriverDate.dwHighDateTime == kNativeDriverDateHigh) return false;
  return true;
}

void ClassifyDrivers(DriverInventory& inventory) {
  const DRIVER_INFO_6* drivers = inventory.Drivers();
  if (drivers == nullptr) inventory.driverCount = 0;

  inventory.nonNativeCount = 0;
  for (DWORD i = 0; i < inventory.driverCount; ++i) {
    if (IsNonNativeDriver(drivers[i])) ++inventory.nonNativeCount;
  }

  inventory.nonNativeIndexes.reset();
  std::unique_ptr<DWORD[]> indexes(new (std::nothrow) DWORD[inventory.nonNativeCount]);
  if (!indexes) return;

  DWORD next = 0;
  for (DWORD i = 0; i < inventory.driverCount; ++i) {
    // NOLINTNEXTLINE(clang-analyzer-cplusplus.NewDelete): this pass finds what the first counted
    if (IsNonNativeDriver(drivers[i])) indexes[next++] = i;
  }
  inventory.nonNativeIndexes = std::move(indexes);
}

bool IsUnusedNonNativeDriver(const DriverInventory& inventory, DWORD index) {
  return inventory.printerUse && index < inventory.driverCount &&
         inventory.printerUse[index] == 0 && IsNonNativeDriver(inventory.Drivers()[index]);
}

std::vector<DWORD> UnusedNonNativeIndexes(const DriverInventory& inventory) {
  std::vector<DWORD> indexes;
  for (DWORD i = 0; i < inventory.driverCount; ++i) {
    if (IsUnusedNonNativeDriver(inventory, i)) indexes.push_back(i);
  }
  return indexes;
}

DWORD UnusedNonNativeCount(const DriverInventory& inventory) {
  DWORD count = 0;
  for (DWORD i = 0; i < inventory.driverCount; ++i) {
    if (IsUnusedNonNativeDriver(inventory, i)) ++count;
  }
  return count;
}

}  // namespace kestrun
