// "Kestrun /restore [/yes] [/timeout:S] SNAPSHOT-FOLDER [ACTIONS.csv]": puts
// a snapshot back on the machine it was taken from. Without "/yes" it only
// prints and logs what it would restore, as "/delete" does.
#pragma once

#include <memory>
#include <string>

#include "inventory/restore.h"
#include "report/action_run.h"
#include "report/command_line.h"
#include "report/csv_log.h"

namespace kestrun {

// A machine's work that restores: its restore, and the step in progress
// should the machine be given up inside it.
struct RestoringWork : ActionWork {
  bool stepInProgress = false;
  RestoreStep inProgress;
  virtual RestorePlan& Restoring() = 0;
};

// Paces a restore by the run's clock: each package and driver a step of its
// own, the ports and the printers a self-timed step each, whose deadline the
// restore keeps between its units (so none is cut half-made). The record as
// it stands (a RestoringWork, given to BeginChanging) follows each step.
void PaceRestore(RestorePlan& plan, MachineSteps& steps);

// The line of a restore the time limit cut between its units, when it was.
void AddDeadlineLine(const RestorePlan& plan, ActionOutcome& outcome);

// Reads the snapshot (refusing one that is damaged, foreign, newer, or of
// another computer, before anything is listed), then restores it. Returns
// the exit code.
int RunRestore(const ReportRequest& request, CsvLog* log);

// Opens the action log as the clean-up does, then restores. Returns the exit code.
int RunRestoreRequest(const ReportRequest& request, std::unique_ptr<CsvLog>& log);

}  // namespace kestrun
