// Command-line mode: "Kestrun TargetMachine [C:\LogFilePath.csv]" prints every
// driver of the target to the console and appends them to a CSV log;
// "Kestrun @Machines.txt [C:\FleetLog.csv]" lists a whole fleet; "/delete"
// cleans up and "/queues" lists the printers. Options such as "/timeout:60"
// come before the target or the list.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <windows.h>
#include <winspool.h>

#include "devices/device_probe.h"
#include "inventory/driver_inventory.h"
#include "inventory/field_text.h"
#include "report/csv_log.h"

namespace kestrun {

constexpr size_t kReportTargetCapacity = 256;
constexpr size_t kReportLogPathCapacity = 320;
constexpr size_t kReportFailureCapacity = 256;

// Process exit codes of the command-line mode.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// The longest one machine may take to answer, unless "/timeout:SECONDS" says
// otherwise; 0 means no limit.
constexpr unsigned kDefaultTimeoutSeconds = 120;
constexpr unsigned kMaxTimeoutSeconds = 86400;

enum class RequestKind {
  Report,         // enumerate target (empty: the local machine), log when logPath is set
  Fleet,          // enumerate every machine of the list file, log when logPath is set
  Usage,          // not a csv path, a word after it, or a bad option value
  Help,           // "/?", "-?", "/help", "-h", "--help"
  UnknownOption,  // an option this program does not know, in `option`
  Author,         // "-creator"
  TargetTooLong,  // longer than a spooler server name can hold
  PathTooLong,    // longer than the log path buffer holds
  Delete,         // "/delete": clean up `target` or the machines of `listPath`
  Restore,        // "/restore": put the snapshot in `snapshotFolder` back
  Queues,         // "/queues": the printers of `target` or of the machines of `listPath`
};

// What "/delete" selects on each machine, and what it may do there.
struct CleanupOptions {
  std::vector<std::wstring> driverPatterns;  // "/driver:PATTERN", * and ? as wildcards
  std::wstring environment;                  // "/environment:ENV"; empty: every one
  bool unused = false;                       // only drivers no printer uses
  bool printers = false;                     // the printers using them may go first
  bool packages = false;                     // their driver packages go too
  bool orphans = false;                      // the store's packages no driver uses go too
  bool yes = false;                          // carry the plan out; without it nothing changes
  bool noSnapshot = false;                   // "/nosnapshot": delete without saving first
  std::wstring snapshotsRoot;                // "/snapshots:PATH"; empty: the default place
};

struct ReportRequest {
  RequestKind kind = RequestKind::Report;
  std::wstring target;
  std::wstring listPath;  // fleet mode's machine list
  std::wstring logPath;
  std::wstring option;   // the option not understood
  std::wstring problem;  // why the arguments were not understood, above the usage block
  unsigned timeoutSeconds = kDefaultTimeoutSeconds;
  bool timeoutGiven = false;
  bool deleting = false;   // "/delete" was given
  bool restoring = false;  // "/restore" was given
  bool queues = false;     // "/queues" was given
  bool probe = false;      // "/probe": ask each printer's device (with "/queues")
  unsigned probeSeconds = kDefaultProbeSeconds;  // "/probe-timeout:S"
  bool probeTimeoutGiven = false;
  std::wstring snapshotFolder;
  CleanupOptions cleanup;
};

// The argument grammar, as a pure function of the argument text.
ReportRequest ParseReportArguments(std::wstring_view text);

// An environment as "/environment:" takes it (letter case ignored), in the
// spooler's spelling; empty for one the spooler does not know.
std::wstring_view KnownEnvironment(std::wstring_view value);

// Prints every enumerated driver's block and, with a log, appends the header
// and every driver's row to it in one locked append. Returns the exit code: 1
// when the append failed, the log then as it was before.
int PrintAndLogDrivers(DriverInventory& inventory, CsvLog* log);

// Names the log that could not be written and the system's text, in red.
void PrintLogWriteFailure(const CsvLog& log, DWORD error);

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

// Runs the whole report. The opened log (if any) is handed back in `log` for
// start-up to close. Returns the process exit code.
int RunCommandLineReport(std::wstring_view argumentText, std::unique_ptr<CsvLog>& log);

}  // namespace kestrun
