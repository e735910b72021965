// Reads the few fields Kestrun needs from a driver package's INF: whether it
// installs printers, its provider and its DriverVer. An INF in a machine's
// driver store is untrusted text: at most kMaxInfBytes of it are read, in
// UTF-16 (with its byte-order mark) or 8-bit text, each line cut at
// kMaxInfLineChars, and "%strings%" resolved from its [Strings] section one
// level deep. Bytes in, fields out: nothing here touches a file.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrun {

constexpr size_t kMaxInfBytes = size_t{1024} * 1024;
constexpr size_t kMaxInfLineChars = 4096;

// The printer class, as an INF's [Version] section names it.
constexpr wchar_t kPrinterClassGuid[] = L"{4D36E979-E325-11CE-BFC1-08002BE10318}";

struct InfFields {
  bool printerClass = false;  // Class=Printer, or the printer class GUID
  std::wstring provider;      // its %strings% resolved
  std::wstring date;          // DriverVer's date as 2019-03-12; empty when absent or malformed
  std::wstring version;       // DriverVer's version, "61.4.0.0"
};

enum class InfRead {
  Read,        // the fields are filled
  NoVersion,   // text without a [Version] section: not a driver package's INF
  Unreadable,  // not text Kestrun reads: empty, binary, UTF-16 of an odd length
};

// Reads the fields from an INF's first bytes (the caller reads at most
// kMaxInfBytes; a line cut by that limit is dropped).
InfRead ReadInfFields(std::string_view bytes, InfFields& fields);

}  // namespace kestrun
