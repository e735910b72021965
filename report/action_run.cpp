#include "report/action_run.h"

#include <algorithm>
#include <cwchar>
#include <iterator>

#include "inventory/driver_store.h"
#include "inventory/field_text.h"
#include "report/command_line.h"
#include "report/console.h"
#include "report/fleet.h"
#include "report/fleet_log.h"

namespace kestrun {

const ActionWords kDeleteWords = {L"cleaned",  L" to delete", L" deleted", L" to remove",
                                  L" removed", true,          false};
// What a restore keeps is there already: the machine holds the snapshot whole.
const ActionWords kRestoreWords = {L"restored",  L" to restore", L" restored", L" to restore",
                                   L" restored", false,          false};
const ActionWords kCopyWords = {L"copied",  L" to copy", L" copied", L" to copy",
                                L" copied", false,       true};

namespace {

constexpr const wchar_t* kCopyColumns[] = {L"Time", L"Source", L"Machine",     L"Action",
                                           L"Kind", L"Name",   L"Environment", L"Driver Version",
                                           L"Code", L"Reason", L"Size"};
constexpr const wchar_t* kActionsColumns[] = {L"Time",   L"Machine",     L"Action",         L"Kind",
                                              L"Name",   L"Environment", L"Driver Version", L"Code",
                                              L"Reason", L"Size"};
constexpr char kBom[] = "\xEF\xBB\xBF";

// The header's first `count` columns, as one CSV line.
std::string ColumnsLine(size_t count) {
  std::string line;
  for (size_t c = 0; c < count; ++c) {
    if (c > 0) line += ',';
    AppendFleetField(line, kActionsColumns[c]);
  }
  return line + "\r\n";
}

std::string CopyColumnsLine() {
  std::string line;
  for (const wchar_t* title : kCopyColumns) {
    if (!line.empty()) line += ',';
    AppendFleetField(line, title);
  }
  return line + "\r\n";
}

// A copy's line: "3 printers to copy, 1 already there, 2 not copied".
std::wstring CopyMachineLine(const ActionTotals& counts, bool whatIf, const ActionWords& words) {
  const auto n = [](size_t count, const wchar_t* one, const wchar_t* many) {
    return std::to_wstring(count) + (count == 1 ? one : many);
  };
  std::wstring line =
      n(counts.printersGo, L" printer", L" printers") + (whatIf ? words.planned : words.done);
  if (counts.printersKept > 0)
    line += L", " + std::to_wstring(counts.printersKept) + L" already there";
  if (counts.notCopied > 0) line += L", " + std::to_wstring(counts.notCopied) + L" not copied";
  const size_t failed =
      counts.driversFailed + counts.printersFailed + counts.packagesFailed + counts.portsFailed;
  if (failed > 0) line += L", " + std::to_wstring(failed) + L" failed";
  const size_t notTried = counts.driversNotTried + counts.printersNotTried +
                          counts.packagesNotTried + counts.portsNotTried;
  if (notTried > 0) line += L", " + std::to_wstring(notTried) + L" not tried";
  return line + L"\r\n";
}

std::wstring MachineLine(size_t finished, size_t total, std::wstring_view machine,
                         const ActionTotals& counts, bool whatIf, const ActionWords& words) {
  std::wstring line = MachineLinePrefix(finished, total, machine);
  if (words.copy) return line + CopyMachineLine(counts, whatIf, words);
  const bool anyDriver =
      counts.driversGo + counts.driversKept + counts.driversFailed + counts.driversNotTried != 0 ||
      counts.printersGo + counts.printersFailed + counts.printersNotTried != 0;
  const size_t packagesLeft = counts.packagesFailed + counts.packagesNotTried;
  // Packages that go with their drivers, or come back with a restore.
  const size_t otherPackages = counts.packagesGo - std::min(counts.packagesGo, counts.orphansGo);
  // The store's packages left alone, never judged, are said after the rest.
  const std::wstring notJudged =
      counts.packagesNotJudged == 0
          ? std::wstring()
          : L", " + std::to_wstring(counts.packagesNotJudged) +
                (counts.packagesNotJudged == 1 ? L" package" : L" packages") + L" not judged";
  if (!anyDriver && counts.orphansGo + packagesLeft + otherPackages == 0) {
    return line + L"nothing" + words.planned + notJudged + L"\r\n";
  }
  // "31 unused packages, 6.8 GB to remove"
  std::wstring orphans =
      counts.orphansGo == 0
          ? std::wstring()
          : std::to_wstring(counts.orphansGo) +
                (counts.orphansGo == 1 ? L" unused package, " : L" unused packages, ") +
                SizeText(counts.orphanBytes) +
                (whatIf ? words.packagesPlanned : words.packagesDone);
  if (!anyDriver) {
    // Only packages were planned: the line also says which of them did not go.
    if (orphans.empty() && otherPackages > 0) {
      orphans = std::to_wstring(otherPackages) + (otherPackages == 1 ? L" package" : L" packages") +
                (whatIf ? words.planned : words.done);
    }
    if (orphans.empty()) {
      orphans =
          L"0 unused packages" + std::wstring(whatIf ? words.packagesPlanned : words.packagesDone);
    }
    if (counts.packagesFailed > 0)
      orphans += L", " + std::to_wstring(counts.packagesFailed) + L" failed";
    if (counts.packagesNotTried > 0) {
      orphans += L", " + std::to_wstring(counts.packagesNotTried) + L" not tried";
    }
    return line + orphans + notJudged + L"\r\n";
  }
  line += std::to_wstring(counts.driversGo) + (counts.driversGo == 1 ? L" driver" : L" drivers") +
          (whatIf ? words.planned : words.done);
  if (counts.driversKept > 0) line += L", " + std::to_wstring(counts.driversKept) + L" kept";
  if (counts.driversFailed > 0) line += L", " + std::to_wstring(counts.driversFailed) + L" failed";
  if (counts.driversNotTried > 0) {
    line += L", " + std::to_wstring(counts.driversNotTried) + L" not tried";
  }
  if (!orphans.empty()) line += L", " + orphans;
  // The store's failure is said beside the drivers' result, never hidden by it.
  if (counts.packagesFailed > 0) {
    line += L", " + std::to_wstring(counts.packagesFailed) +
            (counts.packagesFailed == 1 ? L" package failed" : L" packages failed");
  }
  return line + notJudged + L"\r\n";
}

bool AnyFailed(const ActionTotals& counts) {
  return counts.driversFailed + counts.printersFailed + counts.packagesFailed + counts.portsFailed >
         0;
}

bool AnyNotTried(const ActionTotals& counts) {
  return counts.driversNotTried + counts.printersNotTried + counts.packagesNotTried +
             counts.portsNotTried >
         0;
}

bool AnyKept(const ActionTotals& counts) {
  return counts.driversKept + counts.packagesKept + counts.printersKept + counts.portsKept > 0;
}

// Something selected did not go: failed, not tried, or (for a command whose
// kept objects did not do what was asked) kept.
bool AnyLeft(const ActionTotals& counts, const ActionWords& words) {
  return AnyFailed(counts) || AnyNotTried(counts) || (words.keptIsLeft && AnyKept(counts)) ||
         counts.notCopied > 0;
}

void AddCounts(ActionTotals& totals, const ActionTotals& machine) {
  totals.driversGo += machine.driversGo;
  totals.driversKept += machine.driversKept;
  totals.driversFailed += machine.driversFailed;
  totals.driversNotTried += machine.driversNotTried;
  totals.printersGo += machine.printersGo;
  totals.printersKept += machine.printersKept;
  totals.printersFailed += machine.printersFailed;
  totals.printersNotTried += machine.printersNotTried;
  totals.packagesGo += machine.packagesGo;
  totals.packagesKept += machine.packagesKept;
  totals.packagesFailed += machine.packagesFailed;
  totals.packagesNotTried += machine.packagesNotTried;
  totals.portsGo += machine.portsGo;
  totals.portsKept += machine.portsKept;
  totals.portsFailed += machine.portsFailed;
  totals.portsNotTried += machine.portsNotTried;
  totals.notCopied += machine.notCopied;
  totals.orphansGo += machine.orphansGo;
  totals.orphanBytes += machine.orphanBytes;
  totals.packagesNotJudged += machine.packagesNotJudged;
}

// The main thread's side of a run: each machine's lines, log rows and line
// as it settles, and the totals.
class ActionReport : public MachineRunSink {
 public:
  ActionReport(MachineRun& run, const std::vector<std::wstring>& machines, bool whatIf, CsvLog* log,
               unsigned limitSeconds, const ActionWords& words, std::wstring_view copyTarget)
      : copyTarget_(copyTarget),
        run_(run),
        machines_(machines),
        whatIf_(whatIf),
        log_(log),
        limitSeconds_(limitSeconds),
        words_(words),
        header_(words.copy ? CopyLogHeader() : ActionsLogHeader()) {}

  const ActionTotals& Totals() const { return totals_; }
  bool LogWritten() const { return logError_ == ERROR_SUCCESS; }

  void Finished(size_t index, std::unique_ptr<MachineResult> settled) override {
    const std::wstring& machine = machines_[index];
    auto* work = static_cast<ActionWork*>(settled.get());
    ++finished_;
    const DWORD error = work ? work->outcome.error : ERROR_NOT_ENOUGH_MEMORY;
    if (error != 0) {
      ++totals_.machinesFailed;
      const std::wstring why = work ? work->outcome.why : std::wstring();
      // "failed: the driver packages could not be read: 5 Access is denied."
      const std::wstring line =
          why.empty()
              ? FleetFailedLine(finished_, machines_.size(), machine, error, SystemErrorText(error))
              : MachineLinePrefix(finished_, machines_.size(), machine) + L"failed: " + why +
                    (work != nullptr && work->outcome.whyAlone ? L"" : L": " + CodeText(error)) +
                    L"\r\n";
      // A copy's failed source is in its log too, with what it had saved.
      if (words_.copy && work != nullptr) {
        Write(work->outcome, kRed, line);
        return;
      }
      WriteConsoleRed(line.c_str());
      FlushConsole();
      return;
    }
    const ActionTotals& counts = work->outcome.counts;
    const bool failed = !whatIf_ && AnyFailed(counts);
    const bool notFinished = !whatIf_ && !failed && AnyNotTried(counts);
    if (failed) {
      ++totals_.machinesFailed;
    } else if (notFinished) {
      ++totals_.machinesNotFinished;
    } else if (!whatIf_ && (words_.copy ? counts.notCopied > 0 : AnyKept(counts))) {
      ++totals_.machinesWithKept;
    } else {
      // A what-if plans every machine that answered; a copy's also counts
      // those that leave printers behind.
      ++totals_.machinesDone;
      if (whatIf_ && words_.copy && counts.notCopied > 0) ++totals_.machinesWithKept;
    }
    Write(work->outcome, failed ? kRed : kGreen,
          MachineLine(finished_, machines_.size(), machine, counts, whatIf_, words_));
  }

  void GivenUpOn(size_t index, GivenUp why, std::unique_ptr<MachineResult> asItStands,
                 const std::wstring& what) override {
    auto* work = static_cast<ActionWork*>(asItStands.get());
    ++finished_;
    const std::wstring& machine = machines_[index];
    if (why == GivenUp::TimeLimit) {
      ++totals_.machinesFailed;
    } else {
      ++totals_.machinesNotFinished;
    }
    // Ctrl+C: a machine still being listed had nothing changed on it; one
    // inside a deletion step that did not end within the grace is unknown.
    const std::wstring line =
        why == GivenUp::TimeLimit && !what.empty()
            ? MachineLinePrefix(finished_, machines_.size(), machine) + L"failed: " + what +
                  L" gave no answer within " + std::to_wstring(limitSeconds_) + L" s\r\n"
        : why == GivenUp::TimeLimit
            ? FleetTooLateLine(finished_, machines_.size(), machine, limitSeconds_,
                               work ? L": its state is unknown, list it again" : L"")
            : MachineLinePrefix(finished_, machines_.size(), machine) + L"not finished: " +
                  (work ? L"stopped by Ctrl+C during a step; its state is unknown, list it again"
                        : L"stopped by Ctrl+C before any change") +
                  L"\r\n";
    if (work == nullptr && words_.copy) {
      // A copy's source given up while it was read is in the log too.
      ActionOutcome given;
      const DWORD code = why == GivenUp::TimeLimit ? ERROR_TIMEOUT : ERROR_REQUEST_ABORTED;
      // "[1/2] OLD  failed: WHY": the reason is WHY.
      std::wstring reason = line.substr(line.find(L"  ") + 2);
      reason = reason.substr(std::min(reason.find(L": ") + 2, reason.size()));
      while (!reason.empty() && (reason.back() == L'\n' || reason.back() == L'\r')) {
        reason.pop_back();
      }
      AppendActionRow(given.rows, UtcNow(), copyTarget_,
                      {L"failed", L"source", machine, {}, {}, code, reason}, std::nullopt, machine);
      Write(given, kRed, line);
      return;
    }
    if (work == nullptr) {
      WriteConsoleRed(line.c_str());
      FlushConsole();
      return;
    }
    work->RecordAsItStands(machine,
                           why == GivenUp::TimeLimit ? ERROR_TIMEOUT : ERROR_REQUEST_ABORTED);
    Write(work->outcome, kRed, line);
  }

  size_t NotWritten() const { return notWritten_; }

 private:
  // A machine's lines, then its line; its rows reach the log in one append.
  // A log that cannot be written is named after the lines of the machine it
  // failed on, and no further machine starts.
  void Write(const ActionOutcome& outcome, WORD colour, const std::wstring& line) {
    bool failedNow = false;
    if (log_ && !outcome.rows.empty()) {
      if (logError_ == ERROR_SUCCESS) {
        logError_ = log_->AppendWhole(outcome.rows, header_);
        failedNow = logError_ != ERROR_SUCCESS;
      }
      if (logError_ != ERROR_SUCCESS) ++notWritten_;
    }
    AddCounts(totals_, outcome.counts);
    WriteConsoleRed(outcome.lines.c_str());
    WriteConsoleColored(colour, line.c_str());
    if (failedNow) {
      PrintLogWriteFailure(*log_, logError_);
      run_.Stop();
    }
    FlushConsole();
  }

  const std::wstring copyTarget_;
  MachineRun& run_;
  const std::vector<std::wstring>& machines_;
  const bool whatIf_;
  CsvLog* const log_;
  const unsigned limitSeconds_;
  const ActionWords& words_;
  const std::string header_;
  size_t finished_ = 0;
  size_t notWritten_ = 0;
  DWORD logError_ = ERROR_SUCCESS;
  ActionTotals totals_;
};

}  // namespace

std::wstring UtcNow() {
  SYSTEMTIME now = {};
  ::GetSystemTime(&now);
  wchar_t text[32] = {};
  std::swprintf(text, 32, L"%04d-%02d-%02dT%02d:%02d:%02dZ", static_cast<int>(now.wYear),
                static_cast<int>(now.wMonth), static_cast<int>(now.wDay),
                static_cast<int>(now.wHour), static_cast<int>(now.wMinute),
                static_cast<int>(now.wSecond));
  return text;
}

std::wstring Quoted(std::wstring_view text) {
  std::wstring quoted = L"\"";
  AppendShownText(quoted, text);
  return quoted + L"\"";
}

std::wstring CodeText(DWORD code) { return std::to_wstring(code) + L" " + SystemErrorText(code); }

void ActionRecord::Add(const std::wstring& line, const ActionRow& row,
                       std::optional<ULONGLONG> size) {
  outcome_.lines += L"  " + line + L"\r\n";
  AppendActionRow(outcome_.rows, outcome_.time, machine_, row, size, source_);
}

std::string ActionsLogHeader() { return kBom + ColumnsLine(std::size(kActionsColumns)); }

std::string CopyLogHeader() { return kBom + CopyColumnsLine(); }

bool HoldsAnotherCopyHeader(std::string_view firstBytes) {
  if (firstBytes.substr(0, sizeof(kBom) - 1) == kBom) firstBytes.remove_prefix(sizeof(kBom) - 1);
  const std::string header = CopyColumnsLine();
  return !firstBytes.empty() && firstBytes.substr(0, header.size()) != header;
}

bool HoldsAnotherHeader(std::string_view firstBytes) {
  // Saved again without its BOM, it is still the action log.
  if (firstBytes.substr(0, sizeof(kBom) - 1) == kBom) firstBytes.remove_prefix(sizeof(kBom) - 1);
  if (firstBytes.empty()) return false;
  // A log written before the Size column: its rows go on, one column longer.
  for (const size_t columns : {std::size(kActionsColumns), std::size(kActionsColumns) - 1}) {
    const std::string header = ColumnsLine(columns);
    if (firstBytes.substr(0, header.size()) == header) return false;
  }
  return true;
}

void AppendActionRow(std::string& bytes, std::wstring_view time, std::wstring_view machine,
                     const ActionRow& row, std::optional<ULONGLONG> size,
                     std::optional<std::wstring_view> source) {
  const std::wstring code = std::to_wstring(row.code);
  const std::wstring bytesText = size ? std::to_wstring(*size) : std::wstring();
  const std::wstring logged = LoggedMachineName(machine);
  const std::wstring_view fields[] = {time,       logged,          row.action,  row.kind,
                                      row.name,   row.environment, row.version, code,
                                      row.reason, bytesText};
  for (size_t i = 0; i < std::size(fields); ++i) {
    if (i > 0) bytes += ',';
    AppendFleetField(bytes, fields[i]);
    if (i == 0 && source) {  // a copy's: its source before the machine
      bytes += ',';
      AppendFleetField(bytes, LoggedMachineName(*source));
    }
  }
  bytes += "\r\n";
}

std::wstring ActionSummaryLine(const ActionTotals& totals, bool whatIf, const ActionWords& words) {
  const auto n = [](size_t count) { return std::to_wstring(count); };
  std::wstring line = L"\r\nMachines: " + n(totals.machinesDone) +
                      (whatIf ? L" planned" : L" " + std::wstring(words.machinesDone));
  if (totals.machinesWithKept > 0) {
    line += L", " + n(totals.machinesWithKept) +
            (words.copy ? L" with printers not copied" : L" with kept items");
  }
  if (totals.machinesFailed > 0 || !whatIf) line += L", " + n(totals.machinesFailed) + L" failed";
  if (totals.machinesNotFinished > 0) {
    line += L", " + n(totals.machinesNotFinished) + L" not finished";
  }
  if (totals.machinesNotWritten > 0) {
    line += L", " + n(totals.machinesNotWritten) + L" not written to the log";
  }
  line += L". Drivers: " + n(totals.driversGo) + (whatIf ? words.planned : words.done) + L", " +
          n(totals.driversKept) + L" kept";
  if (!whatIf) line += L", " + n(totals.driversFailed) + L" failed";
  if (totals.driversNotTried > 0) line += L", " + n(totals.driversNotTried) + L" not tried";
  line += L". Printers: " + n(totals.printersGo) + (whatIf ? words.planned : words.done);
  if (totals.printersKept > 0) line += L", " + n(totals.printersKept) + L" kept";
  if (totals.printersFailed > 0) line += L", " + n(totals.printersFailed) + L" failed";
  if (totals.printersNotTried > 0) line += L", " + n(totals.printersNotTried) + L" not tried";
  line += L". Packages: " + n(totals.packagesGo) +
          (whatIf ? words.packagesPlanned : words.packagesDone) + L", " + n(totals.packagesKept) +
          L" kept";
  if (totals.packagesFailed > 0) line += L", " + n(totals.packagesFailed) + L" failed";
  if (totals.packagesNotTried > 0) line += L", " + n(totals.packagesNotTried) + L" not tried";
  if (totals.notCopied > 0) line += L". Not copied: " + n(totals.notCopied);
  if (totals.portsGo + totals.portsKept + totals.portsFailed + totals.portsNotTried > 0) {
    line += L". Ports: " + n(totals.portsGo) + (whatIf ? words.planned : words.done) + L", " +
            n(totals.portsKept) + L" kept";
    if (totals.portsFailed > 0) line += L", " + n(totals.portsFailed) + L" failed";
    if (totals.portsNotTried > 0) line += L", " + n(totals.portsNotTried) + L" not tried";
  }
  return line + L".\r\n";
}

// A plan's last line says how to carry it out.
constexpr wchar_t kWhatIfEnd[] = L"Nothing was changed: add /yes to do it.\r\n";

int RunActions(const std::vector<std::wstring>& machines, unsigned limitSeconds, bool whatIf,
               CsvLog* log, const ActionWords& words, const MachineTask& work,
               std::wstring_view copyTarget) {
  // A copy's sources go one after another: a later one finds what an earlier one copied.
  MachineRun run({machines.size(), limitSeconds, words.copy ? size_t{1} : kMaxMachineWorkers});
  ActionReport report(run, machines, whatIf, log, limitSeconds, words, copyTarget);
  const MachineRunEnd end = run.Run(work, report);
  if (!end.started) {
    std::wstring failure = L"Failed to start: " + CodeText(end.error);
    WriteConsoleRed((failure + L"\r\n").c_str());
    return kExitFailed;
  }
  ActionTotals totals = report.Totals();
  totals.machinesNotFinished += machines.size() - end.settled;  // never started
  totals.machinesNotWritten = report.NotWritten();
  const bool clean = !end.stopped && report.LogWritten() && totals.machinesFailed == 0 &&
                     totals.machinesNotFinished == 0 &&
                     (whatIf ? totals.notCopied == 0 : !AnyLeft(totals, words));
  WriteConsoleColored(clean ? kGreen : kRed, ActionSummaryLine(totals, whatIf, words).c_str());
  if (whatIf) WriteConsoleRed(kWhatIfEnd);
  return clean ? kExitOk : kExitFailed;
}

}  // namespace kestrun
