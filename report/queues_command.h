// "Kestrun /queues ... TARGET|@LIST [QUEUES.csv]": the machines and the
// queues' log are checked before anything is listed.
#pragma once

#include <memory>

#include "report/command_grammar.h"
#include "report/csv_log.h"

namespace kestrun {

// Reads the machines and opens the queues' log, which must be new, empty or
// a queues' log already, then lists every printer. Returns the exit code.
int RunQueuesRequest(const ReportRequest& request, std::unique_ptr<CsvLog>& log);

}  // namespace kestrun
