// The facts of each printer of a listing as the printers view, the "/queues"
// command and their CSV files show them: one table of columns, one row per
// printer. Kept free of window code so the report shares it.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "inventory/driver_inventory.h"
#include "inventory/printers.h"
#include "inventory/protected_print.h"

namespace kestrun {

// The columns, in their order. "Device" and "Device Model" are what the
// printer's device itself answers, once a probe has asked it.
enum QueueColumn : int {
  kQueuePrinter,
  kQueueShareName,
  kQueuePort,
  kQueuePortKind,
  kQueueDeviceAddress,
  kQueueDriver,
  kQueueDriverOrigin,
  kQueueDriverType,
  kQueuePackageAware,
  kQueueDriverVersion,
  kQueueProtectedPrint,
  kQueueDevice,
  kQueueDeviceModel,
  kQueueLocation,
  kQueueComment,
  kQueueColumnCount
};

extern const wchar_t* const kQueueColumnTitles[kQueueColumnCount];

using QueueCells = std::wstring_view[kQueueColumnCount];

struct QueueRow {
  QueueCells cells;  // inside the inventory and the table
  PortKind portKind = PortKind::Unlisted;
  DriverOrigin origin = DriverOrigin::NotInstalled;
  ProtectedPrintVerdict verdict = ProtectedPrintVerdict::NotInstalled;
  DWORD driverType = 0;         // the driver row's cVersion, when there is a row
  ULONGLONG driverVersion = 0;  // and its dwlDriverVersion
  std::wstring reason;          // why a fact is missing; empty when none is
};

// "Device" until a probe has asked the printer's device.
constexpr wchar_t kDeviceNotAsked[] = L"Not probed: not asked";

// What a row shows of its driver: the same for every printer of a driver
// name, so worked out once per name.
struct QueueDriverTexts {
  DWORD index = 0;  // the driver row's, or the inventory's driver count when there is none
  std::wstring type;
  std::wstring packageAware;
  std::wstring version;
  DriverOrigin origin = DriverOrigin::NotInstalled;  // the same for every printer of the driver
  ProtectedPrintVerdict verdict = ProtectedPrintVerdict::NotInstalled;
};

// One row per printer record of a listing, in the spooler's order (none when
// its printers were not read), with the port facts `ReadQueues` found. Its
// texts lie inside the inventory, its port facts and itself: it is read
// while the inventory lives. Nothing is copied per printer, so a server of
// thousands of printers costs little memory.
struct QueueTable {
  std::vector<QueueRow> rows;
  std::shared_ptr<const QueueListing> listing;
  std::unordered_map<std::wstring_view, QueueDriverTexts> drivers;  // by the printers' own names
};

// Throws std::bad_alloc when memory runs out.
QueueTable DescribeQueues(const DriverInventory& inventory);

// How many of the rows get each verdict.
VerdictCounts CountVerdicts(const std::vector<QueueRow>& rows);

}  // namespace kestrun
