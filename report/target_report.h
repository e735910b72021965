// "Kestrun TargetMachine [C:\LogFilePath.csv]": every driver of one machine as
// a labelled block on the console, and a row each in the CSV log.
#pragma once

#include <windows.h>
#include <winspool.h>

#include <memory>
#include <string>

#include "inventory/driver_inventory.h"
#include "inventory/field_text.h"
#include "report/command_grammar.h"
#include "report/csv_log.h"

namespace kestrun {

constexpr size_t kReportFailureCapacity = 256;

// Opens the log, then lists the target within the time limit and prints (and
// logs) every driver. Ctrl+C ends it with exit code 1, the log holding the
// whole append or none of it. Returns the exit code.
int RunReportRequest(const ReportRequest& request, std::unique_ptr<CsvLog>& log);

// Prints every enumerated driver's block and, with a log, appends the header
// and every driver's row to it in one locked append. Returns the exit code: 1
// when the append failed, the log then as it was before.
int PrintAndLogDrivers(DriverInventory& inventory, CsvLog* log);

// One driver's labelled block as its three colour runs: the red separator,
// the blue name, the red fields. Server text has its control characters shown
// as "?"; an absent field shows its label alone. With `facts` (dates in
// yyyy-mm-dd form) six more lines end the fields: printers, version, date,
// type, package-aware, package.
struct DriverBlockText {
  std::wstring separator;
  std::wstring name;
  std::wstring fields;
};
DriverBlockText BuildDriverBlock(const DRIVER_INFO_6& driver, const wchar_t* dependentFiles,
                                 const DriverFacts* facts = nullptr);

// Prints one driver's labelled block in the report's colours.
void PrintDriverBlock(const DRIVER_INFO_6& driver, const wchar_t* dependentFiles,
                      const DriverFacts* facts = nullptr);

}  // namespace kestrun
