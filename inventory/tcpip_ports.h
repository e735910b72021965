// A Standard TCP/IP port's settings as its monitor keeps them, read from one
// machine and created on another through the monitor's XcvData calls
// ("GetConfigInfo" on the port, "AddPort" on the monitor), with the port
// data structure of the monitor's header (PORT_DATA_1).
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace kestrun {

struct TcpIpPortSettings {
  std::wstring name;
  std::wstring host;       // a host name or an IP address
  DWORD protocol = 1;      // RAW (1) or LPR (2)
  DWORD portNumber = 0;    // RAW's, and LPR's (515 unless set otherwise)
  std::wstring queue;      // LPR's queue name
  bool byteCount = false;  // LPR byte counting
  bool snmp = false;
  std::wstring community;  // SNMP's
  DWORD snmpIndex = 0;     // SNMP's device index
};

// Whether settings fit the port data's fields and mean a port: a name and a
// host of plain characters within their fields, RAW with a port number from
// 1 to 65535 or LPR (0 there meaning its 515), a queue and a community within
// theirs.
bool IsTcpIpPortSettings(const TcpIpPortSettings& settings);

// The port number LPR's own, which an LPR port without one uses.
constexpr DWORD kLprPortNumber = 515;

// Whether a port may be made on another machine as it is: a name that is no
// path, stream or device (a plain file name: no separator, colon or reserved
// device name) and a host that names a device (a host name, an IPv4 or an
// IPv6 address).
bool IsCopyableTcpIpPortName(std::wstring_view name);

// How `theirs`, a port of that name on `target`, differs from the port
// wanted: "port NAME on TARGET points at HOST, not HOST2", or "... by RAW
// 9100, not by LPR 515 queue q". Empty when both send the same way to the
// same host (an LPR port number of 0 being 515).
std::wstring PortDifference(const TcpIpPortSettings& theirs, const TcpIpPortSettings& wanted,
                            std::wstring_view target);
bool IsCopyableTcpIpPort(const TcpIpPortSettings& settings);

// Reads a "GetConfigInfo" answer (`size` bytes, `written` of them written by
// the monitor) into settings, for the port `name`; ERROR_INVALID_DATA for an
// answer that is not whole or means no port (IsTcpIpPortSettings).
DWORD ReadPortSettings(const BYTE* answer, size_t size, DWORD written, std::wstring_view name,
                       TcpIpPortSettings& settings);

// Asks a machine's TCP/IP monitor (`server` "\\SRV", or null for this
// computer) for a port's settings; 0 or the code.
DWORD ReadTcpIpPort(const wchar_t* server, std::wstring_view port, TcpIpPortSettings& settings);

// Creates the port on a machine with these settings; 0 or the code
// (ERROR_INVALID_DATA for settings IsTcpIpPortSettings or
// IsCopyableTcpIpPort refuses).
DWORD AddTcpIpPort(const wchar_t* server, const TcpIpPortSettings& settings);

}  // namespace kestrun
