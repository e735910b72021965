#include "report/queues_command.h"

#include <string>
#include <utility>
#include <vector>

#include "report/command_runs.h"
#include "report/console.h"
#include "report/queues.h"
#include "report/queues_log.h"

namespace kestrun {

int RunQueuesRequest(const ReportRequest& request, std::unique_ptr<CsvLog>& log) {
  std::vector<std::wstring> machines;
  std::wstring notes;
  if (!ReadRequestMachines(request, machines, notes)) return kExitFailed;
  if (!OpenLog(request.logPath, log)) return kExitFailed;
  if (log && HoldsAnotherQueuesHeader(log->ReadStart(QueuesLogHeader().size()))) {
    PrintRefusedLog(
        L"\r\nThe file ", request.logPath,
        L" is not a queues log (its first line is another header).\r\n"
        L"Kestrun appends printers only to a new file or a queues log: name another file.\r\n");
    return kExitFailed;
  }
  BeginRunOutput(notes);
  return RunQueues(std::move(machines), log.get(), request.timeoutSeconds,
                   request.probe ? request.probeSeconds : 0);
}

}  // namespace kestrun
