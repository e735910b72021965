// The facts of each printer of a listing as the printers view, the "/queues"
// command and their CSV files show them: one table of columns, one row per
// printer. Kept free of window code so the report shares it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "inventory/driver_inventory.h"
#include "inventory/protected_print.h"

namespace kestrun {

// The columns, in their order. A second verdict ("Device", what the device
// itself answers) belongs right after "Protected Print".
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
  kQueueLocation,
  kQueueComment,
  kQueueColumnCount
};

extern const wchar_t* const kQueueColumnTitles[kQueueColumnCount];

struct QueueRow {
  std::wstring cells[kQueueColumnCount];
  PortKind portKind = PortKind::Unlisted;
  DriverOrigin origin = DriverOrigin::NotInstalled;
  ProtectedPrintVerdict verdict = ProtectedPrintVerdict::NotInstalled;
  DWORD driverType = 0;         // the driver row's cVersion, when there is a row
  ULONGLONG driverVersion = 0;  // and its dwlDriverVersion
  std::wstring reason;          // why a fact is missing; empty when none is
};

// One row per printer record of the listing, in the spooler's order (none
// when its printers were not read), with the port facts `ReadQueues` found.
// Throws std::bad_alloc when memory runs out.
std::vector<QueueRow> DescribeQueues(const DriverInventory& inventory);

// How many of the rows get each verdict.
VerdictCounts CountVerdicts(const std::vector<QueueRow>& rows);

}  // namespace kestrun
