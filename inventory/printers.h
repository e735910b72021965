// The printers behind the drivers: the listing's printer records, the ports
// they print to and, for a TCP/IP port, the device it sends to. Read once per
// listing, after the drivers, while the listing's session is still open.
// Every answer is checked before anything reads it; one that cannot be read
// never fails the listing: it leaves that printer's facts short and says why.
#pragma once

#include <windows.h>
#include <winspool.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/text_store.h"
#include "inventory/driver_inventory.h"

namespace kestrun {

// The Standard TCP/IP Port monitor's answer to "GetConfigInfo", as its
// header (tcpxcv.h, which MinGW lacks) lays it out.
constexpr DWORD kTcpIpProtocolRaw = 1;  // PROTOCOL_RAWTCP_TYPE
constexpr DWORD kTcpIpProtocolLpr = 2;  // PROTOCOL_LPR_TYPE
struct PortData1 {
  wchar_t sztPortName[64];
  DWORD dwVersion;
  DWORD dwProtocol;
  DWORD cbSize;
  DWORD dwReserved;
  wchar_t sztHostAddress[49];
  wchar_t sztSNMPCommunity[33];
  DWORD dwDoubleSpool;
  wchar_t sztQueue[33];
  wchar_t sztIPAddress[16];
  BYTE Reserved[540];
  DWORD dwPortNumber;
  DWORD dwSNMPEnabled;
  DWORD dwSNMPDevIndex;
};
struct ConfigInfoData1 {
  BYTE Reserved[128];
  DWORD dwVersion;
};

// The environment a listed machine's own printers use: the native
// processor's here, the server's "Architecture" value on a remote one; empty
// when unknown.
std::wstring PrintersEnvironment(const DriverInventory& inventory);

// A machine's ports (PORT_INFO_2, checked), `server` "\\SRV" or null.
DWORD ReadPorts(wchar_t* server, SpoolerAnswer& answer);

// The ports of a printer's pool: "IP_1, IP_2" holds IP_1 and IP_2.
std::vector<std::wstring> PoolPorts(std::wstring_view ports);

// The print processors a machine has for an environment (PRINTPROCESSOR_INFO_1,
// checked), `server` "\\SRV" or null.
DWORD ReadPrintProcessors(wchar_t* server, const std::wstring& environment, SpoolerAnswer& answer);

// Reads a "GetConfigInfo" answer: `size` bytes at `answer`, of which the
// monitor says it wrote `written`, into the address the port sends to:
// "host:port" for RAW, "host (LPR queue)" for LPR. ERROR_INVALID_DATA unless
// it is whole (written within the bytes and covering the fields read),
// version 1, RAW with a port number from 1 to 65535 or LPR, and its host (not
// empty) and queue end inside their fields.
DWORD ReadPortData1(const BYTE* answer, size_t size, DWORD written, std::wstring& address);

// The machine's ports, from a checked EnumPortsW level-2 answer (which must
// outlive the index), found by name with letter case ignored as the spooler
// does. Throws std::bad_alloc when memory runs out.
class PortIndex {
 public:
  struct Port {
    std::wstring_view name;
    std::wstring_view monitor;
    size_t device = 0;  // for ReadQueues: 1 + where its device's answer is kept; 0 until asked
  };
  PortIndex(const PORT_INFO_2W* ports, DWORD count);
  // Null when the machine has no such port.
  Port* Find(std::wstring_view name);

 private:
  std::vector<Port> ports_;  // sorted by name, letter case folded
};

// Why a printer's port facts are short.
enum class QueueNote {
  None,
  PortsUnreadable,    // the machine's ports could not be read (`noteCode`)
  PortNotListed,      // its port is not among the machine's ports
  AddressUnreadable,  // the TCP/IP monitor did not answer (`noteCode`)
  AddressInvalid,     // the TCP/IP monitor's answer cannot be read
};

// What the listing knows of one printer's port. Its texts lie inside its
// listing.
struct QueueFacts {
  std::wstring_view monitor;  // as the port list names it; empty when not listed
  bool portListed = false;
  std::wstring_view deviceAddress;  // of a TCP/IP port
  QueueNote note = QueueNote::None;
  DWORD noteCode = 0;
};

struct QueueListing {
  std::vector<QueueFacts> queues;            // one per printer record, in the spooler's order
  std::wstring environment;                  // the printers' environment; empty when unknown
  std::unique_ptr<BYTE[]> ports;             // the port records the monitors lie in
  std::vector<std::wstring_view> addresses;  // the device addresses, each port's once
  TextStore addressTexts;                    // what `addresses` view
};

// Reads, for the inventory's printer records, the machine's ports (once) with
// their monitors, each TCP/IP port's device (once per port) and the printers'
// environment, into `inventory.queues`. Nothing when the printers were not
// read. A printer pooled on several ports is described by its first.
void ReadQueues(DriverInventory& inventory);

// The reason a note gives, for the "Reason" column; empty for none.
std::wstring QueueReasonText(const QueueFacts& facts);

}  // namespace kestrun
