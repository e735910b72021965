#include "report/fleet_command.h"

#include <string>
#include <utility>
#include <vector>

#include "inventory/column_table.h"
#include "report/command_runs.h"
#include "report/console.h"
#include "report/fleet.h"
#include "report/fleet_log.h"

namespace kestrun {

int RunFleetRequest(const ReportRequest& request, std::unique_ptr<CsvLog>& log) {
  std::vector<std::wstring> machines;
  std::wstring notes;
  if (!ReadMachineList(request.listPath, machines, notes)) return kExitFailed;
  if (!OpenLog(request.logPath, log)) return kExitFailed;
  FillColumnTable();
  if (log && HoldsOlderFleetHeader(log->ReadStart(OlderFleetHeaderSize()))) {
    // Rows of twenty columns under a header of fifteen would shift every
    // reader's columns: the log is left as it is.
    PrintRefusedLog(
        L"\r\nThe fleet log ", request.logPath,
        L" holds the older columns (none after \"Hardware ID\").\r\n"
        L"Kestrun appends only to a fleet log with the current columns: name a new file.\r\n");
    return kExitFailed;
  }
  BeginRunOutput(notes);
  return RunFleet(std::move(machines), log.get(), request.timeoutSeconds);
}

}  // namespace kestrun
