#include "report/cleanup_command.h"

#include <string>
#include <utility>
#include <vector>

#include "report/cleanup.h"
#include "report/command_runs.h"
#include "report/console.h"

namespace kestrun {

int RunCleanupRequest(const ReportRequest& request, std::unique_ptr<CsvLog>& log) {
  std::vector<std::wstring> machines;
  std::wstring notes;
  if (!ReadRequestMachines(request, machines, notes)) return kExitFailed;
  if (!OpenActionLog(request, log)) return kExitFailed;
  BeginRunOutput(notes);
  return RunCleanup(request, std::move(machines), log.get());
}

}  // namespace kestrun
