// What Windows protected print mode leaves of a printer, from the spooler's
// facts alone: the kind of its port, where its driver comes from, and the
// verdict, each rule as Microsoft's pages state it (their addresses beside
// the rules). Protected print mode (Windows 11 24H2 on) "exclusively uses
// the Windows modern print stack": every printer on a third-party or legacy
// driver is uninstalled; the inbox IPP class drivers keep working. Records
// in, verdicts out: nothing here asks the spooler.
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
// Windows' own IPP port monitor (IPPMon.dll), as EnumMonitors lists it.
constexpr wchar_t kIppMonitor[] = L"IppMon";

enum class PortKind {
  TcpIp,       // "Standard TCP/IP Port"
  Wsd,         // "WSD Port"
  Ipp,         // an http://, https://, ipp:// or ipps:// address, or a port of IppMon
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

enum class DriverOrigin { Inbox, InboxUnconfirmed, ThirdParty, NotInstalled };

// Windows' own rule, not the driver list's (which counts the maker's drivers
// native): "Inbox" only for a driver whose provider is exactly Microsoft and
// whose package, as the server names it (level 8), is one Windows ships;
// anything else "Third-party". A driver named as one of Windows' class
// drivers comes only from Windows' packages: at level 8 without a package it
// is third-party. Without level 8 (`package` null) a Microsoft driver is
// "Inbox (unconfirmed)". No driver row: "Not installed".
DriverOrigin OriginOfDriver(const DRIVER_INFO_6* row, const DriverPackageFields* package);
const wchar_t* DriverOriginText(DriverOrigin origin);

// True for the file name of an INF that Windows itself ships its printer
// drivers in: ntprint.inf, ntprint4.inf, prnms###.inf.
bool IsWindowsPrinterInf(std::wstring_view infPath);

enum class ProtectedPrintVerdict {
  InboxIppClass,     // "Works: inbox IPP class driver"
  ThirdParty,        // "Removed: third-party driver"
  NoWindowsPackage,  // a class driver's name at level 8 without a package: third-party
  Legacy,            // Windows' own v3 (Type 3) driver: not the modern print stack
  Inbox,             // Windows' own other driver: Microsoft's pages say nothing of it
  NotInstalled,
};

// True for the verdicts under which protected print mode uninstalls the printer.
bool IsRemovedVerdict(ProtectedPrintVerdict verdict);

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
  size_t thirdParty = 0;  // NoWindowsPackage included
  size_t inboxIppClass = 0;
  size_t legacy = 0;  // Windows' own legacy drivers: removed too
  size_t inbox = 0;
  size_t notInstalled = 0;
  size_t unconfirmed = 0;  // of the inbox ones: without level 8 to confirm it
  void Add(ProtectedPrintVerdict verdict, DriverOrigin origin = DriverOrigin::Inbox);
};

// "Printers: 57. Third-party driver: 41. Windows' legacy driver: 3. Inbox IPP
// class driver: 4. Inbox: 9.", then "Inbox (unconfirmed): N." and "Driver
// not installed: N." when there are such.
std::wstring VerdictCountsText(const VerdictCounts& counts);

}  // namespace kestrun
