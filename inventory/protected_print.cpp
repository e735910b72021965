#include "inventory/protected_print.h"

#include <iterator>

#include "inventory/field_text.h"

namespace kestrun {

namespace {

// The drivers Windows keeps in protected print mode: its IPP class drivers,
// under the names Microsoft's pages give them.
// - Protected print mode "exclusively uses the Windows modern print stack";
//   "Noncompatible printers are uninstalled":
//   https://learn.microsoft.com/en-us/windows-hardware/drivers/print/windows-protected-print-mode
//   https://learn.microsoft.com/en-us/windows-hardware/drivers/print/windows-protected-mode-faq
// - "Microsoft IPP Class Driver", the modern print platform's driver:
//   https://learn.microsoft.com/en-us/windows-hardware/drivers/print/modern-print-platform
// - "Universal Print Class Driver", the driver a Universal Print queue uses:
//   https://learn.microsoft.com/en-us/universal-print/fundamentals/universal-print-whatis
constexpr const wchar_t* kInboxIppClassDrivers[] = {
    L"Microsoft IPP Class Driver",
    L"Universal Print Class Driver",
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
  if (EqualsIgnoringAsciiCase(monitor, kIppMonitor)) return PortKind::Ipp;
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

namespace {

bool IsClassDriverName(std::wstring_view name) {
  for (const wchar_t* inbox : kInboxIppClassDrivers) {
    if (SameName(name, inbox)) return true;
  }
  return false;
}

}  // namespace

DriverOrigin OriginOfDriver(const DRIVER_INFO_6* row, const DriverPackageFields* package) {
  if (row == nullptr) return DriverOrigin::NotInstalled;
  // A vendor can name itself anything but Windows' package: the provider
  // must be exactly Microsoft, and a package the server names Windows' own.
  if (!EqualsIgnoringAsciiCase(FieldOrEmpty(row->pszProvider), L"Microsoft")) {
    return DriverOrigin::ThirdParty;
  }
  if (package == nullptr) return DriverOrigin::InboxUnconfirmed;
  const std::wstring_view inf = FieldOrEmpty(package->infPath);
  // Windows' class drivers always come from Windows' packages.
  if (inf.empty()) {
    return IsClassDriverName(FieldOrEmpty(row->pName)) ? DriverOrigin::ThirdParty
                                                       : DriverOrigin::Inbox;
  }
  return IsWindowsPrinterInf(inf) ? DriverOrigin::Inbox : DriverOrigin::ThirdParty;
}

const wchar_t* DriverOriginText(DriverOrigin origin) {
  switch (origin) {
    case DriverOrigin::Inbox:
      return L"Inbox";
    case DriverOrigin::InboxUnconfirmed:
      return L"Inbox (unconfirmed)";
    case DriverOrigin::ThirdParty:
      return L"Third-party";
    case DriverOrigin::NotInstalled:
      break;
  }
  return L"Not installed";
}

bool IsRemovedVerdict(ProtectedPrintVerdict verdict) {
  return verdict == ProtectedPrintVerdict::ThirdParty ||
         verdict == ProtectedPrintVerdict::NoWindowsPackage ||
         verdict == ProtectedPrintVerdict::Legacy;
}

ProtectedPrintVerdict VerdictOf(const DRIVER_INFO_6* row, const DriverPackageFields* package) {
  switch (OriginOfDriver(row, package)) {
    case DriverOrigin::NotInstalled:
      return ProtectedPrintVerdict::NotInstalled;
    case DriverOrigin::ThirdParty:
      // Named and provided as Windows' class driver, from no package at all.
      return package != nullptr && FieldOrEmpty(package->infPath).empty() &&
                     IsClassDriverName(FieldOrEmpty(row->pName)) &&
                     EqualsIgnoringAsciiCase(FieldOrEmpty(row->pszProvider), L"Microsoft")
                 ? ProtectedPrintVerdict::NoWindowsPackage
                 : ProtectedPrintVerdict::ThirdParty;
    case DriverOrigin::Inbox:
    case DriverOrigin::InboxUnconfirmed:
      break;
  }
  const bool classDriver = row->cVersion == 4 &&
                           (package == nullptr || (package->attributes & kPrinterDriverClass) != 0);
  if (classDriver && IsClassDriverName(FieldOrEmpty(row->pName))) {
    return ProtectedPrintVerdict::InboxIppClass;
  }
  // A v3 driver is the legacy print stack, which protected print mode does
  // not use (the pages above); of Windows' other drivers they say nothing.
  return row->cVersion == 3 ? ProtectedPrintVerdict::Legacy : ProtectedPrintVerdict::Inbox;
}

const wchar_t* VerdictText(ProtectedPrintVerdict verdict) {
  switch (verdict) {
    case ProtectedPrintVerdict::InboxIppClass:
      return L"Works: inbox IPP class driver";
    case ProtectedPrintVerdict::ThirdParty:
      return L"Removed: third-party driver";
    case ProtectedPrintVerdict::NoWindowsPackage:
      return L"Removed: third-party driver (no Windows package)";
    case ProtectedPrintVerdict::Legacy:
      return L"Removed: Windows' legacy driver, not the modern print stack";
    case ProtectedPrintVerdict::Inbox:
      return L"Inbox driver: not documented";
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

void VerdictCounts::Add(ProtectedPrintVerdict verdict, DriverOrigin origin) {
  ++printers;
  unconfirmed += origin == DriverOrigin::InboxUnconfirmed ? 1 : 0;
  switch (verdict) {
    case ProtectedPrintVerdict::InboxIppClass:
      ++inboxIppClass;
      break;
    case ProtectedPrintVerdict::ThirdParty:
    case ProtectedPrintVerdict::NoWindowsPackage:
      ++thirdParty;
      break;
    case ProtectedPrintVerdict::Legacy:
      ++legacy;
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
                      std::to_wstring(counts.thirdParty) + L". ";
  if (counts.legacy > 0) {
    text += L"Windows' legacy driver: " + std::to_wstring(counts.legacy) + L". ";
  }
  text += L"Inbox IPP class driver: " + std::to_wstring(counts.inboxIppClass) + L". Inbox: " +
          std::to_wstring(counts.inbox) + L".";
  if (counts.unconfirmed > 0) {
    text += L" Inbox (unconfirmed): " + std::to_wstring(counts.unconfirmed) + L".";
  }
  if (counts.notInstalled > 0) {
    text += L" Driver not installed: " + std::to_wstring(counts.notInstalled) + L".";
  }
  return text;
}

}  // namespace kestrun
