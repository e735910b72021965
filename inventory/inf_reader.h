// Reads the few fields Kestrun needs from a driver package's INF: whether it
// installs printers, its provider and its DriverVer. An INF in a machine's
// driver store is untrusted text: at most kMaxInfBytes of it are read, in
// UTF-16 (with its byte-order mark) or 8-bit text, each line cut at
// kMaxInfLineChars, and "%strings%" resolved from its [Strings] section one
// level deep ([Strings], then [Strings.0409], then the first other
// localized section), each expansion at most kMaxExpandedChars. Bytes in,
// fields out: nothing here touches a file.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrun {

constexpr size_t kMaxInfBytes = size_t{1024} * 1024;
constexpr size_t kMaxInfLineChars = 4096;
// A %strings% expansion longer than this is cut, ending in "...".
constexpr size_t kMaxExpandedChars = 4096;
// What a DriverVer date or version that is no real one shows.
constexpr wchar_t kInvalidField[] = L"(invalid)";

// The printer class, as an INF's [Version] section names it.
constexpr wchar_t kPrinterClassGuid[] = L"{4D36E979-E325-11CE-BFC1-08002BE10318}";

struct InfFields {
  // The printer class GUID, or no ClassGUID and Class=Printer.
  bool printerClass = false;
  bool classConflict = false;  // Class and ClassGUID name different classes
  std::wstring provider;       // its %strings% resolved
  // DriverVer's date as 2019-03-12 (1980 to 2099) and its version, "61.4.0.0"
  // (up to four numbers of at most 65535): empty when absent, "(invalid)"
  // when no real one.
  std::wstring date;
  std::wstring version;
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
