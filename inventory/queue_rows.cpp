#include "inventory/queue_rows.h"

#include "inventory/field_text.h"

namespace kestrun {

const wchar_t* const kQueueColumnTitles[kQueueColumnCount] = {
    L"Printer",         L"Share Name",    L"Port",         L"Port Kind",     L"Device Address",
    L"Driver",          L"Driver Origin", L"Driver Type",  L"Package-Aware", L"Driver Version",
    L"Protected Print", L"Device",        L"Device Model", L"Location",      L"Comment",
};

QueueTable DescribeQueues(const DriverInventory& inventory) {
  QueueTable table;
  const PRINTER_INFO_2W* printers = inventory.Printers();
  if (printers == nullptr) return table;
  table.listing = inventory.queues;
  const QueueListing* listing = table.listing.get();
  const DriverRows driverRows(inventory.Drivers(), inventory.driverCount,
                              listing ? listing->environment : std::wstring());
  const QueueFacts none;
  table.rows.resize(inventory.printerCount);
  for (DWORD p = 0; p < inventory.printerCount; ++p) {
    const PRINTER_INFO_2W& printer = printers[p];
    const QueueFacts& port = listing && p < listing->queues.size() ? listing->queues[p] : none;
    QueueRow& row = table.rows[p];
    const std::wstring_view portName = FieldOrEmpty(printer.pPortName);
    const std::wstring_view firstPort = portName.substr(0, portName.find(L','));
    const bool connection = IsPrinterConnection(printer, inventory.isRemote);
    row.portKind = KindOfPort(firstPort, port.monitor, port.portListed, connection);
    const std::wstring_view driverName = FieldOrEmpty(printer.pDriverName);
    auto side = table.drivers.find(driverName);
    if (side == table.drivers.end()) {
      QueueDriverTexts texts;
      texts.index = driverRows.IndexOf(driverName);
      if (texts.index < inventory.driverCount) {
        DriverFacts facts;
        DescribeDriver(inventory, texts.index, DateForm::Iso, facts);
        texts.type = std::move(facts.type);
        texts.packageAware = std::move(facts.packageAware);
        texts.version = std::move(facts.version);
      }
      const DRIVER_INFO_6* driver =
          texts.index < inventory.driverCount ? &inventory.Drivers()[texts.index] : nullptr;
      const DriverPackageFields* package = driver != nullptr && inventory.packageFields
                                               ? &inventory.packageFields[texts.index]
                                               : nullptr;
      texts.origin = OriginOfDriver(driver, package);
      texts.verdict = VerdictOf(driver, package);
      side = table.drivers.emplace(driverName, std::move(texts)).first;
    }
    const QueueDriverTexts& texts = side->second;
    const DRIVER_INFO_6* driver =
        texts.index < inventory.driverCount ? &inventory.Drivers()[texts.index] : nullptr;
    row.origin = texts.origin;
    row.verdict = texts.verdict;
    if (driver != nullptr) {
      row.driverType = driver->cVersion;
      row.driverVersion = driver->dwlDriverVersion;
    }
    if (port.note != QueueNote::None) row.reason = QueueReasonText(port);

    std::wstring_view* cells = row.cells;
    cells[kQueuePrinter] = FieldOrEmpty(printer.pPrinterName);
    if ((printer.Attributes & PRINTER_ATTRIBUTE_SHARED) != 0) {
      cells[kQueueShareName] = FieldOrEmpty(printer.pShareName);
    }
    cells[kQueuePort] = portName;
    cells[kQueuePortKind] = PortKindText(row.portKind, port.monitor, firstPort);
    if (row.portKind == PortKind::TcpIp) cells[kQueueDeviceAddress] = port.deviceAddress;
    // An IPP monitor's port names its address only when its name is one.
    if (row.portKind == PortKind::Ipp && IsIppAddress(firstPort)) {
      cells[kQueueDeviceAddress] = firstPort;
    }
    cells[kQueueDriver] = driverName;
    cells[kQueueDriverOrigin] = DriverOriginText(row.origin);
    cells[kQueueDriverType] = texts.type;
    cells[kQueuePackageAware] = texts.packageAware;
    cells[kQueueDriverVersion] = texts.version;
    cells[kQueueProtectedPrint] = VerdictText(row.verdict);
    cells[kQueueDevice] = kDeviceNotAsked;
    cells[kQueueLocation] = FieldOrEmpty(printer.pLocation);
    cells[kQueueComment] = FieldOrEmpty(printer.pComment);
  }
  return table;
}

VerdictCounts CountVerdicts(const std::vector<QueueRow>& rows) {
  VerdictCounts counts;
  for (const QueueRow& row : rows) counts.Add(row.verdict, row.origin);
  return counts;
}

}  // namespace kestrun
