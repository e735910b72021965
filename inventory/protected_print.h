// What Windows protected print mode leaves of a printer, from the spooler's
// facts alone: the kind of its port, where its driver comes from, and the
// verdict. Protected print mode (Windows 11 24H2 on) removes every printer
// that uses a third-party driver and deletes those drivers; the inbox IPP
// class drivers keep working. Records in, verdicts out: nothing here asks
// the spooler.
#pragma once

#include <windows.h>
#include <winspool.h>

#include <string>
#include <string_view>
#include <unordered_map>

#include "inventory/driver_inventory.h"

namespace kestrun {

// The port monitors whose ports have a kind of their own. Windows names its
// local monitor "Local Port"; Wine's spooler names it "Local Monitor".
constexpr wchar_t kTcpIpMonitor[] = L"Standard TCP/IP Port";
constexpr wchar_t kWsdMonitor[] = L"WSD Port";

enum class PortKind {
  TcpIp,       // "Standard TCP/IP Port"
  Wsd,         // "WSD Port"
  Ipp,         // the port's name is an http://, https://, ipp:// or ipps:// address
  Local,       // the local port monitor: LPTn:, COMn:, FILE:, a file path
  Connection,  // a connection to another server's printer: no port of this machine
  Monitor,     // any other monitor: its name is the kind
  Unlisted,    // the port list does not hold the port (or could not be read)
};

// True when a port's name is an address an IPP printer is reached at.
bool IsIppAddress(std::wstring_view portName);

// True when a printer record is a connection: marked as a network printer,
// or, on the local machine, named after another server ("\\SRV\Office").
bool IsPrinterConnection(const PRINTER_INFO_2W& printer, bool remoteTarget);

// The kind of a printer's port. `monitor` is the port's monitor as the port
// list names it; `listed` is false when the list does not hold the port.
PortKind KindOfPort(std::wstring_view portName, std::wstring_view monitor, bool listed,
                    bool connection);

// "TCP/IP", "WSD", "IPP", "Local", "Connection"; the monitor's name for
// another monitor; the port's name for a port the list does not hold.
std::wstring_view PortKindText(PortKind kind, std::wstring_view monitor,
                               std::wstring_view portName);

enum class DriverOrigin { Inbox, ThirdParty, NotInstalled };

// Windows' own rule, not the driver list's (which counts the maker's drivers
// native): "Inbox" only for a driver whose provider is exactly Microsoft and,
// when the server names its package (level 8), whose package is one Windows
// ships; anything else "Third-party"; no driver row: "Not installed".
// `package` is null after a level-6 listing.
DriverOrigin OriginOfDriver(const DRIVER_INFO_6* row, const DriverPackageFields* package);
const wchar_t* DriverOriginText(DriverOrigin origin);

// True for the file name of an INF that Windows itself ships its printer
// drivers in: ntprint.inf, ntprint4.inf, prnms###.inf.
bool IsWindowsPrinterInf(std::wstring_view infPath);

enum class ProtectedPrintVerdict { InboxIppClass, ThirdParty, Inbox, NotInstalled };

// The verdict for a printer whose driver row (and package fields) are these:
// an inbox IPP class driver also needs its name, Type 4 and, from level 8,
// the class-driver attribute.
ProtectedPrintVerdict VerdictOf(const DRIVER_INFO_6* row, const DriverPackageFields* package);
const wchar_t* VerdictText(ProtectedPrintVerdict verdict);

// Finds a printer's driver row: the record of that name (letter case ignored,
// as the spooler names drivers) in the printers' environment, or, when that
// environment is unknown, the first record of that name.
class DriverRows {
 public:
  DriverRows(const DRIVER_INFO_6* drivers, DWORD count, std::wstring_view environment);
  // The record's index, or `count` when the machine has no such driver row.
  DWORD IndexOf(std::wstring_view driverName) const;

 private:
  const DRIVER_INFO_6* drivers_;
  DWORD count_;
  std::unordered_map<std::wstring, DWORD> byName_;
};

// How many printers get each verdict.
struct VerdictCounts {
  size_t printers = 0;
  size_t thirdParty = 0;
  size_t inboxIppClass = 0;
  size_t inbox = 0;
  size_t notInstalled = 0;
  void Add(ProtectedPrintVerdict verdict);
};

// "Printers: 57. Third-party driver: 41. Inbox IPP class driver: 4. Inbox:
// 12.", and "Driver not installed: N." after them when there are such.
std::wstring VerdictCountsText(const VerdictCounts& counts);

}  // namespace kestrun
