// What the commands that change machines share ("/delete", "/restore"): the
// lines and action-log rows of each machine, the machine's line and the
// summary, and the run that settles each machine on the main thread, in
// order, with one locked append to the log per machine.
#pragma once

#include <windows.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "report/csv_log.h"
#include "report/machine_run.h"

namespace kestrun {

// The action log: UTF-8 with a BOM, RFC 4180, the fleet log's Excel rule.
std::string ActionsLogHeader();
// True when a log's first bytes are neither empty nor the action log's header
// (or its header before the Size column, which a log written then keeps).
bool HoldsAnotherHeader(std::string_view firstBytes);

struct ActionRow {
  std::wstring_view action;  // "would delete", "deleted", "kept", "failed", ...
  std::wstring_view kind;    // "printer", "driver", "package", "snapshot"
  std::wstring_view name;
  std::wstring_view environment;
  std::wstring_view version;
  DWORD code = 0;  // 0 for success
  std::wstring_view reason;
};
// `size`: a package's bytes, where the row has one (the Size column).
void AppendActionRow(std::string& bytes, std::wstring_view time, std::wstring_view machine,
                     const ActionRow& row, std::optional<ULONGLONG> size = std::nullopt,
                     std::optional<std::wstring_view> source = std::nullopt);

// What a run did, per machine and in all. "Go" is what a command does to an
// object: to delete or deleted, to restore or restored.
struct ActionTotals {
  size_t machinesDone = 0;         // planned (what-if), or everything selected went
  size_t machinesWithKept = 0;     // everything tried went, something was kept by rule
  size_t machinesFailed = 0;       // an error, a time limit
  size_t machinesNotFinished = 0;  // Ctrl+C, or never started
  size_t machinesNotWritten = 0;   // their rows are in no log
  size_t driversGo = 0;
  size_t driversKept = 0;
  size_t driversFailed = 0;
  size_t driversNotTried = 0;  // after Ctrl+C
  size_t printersGo = 0;
  size_t printersKept = 0;
  size_t printersFailed = 0;
  size_t printersNotTried = 0;  // a restore's, after Ctrl+C
  size_t packagesGo = 0;
  size_t packagesKept = 0;
  size_t packagesFailed = 0;
  size_t packagesNotTried = 0;
  size_t portsGo = 0;  // TCP/IP ports a restore or a copy makes
  size_t portsKept = 0;
  size_t portsFailed = 0;
  size_t portsNotTried = 0;
  size_t notCopied = 0;       // a copy's printers, drivers and ports that cannot be copied
  size_t orphansGo = 0;       // of packagesGo: the store's unused packages
  ULONGLONG orphanBytes = 0;  // their size
  size_t packagesNotJudged = 0;  // the store's packages Kestrun could not judge: left alone
};

// The words of a command's lines.
struct ActionWords {
  const wchar_t* machinesDone;     // "cleaned", "restored"
  const wchar_t* planned;          // " to delete", " to restore"
  const wchar_t* done;             // " deleted", " restored"
  const wchar_t* packagesPlanned;  // " to remove"
  const wchar_t* packagesDone;     // " removed"
  bool keptIsLeft;                 // a kept object fails the exit code (not one already there)
  // A copy's: its log has a Source column before Machine, its machines (the
  // sources) go one after another, and a machine's line counts printers.
  bool copy;
};
extern const ActionWords kDeleteWords;
extern const ActionWords kRestoreWords;
extern const ActionWords kCopyWords;

// The copy log: the action log's columns with Source before Machine.
std::string CopyLogHeader();
bool HoldsAnotherCopyHeader(std::string_view firstBytes);

std::wstring ActionSummaryLine(const ActionTotals& totals, bool whatIf, const ActionWords& words);

// One machine's lines and log rows, in the same order.
struct ActionOutcome {
  DWORD error = 0;    // the machine failed before it was changed
  std::wstring why;   // what failed, before the code and the system's text
  bool whyAlone = false;  // `why` says it all: no code follows
  std::wstring time;  // of its rows: when its plan was taken
  std::wstring lines;
  std::string rows;
  ActionTotals counts;
};

class ActionRecord {
 public:
  ActionRecord(std::wstring_view machine, ActionOutcome& outcome,
               std::optional<std::wstring_view> source = std::nullopt)
      : machine_(machine), outcome_(outcome), source_(source) {}

  void Add(const std::wstring& line, const ActionRow& row,
           std::optional<ULONGLONG> size = std::nullopt);

 private:
  std::wstring_view machine_;
  ActionOutcome& outcome_;
  std::optional<std::wstring_view> source_;  // a copy's rows name their source
};

// A machine's work: its outcome, and (for a machine given up inside a step)
// how it records what it had done, the step in progress failed with `code`.
struct ActionWork : MachineResult {
  ActionOutcome outcome;
  virtual void RecordAsItStands(std::wstring_view machine, DWORD code) = 0;
};

// Runs a command over its machines (sixteen at a time): each machine's lines
// and its line as it settles, its rows in one locked append, then the summary.
// Returns the exit code: 0 only when every machine was planned or did all it
// was asked. The work must share, not borrow, what it reads: a worker left
// inside a spooler call may outlive the run.
// A copy names its target (`copyTarget`), for the row of a source given up
// before it had a record of its own.
int RunActions(const std::vector<std::wstring>& machines, unsigned limitSeconds, bool whatIf,
               CsvLog* log, const ActionWords& words, const MachineTask& work,
               std::wstring_view copyTarget = {});

// "5 Access is denied."
std::wstring CodeText(DWORD code);
// A server's text in double quotes, its control characters shown as "?".
std::wstring Quoted(std::wstring_view text);
// The time of a plan's rows: 2026-12-09T03:15:42Z.
std::wstring UtcNow();

}  // namespace kestrun
