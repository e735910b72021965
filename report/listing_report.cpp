#include "report/listing_report.h"

#include "inventory/field_text.h"
#include "report/command_line.h"
#include "report/console.h"
#include "report/fleet.h"

namespace kestrun {

ListingReport::ListingReport(MachineRun& run, const std::vector<std::wstring>& machines,
                             CsvLog* log, std::string header, unsigned limitSeconds)
    : run_(run), machines_(machines), log_(log), header_(std::move(header)),
      limitSeconds_(limitSeconds) {}

void ListingReport::Finished(size_t index, std::unique_ptr<MachineResult> settled) {
  const auto* result = static_cast<const ListingResult*>(settled.get());
  const std::wstring& machine = machines_[index];
  ++finished_;
  const DWORD error = result ? result->error : ERROR_NOT_ENOUGH_MEMORY;
  const bool failedBefore = logError_ != ERROR_SUCCESS;
  if (error != 0) {
    WriteConsoleRed(
        FleetFailedLine(finished_, Total(), machine, error, SystemErrorText(error)).c_str());
  } else {
    if (log_ && !result->rows.empty()) {
      // After a failed append no machine is written: the log keeps the
      // machines written before, whole.
      if (!failedBefore) logError_ = log_->AppendWhole(result->rows, header_);
      if (logError_ != ERROR_SUCCESS) ++notWritten_;
    }
    ++answered_;
    if (!result->lines.empty()) WriteConsoleRed(result->lines.c_str());
    WriteConsoleColored(AnsweredColour(*result),
                        AnsweredLine(finished_, Total(), machine, *result).c_str());
  }
  if (!failedBefore && logError_ != ERROR_SUCCESS) {
    PrintLogWriteFailure(*log_, logError_);
    run_.Stop();  // no other machine starts
  }
  FlushConsole();
}

void ListingReport::GivenUpOn(size_t index, GivenUp why, std::unique_ptr<MachineResult>,
                              const std::wstring&) {
  // After Ctrl+C a machine still being listed is not finished: nothing of it is written.
  if (why != GivenUp::TimeLimit) return;
  ++finished_;
  WriteConsoleRed(FleetTooLateLine(finished_, Total(), machines_[index], limitSeconds_).c_str());
  FlushConsole();
}

WORD ListingReport::AnsweredColour(const ListingResult&) const { return kGreen; }

bool ListingReport::Whole() const {
  return answered_ == machines_.size() && logError_ == ERROR_SUCCESS;
}

std::unique_ptr<DriverInventory> ListMachineDrivers(const std::wstring& machine, DWORD& error) {
  error = 0;
  if (machine.size() > kMaxTargetMachineName) {
    error = ERROR_INVALID_NAME;
    return nullptr;
  }
  std::unique_ptr<DriverInventory> inventory = CreateInventory();
  if (!inventory) {
    error = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  if (!EnumerateDrivers(*inventory, machine)) {
    error = inventory->lastError;
    return nullptr;
  }
  return inventory;
}

int ListingStartFailure(DWORD error) {
  std::wstring failure = L"Failed to start listing the machines: " + std::to_wstring(error) + L" ";
  AppendShownText(failure, SystemErrorText(error));
  WriteConsoleRed((failure + L"\r\n").c_str());
  return kExitFailed;
}

}  // namespace kestrun
