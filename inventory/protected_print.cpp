#include "inventory/protected_print.h"

#include <iterator>

#include "inventory/field_text.h"

namespace kestrun {

namespace {

// The drivers Windows keeps in protected print mode: its IPP class drivers.
// Microsoft's documentation names no other inbox driver it keeps, so every
// other inbox driver is "Inbox driver" and no more is claimed.
constexpr const wchar_t* kInboxIppClassDrivers[] = {
    L"Microsoft IPP Class Driver",
    L"Microsoft Universal Print Class Driver",
};
constexpr const wchar_t* kIppSchemes[] = {L"http://", L"https://", L"ipp://", L"ipps://"};
// dwPrinterDriverAttributes: a print class driver. MinGW's headers lack it.
constexpr DWORD kPrinterDriverClass = 0x00000008;
constexpr const wchar_t* kLocalMonitors[] = {L"Local Port", L"Local Monitor"};

bool StartsWithIgnoringAsciiCase(std::wstring_view text, std::wstring_view start) {
  return text.size() >= start.size() &&
         EqualsIgnoringAsciiCase(text.substr(0, start.size()), start);
}

}  // namespace

bool IsIppAddress(std::wstring_view portName) {
  for (const wchar_t* scheme : kIppSchemes) {
    const std::wstring_view prefix = scheme;
    if (portName.size() > prefix.size() && StartsWithIgnoringAsciiCase(portName, prefix)) {
      return true;
    }
  }
  return false;
}

bool IsPrinterConnection(const PRINTER_INFO_2W& printer, bool remoteTarget) {
  if ((printer.Attributes & PRINTER_ATTRIBUTE_NETWORK) != 0) return true;
  const std::wstring_view name = FieldOrEmpty(printer.pPrinterName);
  return !remoteTarget && name.substr(0, 2) == L"\\\\";
}

PortKind KindOfPort(std::wstring_view portName, std::wstring_view monitor, bool listed,
                    bool connection) {
  if (connection) return PortKind::Connection;
  if (IsIppAddress(portName)) return PortKind::Ipp;
  if (!listed) return PortKind::Unlisted;
  if (EqualsIgnoringAsciiCase(monitor, kTcpIpMonitor)) return PortKind::TcpIp;
  if (EqualsIgnoringAsciiCase(monitor, kWsdMonitor)) return PortKind::Wsd;
  for (const wchar_t* local : kLocalMonitors) {
    if (EqualsIgnoringAsciiCase(monitor, local)) return PortKind::Local;
  }
  return PortKind::Monitor;
}

std::wstring_view PortKindText(PortKind kind, std::wstring_view monitor,
                               std::wstring_view portName) {
  switch (kind) {
    case PortKind::TcpIp:
      return L"TCP/IP";
    case PortKind::Wsd:
      return L"WSD";
    case PortKind::Ipp:
      return L"IPP";
    case PortKind::Local:
      return L"Local";
    case PortKind::Connection:
      return L"Connection";
    case PortKind::Monitor:
      return monitor;
    case PortKind::Unlisted:
      break;
  }
  return portName;
}

// Windows ships its printer drivers in ntprint.inf (Microsoft's printer INF,
// https://learn.microsoft.com/en-us/windows-hardware/drivers/print/printer-inf-file-install-sections),
// ntprint4.inf (its v4 class drivers) and prnms###.inf (its own printers:
// XPS, PDF, the IPP class drivers); a package installed later is copied to
// the store under its own name and listed as oem###.inf, never these.
bool IsWindowsPrinterInf(std::wstring_view infPath) {
  const std::wstring name = FileNamePart(infPath);
  if (EqualsIgnoringAsciiCase(name, L"ntprint.inf") ||
      EqualsIgnoringAsciiCase(name, L"ntprint4.inf")) {
    return true;
  }
  const std::wstring_view view = name;
  return view.size() == 12 && EqualsIgnoringAsciiCase(view.substr(0, 5), L"prnms") &&
         view.substr(5, 3).find_first_not_of(L"0123456789") == std::wstring_view::npos &&
         EqualsIgnoringAsciiCase(view.substr(8), L".inf");
}

DriverOrigin OriginOfDriver(const DRIVER_INFO_6* row, const DriverPackageFields* package) {
  if (row == nullptr) return DriverOrigin::NotInstalled;
  // A vendor can name itself anything but Windows' package: the provider
  // must be exactly Microsoft, and a package the server names Windows' own.
  const std::wstring_view inf = package ? FieldOrEmpty(package->infPath) : std::wstring_view();
  const bool inbox = EqualsIgnoringAsciiCase(FieldOrEmpty(row->pszProvider), L"Microsoft") &&
                     (inf.empty() || IsWindowsPrinterInf(inf));
  return inbox ? DriverOrigin::Inbox : DriverOrigin::ThirdParty;
}

const wchar_t* DriverOriginText(DriverOrigin origin) {
  switch (origin) {
    case DriverOrigin::Inbox:
      return L"Inbox";
    case DriverOrigin::ThirdParty:
      return L"Third-party";
    case DriverOrigin::NotInstalled:
      break;
  }
  return L"Not installed";
}

ProtectedPrintVerdict VerdictOf(const DRIVER_INFO_6* row, const DriverPackageFields* package) {
  switch (OriginOfDriver(row, package)) {
    case DriverOrigin::NotInstalled:
      return ProtectedPrintVerdict::NotInstalled;
    case DriverOrigin::ThirdParty:
      return ProtectedPrintVerdict::ThirdParty;
    case DriverOrigin::Inbox:
      break;
  }
  const bool classDriver = row->cVersion == 4 &&
                           (package == nullptr || (package->attributes & kPrinterDriverClass) != 0);
  for (const wchar_t* inbox : kInboxIppClassDrivers) {
    if (classDriver && SameName(FieldOrEmpty(row->pName), inbox)) {
      return ProtectedPrintVerdict::InboxIppClass;
    }
  }
  return ProtectedPrintVerdict::Inbox;
}

const wchar_t* VerdictText(ProtectedPrintVerdict verdict) {
  switch (verdict) {
    case ProtectedPrintVerdict::InboxIppClass:
      return L"Works: inbox IPP class driver";
    case ProtectedPrintVerdict::ThirdParty:
      return L"Removed: third-party driver";
    case ProtectedPrintVerdict::Inbox:
      return L"Inbox driver";
    case ProtectedPrintVerdict::NotInstalled:
      break;
  }
  return L"Unknown: driver not installed";
}

DriverRows::DriverRows(const DRIVER_INFO_6* drivers, DWORD count, std::wstring_view environment)
    : drivers_(drivers), count_(drivers ? count : 0) {
  byName_.reserve(count_);
  for (DWORD i = 0; i < count_; ++i) {
    if (drivers_[i].pName == nullptr) continue;
    const bool inEnvironment =
        environment.empty() ||
        EqualsIgnoringAsciiCase(FieldOrEmpty(drivers_[i].pEnvironment), environment);
    if (inEnvironment) byName_.emplace(NameKey(drivers_[i].pName), i);  // the first one stays
  }
}

DWORD DriverRows::IndexOf(std::wstring_view driverName) const {
  const auto found = byName_.find(NameKey(driverName));
  return found == byName_.end() ? count_ : found->second;
}

void VerdictCounts::Add(ProtectedPrintVerdict verdict) {
  ++printers;
  switch (verdict) {
    case ProtectedPrintVerdict::InboxIppClass:
      ++inboxIppClass;
      break;
    case ProtectedPrintVerdict::ThirdParty:
      ++thirdParty;
      break;
    case ProtectedPrintVerdict::Inbox:
      ++inbox;
      break;
    case ProtectedPrintVerdict::NotInstalled:
      ++notInstalled;
      break;
  }
}

std::wstring VerdictCountsText(const VerdictCounts& counts) {
  std::wstring text = L"Printers: " + std::to_wstring(counts.printers) + L". Third-party driver: " +
                      std::to_wstring(counts.thirdParty) + L". Inbox IPP class driver: " +
                      std::to_wstring(counts.inboxIppClass) + L". Inbox: " +
                      std::to_wstring(counts.inbox) + L".";
  if (counts.notInstalled > 0) {
    text += L" Driver not installed: " + std::to_wstring(counts.notInstalled) + L".";
  }
  return text;
}

}  // namespace kestrun
