// Command-line mode: "Kestrun TargetMachine [C:\LogFilePath.csv]" prints every
// driver of the target to the console and appends them to a CSV log;
// "Kestrun @Machines.txt [C:\FleetLog.csv]" lists a whole fleet; "/delete"
// cleans up, "/restore" puts a snapshot back, "/queues" lists the printers
// and "/copy" copies them. Options such as "/timeout:60" come before the
// target or the list.
#pragma once

#include <memory>
#include <string_view>

// The grammar, the runs' shared pieces and the single-target report come with
// this header: the commands, tests and benchmarks that include it use them.
#include "inventory/driver_inventory.h"
#include "inventory/field_text.h"
#include "report/command_grammar.h"
#include "report/command_runs.h"
#include "report/csv_log.h"
#include "report/target_report.h"

namespace kestrun {

// Runs the whole report. The opened log (if any) is handed back in `log` for
// start-up to close. Returns the process exit code.
int RunCommandLineReport(std::wstring_view argumentText, std::unique_ptr<CsvLog>& log);

// Writes one message in a colour to the console (or the redirected output)
// as a report would, for a run that is no report.
void PrintConsoleMessage(WORD colour, const std::wstring& text);

}  // namespace kestrun
