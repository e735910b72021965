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
  if (!ReadRequestMachines(request, machines)) return kExitFailed;
  if (!OpenActionLog(request, log)) return kExitFailed;
  BeginRunOutput();
  return RunCleanup(request, std::move(machines), log.get());
}

}  // namespace kestrun
