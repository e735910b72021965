// The fleet log: UTF-8 with a BOM, RFC 4180 quoting, CR LF line ends, and a
// "Machine" column before the twenty driver columns (the fourteen fields,
// then printers, version, date, type and package), so Excel and PowerShell's
// Import-Csv read every field back intact.
#pragma once

#include <windows.h>
#include <winspool.h>

#include <string>
#include <string_view>

#include "inventory/field_text.h"

namespace kestrun {

// Encodes one field as UTF-8. A field holding a comma, a double quote, CR or
// LF is quoted, with its quotes doubled. CR and LF stay; every other control
// character is written as "?". A lone surrogate is written as U+FFFD. A field
// starting with =, +, -, @, TAB or CR gets a single quote before it, so a
// spreadsheet never takes it for a formula.
void AppendFleetField(std::string& bytes, std::wstring_view text);

// The BOM and the header line, for a log that is new or empty. The column
// table must have been filled.
std::string FleetLogHeader();

// True when a log begins with the header of the older fleet log, whose rows
// end after "Hardware ID": rows of twenty columns must never go below it.
bool HoldsOlderFleetHeader(std::string_view firstBytes);

// The bytes HoldsOlderFleetHeader needs to see.
size_t OlderFleetHeaderSize();

// One driver's row: the machine's name, then the fourteen fields as the
// command-line log has them, an absent field empty, then the six facts
// (dates as yyyy-mm-dd; empty without facts).
void AppendFleetRow(std::string& bytes, std::wstring_view machine, const DRIVER_INFO_6& driver,
                    const wchar_t* dependentFilesLine, const DriverFacts* facts = nullptr);

}  // namespace kestrun
