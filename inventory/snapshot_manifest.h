// The manifest of a snapshot: what a deletion removed, as a text a person can
// read. A version line, then one record a line: a kind, then TAB-separated
// "key=value" fields, every value escaped (backslash, TAB, line breaks, NUL
// and other control characters), binary values as hexadecimal digits, the
// whole in UTF-8; an "end" line counts the records. A snapshot folder is
// untrusted input: the reader checks every line and refuses, naming the line,
// anything it cannot take whole.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "inventory/tcpip_ports.h"

namespace kestrun {

// Format 2 adds the TCP/IP ports of copied printers; format 1 is still read.
constexpr int kSnapshotFormat = 2;
constexpr size_t kNoOwner = static_cast<size_t>(-1);

// A file the snapshot copied: where it lies in the snapshot folder, and what
// the driver (or package) named it.
struct SnapshotFile {
  size_t driver = kNoOwner;   // the driver that names it, or
  size_t package = kNoOwner;  // the package folder it belongs to
  std::wstring stored;        // relative to the snapshot folder
  std::wstring original;      // the path the spooler gave, or the package's own
  ULONGLONG bytes = 0;
  std::string sha256;  // 64 lower-case hexadecimal digits
  size_t line = 0;     // its line in the manifest read (not written)
};

// A driver's record as the spooler gave it (level 8, or 6 from an old server).
struct SnapshotDriver {
  DWORD level = 8;
  std::wstring name, environment, driverPath, dataFile, configFile, helpFile, monitorName,
      defaultDataType, mfgName, oemUrl, hardwareId, provider, printProcessor, vendorSetup, infPath;
  // Multi-strings, their strings joined by NUL characters.
  std::wstring dependentFiles, previousNames, colorProfiles, coreDependencies;
  DWORD version = 0;  // cVersion
  DWORD attributes = 0;
  ULONGLONG driverDate = 0;  // FILETIME as one number
  ULONGLONG driverVersion = 0;
  ULONGLONG minInboxDate = 0;
  ULONGLONG minInboxVersion = 0;
  size_t package = kNoOwner;  // its package, when the deletion removed it too
};

// A driver-store package folder saved because the deletion removed it.
struct SnapshotPackage {
  std::wstring infPath;  // as the spooler gave it
  std::wstring environment;
  std::wstring stored;  // the folder, relative to the snapshot folder
  size_t line = 0;      // its line in the manifest read (not written)
  // Found when the snapshot is read (not written): its INF's DriverVer
  // version and the bytes of its files.
  std::wstring version;
  ULONGLONG bytes = 0;
};

struct SnapshotValue {
  std::wstring key;   // the printer data key, "\"-separated
  std::wstring name;  // the value's name
  DWORD type = 0;     // REG_SZ, REG_DWORD, REG_BINARY, ...
  std::vector<BYTE> data;
};

struct SnapshotPrinter {
  std::wstring name, shareName, portName, driverName, comment, location, sepFile, printProcessor,
      datatype, parameters;
  DWORD attributes = 0, priority = 0, defaultPriority = 0, startTime = 0, untilTime = 0;
  std::vector<BYTE> devMode;             // the default DEVMODE, whole (empty: none)
  std::vector<BYTE> securityDescriptor;  // self-relative (empty: none)
  std::vector<SnapshotValue> data;
};

// A Standard TCP/IP port a copied printer prints to, with its monitor's
// settings (format 2).
struct SnapshotPort {
  std::wstring name, host, queue, community;
  DWORD protocol = 1;    // RAW 1, LPR 2
  DWORD portNumber = 0;  // RAW's
  DWORD byteCount = 0;   // LPR byte counting: 0 or 1
  DWORD snmp = 0;        // 0 or 1
  DWORD snmpIndex = 0;
  size_t line = 0;  // its line in the manifest read (not written)
};

struct Snapshot {
  std::wstring machine;     // as the user named it; the computer's name for this one
  // The spooler name: "\\" and the machine for a remote one, "\\" for this
  // computer. Read back, it is made from the machine line, never taken as written.
  std::wstring targetName;
  bool isRemote = false;
  std::wstring taken;  // UTC, 2026-12-09T03:15:42Z
  std::vector<SnapshotDriver> drivers;
  std::vector<SnapshotPackage> packages;
  std::vector<SnapshotFile> files;
  std::vector<SnapshotPrinter> printers;
  std::vector<SnapshotPort> ports;
};

// A port record's settings, and the record of settings.
TcpIpPortSettings SettingsOf(const SnapshotPort& port);
SnapshotPort PortRecordOf(const TcpIpPortSettings& settings);

// The manifest's name of the first text of a printer record that a snapshot
// cannot hold as it is (a control character where none may stand, which a
// restore refuses); null when every text can be saved.
const char* UnsavablePrinterText(const SnapshotPrinter& printer);

// The manifest's bytes.
std::string ManifestText(const Snapshot& snapshot);

// Reads a manifest; false with `problem` naming the line ("line 12: ...") when
// it is not a Kestrun snapshot, of a newer format, or damaged: a field the
// spooler would read otherwise than it is written (a control character in a
// text, a file name Windows changes, a DEVMODE or security descriptor whose
// sizes lie), a record given twice, a spooler that is not the machine's.
// Stored paths must lie inside the snapshot folder.
bool ReadManifest(std::string_view bytes, Snapshot& snapshot, std::wstring& problem);

// Reads only a manifest's first records, up to the machine it names (the
// window asks where a snapshot goes before the restore reads it whole):
// false when they cannot be read.
bool ReadManifestMachine(std::string_view bytes, Snapshot& snapshot);

// The name a manifest has inside its snapshot folder.
constexpr wchar_t kManifestName[] = L"manifest.txt";

// True for a path relative to a folder that stays inside it: no drive, no
// leading backslash, no "." or ".." part, no empty part, no ":" (a stream),
// and every part a plain file name (IsPlainFileName).
bool IsPathInside(std::wstring_view relative);

// True for a name the file system keeps as it is written: no trailing dot or
// blank (Windows trims them, so "A.DLL." opens "A.DLL"), no reserved device
// name (CON, NUL, COM1, LPT1, ... with any extension), no 8.3 alias ("~1"),
// no control character, wildcard, separator or stream.
bool IsPlainFileName(std::wstring_view name);

// True for a path as a spooler names a driver's file: a bare name, or a path
// on a drive ("C:\...") whose every part is a plain file name.
bool IsPlainOriginalPath(std::wstring_view path);

// True for a machine's name as a UNC path takes it: not empty, at most
// kMaxMachineNameLength characters, no separator, blank, wildcard or control.
constexpr size_t kMaxMachineNameLength = 255;
bool IsMachineName(std::wstring_view name);

// The printer's name as AddPrinterW takes it: without "\\SERVER\".
std::wstring LocalPrinterName(const std::wstring& name);

// True for bytes that are a whole DEVMODE: dmSize from the fields through
// dmFields up to the whole public part, and dmSize + dmDriverExtra exactly
// the bytes.
bool IsWholeDevMode(const BYTE* bytes, size_t size);

// The length of a self-relative security descriptor at `bytes`, with its
// owner, group and lists inside the `room` bytes there; 0 when it is not one.
size_t WholeSecurityDescriptorLength(const BYTE* bytes, size_t room);

}  // namespace kestrun
