// What the listing commands (the fleet report and "/queues") share on the
// main thread: each machine's lines and line as it settles, its rows in one
// locked append to the log, a log that cannot be written stopping the run,
// and the line of a machine past its time limit.
#pragma once

#include <windows.h>

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "inventory/driver_inventory.h"
#include "report/csv_log.h"
#include "report/machine_run.h"

namespace kestrun {

// One machine's listing, made by its worker.
struct ListingResult : MachineResult {
  DWORD error = 0;     // the machine failed: nothing of it is written
  std::wstring lines;  // lines before the machine's own (a line per printer, say)
  std::string rows;    // the machine's log rows
};

class ListingReport : public MachineRunSink {
 public:
  ListingReport(MachineRun& run, const std::vector<std::wstring>& machines, CsvLog* log,
                std::string header, unsigned limitSeconds);

  void Finished(size_t index, std::unique_ptr<MachineResult> settled) final;
  void GivenUpOn(size_t index, GivenUp why, std::unique_ptr<MachineResult>,
                 const std::wstring&) final;

  // Every machine answered and was written.
  bool Whole() const;

 protected:
  // The line of a machine that answered; counts what the command totals.
  virtual std::wstring AnsweredLine(size_t finished, size_t total, const std::wstring& machine,
                                    const ListingResult& result) = 0;
  // Its colour: green, unless the command's line says something is wrong.
  virtual WORD AnsweredColour(const ListingResult&) const;

  size_t Total() const { return machines_.size(); }
  size_t finished_ = 0;
  size_t answered_ = 0;
  size_t notWritten_ = 0;

 private:
  MachineRun& run_;
  const std::vector<std::wstring>& machines_;
  CsvLog* const log_;
  const std::string header_;
  const unsigned limitSeconds_;
  DWORD logError_ = ERROR_SUCCESS;
};

// A worker's listing of one machine: its drivers with their printers, or
// null with the reason in `error` (a name no server has is never asked).
std::unique_ptr<DriverInventory> ListMachineDrivers(const std::wstring& machine, DWORD& error);

// A machine's listing on its worker, as its one reading step: memory running
// out fails the machine with nothing of it kept.
template <typename Result, typename Listing>
std::unique_ptr<MachineResult> ListOnWorker(MachineSteps& steps, const Listing& listing) {
  if (!steps.BeginReading()) return nullptr;
  auto result = std::make_unique<Result>();
  try {
    listing(*result);
  } catch (const std::bad_alloc&) {
    *result = Result{};
    result->error = ERROR_NOT_ENOUGH_MEMORY;
  }
  return result;
}

// Says why no machine could be started; returns the exit code.
int ListingStartFailure(DWORD error);

}  // namespace kestrun
