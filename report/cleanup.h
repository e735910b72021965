// "Kestrun /delete ...": the window's deletion for one machine or a list of
// them. Each machine's plan is built by the deletion engine from one listing,
// printed and logged; only with "/yes" is it carried out.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

#include "report/command_line.h"
#include "report/csv_log.h"

namespace kestrun {

// A driver name against a "/driver:" pattern: "*" any run of characters, "?"
// any one, letter case ignored (as PowerShell's -like does).
bool MatchesDriverPattern(std::wstring_view pattern, std::wstring_view name);

// Whether "/delete" selects a driver. `printers` is its "Printers" count, null
// when the printers could not be read. A native driver is selected only by a
// pattern without wildcards that names it; "/unused" never selects one.
bool SelectsDriver(const CleanupOptions& options, std::wstring_view name,
                   std::wstring_view environment, bool native, const DWORD* printers);

// The action log: UTF-8 with a BOM, RFC 4180, the fleet log's Excel rule.
std::string ActionsLogHeader();
// True when a log's first bytes are neither empty nor the action log's header.
bool HoldsAnotherHeader(std::string_view firstBytes);

struct ActionRow {
  std::wstring_view action;  // "would delete", "deleted", "kept", "failed", ...
  std::wstring_view kind;    // "printer", "driver", "package"
  std::wstring_view name;
  std::wstring_view environment;
  std::wstring_view version;
  DWORD code = 0;  // 0 for success
  std::wstring_view reason;
};
void AppendActionRow(std::string& bytes, std::wstring_view time, std::wstring_view machine,
                     const ActionRow& row);

// The summary line of a run.
struct CleanupTotals {
  size_t machinesDone = 0;       // planned (what-if), or cleaned: everything selected went
  size_t machinesWithKept = 0;   // everything tried went, something was kept by rule
  size_t machinesFailed = 0;     // an error, a time limit
  size_t machinesNotFinished = 0;  // Ctrl+C, or never started
  size_t machinesNotWritten = 0;   // their rows are in no log
  size_t driversGo = 0;  // to delete, or deleted
  size_t driversKept = 0;
  size_t driversFailed = 0;
  size_t driversNotTried = 0;  // after Ctrl+C
  size_t printersGo = 0;
  size_t printersFailed = 0;
  size_t packagesGo = 0;
  size_t packagesKept = 0;
  size_t packagesFailed = 0;
  size_t packagesNotTried = 0;
};
std::wstring CleanupSummaryLine(const CleanupTotals& totals, bool whatIf);

// Cleans up every machine (16 at a time), each machine's lines together, then
// the summary; appends each machine's rows to the log in one locked append.
// Returns the exit code.
int RunCleanup(const ReportRequest& request, std::vector<std::wstring> machines, CsvLog* log);

}  // namespace kestrun
