// The list's CSV log: the rows of the driver list, with all or the chosen
// columns, appended to the file the Save Selected Items dialog names.
#pragma once

#include <windows.h>

#include "inventory/column_table.h"

namespace kestrun {

// Cells are read whole; this is the buffer each read starts with, so a cell
// of up to 319 characters takes one read.
constexpr int kListLogCellCapacity = 320;

// The state of the save dialog's boxes: entry 0 "Save all columns", entry c
// the box of list column c (1 when ticked).
extern int columnChoices[kColumnCount];

// The dialog's box for each list column (entry 0: "Save all columns").
extern const int kColumnChoiceBoxes[kColumnCount];

void ReadColumnChoices(HWND dialog);

// Appends a header and one line per list row to the file the dialog's path
// box names; the dialog owns the message shown when it cannot be opened.
void WriteListLog(HWND dialog);

}  // namespace kestrun
