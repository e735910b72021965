// "Kestrun /delete ...": the window's deletion for one machine or a list of
// them. Each machine's plan is built by the deletion engine from one listing,
// printed and logged; only with "/yes" is it carried out.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

#include "report/command_line.h"
#include "report/action_run.h"
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

// Cleans up every machine (16 at a time), each machine's lines together, then
// the summary; appends each machine's rows to the log in one locked append.
// Returns the exit code.
int RunCleanup(const ReportRequest& request, std::vector<std::wstring> machines, CsvLog* log);

}  // namespace kestrun
