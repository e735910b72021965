#include "report/queues.h"

#include <deque>
#include <memory>
#include <new>

#include "common/win32_handles.h"
#include "devices/device_probe.h"
#include "inventory/driver_inventory.h"
#include "inventory/field_text.h"
#include "inventory/printers.h"
#include "report/command_line.h"
#include "report/console.h"
#include "report/fleet.h"
#include "report/listing_report.h"
#include "report/machine_run.h"
#include "report/queue_devices.h"
#include "report/queues_log.h"

namespace kestrun {

namespace {

constexpr wchar_t kGap[] = L"  ";

// One machine's printers as its worker hands them to the main thread.
struct QueuesResult : ListingResult {  // its lines: a line per printer
  VerdictCounts counts;
  std::wstring devices;  // after a probe: how many queues can move to the inbox IPP class driver
};

// What a run's probes share: the devices each machine's probe may ask at
// once, of the whole run. A worker left behind may outlive the run.
struct RunProbe {
  unsigned seconds = 0;  // 0: no probe
  UniqueHandle gate;
};

// Asks the devices of a machine's printers and writes what they answer into
// its rows (the texts go in `texts`). Each device keeps its own time limit,
// and the machine's does not run meanwhile: a slow device never throws the
// server's answers away. Returns how many queues can move to the inbox IPP
// class driver.
std::wstring ProbeQueues(QueueTable& table, const RunProbe& probe, MachineSteps& steps,
                         std::deque<std::wstring>& texts) {
  QueueProbePlan plan;
  for (const QueueRow& row : table.rows) plan.Add(row.portKind, row.cells[kQueueDeviceAddress]);
  ProbeOptions options;
  options.limitSeconds = probe.seconds;
  options.gate = probe.gate.get();
  if (!steps.BeginUntimed()) return {};
  const auto results =
      ProbeDevices(plan.Devices(), options, steps.StopFlag(), [](size_t, size_t) { return true; });
  const auto shown = plan.Describe(results, probe.seconds, texts);
  DriverlessTally tally;
  for (size_t r = 0; r < table.rows.size(); ++r) {
    QueueRow& row = table.rows[r];
    row.cells[kQueueDevice] = shown[r].device;
    row.cells[kQueueDeviceModel] = shown[r].model;
    if (!IsRemovedVerdict(row.verdict)) continue;
    tally.Add(shown[r].driverless, shown[r].mopria, shown[r].notAsked);
  }
  return DriverlessCountText(tally);
}

void ListQueues(bool logging, const std::wstring& machine, const RunProbe& probe,
                MachineSteps& steps, QueuesResult& result) {
  const std::unique_ptr<DriverInventory> inventory = ListMachineDrivers(machine, result.error);
  if (!inventory) return;
  if (!inventory->printers && inventory->printerError != 0) {
    result.error = inventory->printerError;  // the printers are what this listing is for
    return;
  }
  ReadQueues(*inventory);
  QueueTable table = DescribeQueues(*inventory);
  std::deque<std::wstring> deviceTexts;
  const bool probing = probe.seconds != 0;
  if (probing) {
    result.devices = ProbeQueues(table, probe, steps, deviceTexts);
  }
  result.counts = CountVerdicts(table.rows);
  const std::wstring logged = logging ? LoggedMachineName(machine) : std::wstring();
  for (const QueueRow& row : table.rows) {
    AppendQueueLine(result.lines, row, probing);
    if (logging) AppendQueueRow(result.rows, logged, row.cells, row.reason);
  }
}  // the inventory goes here: only the lines and rows wait for the main thread

// The main thread's side of a run: each machine's lines and its rows
// appended to the log, as it settles.
class QueuesReport : public ListingReport {
 public:
  QueuesReport(MachineRun& run, const std::vector<std::wstring>& machines, CsvLog* log,
               unsigned limitSeconds)
      : ListingReport(run, machines, log, QueuesLogHeader(), limitSeconds) {}

  // The summary line; true when every machine answered and was written.
  bool PrintSummary() const {
    WriteConsoleColored(Whole() ? kGreen : kRed,
                        QueuesSummaryLine(answered_, finished_ - answered_, Total() - finished_,
                                          printers_, thirdParty_, notWritten_, legacy_)
                            .c_str());
    return Whole();
  }

 private:
  std::wstring AnsweredLine(size_t finished, size_t total, const std::wstring& machine,
                            const ListingResult& answered) override {
    const auto& result = static_cast<const QueuesResult&>(answered);
    printers_ += result.counts.printers;
    thirdParty_ += result.counts.thirdParty;
    legacy_ += result.counts.legacy;
    return MachineLinePrefix(finished, total, machine) +
           QueuesMachineCounts(result.counts, result.devices);
  }

  ULONGLONG printers_ = 0;
  ULONGLONG thirdParty_ = 0;
  ULONGLONG legacy_ = 0;
};

}  // namespace

void AppendQueueLine(std::wstring& lines, const QueueRow& row, bool probed) {
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
    wchar_t type[16] = {};
    _ultow_s(row.driverType, type, std::size(type), 10);
    lines += L", Type ";
    lines += type;
  }
  lines += L")";
  lines += kGap;
  lines += cells[kQueueProtectedPrint];
  if (probed) {
    lines += kGap;
    AppendShownText(lines, cells[kQueueDevice]);
    if (!cells[kQueueDeviceModel].empty()) {
      lines += L" (";
      AppendShownText(lines, DeviceTextWithin(cells[kQueueDeviceModel], kMaxShownDeviceText));
      lines += L")";
    }
  }
  lines += L"\r\n";
}

std::wstring QueuesMachineCounts(const VerdictCounts& counts, std::wstring_view devices) {
  std::wstring line =
      std::to_wstring(counts.printers) + (counts.printers == 1 ? L" printer (" : L" printers (") +
      std::to_wstring(counts.thirdParty) + L" third-party driver, " +
      (counts.legacy > 0 ? std::to_wstring(counts.legacy) + L" Windows' legacy driver, "
                         : std::wstring()) +
      std::to_wstring(counts.inboxIppClass) + L" inbox IPP class driver)";
  if (!devices.empty()) line += L", " + std::wstring(devices);
  return line + L"\r\n";
}

std::wstring QueuesSummaryLine(size_t answered, size_t failed, size_t notFinished,
                               ULONGLONG printers, ULONGLONG thirdParty, size_t notWritten,
                               ULONGLONG legacy) {
  std::wstring line = L"\r\nMachines: " + std::to_wstring(answered) + L" answered, " +
                      std::to_wstring(failed) + L" failed";
  if (notFinished > 0) line += L", " + std::to_wstring(notFinished) + L" not finished";
  if (notWritten > 0) line += L", " + std::to_wstring(notWritten) + L" not written to the log";
  line += L". Printers: " + std::to_wstring(printers) + L" (" + std::to_wstring(thirdParty) +
          L" third-party driver";
  if (legacy > 0) line += L", " + std::to_wstring(legacy) + L" Windows' legacy driver";
  return line + L").\r\n";
}

int RunQueues(std::vector<std::wstring> machines, CsvLog* log, unsigned limitSeconds,
              unsigned probeSeconds) {
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
  const auto probe = std::make_shared<RunProbe>();
  if (probeSeconds != 0) {
    probe->gate.reset(::CreateSemaphoreW(nullptr, static_cast<LONG>(kMaxProbesAtOnce),
                                         static_cast<LONG>(kMaxProbesAtOnce), nullptr));
    probe->seconds = probe->gate ? probeSeconds : 0;
  }
  const MachineRunEnd end = run.Run(
      [list, logging, probe](size_t index, MachineSteps& steps) {
        // One step: the listing and its ports; then its devices, untimed.
        auto result = ListOnWorker<QueuesResult>(steps, [&](QueuesResult& result) {
          ListQueues(logging, (*list)[index], *probe, steps, result);
        });
        // A probe cut by Ctrl+C leaves the machine not finished, whatever it found.
        if (probe->seconds != 0 && steps.StopFlag().load()) result.reset();
        return result;
      },
      report);
  if (!end.started) return ListingStartFailure(end.error);
  return report.PrintSummary() ? kExitOk : kExitFailed;
}

}  // namespace kestrun
