// "Delete Driver(s)": the plan of the ticked drivers taken on the window's
// thread, and the worker that reads the target's printers, asks, deletes,
// refreshes the list and reports the outcome.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "inventory/deletion.h"
#include "ui/box_text.h"

namespace kestrun {

constexpr int kDeleteMessageCapacity = 320;  // the failure headline

// "Also Remove Driver Packages": off at every start (nothing is stored).
extern bool removeDriverPackages;

// The menu command: toggles the option and its check mark; refused with a
// beep while an enumeration or deletion runs. True when it toggled.
bool ToggleRemoveDriverPackages();

// The button's click, on the window's thread: claims the run slot, takes the
// plan of the ticked rows and starts the worker. False while an enumeration
// or deletion runs (nothing starts).
bool StartDeletion();
// The same run for the plan `takePlan` makes on the window's thread once the
// slot is claimed (the packages window's unused packages, without drivers).
bool StartDeletion(const std::function<DeletionPlan()>& takePlan);

// A close of the main window (its close button, Alt+F4, File > Exit, WM_CLOSE),
// on the window's thread: true when the window may close now. While the
// question is up the close answers it No, and the window closes when the run
// ends. While the deletion runs the close is held: an information box says so,
// and the window closes by itself once the outcome box is answered.
bool MayCloseNow(HWND window);

// WM_QUERYENDSESSION: refused while the deletion runs; the question is
// answered No.
bool MayEndSession();

// The window's handlers of IDT_ANSWER_NO and WM_KESTRUN_DELETION_STAGE.
void AnswerQuestionNo(HWND window);
void DeletionStageChanged(HWND window);

// A run that changes the machine (a deletion, or a restore): claims the run
// slot and stands at its question; false while a listing or deletion runs.
// On the window's thread. A close answers the question No, and waits for the
// change once it has begun.
bool BeginChangeRun();
// On the worker: asks; true when the answer was Yes and no close answered No
// first. From then on the run is changing the machine.
bool AskToChange(const std::wstring& question, UINT style);
// On the worker, at its end: the slot and the buttons are free again, and a
// close held meanwhile closes the window.
void EndChangeRun();

// The worker's thread procedure; its parameter is the DeletionPlan it owns.
// It holds processLock for its whole run and the run slot until its outcome
// box closes.
DWORD WINAPI DeletionWorker(LPVOID plan);

// The ticked rows of the list as drivers of the current inventory (through
// each row's item parameter, so names of any length are exact), with the
// inventory's target. Any state image but 1 counts as ticked.
DeletionPlan TakeDeletionPlan();

// The question: the warning, the target, then the printers that go, the
// printers kept and why, the drivers they keep, and (with the option) the
// packages; at most `listed` listed lines (the screen may hold fewer).
std::wstring ConfirmationText(const DeletionPlan& plan, size_t listed = kListedLinesLimit);

// A plan of driver-store packages only (no drivers), once prepared: the
// warning, the counts and their size, the target, then the packages that go
// and those a driver now comes from.
std::wstring PackageRemovalQuestion(const DeletionPlan& plan, size_t listed = kListedLinesLimit);
// Its outcome: the headline, the target, the counts, then what stayed and why
// before what went.
std::wstring PackageRemovalOutcome(const DeletionPlan& plan, UINT& icon,
                                   size_t listed = kListedLinesLimit);
// "hpcu215u.inf (Windows x64, 61.4.0.0, 2019-03-12, 412 MB)"; facts it lacks are left out.
std::wstring PackageLine(const PlannedPackage& package);

// The outcome's headline, cut to the failure buffer.
std::wstring DeletionOutcomeText(bool deletedAll, bool anyDeleted, DWORD lastError, UINT& icon);

// The headline, the target, the counts, then the drivers and packages that
// stayed and the printers and packages that went; within the box's bounds.
std::wstring DeletionOutcomeMessage(const DeletionPlan& plan, bool deletedAll, bool anyDeleted,
                                    DWORD lastError, UINT& icon, size_t listed = kListedLinesLimit);

// The system's text for a code on one line, or "error N" when it has none.
std::wstring ErrorLine(DWORD code);

// The system's text for a code on one line, or the code as a number.
std::wstring ErrorTextOrNumber(DWORD code);

}  // namespace kestrun
