// The command line's grammar: the argument text in, one request out, nothing
// done. "Kestrun TargetMachine [C:\LogFilePath.csv]", "@Machines.txt" for a
// fleet, and the commands "/delete", "/restore", "/queues" and "/copy"; every
// option comes before the target or the list.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "devices/device_probe.h"

namespace kestrun {

constexpr size_t kReportTargetCapacity = 256;
constexpr size_t kReportLogPathCapacity = 320;

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
  Copy,           // "/copy": the printers of `target` or of the machines of `listPath`
                  // onto `copy.target`
  Posture,        // "/posture": the print security settings of `target` or of `listPath`
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

// What "/copy" takes from each source, and where it puts it. "/yes" and
// "/snapshots:" are the clean-up's (`cleanup.yes`, `cleanup.snapshotsRoot`).
struct CopyOptions {
  std::vector<std::wstring> printerPatterns;  // "/printer:PATTERN"; none: every printer
  std::wstring target;                        // the machine the printers go to
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
  bool posture = false;    // "/posture" was given
  bool probe = false;      // "/probe": ask each printer's device (with "/queues")
  unsigned probeSeconds = kDefaultProbeSeconds;  // "/probe-timeout:S"
  bool probeTimeoutGiven = false;
  std::wstring snapshotFolder;
  CleanupOptions cleanup;
  bool copying = false;  // "/copy" was given
  CopyOptions copy;
  // "/restore /to:TARGET": the machine a snapshot goes to; empty: its own.
  std::wstring restoreTarget;
};

// The argument grammar, as a pure function of the argument text.
ReportRequest ParseReportArguments(std::wstring_view text);

// An environment as "/environment:" takes it (letter case ignored), in the
// spooler's spelling; empty for one the spooler does not know.
std::wstring_view KnownEnvironment(std::wstring_view value);

}  // namespace kestrun
