#include "inventory/printers.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <new>
#include <string_view>
#include <iterator>

#include "common/parallel.h"
#include "inventory/deletion.h"
#include "inventory/error_reporter.h"
#include "inventory/field_text.h"
#include "inventory/platform.h"
#include "inventory/protected_print.h"
#include "inventory/spooler_answer.h"

namespace kestrun {

namespace {

constexpr DWORD kPortLevel = 2;
constexpr size_t kEnvironmentCapacity = 64;
constexpr wchar_t kXcvPort[] = L",XcvPort ";
constexpr wchar_t kGetConfigInfo[] = L"GetConfigInfo";
constexpr WORD kLargestPortNumber = 0xFFFF;
// Port monitors asked at once for where their ports send.
constexpr unsigned kPortsAtOnce = 8;

// The text of a fixed field, when it ends inside it.
bool FieldText(const wchar_t* field, size_t capacity, std::wstring_view& text) {
  const size_t length = wcsnlen(field, capacity);
  if (length == capacity) return false;
  text = std::wstring_view(field, length);
  return true;
}

// Port names ordered as the spooler tells them apart: letter case ignored.
bool PortNameBefore(std::wstring_view a, std::wstring_view b) {
  const size_t common = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < common; ++i) {
    const wchar_t x = FoldAsciiLetter(a[i]);
    const wchar_t y = FoldAsciiLetter(b[i]);
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

// The first port of a printer's port list ("LPT1:,LPT2:" pools two).
std::wstring_view FirstPort(const wchar_t* ports) {
  const std::wstring_view all = FieldOrEmpty(ports);
  return all.substr(0, all.find(L','));
}

// Asks a TCP/IP port's monitor where the port sends to: 0 with the address,
// or the failure's code (ERROR_INVALID_DATA for an answer that cannot be
// read), with the address empty. `name` is scratch space for the handle's name.
DWORD ReadDeviceAddress(const DriverInventory& inventory, std::wstring_view port,
                        std::wstring& name, std::wstring& address) {
  name.clear();
  address.clear();
  if (inventory.isRemote) {
    name = inventory.targetName;
    name += L'\\';
  }
  name += kXcvPort;
  name += port;
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, SERVER_ACCESS_ENUMERATE};
  UniquePrinter xcv;
  if (!Platform().OpenPrinterW(name.data(), xcv.put(), &defaults)) return ::GetLastError();
  ConfigInfoData1 request = {};
  request.dwVersion = 1;
  PortData1 answer = {};
  DWORD written = 0;
  DWORD status = 0;
  if (!Platform().XcvDataW(xcv.get(), kGetConfigInfo, reinterpret_cast<BYTE*>(&request),
                           sizeof(request), reinterpret_cast<BYTE*>(&answer), sizeof(answer),
                           &written, &status)) {
    const DWORD error = ::GetLastError();
    return error != 0 ? error : ERROR_GEN_FAILURE;
  }
  if (status != ERROR_SUCCESS) return status;
  return ReadPortData1(reinterpret_cast<const BYTE*>(&answer), sizeof(answer), written, address);
}

// A printer's port facts from the port list. Returns the port when its
// monitor must be asked where it sends to (a TCP/IP port), else null.
PortIndex::Port* DescribePort(const PRINTER_INFO_2W& printer, PortIndex* ports, DWORD portError,
                              QueueFacts& facts) {
  const std::wstring_view port = FirstPort(printer.pPortName);
  if (portError != 0) {
    facts.note = QueueNote::PortsUnreadable;
    facts.noteCode = portError;
    return nullptr;
  }
  PortIndex::Port* found = ports->Find(port);
  if (found == nullptr) {
    if (!IsIppAddress(port)) facts.note = QueueNote::PortNotListed;
    return nullptr;
  }
  facts.monitor = found->monitor;
  facts.portListed = true;
  return KindOfPort(port, facts.monitor, true, false) == PortKind::TcpIp ? found : nullptr;
}

// What asking a port's monitor gave a printer's facts.
void TakeDeviceAddress(DWORD error, std::wstring_view address, QueueFacts& facts) {
  facts.deviceAddress = address;
  if (error == ERROR_INVALID_DATA) {
    facts.note = QueueNote::AddressInvalid;
  } else if (error != 0) {
    facts.note = QueueNote::AddressUnreadable;
    facts.noteCode = error;
  }
}

std::wstring CodeAndText(DWORD code) {
  const std::wstring text =
      OneLineText(errorReporter ? errorReporter->GetErrorText(code).text : L"");
  return std::to_wstring(code) + (text.empty() ? L"" : L" " + text);
}

}  // namespace

PortIndex::PortIndex(const PORT_INFO_2W* ports, DWORD count) {
  ports_.reserve(count);
  for (DWORD i = 0; i < count; ++i) {
    if (ports[i].pPortName != nullptr) {
      ports_.push_back({ports[i].pPortName, FieldOrEmpty(ports[i].pMonitorName)});
    }
  }
  // The first of two ports of one name stays first.
  std::stable_sort(ports_.begin(), ports_.end(),
                   [](const Port& a, const Port& b) { return PortNameBefore(a.name, b.name); });
}

PortIndex::Port* PortIndex::Find(std::wstring_view name) {
  const auto found = std::lower_bound(
      ports_.begin(), ports_.end(), name,
      [](const Port& port, std::wstring_view wanted) { return PortNameBefore(port.name, wanted); });
  return found != ports_.end() && EqualsIgnoringAsciiCase(found->name, name) ? &*found : nullptr;
}

std::wstring PrintersEnvironment(const DriverInventory& inventory) {
  if (!inventory.isRemote) {
    SYSTEM_INFO system = {};
    ::GetNativeSystemInfo(&system);
    return std::wstring(EnvironmentOfArchitecture(system.wProcessorArchitecture));
  }
  UniquePrinter server;
  wchar_t* name = const_cast<wchar_t*>(inventory.targetName);
  if (!Platform().OpenPrinterW(name, server.put(), nullptr)) return {};
  wchar_t value[kEnvironmentCapacity] = {};
  DWORD type = 0;
  DWORD needed = 0;
  // One character short of the buffer, so the text always ends inside it.
  const DWORD error = Platform().GetPrinterDataExW(server.get(), L"", SPLREG_ARCHITECTURE, &type,
                                                   reinterpret_cast<BYTE*>(value),
                                                   sizeof(value) - sizeof(wchar_t), &needed);
  if (error != ERROR_SUCCESS || type != REG_SZ) return {};
  return value;
}

DWORD ReadPorts(wchar_t* server, SpoolerAnswer& answer) {
  return ReadSpoolerList(
      [server](BYTE* records, DWORD size, DWORD* needed, DWORD* returned) {
        return Platform().EnumPortsW(server, kPortLevel, records, size, needed, returned);
      },
      kPortInfo2Layout, answer);
}

std::vector<std::wstring> PoolPorts(std::wstring_view ports) {
  std::vector<std::wstring> pool;
  while (!ports.empty()) {
    const size_t end = std::min(ports.find(L','), ports.size());
    std::wstring_view port = ports.substr(0, end);
    const size_t first = port.find_first_not_of(L' ');
    port = first == std::wstring_view::npos
               ? std::wstring_view()
               : port.substr(first, port.find_last_not_of(L' ') - first + 1);
    if (!port.empty()) pool.emplace_back(port);
    ports.remove_prefix(std::min(end + 1, ports.size()));
  }
  return pool;
}

DWORD ReadPrintProcessors(wchar_t* server, const std::wstring& environment, SpoolerAnswer& answer) {
  std::wstring asked = environment;
  return ReadSpoolerList(
      [server, &asked](BYTE* records, DWORD size, DWORD* needed, DWORD* returned) {
        return Platform().EnumPrintProcessorsW(server, asked.empty() ? nullptr : asked.data(), 1,
                                               records, size, needed, returned);
      },
      kPrintProcessorInfo1Layout, answer);
}

DWORD ReadPortData1(const BYTE* answer, size_t size, DWORD written, std::wstring& address) {
  address.clear();
  if (answer == nullptr || size < sizeof(PortData1) || written > size ||
      written < offsetof(PortData1, dwSNMPEnabled)) {
    return ERROR_INVALID_DATA;
  }
  PortData1 data;
  std::memcpy(&data, answer, sizeof(data));
  std::wstring_view host;
  std::wstring_view queue;
  if (data.dwVersion != 1 ||
      !FieldText(data.sztHostAddress, std::size(data.sztHostAddress), host) || host.empty()) {
    return ERROR_INVALID_DATA;
  }
  if (data.dwProtocol == kTcpIpProtocolRaw && data.dwPortNumber != 0 &&
      data.dwPortNumber <= kLargestPortNumber) {
    address.append(host).append(L":").append(std::to_wstring(data.dwPortNumber));
    return 0;
  }
  if (data.dwProtocol == kTcpIpProtocolLpr &&
      FieldText(data.sztQueue, std::size(data.sztQueue), queue)) {
    address.append(host).append(L" (LPR");
    if (!queue.empty()) address.append(L" ").append(queue);
    address += L')';
    return 0;
  }
  return ERROR_INVALID_DATA;
}

void ReadQueues(DriverInventory& inventory) {
  inventory.queues.reset();
  if (!inventory.printers && inventory.printerError != 0) return;  // never read
  try {
    auto listing = std::make_shared<QueueListing>();
    listing->queues.resize(inventory.printerCount);
    if (inventory.printerCount > 0) {
      wchar_t* server = inventory.isRemote ? inventory.targetName : nullptr;
      SpoolerAnswer answer;
      const DWORD portError = ReadPorts(server, answer);
      listing->ports = std::move(answer.buffer);
      PortIndex ports(reinterpret_cast<const PORT_INFO_2W*>(listing->ports.get()),
                      portError != 0 ? 0 : answer.count);
      listing->environment = PrintersEnvironment(inventory);
      // Each TCP/IP port's monitor is asked once, eight ports at a time: a
      // remote server answers each question a few round trips late.
      const PRINTER_INFO_2W* printers = inventory.Printers();
      constexpr size_t kNoPort = static_cast<size_t>(-1);
      std::vector<size_t> portOf(inventory.printerCount, kNoPort);
      std::vector<std::wstring_view> asked;
      for (DWORD p = 0; p < inventory.printerCount; ++p) {
        if (IsPrinterConnection(printers[p], inventory.isRemote)) continue;
        PortIndex::Port* port = DescribePort(printers[p], &ports, portError, listing->queues[p]);
        if (port == nullptr) continue;
        if (port->device == 0) {
          asked.push_back(FirstPort(printers[p].pPortName));
          port->device = asked.size();
        }
        portOf[p] = port->device - 1;
      }
      std::vector<DWORD> errors(asked.size());
      std::vector<std::wstring> addresses(asked.size());
      RunAtOnce(asked.size(), kPortsAtOnce, [&](size_t i) {
        std::wstring name;
        errors[i] = ReadDeviceAddress(inventory, asked[i], name, addresses[i]);
      });
      for (const std::wstring& address : addresses) {
        listing->addresses.push_back(listing->addressTexts.Keep(address));
      }
      for (DWORD p = 0; p < inventory.printerCount; ++p) {
        if (portOf[p] == kNoPort) continue;
        TakeDeviceAddress(errors[portOf[p]], listing->addresses[portOf[p]], listing->queues[p]);
      }
    }
    inventory.queues = std::move(listing);
  } catch (const std::bad_alloc&) {
    inventory.queues.reset();  // the printers view says they could not be read
  }
}

std::wstring QueueReasonText(const QueueFacts& facts) {
  switch (facts.note) {
    case QueueNote::None:
      break;
    case QueueNote::PortsUnreadable:
      return L"the ports could not be read: " + CodeAndText(facts.noteCode);
    case QueueNote::PortNotListed:
      return L"the port is not among the machine's ports";
    case QueueNote::AddressUnreadable:
      return L"the device address could not be read: " + CodeAndText(facts.noteCode);
    case QueueNote::AddressInvalid:
      return L"the port monitor's answer about the device could not be read";
  }
  return {};
}

}  // namespace kestrun
