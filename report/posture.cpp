#include "report/posture.h"

#include "inventory/field_text.h"
#include "report/action_run.h"
#include "report/command_runs.h"
#include "report/console.h"
#include "report/fleet.h"
#include "report/fleet_log.h"
#include "report/listing_report.h"

namespace kestrun {

namespace {

constexpr char kBom[] = "\xEF\xBB\xBF";
constexpr const wchar_t* kColumns[] = {L"Time",    L"Machine", L"Setting",  L"Value",
                                       L"Verdict", L"Why",     L"Reference"};

struct PostureResult : ListingResult {
  std::wstring text;  // the machine's line after its name
  size_t unsafe = 0;
  bool read = true;
};

class PostureReport : public ListingReport {
 public:
  PostureReport(MachineRun& run, const std::vector<std::wstring>& machines, CsvLog* log,
                unsigned limitSeconds)
      : ListingReport(run, machines, log, PostureLogHeader(), limitSeconds) {}

  // The summary line; true when every machine was read, none is unsafe and
  // the log holds them all.
  bool PrintSummary() const {
    const size_t failed = finished_ - answered_;
    const size_t notRead = notRead_ + failed;
    std::wstring line = L"\r\nMachines: " + std::to_wstring(answered_ - notRead_) + L" read, " +
                        std::to_wstring(unsafe_) + L" with unsafe settings, " +
                        std::to_wstring(notRead) + L" not read";
    if (Total() > finished_)
      line += L", " + std::to_wstring(Total() - finished_) + L" not finished";
    if (notWritten_ > 0) line += L", " + std::to_wstring(notWritten_) + L" not written to the log";
    const bool clean = Whole() && notRead_ == 0 && unsafe_ == 0;
    WriteConsoleColored(clean ? kGreen : kRed, (line + L".\r\n").c_str());
    return clean;
  }

 private:
  std::wstring AnsweredLine(size_t finished, size_t total, const std::wstring& machine,
                            const ListingResult& answered) override {
    const auto& result = static_cast<const PostureResult&>(answered);
    if (!result.read) ++notRead_;
    if (result.unsafe > 0) ++unsafe_;
    return MachineLinePrefix(finished, total, machine) + result.text;
  }
  WORD AnsweredColour(const ListingResult& answered) const override {
    const auto& result = static_cast<const PostureResult&>(answered);
    return result.read && result.unsafe == 0 ? kGreen : kRed;
  }

  size_t notRead_ = 0;
  size_t unsafe_ = 0;
};

void ReadMachinePosture(bool logging, const std::wstring& machine, PostureResult& result) {
  if (machine.size() > kMaxTargetMachineName) {
    result.error = ERROR_INVALID_NAME;
    return;
  }
  const PostureReading reading = ReadPosture(machine);
  result.read = reading.error == 0;
  for (const PostureRow& row : reading.rows) {
    result.unsafe += row.verdict == PostureVerdict::Unsafe ? 1 : 0;
  }
  // The machine's line follows its prefix, which the main thread adds.
  result.text = PostureMachineText(reading) + L"\r\n";
  if (logging) AppendPostureRows(result.rows, UtcNow(), LoggedMachineName(machine), reading.rows);
}

bool HoldsAnotherPostureHeader(std::string_view firstBytes) {
  if (firstBytes.substr(0, sizeof(kBom) - 1) == kBom) firstBytes.remove_prefix(sizeof(kBom) - 1);
  if (firstBytes.empty()) return false;
  const std::string header = PostureLogHeader().substr(sizeof(kBom) - 1);
  return firstBytes.substr(0, header.size()) != header;
}

}  // namespace

std::string PostureLogHeader() {
  std::string header = kBom;
  for (size_t i = 0; i < std::size(kColumns); ++i) {
    if (i > 0) header += ',';
    AppendFleetField(header, kColumns[i]);
  }
  return header + "\r\n";
}

void AppendPostureRows(std::string& bytes, std::wstring_view time, std::wstring_view machine,
                       const std::vector<PostureRow>& rows) {
  for (const PostureRow& row : rows) {
    const std::wstring_view fields[] = {
        time,    machine,      row.setting, row.value, PostureVerdictText(row.verdict),
        row.why, row.reference};
    for (size_t i = 0; i < std::size(fields); ++i) {
      if (i > 0) bytes += ',';
      AppendFleetField(bytes, fields[i]);
    }
    bytes += "\r\n";
  }
}

std::wstring PostureMachineText(const PostureReading& reading) {
  if (reading.error != 0) {
    std::wstring text = L"not read: " + std::to_wstring(reading.error) + L" ";
    AppendShownText(text, SystemErrorText(reading.error));
    return text;
  }
  std::wstring why;
  size_t unsafe = 0;
  for (const PostureRow& row : reading.rows) {
    if (row.verdict != PostureVerdict::Unsafe) continue;
    why += (unsafe++ == 0 ? L"" : L"; ") + row.why;
  }
  return unsafe == 0 ? std::wstring(L"safe") : std::to_wstring(unsafe) + L" unsafe: " + why;
}

int RunPostureRequest(const ReportRequest& request, std::unique_ptr<CsvLog>& log) {
  std::vector<std::wstring> machines;
  std::wstring notes;
  if (!ReadRequestMachines(request, machines, notes)) return kExitFailed;
  if (!OpenLog(request.logPath, log)) return kExitFailed;
  if (log && HoldsAnotherPostureHeader(log->ReadStart(PostureLogHeader().size()))) {
    PrintRefusedLog(L"\r\nThe file ", request.logPath,
                    L" is not a posture log (its first line is another header).\r\n"
                    L"Kestrun appends settings only to a new file or a posture log: name another "
                    L"file.\r\n");
    return kExitFailed;
  }
  BeginRunOutput(notes);
  if (log) {
    const DWORD error = log->AppendWhole({}, PostureLogHeader());
    if (error != ERROR_SUCCESS) {
      PrintLogWriteFailure(*log, error);
      return kExitFailed;
    }
  }
  const auto list = std::make_shared<const std::vector<std::wstring>>(std::move(machines));
  MachineRun run({list->size(), request.timeoutSeconds});
  PostureReport report(run, *list, log.get(), request.timeoutSeconds);
  const bool logging = log != nullptr;
  const MachineRunEnd end = run.Run(
      [list, logging](size_t index, MachineSteps& steps) {
        return ListOnWorker<PostureResult>(steps, [&](PostureResult& result) {
          ReadMachinePosture(logging, (*list)[index], result);
        });
      },
      report);
  if (!end.started) return ListingStartFailure(end.error);
  return report.PrintSummary() ? kExitOk : kExitFailed;
}

}  // namespace kestrun
