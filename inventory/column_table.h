// The driver list's columns: titles and initial widths. Column 0 holds the
// check box; columns 1 to 14 the driver's fields, and their titles are also the
// CSV header. Kept free of window code so the report can share it.
#pragma once

namespace kestrun {

constexpr int kColumnCount = 15;
constexpr int kFirstFieldColumn = 1;
constexpr int kLastFieldColumn = 14;
constexpr int kColumnTitleCapacity = 22;

extern wchar_t columnTitles[kColumnCount][kColumnTitleCapacity];
extern int columnWidths[kColumnCount];

void FillColumnTable();

}  // namespace kestrun
