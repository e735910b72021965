// Edit > Undo Deletion and File > Restore from Snapshot...: put a snapshot
// back on its machine (or, from the file menu, another one) from the window,
// as the deletion took it away: asked first, carried out on a worker, the
// machine listed again, then an outcome.
#pragma once

#include <windows.h>

#include <string>

#include "inventory/restore.h"

namespace kestrun {

// Keeps the snapshot of this session's last deletion for Edit > Undo
// Deletion, and enables the menu item. Any thread.
void RememberDeletionSnapshot(const std::wstring& folder);
// The folder Undo Deletion puts back; empty when no deletion saved one.
std::wstring DeletionSnapshot();

// The menu commands, on the window's thread: refused with a beep while a
// listing or deletion runs (false then). Restore from Snapshot asks for the
// machine once the folder is picked, the snapshot's own filled in.
bool UndoDeletion();
bool RestoreFromSnapshot();

// Starts restoring a snapshot folder: reads and checks it, asks, restores and
// lists the machine again, on a worker. `to` names another machine to put it
// on (as typed); empty, its own. False while a run is on.
bool StartRestore(const std::wstring& folder, const std::wstring& to = {});

// On the window's thread: cancels a restore still reading and judging its
// snapshot (the Enumerate button reads "Cancel" meanwhile, and Esc does the
// same); false when none is reading.
bool CancelRestoreReading();
bool RestoreReading();

// The question: the machine, the counts, and what will be restored or is
// there already, within the box's bounds.
std::wstring RestoreQuestion(const RestorePlan& plan, size_t listed);
// The outcome: whether all went back, the machine, the counts, then what
// failed before what was restored.
std::wstring RestoreOutcomeMessage(const RestorePlan& plan, UINT& icon, size_t listed);

}  // namespace kestrun
