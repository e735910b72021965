// "Kestrun /delete ... TARGET|@LIST [ACTIONS.csv]": the machines and the
// action log are checked before anything is listed.
#pragma once

#include <memory>

#include "report/command_grammar.h"
#include "report/csv_log.h"

namespace kestrun {

// Reads the machines and opens the action log (refusing a file with another
// header), then cleans up. Returns the exit code.
int RunCleanupRequest(const ReportRequest& request, std::unique_ptr<CsvLog>& log);

}  // namespace kestrun
