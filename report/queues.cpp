#include "report/queues.h"

#include <memory>
#include <new>

#include "inventory/driver_inventory.h"
#include "inventory/field_text.h"
#include "inventory/printers.h"
#include "report/command_line.h"
#include "report/console.h"
#include "report/fleet.h"
#include "report/machine_run.h"
#include "report/queues_log.h"

namespace kestrun {

namespace {

constexpr wchar_t kGap[] = L"  ";

// One machine's printers as its worker hands them to the main thread.
struct QueuesResult : MachineResult {
  DWORD error = 0;
  std::wstring lines;  // a line per printer
  std::string rows;    // the machine's log rows
  VerdictCounts counts;
};

void ListQueues(bool logging, const std::wstring& machine, QueuesResult& result) {
  if (machine.size() > kMaxTargetMachineName) {
    result.error = ERROR_INVALID_NAME;  // never asked: no server has such a name
    return;
  }
  const std::unique_ptr<DriverInventory> inventory = CreateInventory();
  if (!inventory) {
    result.error = ERROR_NOT_ENOUGH_MEMORY;
    return;
  }
  if (!EnumerateDrivers(*inventory, machine)) {
    result.error = inventory->lastError;
    return;
  }
  if (!inventory->printers && inventory->printerError != 0) {
    result.error = inventory->printerError;  // the printers are what this listing is for
    return;
  }
  ReadQueues(*inventory);
  const QueueTable table = DescribeQueues(*inventory);
  result.counts = CountVerdicts(table.rows);
  for (const QueueRow& row : table.rows) {
    AppendQueueLine(result.lines, row);
    if (logging) AppendQueueRow(result.rows, machine, row.cells, row.reason);
  }
}  // the inventory goes here: only the lines and rows wait for the main thread

// The main thread's side of a run: each machine's lines and its rows
// appended to the log, as it settles.
class QueuesReport : public MachineRunSink {
 public:
  QueuesReport(MachineRun& run, const std::vector<std::wstring>& machines, CsvLog* log,
               unsigned limitSeconds)
      : run_(run), machines_(machines), log_(log), limitSeconds_(limitSeconds) {}

  void Finished(size_t index, std::unique_ptr<MachineResult> settled) override {
    const auto* result = static_cast<const QueuesResult*>(settled.get());
    const std::wstring& machine = machines_[index];
    const size_t total = machines_.size();
    ++finished_;
    const DWORD error = result ? result->error : ERROR_NOT_ENOUGH_MEMORY;
    const bool failedBefore = logError_ != ERROR_SUCCESS;
    if (error != 0) {
      WriteConsoleRed(
          FleetFailedLine(finished_, total, machine, error, SystemErrorText(error)).c_str());
    } else {
      if (log_ && !result->rows.empty()) {
        // After a failed append no machine is written: the log keeps the
        // machines written before, whole.
        if (!failedBefore) logError_ = log_->AppendWhole(result->rows, header_);
        if (logError_ != ERROR_SUCCESS) ++notWritten_;
      }
      ++answered_;
      printers_ += result->counts.printers;
      thirdParty_ += result->counts.thirdParty;
      WriteConsoleRed(result->lines.c_str());
      WriteConsoleColored(kGreen, (MachineLinePrefix(finished_, total, machine) +
                                   QueuesMachineCounts(result->counts))
                                      .c_str());
    }
    if (!failedBefore && logError_ != ERROR_SUCCESS) {
      PrintLogWriteFailure(*log_, logError_);
      run_.Stop();  // no other machine starts
    }
    FlushConsole();
  }

  void GivenUpOn(size_t index, GivenUp why, std::unique_ptr<MachineResult>) override {
    // After Ctrl+C a machine still being listed is not finished: nothing of it is written.
    if (why != GivenUp::TimeLimit) return;
    ++finished_;
    WriteConsoleRed(
        FleetTooLateLine(finished_, machines_.size(), machines_[index], limitSeconds_).c_str());
    FlushConsole();
  }

  // The summary line; true when every machine answered and was written.
  bool PrintSummary() const {
    const bool whole = answered_ == machines_.size() && logError_ == ERROR_SUCCESS;
    WriteConsoleColored(
        whole ? kGreen : kRed,
        QueuesSummaryLine(answered_, finished_ - answered_, machines_.size() - finished_, printers_,
                          thirdParty_, notWritten_)
            .c_str());
    return whole;
  }

 private:
  MachineRun& run_;
  const std::vector<std::wstring>& machines_;
  CsvLog* const log_;
  const std::string header_ = QueuesLogHeader();
  const unsigned limitSeconds_;
  size_t finished_ = 0;
  size_t answered_ = 0;
  size_t notWritten_ = 0;
  DWORD logError_ = ERROR_SUCCESS;
  ULONGLONG printers_ = 0;
  ULONGLONG thirdParty_ = 0;
};

}  // namespace

void AppendQueueLine(std::wstring& lines, const QueueRow& row) {
  const std::wstring_view* cells = row.cells;
  lines += kGap;
  AppendShownText(lines, cells[kQueuePrinter]);
  lines += kGap;
  AppendShownText(lines, cells[kQueuePortKind]);
  // Where it prints: its device, else its port (a connection has none here).
  std::wstring_view where = cells[kQueueDeviceAddress];
  if (where.empty() && row.portKind != PortKind::Connection &&
      cells[kQueuePortKind] != cells[kQueuePort]) {
    where = cells[kQueuePort];
  }
  if (!where.empty()) {
    lines += L' ';
    AppendShownText(lines, where);
  }
  lines += kGap;
  AppendShownText(lines, cells[kQueueDriver]);
  lines += L" (";
  lines += cells[kQueueDriverOrigin];
  if (row.origin != DriverOrigin::NotInstalled) {
    lines += L", Type ";
    lines += std::to_wstring(row.driverType);
  }
  lines += L")";
  lines += kGap;
  lines += cells[kQueueProtectedPrint];
  lines += L"\r\n";
}

std::wstring QueuesMachineCounts(const VerdictCounts& counts) {
  return std::to_wstring(counts.printers) +
         (counts.printers == 1 ? L" printer (" : L" printers (") +
         std::to_wstring(counts.thirdParty) + L" third-party driver, " +
         std::to_wstring(counts.inboxIppClass) + L" inbox IPP class driver)\r\n";
}

std::wstring QueuesSummaryLine(size_t answered, size_t failed, size_t notFinished,
                               ULONGLONG printers, ULONGLONG thirdParty, size_t notWritten) {
  std::wstring line = L"\r\nMachines: " + std::to_wstring(answered) + L" answered, " +
                      std::to_wstring(failed) + L" failed";
  if (notFinished > 0) line += L", " + std::to_wstring(notFinished) + L" not finished";
  if (notWritten > 0) line += L", " + std::to_wstring(notWritten) + L" not written to the log";
  return line + L". Printers: " + std::to_wstring(printers) + L" (" + std::to_wstring(thirdParty) +
         L" third-party driver).\r\n";
}

int RunQueues(std::vector<std::wstring> machines, CsvLog* log, unsigned limitSeconds) {
  if (log) {
    const DWORD error = log->AppendWhole({}, QueuesLogHeader());
    if (error != ERROR_SUCCESS) {
      PrintLogWriteFailure(*log, error);
      return kExitFailed;
    }
  }
  // The workers' own copy: one left inside a spooler call may outlive this run.
  const auto list = std::make_shared<const std::vector<std::wstring>>(std::move(machines));
  MachineRun run({list->size(), limitSeconds});
  QueuesReport report(run, *list, log, limitSeconds);
  const bool logging = log != nullptr;
  const MachineRunEnd end = run.Run(
      [list, logging](size_t index, MachineSteps& steps) -> std::unique_ptr<MachineResult> {
        if (!steps.BeginReading()) return nullptr;  // one step: the listing, ports and devices
        auto result = std::make_unique<QueuesResult>();
        try {
          ListQueues(logging, (*list)[index], *result);
        } catch (const std::bad_alloc&) {
          *result = QueuesResult{};
          result->error = ERROR_NOT_ENOUGH_MEMORY;
        }
        return result;
      },
      report);
  if (!end.started) {
    std::wstring failure =
        L"Failed to start listing the machines: " + std::to_wstring(end.error) + L" ";
    AppendShownText(failure, SystemErrorText(end.error));
    WriteConsoleRed((failure + L"\r\n").c_str());
    return kExitFailed;
  }
  return report.PrintSummary() ? kExitOk : kExitFailed;
}

}  // namespace kestrun
