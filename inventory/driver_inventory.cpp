#include "inventory/driver_inventory.h"

#include <cstring>
#include <iterator>
#include <string>
#include <cwchar>
#include <new>
#include <string_view>
#include <unordered_map>

#include "inventory/field_text.h"
#include "inventory/platform.h"
#include "inventory/spooler_answer.h"

#include "common/bounded_text.h"

namespace kestrun {

DriverInventory* currentInventory = nullptr;
RemoteSession* remoteSession = nullptr;

namespace {

constexpr wchar_t kShareSuffix[] = L"\\IPC$";
constexpr DWORD kDriverLevel = 6;
constexpr DWORD kPackageDriverLevel = 8;
constexpr DWORD kPrinterLevel = 2;
// A remote server's own printers, as the deletion lists them; the local
// machine's own printers and the user's connections, each of which runs a
// local copy of its server's driver.
constexpr DWORD kRemotePrinterFlags = PRINTER_ENUM_NAME | PRINTER_ENUM_LOCAL;
constexpr DWORD kLocalPrinterFlags = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;

DWORD ReadDrivers(wchar_t* server, DWORD level, SpoolerAnswer& answer) {
  wchar_t environment[] = L"all";  // every environment the server knows
  return ReadSpoolerList(
      [&](BYTE* buffer, DWORD size, DWORD* needed, DWORD* returned) {
        return Platform().EnumPrinterDriversW(server, environment, level, buffer, size, needed,
                                              returned);
      },
      level == kPackageDriverLevel ? kDriverInfo8Layout : kDriverInfo6Layout, answer);
}

// A level-8 record begins with the fields of a level-6 one: the records are
// moved together into a level-6 array at the buffer's start (their strings
// stay where they are), and what level 8 adds goes into its own table.
DWORD KeepLevel8Answer(DriverInventory& inventory, SpoolerAnswer& answer) {
  if (answer.count == 0) return 0;
  std::unique_ptr<DriverPackageFields[]> fields(new (std::nothrow)
                                                    DriverPackageFields[answer.count]);
  if (!fields) return ERROR_NOT_ENOUGH_MEMORY;
  BYTE* records = answer.buffer.get();
  for (DWORD i = 0; i < answer.count; ++i) {
    const BYTE* from = records + static_cast<size_t>(i) * sizeof(DRIVER_INFO_8W);
    DRIVER_INFO_8W record;
    std::memcpy(&record, from, sizeof(record));
    fields[i] = {record.pszInfPath, record.dwPrinterDriverAttributes};
    // Never past the record's own start: no later record is overwritten.
    std::memmove(records + static_cast<size_t>(i) * sizeof(DRIVER_INFO_6W), from,
                 sizeof(DRIVER_INFO_6W));
  }
  inventory.packageFields = std::move(fields);
  return 0;
}

// Counts, for every driver, the printers that name a driver of its name (as
// the spooler matches names, letter case ignored). Every printer the
// enumeration hands back counts: a cleanup must never take a used driver for
// an unused one, so a list that cannot be trusted leaves every count unknown.
void ReadPrinterUse(DriverInventory& inventory, wchar_t* server) {
  SpoolerAnswer answer;
  inventory.printerError = ReadPrinters(server, answer);
  if (inventory.printerError != 0) return;
  // Kept with the listing: the printers view shows them without asking again.
  inventory.printers = std::move(answer.buffer);
  inventory.printerCount = answer.count;
  std::unique_ptr<DWORD[]> use(new (std::nothrow) DWORD[inventory.driverCount + 1]());
  if (!use) {
    inventory.printerError = ERROR_NOT_ENOUGH_MEMORY;
    return;
  }
  try {
    std::unordered_map<std::wstring, DWORD> byDriver;
    byDriver.reserve(answer.count);
    const PRINTER_INFO_2W* printers = inventory.Printers();
    for (DWORD p = 0; p < answer.count; ++p) ++byDriver[NameKey(printers[p].pDriverName)];
    const DRIVER_INFO_6* drivers = inventory.Drivers();
    for (DWORD d = 0; d < inventory.driverCount; ++d) {
      if (drivers[d].pName == nullptr) continue;
      const auto found = byDriver.find(NameKey(drivers[d].pName));
      if (found != byDriver.end()) use[d] = found->second;
    }
  } catch (const std::bad_alloc&) {
    inventory.printerError = ERROR_NOT_ENOUGH_MEMORY;
    return;
  }
  inventory.printerUse = std::move(use);
  inventory.printerCount = answer.count;
}

// The machine's own computer names (NetBIOS, DNS host, fully qualified), read
// once: a report asks for every row it logs, and a name changes only with a restart.
struct ComputerNames {
  std::wstring names[3];
  ComputerNames() {
    const COMPUTER_NAME_FORMAT formats[] = {ComputerNameNetBIOS, ComputerNameDnsHostname,
                                            ComputerNameDnsFullyQualified};
    for (size_t i = 0; i < std::size(formats); ++i) {
      wchar_t name[kTargetNameCapacity] = {};
      DWORD size = kTargetNameCapacity;
      if (::GetComputerNameExW(formats[i], name, &size)) names[i] = name;
    }
  }
};

const ComputerNames& OwnNames() {
  static const ComputerNames names;  // made once, whichever thread asks first
  return names;
}

// One of the machine's own computer names, as the system gives it.
bool IsComputerName(COMPUTER_NAME_FORMAT format, std::wstring_view machine) {
  const size_t index = format == ComputerNameNetBIOS       ? 0
                       : format == ComputerNameDnsHostname ? 1
                                                           : 2;
  const std::wstring& name = OwnNames().names[index];
  return !name.empty() && SameName(name, machine);
}

}  // namespace

std::wstring_view BareMachineName(std::wstring_view typed) {
  const size_t start = typed.find_first_not_of(L'\\');
  return start == std::wstring_view::npos ? std::wstring_view() : typed.substr(start);
}

bool IsLocalMachineName(std::wstring_view typed) {
  const std::wstring_view machine = BareMachineName(typed);
  if (machine.empty()) return false;
  for (const wchar_t* alias : {L".", L"localhost", L"127.0.0.1", L"::1"}) {
    if (SameName(machine, alias)) return true;
  }
  return IsComputerName(ComputerNameNetBIOS, machine) ||
         IsComputerName(ComputerNameDnsHostname, machine) ||
         IsComputerName(ComputerNameDnsFullyQualified, machine);
}

std::wstring LoggedMachineName(std::wstring_view typed) {
  if (!BareMachineName(typed).empty() && !IsLocalMachineName(typed)) return std::wstring(typed);
  const std::wstring& own = OwnNames().names[0];
  return own.empty() ? std::wstring(typed) : own;
}

namespace {

// A name's first label, when it is a DNS name with several ("srv" of
// "srv.contoso.com"); the name itself otherwise, IP addresses included.
std::wstring_view HostLabel(std::wstring_view machine) {
  const size_t dot = machine.find(L'.');
  if (dot == std::wstring_view::npos || dot == 0) return machine;
  const std::wstring_view first = machine.substr(0, dot);
  const bool digits = first.find_first_not_of(L"0123456789") == std::wstring_view::npos;
  return digits ? machine : first;
}

}  // namespace

bool IsSameMachine(std::wstring_view a, std::wstring_view b) {
  const std::wstring_view first = BareMachineName(a), second = BareMachineName(b);
  const bool localFirst = first.empty() || IsLocalMachineName(first);
  const bool localSecond = second.empty() || IsLocalMachineName(second);
  if (localFirst || localSecond) return localFirst && localSecond;
  if (SameName(first, second)) return true;
  // One DNS name against a bare name: the bare name is its host's.
  const bool dottedFirst = first.find(L'.') != std::wstring_view::npos;
  const bool dottedSecond = second.find(L'.') != std::wstring_view::npos;
  return dottedFirst != dottedSecond && SameName(HostLabel(first), HostLabel(second));
}

DWORD ReadPrinters(const wchar_t* serverName, SpoolerAnswer& answer) {
  wchar_t* server = const_cast<wchar_t*>(serverName);  // the spooler only reads it
  const DWORD flags = server ? kRemotePrinterFlags : kLocalPrinterFlags;
  const DWORD error = ReadSpoolerList(
      [&](BYTE* records, DWORD size, DWORD* needed, DWORD* returned) {
        return Platform().EnumPrintersW(flags, server, kPrinterLevel, records, size, needed,
                                        returned);
      },
      kPrinterInfo2Layout, answer);
  if (error != 0) return error;
  if (answer.claimed > 0 && answer.count == 0) return ERROR_INVALID_DATA;
  const auto* printers = reinterpret_cast<const PRINTER_INFO_2W*>(answer.buffer.get());
  for (DWORD p = 0; p < answer.count; ++p) {
    if (printers[p].pDriverName == nullptr) return ERROR_INVALID_DATA;
  }
  return 0;
}

std::unique_ptr<DriverInventory> CreateInventory() {
  std::unique_ptr<DriverInventory> inventory(new (std::nothrow) DriverInventory);
  if (inventory) ResetInventory(*inventory);
  return inventory;
}

DriverInventory& ResetInventory(DriverInventory& inventory) {
  wmemset(inventory.targetName, L'\0', kTargetNameCapacity);
  CopyBounded(inventory.targetName, L"\\\\");
  inventory.driverCount = 0;
  inventory.nonNativeCount = 0;
  inventory.listEntryCount = 0;
  inventory.lastError = 0;
  inventory.listed = false;
  inventory.isRemote = false;
  inventory.machineText.clear();
  inventory.nonNativeIndexes.reset();
  inventory.drivers.reset();
  inventory.listEntries.reset();
  inventory.packageFields.reset();
  inventory.printerUse.reset();
  inventory.printers.reset();
  inventory.queues.reset();
  inventory.printerCount = 0;
  inventory.printerError = 0;
  return inventory;
}

void ReleaseInventory() {
  delete currentInventory;
  currentInventory = nullptr;
}

void MakeCurrentInventory(std::unique_ptr<DriverInventory> inventory) {
  ReleaseInventory();
  currentInventory = inventory.release();
}

bool ConnectTargetSession(RemoteSession& session, std::wstring_view machineName) {
  // A fresh attempt: only a share found connected by this attempt is left alone
  // by the cancel that follows it. The name goes with the flag, so a refused
  // name leaves nothing behind for a later cancel to drop.
  session.alreadyConnected = 0;
  wmemset(session.remoteName, L'\0', kRemoteNameCapacity);

  const std::wstring_view machine = BareMachineName(machineName);
  const size_t length = 2 + machine.size() + (std::size(kShareSuffix) - 1);
  if (machine.empty() || length >= kRemoteNameCapacity) {
    session.lastResult = ERROR_INVALID_NAME;
    return false;
  }
  CopyBounded(session.remoteName, L"\\\\");
  AppendBounded(session.remoteName, machine);
  AppendBounded(session.remoteName, kShareSuffix);

  session.netResource = {};
  session.netResource.dwType = RESOURCETYPE_ANY;
  session.netResource.lpLocalName = nullptr;
  session.netResource.lpRemoteName = session.remoteName;
  session.netResource.lpProvider = nullptr;

  session.lastResult = Platform().WNetAddConnection2W(&session.netResource, nullptr, nullptr,
                                                      CONNECT_INTERACTIVE);
  switch (session.lastResult) {
    case NO_ERROR:
      return true;
    case ERROR_ALREADY_ASSIGNED:
    case ERROR_DEVICE_ALREADY_REMEMBERED:
      session.alreadyConnected = 1;
      return true;
    default:
      return false;
  }
}

void CancelTargetSession(RemoteSession& session) {
  if (session.alreadyConnected != 0 || session.remoteName[0] == L'\0') return;
  Platform().WNetCancelConnection2W(session.remoteName, 0, TRUE);
}

bool EnumerateDrivers(DriverInventory& inventory, std::wstring_view machineName) {
  const std::wstring_view machine = BareMachineName(machineName);
  const size_t used = wcslen(inventory.targetName);
  if ((machine.empty() && !machineName.empty()) ||
      used + machine.size() >= kTargetNameCapacity) {
    inventory.lastError = ERROR_INVALID_NAME;
    return false;
  }
  inventory.machineText.assign(machineName);
  // The machine Kestrun runs on is asked as the local spooler, by any of its names.
  if (!machine.empty() && !IsLocalMachineName(machine)) {
    wmemcpy(inventory.targetName + used, machine.data(), machine.size());
    inventory.targetName[used + machine.size()] = L'\0';
    inventory.isRemote = true;
  }

  wchar_t* server = inventory.isRemote ? inventory.targetName : nullptr;

  // One listing: level 8 where the server answers it, else level 6.
  SpoolerAnswer answer;
  DWORD error = ReadDrivers(server, kPackageDriverLevel, answer);
  const bool level8 = error != ERROR_INVALID_LEVEL;
  if (!level8) error = ReadDrivers(server, kDriverLevel, answer);
  if (error == 0 && level8) error = KeepLevel8Answer(inventory, answer);
  inventory.drivers = std::move(answer.buffer);
  inventory.driverCount = answer.count;
  if (error != 0) {
    inventory.lastError = error;
    inventory.driverCount = 0;  // no reader walks records that are not there
    inventory.packageFields.reset();
    return false;
  }
  // The code of the sizing call, as a two-call enumeration leaves it.
  inventory.lastError = inventory.drivers ? ERROR_INSUFFICIENT_BUFFER : 0;
  ReadPrinterUse(inventory, server);
  inventory.listed = true;
  return true;
}

}  // namespace kestrun
