#include "report/fleet.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>

#include "common/win32_handles.h"
#include "inventory/classification.h"
#include "inventory/driver_inventory.h"
#include "inventory/error_reporter.h"
#include "inventory/field_text.h"
#include "report/command_line.h"
#include "report/console.h"
#include "report/fleet_log.h"
#include "report/listing_report.h"
#include "report/machine_run.h"
#include "inventory/column_table.h"

namespace kestrun {

namespace {

// One machine's outcome. Its worker fills it and hands it to the main thread,
// which owns it from then on.
struct FleetResult : ListingResult {
  DWORD driverCount = 0;
  DWORD nonNativeCount = 0;
  DWORD unusedCount = kUnusedUnknown;
};

bool IsNameTooLong(std::wstring_view machine) { return machine.size() > kMaxTargetMachineName; }

void ListMachine(bool logging, const std::wstring& machine, FleetResult& result) {
  const std::unique_ptr<DriverInventory> inventory = ListMachineDrivers(machine, result.error);
  if (!inventory) return;
  ClassifyDrivers(*inventory);
  result.driverCount = inventory->driverCount;
  result.nonNativeCount = inventory->nonNativeCount;
  if (inventory->printerUse) result.unusedCount = UnusedNonNativeCount(*inventory);
  if (!logging) return;
  const DRIVER_INFO_6* drivers = inventory->Drivers();
  DriverFacts facts;
  const std::wstring logged = LoggedMachineName(machine);
  for (DWORD i = 0; i < inventory->driverCount; ++i) {
    const std::unique_ptr<wchar_t[]> dependentFiles =
        JoinDependentFiles(*inventory, drivers[i].pDependentFiles);
    if (!dependentFiles) throw std::bad_alloc();
    DescribeDriver(*inventory, i, DateForm::Iso, facts);
    AppendFleetRow(result.rows, logged, drivers[i], dependentFiles.get(), &facts);
  }
}  // the inventory goes here: only the rows wait for the main thread

// The main thread's side of a fleet run: each machine's line, and its rows
// appended to the log, as it settles.
class FleetReport : public ListingReport {
 public:
  using ListingReport::ListingReport;

  // The summary line; true when every machine answered and was written.
  bool PrintSummary() const {
    WriteConsoleColored(Whole() ? kGreen : kRed,
                        FleetSummaryLine(answered_, finished_ - answered_, Total() - finished_,
                                         drivers_, notWritten_)
                            .c_str());
    return Whole();
  }

 private:
  std::wstring AnsweredLine(size_t finished, size_t total, const std::wstring& machine,
                            const ListingResult& answered) override {
    const auto& result = static_cast<const FleetResult&>(answered);
    drivers_ += result.driverCount;
    return FleetAnsweredLine(finished, total, machine, result.driverCount, result.nonNativeCount,
                             result.unusedCount);
  }

  ULONGLONG drivers_ = 0;
};

}  // namespace

std::wstring MachineLinePrefix(size_t finished, size_t total, std::wstring_view machine) {
  std::wstring line = L"[" + std::to_wstring(finished) + L"/" + std::to_wstring(total) + L"] ";
  AppendShownText(line, machine.substr(0, kMaxTargetMachineName));  // a longer one is refused
  line += L"  ";
  return line;
}

std::wstring SystemErrorText(DWORD code) {
  // A failure never reads "The operation completed successfully."
  return OneLineText(errorReporter && code != 0 ? errorReporter->GetErrorText(code).text
                                                : L"Unspecified error!");
}

std::wstring FleetAnsweredLine(size_t finished, size_t total, std::wstring_view machine,
                               DWORD drivers, DWORD nonNative, DWORD unused) {
  return MachineLinePrefix(finished, total, machine) + std::to_wstring(drivers) +
         (drivers == 1 ? L" driver (" : L" drivers (") + std::to_wstring(nonNative) +
         L" non-native, " + (unused == kUnusedUnknown ? L"?" : std::to_wstring(unused)) +
         L" unused)\r\n";
}

std::wstring FleetFailedLine(size_t finished, size_t total, std::wstring_view machine, DWORD code,
                             std::wstring_view systemText) {
  if (IsNameTooLong(machine))
    return MachineLinePrefix(finished, total, machine) + L"failed: name too long\r\n";
  std::wstring line = MachineLinePrefix(finished, total, machine) + L"failed: " + std::to_wstring(code);
  const std::wstring text = OneLineText(systemText);
  if (!text.empty()) {
    line += L' ';
    AppendShownText(line, text);
  }
  return line + L"\r\n";
}

std::wstring FleetTooLateLine(size_t finished, size_t total, std::wstring_view machine,
                              unsigned limitSeconds, std::wstring_view then) {
  return MachineLinePrefix(finished, total, machine) + L"failed: no answer within " +
         std::to_wstring(limitSeconds) + L" s" + std::wstring(then) + L"\r\n";
}

std::wstring FleetSummaryLine(size_t answered, size_t failed, size_t notFinished, ULONGLONG drivers,
                              size_t notWritten) {
  std::wstring line = L"\r\nMachines: " + std::to_wstring(answered) + L" answered, " +
                      std::to_wstring(failed) + L" failed";
  if (notFinished > 0) line += L", " + std::to_wstring(notFinished) + L" not finished";
  if (notWritten > 0) line += L", " + std::to_wstring(notWritten) + L" not written to the log";
  return line + L". Drivers: " + std::to_wstring(drivers) + L".\r\n";
}

int RunFleet(std::vector<std::wstring> machines, CsvLog* log, unsigned limitSeconds) {
  std::string header;
  if (log) {
    FillColumnTable();
    header = FleetLogHeader();
    const DWORD error = log->AppendWhole({}, header);
    if (error != ERROR_SUCCESS) {
      PrintLogWriteFailure(*log, error);
      return kExitFailed;
    }
  }
  // The workers' own copy: one left inside a spooler call may outlive this run.
  const auto list = std::make_shared<const std::vector<std::wstring>>(std::move(machines));
  MachineRun run({list->size(), limitSeconds});
  FleetReport report(run, *list, log, header, limitSeconds);
  const bool logging = log != nullptr;
  const MachineRunEnd end = run.Run(
      [list, logging](size_t index, MachineSteps& steps) {
        return ListOnWorker<FleetResult>(
            steps, [&](FleetResult& result) { ListMachine(logging, (*list)[index], result); });
      },
      report);
  if (!end.started) return ListingStartFailure(end.error);
  return report.PrintSummary() ? kExitOk : kExitFailed;
}

}  // namespace kestrun
