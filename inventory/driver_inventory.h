// What Kestrun knows about one target machine (its drivers as the spooler
// returned them, and the tables derived from them), and the IPC$ session that
// authenticates the spooler calls to a remote target.
#pragma once

#include <windows.h>
#include <winnetwk.h>
#include <winspool.h>

#include <memory>
#include <string>
#include <string_view>

namespace kestrun {

constexpr int kTargetNameCapacity = 256;  // "\\" + at most 253 characters + terminator
constexpr int kRemoteNameCapacity = 155;  // "\\" + name + "\IPC$" + terminator
constexpr int kListEntryCapacity = 256;   // one string of a split multi-string

using ListEntry = wchar_t[kListEntryCapacity];

struct QueueListing;  // inventory/printers.h
struct SpoolerAnswer;

// What a level-8 record adds to a driver's level-6 fields.
struct DriverPackageFields {
  const wchar_t* infPath = nullptr;  // inside `drivers`; null when absent
  DWORD attributes = 0;              // dwPrinterDriverAttributes
};

struct DriverInventory {
  DWORD driverCount = 0;
  std::unique_ptr<DWORD[]> nonNativeIndexes;
  DWORD nonNativeCount = 0;
  std::unique_ptr<BYTE[]> drivers;  // DRIVER_INFO_6 records, then their strings
  std::unique_ptr<ListEntry[]> listEntries;
  int listEntryCount = 0;
  wchar_t targetName[kTargetNameCapacity] = {};
  bool isRemote = false;
  std::wstring machineText;  // the machine as it was named for the listing ("" here)
  DWORD lastError = 0;
  bool listed = false;  // a listing filled the record (not a failed or cancelled one)

  // Per driver, present when the server answered level 8 (servers since
  // Vista and Server 2008); absent after a level-6 answer.
  std::unique_ptr<DriverPackageFields[]> packageFields;

  // The target's printers, read once per listing: how many use a driver of
  // each record's name. Absent when they could not be read (`printerError`
  // says why) or before the listing got that far.
  std::unique_ptr<DWORD[]> printerUse;
  DWORD printerCount = 0;
  DWORD printerError = 0;
  // The printer records themselves (PRINTER_INFO_2, then their strings,
  // `printerCount` of them, checked), kept with the listing; absent when
  // they could not be read. What is known of their ports and devices is read after the
  // drivers by those who show it (null until then).
  std::unique_ptr<BYTE[]> printers;
  std::shared_ptr<const QueueListing> queues;

  const DRIVER_INFO_6* Drivers() const {
    return reinterpret_cast<const DRIVER_INFO_6*>(drivers.get());
  }
  const PRINTER_INFO_2W* Printers() const {
    return reinterpret_cast<const PRINTER_INFO_2W*>(printers.get());
  }
};

struct RemoteSession {
  DWORD lastResult = 0;
  wchar_t remoteName[kRemoteNameCapacity] = {};
  NETRESOURCEW netResource = {};
  DWORD alreadyConnected = 0;
};

// The current inventory (null until the first run) and the one session record.
extern DriverInventory* currentInventory;
extern RemoteSession* remoteSession;

// Creates a new record in the empty state; null when memory runs out.
std::unique_ptr<DriverInventory> CreateInventory();

DriverInventory& ResetInventory(DriverInventory& inventory);

// Releases the current inventory and everything it owns.
void ReleaseInventory();

// Makes a record current, releasing the one it replaces.
void MakeCurrentInventory(std::unique_ptr<DriverInventory> inventory);

// A machine name as admins type it: "SRV", "\\SRV" and "\\\\SRV" all name SRV.
std::wstring_view BareMachineName(std::wstring_view typed);

// True for a name of the machine Kestrun runs on: ".", "localhost", its
// loopback addresses and its own computer names (NetBIOS and DNS, letter case
// ignored), with or without leading backslashes. Such a target is listed and
// cleaned as the local machine is: no server name, no IPC$ session, the
// user's printer connections counted.
bool IsLocalMachineName(std::wstring_view typed);

// The name a log gives a machine: this computer's own (NetBIOS) name for any
// name of it, the empty one included, so logs gathered from many desktops
// tell them apart; another machine's name as typed.
std::wstring LoggedMachineName(std::wstring_view typed);

// True when two typed names name one machine: both this one (an empty name
// too), one name in two spellings ("SRV", "\\\\srv"), or a host's DNS name
// and its first label ("SRV" and "srv.contoso.com"). Names are not looked up.
bool IsSameMachine(std::wstring_view a, std::wstring_view b);

// The machine's printers at level 2, every record checked: a remote machine's
// own printers; the local machine's own and the user's connections (each runs
// a local copy of its server's driver). A list that cannot be trusted to name
// every printer's driver (a record whose driver name cannot be read, a sizing
// call that claims printers but hands none) fails with ERROR_INVALID_DATA.
DWORD ReadPrinters(const wchar_t* serverName, SpoolerAnswer& answer);

// Opens the IPC$ session to a machine (leading backslashes of the name are
// dropped); true when the session is usable. A name too long for the share
// name, or one of backslashes only, fails with ERROR_INVALID_NAME.
bool ConnectTargetSession(RemoteSession& session, std::wstring_view machineName);

// Drops the session of the last connection attempt unless it existed before.
void CancelTargetSession(RemoteSession& session);

// Reads every driver record of every environment of a machine (empty for the
// local one; leading backslashes are dropped) into the record: at level 8
// where the server answers it, else at level 6. `drivers` then holds level-6
// records either way, and `packageFields` what level 8 adds. Then reads the
// machine's printers (the local machine's own and the user's connections)
// into `printerUse`; printers that cannot be read leave the listing a
// success. A name too long for the spooler name, or one of backslashes only,
// fails with ERROR_INVALID_NAME.
bool EnumerateDrivers(DriverInventory& inventory, std::wstring_view machineName);

// Longest machine name (without leading backslashes) the spooler name holds.
constexpr size_t kMaxTargetMachineName = kTargetNameCapacity - 3;

}  // namespace kestrun
