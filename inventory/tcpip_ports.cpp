#include "inventory/tcpip_ports.h"

#include <cstring>
#include <iterator>

#include "common/host_names.h"
#include "inventory/field_text.h"
#include "inventory/platform.h"
#include "inventory/printers.h"
#include "inventory/protected_print.h"
#include "inventory/snapshot_manifest.h"

namespace kestrun {

namespace {

constexpr DWORD kLargestPortNumber = 65535;

DWORD FailureCode() {
  const DWORD code = ::GetLastError();
  return code != 0 ? code : ERROR_GEN_FAILURE;
}

// A text that fits a field of `capacity` characters with its terminator, and
// holds no control character (a field's end would cut it short).
bool FitsField(std::wstring_view text, size_t capacity) {
  if (text.size() >= capacity) return false;
  for (const wchar_t c : text) {
    if (c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

// A field's text up to its terminator; false when none ends it inside.
bool FieldOf(const wchar_t* field, size_t capacity, std::wstring& text) {
  const size_t length = wcsnlen(field, capacity);
  if (length == capacity) return false;
  text.assign(field, length);
  return true;
}

template <size_t N>
void CopyField(wchar_t (&field)[N], const std::wstring& text) {
  text.copy(field, N - 1);
}

// Opens a ",XcvPort NAME" or ",XcvMonitor NAME" handle on a machine.
DWORD OpenXcv(const wchar_t* server, std::wstring_view object, DWORD access, UniquePrinter& xcv) {
  std::wstring name = server != nullptr ? std::wstring(server) + L"\\" : std::wstring();
  name += object;
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, access};
  return Platform().OpenPrinterW(name.data(), xcv.put(), &defaults) ? 0 : FailureCode();
}

}  // namespace

bool IsTcpIpPortSettings(const TcpIpPortSettings& settings) {
  PortData1 data;
  const bool protocol =
      (settings.protocol == kTcpIpProtocolRaw && settings.portNumber != 0 &&
       settings.portNumber <= kLargestPortNumber) ||
      (settings.protocol == kTcpIpProtocolLpr && settings.portNumber <= kLargestPortNumber);
  return protocol && !settings.name.empty() && !settings.host.empty() &&
         FitsField(settings.name, std::size(data.sztPortName)) &&
         FitsField(settings.host, std::size(data.sztHostAddress)) &&
         FitsField(settings.queue, std::size(data.sztQueue)) &&
         FitsField(settings.community, std::size(data.sztSNMPCommunity));
}

DWORD ReadPortSettings(const BYTE* answer, size_t size, DWORD written, std::wstring_view name,
                       TcpIpPortSettings& settings) {
  settings = {};
  if (answer == nullptr || size < sizeof(PortData1) || written > size ||
      written < offsetof(PortData1, dwSNMPDevIndex) + sizeof(DWORD)) {
    return ERROR_INVALID_DATA;
  }
  PortData1 data;
  std::memcpy(&data, answer, sizeof(data));
  settings.name = name;
  settings.protocol = data.dwProtocol;
  // An LPR port keeps its number too: a monitor that leaves it 0 means LPR's own.
  settings.portNumber = data.dwProtocol == kTcpIpProtocolLpr && data.dwPortNumber == 0
                            ? kLprPortNumber
                            : data.dwPortNumber;
  settings.byteCount = data.dwProtocol == kTcpIpProtocolLpr && data.dwDoubleSpool != 0;
  settings.snmp = data.dwSNMPEnabled != 0;
  settings.snmpIndex = settings.snmp ? data.dwSNMPDevIndex : 0;
  const bool fields =
      FieldOf(data.sztHostAddress, std::size(data.sztHostAddress), settings.host) &&
      FieldOf(data.sztQueue, std::size(data.sztQueue), settings.queue) &&
      FieldOf(data.sztSNMPCommunity, std::size(data.sztSNMPCommunity), settings.community);
  if (data.dwProtocol != kTcpIpProtocolLpr) settings.queue.clear();
  if (!settings.snmp) settings.community.clear();
  return data.dwVersion == 1 && fields && IsTcpIpPortSettings(settings) ? 0 : ERROR_INVALID_DATA;
}

DWORD ReadTcpIpPort(const wchar_t* server, std::wstring_view port, TcpIpPortSettings& settings) {
  UniquePrinter xcv;
  if (const DWORD error =
          OpenXcv(server, L",XcvPort " + std::wstring(port), SERVER_ACCESS_ENUMERATE, xcv)) {
    return error;
  }
  ConfigInfoData1 request = {};
  request.dwVersion = 1;
  PortData1 answer = {};
  DWORD written = 0;
  DWORD status = 0;
  if (!Platform().XcvDataW(xcv.get(), L"GetConfigInfo", reinterpret_cast<BYTE*>(&request),
                           sizeof(request), reinterpret_cast<BYTE*>(&answer), sizeof(answer),
                           &written, &status)) {
    return FailureCode();
  }
  if (status != ERROR_SUCCESS) return status;
  return ReadPortSettings(reinterpret_cast<const BYTE*>(&answer), sizeof(answer), written, port,
                          settings);
}

bool IsCopyableTcpIpPortName(std::wstring_view name) { return IsPlainFileName(name); }

bool IsCopyableTcpIpPort(const TcpIpPortSettings& settings) {
  std::wstring host;
  return IsCopyableTcpIpPortName(settings.name) && ParseHost(settings.host, host) &&
         host == settings.host;
}

DWORD AddTcpIpPort(const wchar_t* server, const TcpIpPortSettings& settings) {
  if (!IsTcpIpPortSettings(settings) || !IsCopyableTcpIpPort(settings)) return ERROR_INVALID_DATA;
  UniquePrinter xcv;
  if (const DWORD error = OpenXcv(server, L",XcvMonitor " + std::wstring(kTcpIpMonitor),
                                  SERVER_ACCESS_ADMINISTER, xcv)) {
    return error;
  }
  PortData1 data = {};
  CopyField(data.sztPortName, settings.name);
  data.dwVersion = 1;
  data.dwProtocol = settings.protocol;
  data.cbSize = sizeof(data);
  CopyField(data.sztHostAddress, settings.host);
  CopyField(data.sztSNMPCommunity, settings.community);
  data.dwDoubleSpool = settings.byteCount ? 1 : 0;
  CopyField(data.sztQueue, settings.queue);
  // A record saved before LPR kept its number goes back on LPR's own.
  data.dwPortNumber = settings.protocol == kTcpIpProtocolLpr && settings.portNumber == 0
                          ? kLprPortNumber
                          : settings.portNumber;
  data.dwSNMPEnabled = settings.snmp ? 1 : 0;
  data.dwSNMPDevIndex = settings.snmpIndex;
  DWORD needed = 0;
  DWORD status = 0;
  if (!Platform().XcvDataW(xcv.get(), L"AddPort", reinterpret_cast<BYTE*>(&data), sizeof(data),
                           nullptr, 0, &needed, &status)) {
    return FailureCode();
  }
  return status;
}

namespace {

DWORD PortNumberOf(const TcpIpPortSettings& settings) {
  return settings.protocol == kTcpIpProtocolLpr && settings.portNumber == 0 ? 515
                                                                            : settings.portNumber;
}

std::wstring WayOf(const TcpIpPortSettings& settings) {
  const std::wstring number = std::to_wstring(PortNumberOf(settings));
  if (settings.protocol != kTcpIpProtocolLpr) return L"RAW " + number;
  return L"LPR " + number + L" queue " + settings.queue;
}

}  // namespace

std::wstring PortDifference(const TcpIpPortSettings& theirs, const TcpIpPortSettings& wanted,
                            std::wstring_view target) {
  const std::wstring port = L"port " + wanted.name + L" on " + std::wstring(target);
  if (!SameName(theirs.host, wanted.host)) {
    return port + L" points at " + theirs.host + L", not " + wanted.host;
  }
  if (theirs.protocol != wanted.protocol || PortNumberOf(theirs) != PortNumberOf(wanted) ||
      !SameName(theirs.queue, wanted.queue)) {
    return port + L" points at " + theirs.host + L" by " + WayOf(theirs) + L", not by " +
           WayOf(wanted);
  }
  return {};
}

}  // namespace kestrun
