// Native drivers are those of the operating system's vendor or of the maker, and
// any driver dated 21 June 2006 (the date the system's own drivers carry).
#pragma once

#include <windows.h>
#include <winspool.h>

#include <vector>

#include "inventory/driver_inventory.h"

namespace kestrun {

// FILETIME high bits of the instants around midnight starting 21 June 2006.
constexpr DWORD kNativeDriverDateHigh = 0x01C694C5;

bool IsNonNativeDriver(const DRIVER_INFO_6& driver);

// Recounts the non-native drivers of an inventory and rebuilds their index list.
void ClassifyDrivers(DriverInventory& inventory);

// The drivers nothing uses: non-native, and no printer names a driver of
// their name. None while the printers could not be read (the caller says so).
bool IsUnusedNonNativeDriver(const DriverInventory& inventory, DWORD index);
std::vector<DWORD> UnusedNonNativeIndexes(const DriverInventory& inventory);
DWORD UnusedNonNativeCount(const DriverInventory& inventory);

}  // namespace kestrun
