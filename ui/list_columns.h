// The driver list's columns as the admin reads them: widths that keep every
// title whole, the sort arrow on the sorted column, and the order the columns
// are shown in. Nothing here changes a column's index: Save Output, Copy Item,
// Find and the logs keep the table's order whatever the screen shows.
#pragma once

#include <windows.h>
#include <commctrl.h>

namespace kestrun {

// View > "Decision Columns First": the six facts a clean-up is decided on
// shown right after the driver's name. Off whenever the columns are inserted.
extern bool decisionColumnsFirst;

// The narrowest a column's header shows its title whole in, with the sort
// arrow beside it, in the list's font.
int TitleFitWidth(int column);
// The same for a title in another list (the printers window's).
int TitleFitWidth(HWND list, const wchar_t* title);

// Sizes a column to fit its contents, never narrower than its title.
void FitColumn(int column);

// Sizes the Environment column and the six fact columns for the rows listed:
// each as wide as its widest cell up to a bound, never narrower than its
// title; Environment never narrower than its width in the column table.
void FitReadableColumns();

// Puts the system's sort arrow on one column's header, pointing the way its
// rows run, and takes it off every other header.
void ShowSortArrow(int column, bool descending);
void ShowSortArrow(HWND list, int column, bool descending);

// Switches the facts between their place after the driver's name and the
// table's order, and ticks the menu item to match.
void ToggleDecisionColumnsFirst();

// True for a header notice that would move the check-box column from the
// first place, or put another column before it: the list's subclass answers
// it TRUE, and the header leaves its columns where they were.
bool RefuseCheckBoxColumnMove(const NMHDR& notice);

}  // namespace kestrun
