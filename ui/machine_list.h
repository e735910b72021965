// The machine box's drop-down list: the servers the network's browsing
// service reports, fetched on a worker thread each time the list opens.
#pragma once

#include <windows.h>

namespace kestrun {

// The thread procedure started for each opening of the list. Fetches run one
// at a time, in the order they started: each releases the record the last one
// left, empties the box and fills it, so none frees a record another still
// reads and their names never interleave.
DWORD WINAPI FetchMachineList(LPVOID);

// Enumerates the servers into the current record and adds their names to the
// box; false when the enumeration failed (the box then stays empty).
bool FillMachineCombo();

// Releases the record and the network buffer it holds.
void ReleaseMachineList();

}  // namespace kestrun
