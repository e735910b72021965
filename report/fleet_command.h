// "Kestrun @Machines.txt [C:\FleetLog.csv]": the list and the fleet log are
// checked before any machine is asked.
#pragma once

#include <memory>

#include "report/command_grammar.h"
#include "report/csv_log.h"

namespace kestrun {

// Reads the list and opens the fleet log (refusing one with the older
// columns), then lists every machine. Returns the exit code.
int RunFleetRequest(const ReportRequest& request, std::unique_ptr<CsvLog>& log);

}  // namespace kestrun
