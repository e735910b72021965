#include "inventory/queue_rows.h"

#include "inventory/field_text.h"
#include "inventory/printers.h"

namespace kestrun {

const wchar_t* const kQueueColumnTitles[kQueueColumnCount] = {
    L"Printer",         L"Share Name",    L"Port",        L"Port Kind",     L"Device Address",
    L"Driver",          L"Driver Origin", L"Driver Type", L"Package-Aware", L"Driver Version",
    L"Protected Print", L"Location",      L"Comment",
};

std::vector<QueueRow> DescribeQueues(const DriverInventory& inventory) {
  std::vector<QueueRow> rows;
  const PRINTER_INFO_2W* printers = inventory.Printers();
  if (printers == nullptr) return rows;
  const QueueListing* listing = inventory.queues.get();
  const DriverRows driverRows(inventory.Drivers(), inventory.driverCount,
                              listing ? listing->environment : std::wstring());
  const QueueFacts none;
  DriverFacts facts;
  rows.resize(inventory.printerCount);
  for (DWORD p = 0; p < inventory.printerCount; ++p) {
    const PRINTER_INFO_2W& printer = printers[p];
    const QueueFacts& port = listing && p < listing->queues.size() ? listing->queues[p] : none;
    QueueRow& row = rows[p];
    const std::wstring_view portName = FieldOrEmpty(printer.pPortName);
    const std::wstring_view firstPort = portName.substr(0, portName.find(L','));
    const bool connection = IsPrinterConnection(printer, inventory.isRemote);
    row.portKind = KindOfPort(firstPort, port.monitor, port.portListed, connection);
    const std::wstring_view driverName = FieldOrEmpty(printer.pDriverName);
    const DWORD driverIndex = driverRows.IndexOf(driverName);
    const DRIVER_INFO_6* driver = driverRows.Find(driverName);
    row.origin = OriginOfDriver(driver);
    row.verdict = VerdictOf(driverName, row.origin);
    row.reason = QueueReasonText(port);

    std::wstring* cells = row.cells;
    cells[kQueuePrinter] = FieldOrEmpty(printer.pPrinterName);
    if ((printer.Attributes & PRINTER_ATTRIBUTE_SHARED) != 0) {
      cells[kQueueShareName] = FieldOrEmpty(printer.pShareName);
    }
    cells[kQueuePort] = portName;
    cells[kQueuePortKind] = PortKindText(row.portKind, port.monitor, firstPort);
    if (row.portKind == PortKind::TcpIp) cells[kQueueDeviceAddress] = port.deviceAddress;
    if (row.portKind == PortKind::Ipp) cells[kQueueDeviceAddress] = firstPort;
    cells[kQueueDriver] = driverName;
    cells[kQueueDriverOrigin] = DriverOriginText(row.origin);
    if (driver != nullptr) {
      DescribeDriver(inventory, driverIndex, DateForm::Iso, facts);
      row.driverType = driver->cVersion;
      row.driverVersion = driver->dwlDriverVersion;
      cells[kQueueDriverType] = facts.type;
      cells[kQueuePackageAware] = facts.packageAware;
      cells[kQueueDriverVersion] = facts.version;
    }
    cells[kQueueProtectedPrint] = VerdictText(row.verdict);
    cells[kQueueLocation] = FieldOrEmpty(printer.pLocation);
    cells[kQueueComment] = FieldOrEmpty(printer.pComment);
  }
  return rows;
}

VerdictCounts CountVerdicts(const std::vector<QueueRow>& rows) {
  VerdictCounts counts;
  for (const QueueRow& row : rows) counts.Add(row.verdict);
  return counts;
}

}  // namespace kestrun
