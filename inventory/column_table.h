// The driver list's columns: titles and initial widths. Column 0 holds the
// check box; columns 1 to 14 the driver's fields, whose titles are also the
// command-line CSV header; columns 15 to 20 the facts the clean-up is decided
// on (printers, version, date, type, package). Kept free of window code so the
// report can share it.
#pragma once

namespace kestrun {

constexpr int kColumnCount = 21;
constexpr int kFirstFieldColumn = 1;
constexpr int kLastFieldColumn = 20;
// The command-line log keeps the fourteen driver fields only.
constexpr int kLastLogColumn = 14;
constexpr int kEnvironmentColumn = 4;
// Columns 15 to 20: "Printers", "Driver Version", "Driver Date", "Driver
// Type", "Package-Aware", "Driver Package".
constexpr int kFirstFactColumn = 15;
constexpr int kPrintersColumn = 15;
constexpr int kDriverDateColumn = 17;
constexpr int kColumnTitleCapacity = 22;

extern wchar_t columnTitles[kColumnCount][kColumnTitleCapacity];
extern int columnWidths[kColumnCount];

void FillColumnTable();

}  // namespace kestrun
