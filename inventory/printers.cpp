#include "inventory/printers.h"

#include <cstring>
#include <cwchar>
#include <new>
#include <string_view>
#include <unordered_map>

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

// The text of a fixed field, when it ends inside it.
bool FieldText(const wchar_t* field, size_t capacity, std::wstring& text) {
  const size_t length = wcsnlen(field, capacity);
  if (length == capacity) return false;
  text.assign(field, length);
  return true;
}

// Port names as the spooler tells them apart: letter case ignored.
std::wstring PortKey(std::wstring_view name) {
  std::wstring key(name);
  for (wchar_t& c : key) c = FoldAsciiLetter(c);
  return key;
}

// The first port of a printer's port list ("LPT1:,LPT2:" pools two).
std::wstring_view FirstPort(const wchar_t* ports) {
  const std::wstring_view all = FieldOrEmpty(ports);
  return all.substr(0, all.find(L','));
}

DWORD ReadPorts(wchar_t* server, PortMonitors& monitors) {
  SpoolerAnswer answer;
  const DWORD error = ReadSpoolerList(
      [server](BYTE* records, DWORD size, DWORD* needed, DWORD* returned) {
        return Platform().EnumPortsW(server, kPortLevel, records, size, needed, returned);
      },
      kPortInfo2Layout, answer);
  if (error == 0) {
    monitors = IndexPortMonitors(reinterpret_cast<const PORT_INFO_2W*>(answer.buffer.get()),
                                 answer.count);
  }
  return error;
}

// The environment the target's own printers use: the native processor's here,
// the server's "Architecture" value on a remote one; empty when unknown.
std::wstring ReadEnvironment(const DriverInventory& inventory) {
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

// Asks a TCP/IP port's monitor where the port sends to: 0 with the address,
// or the failure's code (ERROR_INVALID_DATA for an answer that cannot be read).
DWORD ReadDeviceAddress(const DriverInventory& inventory, std::wstring_view port,
                        std::wstring& address) {
  std::wstring name;
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
  TcpIpDevice device;
  const DWORD error =
      ReadPortData1(reinterpret_cast<const BYTE*>(&answer), sizeof(answer), written, device);
  if (error == 0) address = DeviceAddressText(device);
  return error;
}

struct DeviceAnswer {
  DWORD error = 0;
  std::wstring address;
};

void DescribePort(const DriverInventory& inventory, const PRINTER_INFO_2W& printer,
                  const PortMonitors& monitors, DWORD portError,
                  std::unordered_map<std::wstring, DeviceAnswer>& devices, QueueFacts& facts) {
  const std::wstring_view port = FirstPort(printer.pPortName);
  if (portError != 0) {
    facts.note = QueueNote::PortsUnreadable;
    facts.noteCode = portError;
    return;
  }
  const std::wstring key = PortKey(port);
  const auto found = monitors.find(key);
  if (found == monitors.end()) {
    if (!IsIppAddress(port)) facts.note = QueueNote::PortNotListed;
    return;
  }
  facts.monitor = found->second;
  facts.portListed = true;
  if (KindOfPort(port, facts.monitor, true, false) != PortKind::TcpIp) return;
  auto device = devices.find(key);
  if (device == devices.end()) {
    DeviceAnswer asked;
    asked.error = ReadDeviceAddress(inventory, port, asked.address);
    device = devices.emplace(key, std::move(asked)).first;
  }
  facts.deviceAddress = device->second.address;
  if (device->second.error == ERROR_INVALID_DATA) {
    facts.note = QueueNote::AddressInvalid;
  } else if (device->second.error != 0) {
    facts.note = QueueNote::AddressUnreadable;
    facts.noteCode = device->second.error;
  }
}

// "5 Access is denied."
std::wstring CodeAndText(DWORD code) {
  const std::wstring text =
      OneLineText(errorReporter ? errorReporter->GetErrorText(code).text : L"");
  return std::to_wstring(code) + (text.empty() ? L"" : L" " + text);
}

}  // namespace

PortMonitors IndexPortMonitors(const PORT_INFO_2W* ports, DWORD count) {
  PortMonitors monitors;
  monitors.reserve(count);
  for (DWORD i = 0; i < count; ++i) {
    if (ports[i].pPortName == nullptr) continue;
    monitors.emplace(PortKey(ports[i].pPortName), FieldOrEmpty(ports[i].pMonitorName));
  }
  return monitors;
}

DWORD ReadPortData1(const BYTE* answer, size_t size, DWORD written, TcpIpDevice& device) {
  device = TcpIpDevice{};
  if (answer == nullptr || size < sizeof(PortData1) || written > size ||
      written < offsetof(PortData1, dwSNMPEnabled)) {
    return ERROR_INVALID_DATA;
  }
  PortData1 data;
  std::memcpy(&data, answer, sizeof(data));
  if (data.dwVersion != 1) return ERROR_INVALID_DATA;
  if (!FieldText(data.sztHostAddress, std::size(data.sztHostAddress), device.host) ||
      device.host.empty()) {
    return ERROR_INVALID_DATA;
  }
  device.protocol = data.dwProtocol;
  if (data.dwProtocol == kTcpIpProtocolRaw) {
    if (data.dwPortNumber == 0 || data.dwPortNumber > kLargestPortNumber) return ERROR_INVALID_DATA;
    device.portNumber = data.dwPortNumber;
    return 0;
  }
  if (data.dwProtocol == kTcpIpProtocolLpr &&
      FieldText(data.sztQueue, std::size(data.sztQueue), device.queue)) {
    return 0;
  }
  return ERROR_INVALID_DATA;
}

std::wstring DeviceAddressText(const TcpIpDevice& device) {
  if (device.protocol == kTcpIpProtocolLpr) {
    return device.host + (device.queue.empty() ? L" (LPR)" : L" (LPR " + device.queue + L")");
  }
  return device.host + L":" + std::to_wstring(device.portNumber);
}

void ReadQueues(DriverInventory& inventory) {
  inventory.queues.reset();
  if (!inventory.printers && inventory.printerError != 0) return;  // never read
  try {
    auto listing = std::make_shared<QueueListing>();
    listing->queues.resize(inventory.printerCount);
    if (inventory.printerCount > 0) {
      wchar_t* server = inventory.isRemote ? inventory.targetName : nullptr;
      PortMonitors monitors;
      const DWORD portError = ReadPorts(server, monitors);
      listing->environment = ReadEnvironment(inventory);
      std::unordered_map<std::wstring, DeviceAnswer> devices;
      const PRINTER_INFO_2W* printers = inventory.Printers();
      for (DWORD p = 0; p < inventory.printerCount; ++p) {
        if (IsPrinterConnection(printers[p], inventory.isRemote)) continue;
        DescribePort(inventory, printers[p], monitors, portError, devices, listing->queues[p]);
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
