#include "report/command_line.h"

#include <algorithm>
#include <cwchar>
#include <new>
#include <optional>
#include <utility>

#include "inventory/driver_inventory.h"
#include "inventory/field_text.h"
#include "report/cleanup.h"
#include "report/restore_command.h"
#include "report/console.h"
#include "report/fleet.h"
#include "report/fleet_list.h"
#include "report/fleet_log.h"
#include "report/queues.h"
#include "report/queues_log.h"
#include "inventory/column_table.h"
#include "res/ids.h"

#include "common/bounded_text.h"
#include "common/win32_handles.h"

namespace kestrun {

namespace {

constexpr wchar_t kBlankOrQuote[] = L" \"";
constexpr wchar_t kQuote[] = L"\"";
constexpr wchar_t kTrailingBlanks[] = L" \t";
constexpr wchar_t kSeparatorLine[] = L"===========================================";

// Splits the argument text the way the C runtime's tokeniser does: skip
// delimiters, take the run up to the next delimiter, consume that delimiter.
class ArgumentTokens {
 public:
  explicit ArgumentTokens(std::wstring_view text, size_t position = 0)
      : text_(text), position_(position < text.size() ? position : text.size()) {}

  std::optional<std::wstring_view> Next(std::wstring_view delimiters) {
    return Next(delimiters, delimiters);
  }

  // As above, but skipping the characters of `skipped` before the token.
  std::optional<std::wstring_view> Next(std::wstring_view skipped, std::wstring_view delimiters) {
    const size_t start = text_.find_first_not_of(skipped, position_);
    if (start == std::wstring_view::npos) {
      position_ = text_.size();
      return std::nullopt;
    }
    const size_t end = text_.find_first_of(delimiters, start);
    if (end == std::wstring_view::npos) {
      position_ = text_.size();
      return text_.substr(start);
    }
    position_ = end + 1;
    return text_.substr(start, end - start);
  }

  size_t Position() const { return position_; }

 private:
  std::wstring_view text_;
  size_t position_;
};

// No machine name starts with "/" or "-" (nor a list, which starts with "@").
bool IsOption(std::wstring_view word) { return word[0] == L'/' || word[0] == L'-'; }

bool IsCsvPath(std::wstring_view path) {
  return path.size() >= 3 && EqualsIgnoringAsciiCase(path.substr(path.size() - 3), L"csv");
}

// The optional log path after the target or the machine list, and nothing after it.
void ParseLogPath(ArgumentTokens& tokens, ReportRequest& request) {
  // Blanks before the path are skipped as well as quotes: "SRV" "C:\a.csv" and
  // SRV  C:\a.csv name the log C:\a.csv, not one with a leading blank.
  std::optional<std::wstring_view> path = tokens.Next(kBlankOrQuote, kQuote);
  if (!path) return;
  // Blanks after the path (a batch line's end) are no part of it.
  path = path->substr(0, path->find_last_not_of(kTrailingBlanks) + 1);
  if (path->empty()) return;
  if (path->size() >= kReportLogPathCapacity) {
    request.kind = RequestKind::PathTooLong;
    return;
  }
  request.logPath = *path;
  const std::optional<std::wstring_view> after = tokens.Next(kBlankOrQuote);
  if (IsCsvPath(request.logPath) && !after) return;
  request.kind = RequestKind::Usage;
  // "SRV /yes", "SRV C:\a.csv /yes" or "SRV "C:\a.csv" /yes": an option after the target.
  std::wstring_view word = IsCsvPath(request.logPath) ? *after : std::wstring_view();
  ArgumentTokens words(IsCsvPath(request.logPath) ? std::wstring_view() : *path);
  while (const std::optional<std::wstring_view> next = words.Next(kBlankOrQuote)) {
    // The path's own first word may start with "-"; a later one only "/" starts an option.
    if (next->data() == path->data() ? IsOption(*next) : next->front() == L'/') {
      word = *next;
      break;
    }
  }
  if (!word.empty() && IsOption(word)) {
    request.problem = L"Options come before the target or the list: ";
    AppendShownText(request.problem, word);
  }
}

// "@list" with `at` on the "@". A list path in double quotes may hold blanks:
// "@C:\My Lists\servers.txt" and @"C:\My Lists\servers.txt" both name it.
void ParseFleetArguments(std::wstring_view text, size_t at, ReportRequest& request) {
  request.kind = RequestKind::Fleet;
  size_t start = at + 1;
  bool quoted = at > 0 && text[at - 1] == L'"';
  while (start < text.size() && text[start] == L'"') {
    quoted = true;
    ++start;
  }
  size_t end = text.find_first_of(quoted ? kQuote : kBlankOrQuote, start);
  if (end == std::wstring_view::npos) end = text.size();
  request.listPath = text.substr(start, end - start);
  if (request.listPath.empty()) {
    request.kind = RequestKind::Usage;
    return;
  }
  ArgumentTokens tokens(text, end + 1);
  ParseLogPath(tokens, request);
}

bool StartsWithIgnoringAsciiCase(std::wstring_view text, std::wstring_view start) {
  return text.size() >= start.size() &&
         EqualsIgnoringAsciiCase(text.substr(0, start.size()), start);
}

// "/timeout:SECONDS": decimal digits only (leading zeros however many), at most a day.
bool ParseTimeout(std::wstring_view value, unsigned& seconds) {
  if (value.empty()) return false;
  const size_t significant = value.find_first_not_of(L'0');
  value = significant == std::wstring_view::npos ? value.substr(value.size() - 1)
                                                 : value.substr(significant);
  if (value.size() > 6) return false;
  unsigned parsed = 0;
  for (const wchar_t c : value) {
    if (c < L'0' || c > L'9') return false;
    parsed = parsed * 10 + static_cast<unsigned>(c - L'0');
  }
  if (parsed > kMaxTimeoutSeconds) return false;
  seconds = parsed;
  return true;
}

// Applies one option; false when it ends the parse (help, the author box, or
// an option not understood).
bool ApplyOption(std::wstring_view word, ReportRequest& request) {
  if (EqualsIgnoringAsciiCase(word, L"-creator")) {
    request.kind = RequestKind::Author;
    request.target = word;
    return false;
  }
  for (const wchar_t* help : {L"/?", L"-?", L"/help", L"-h", L"--help"}) {
    if (EqualsIgnoringAsciiCase(word, help)) {
      request.kind = RequestKind::Help;
      return false;
    }
  }
  const std::wstring_view name = word.substr(1);
  constexpr std::wstring_view kTimeout = L"timeout:";
  if (StartsWithIgnoringAsciiCase(name, kTimeout) || EqualsIgnoringAsciiCase(name, L"timeout")) {
    const std::wstring_view value = name.substr(std::min(name.size(), kTimeout.size()));
    request.kind = RequestKind::Usage;
    if (request.timeoutGiven) {
      request.problem = L"/timeout: may be given once.";
      return false;
    }
    request.timeoutGiven = true;
    if (ParseTimeout(value, request.timeoutSeconds)) {
      request.kind = RequestKind::Report;
      return true;
    }
    request.problem = L"/timeout: takes a number of seconds from 0 to 86400.";
    return false;
  }
  constexpr std::wstring_view kProbeTimeout = L"probe-timeout:";
  if (StartsWithIgnoringAsciiCase(name, kProbeTimeout) ||
      EqualsIgnoringAsciiCase(name, L"probe-timeout")) {
    const std::wstring_view value = name.substr(std::min(name.size(), kProbeTimeout.size()));
    request.kind = RequestKind::Usage;
    if (request.probeTimeoutGiven) {
      request.problem = L"/probe-timeout: may be given once.";
      return false;
    }
    request.probeTimeoutGiven = true;
    if (ParseTimeout(value, request.probeSeconds) && request.probeSeconds >= 1 &&
        request.probeSeconds <= kMaxProbeSeconds) {
      request.kind = RequestKind::Report;
      return true;
    }
    request.problem = L"/probe-timeout: takes a number of seconds from 1 to 600.";
    return false;
  }
  if (EqualsIgnoringAsciiCase(name, L"probe")) {
    request.probe = true;
    return true;
  }
  if (EqualsIgnoringAsciiCase(name, L"delete")) {
    request.deleting = true;
    return true;
  }
  if (EqualsIgnoringAsciiCase(name, L"restore")) {
    request.restoring = true;
    return true;
  }
  if (EqualsIgnoringAsciiCase(name, L"queues")) {
    request.queues = true;
    return true;
  }
  using Flag = std::pair<const wchar_t*, bool CleanupOptions::*>;
  for (const auto& [flag, member] :
       {Flag{L"unused", &CleanupOptions::unused}, Flag{L"printers", &CleanupOptions::printers},
        Flag{L"packages", &CleanupOptions::packages}, Flag{L"orphans", &CleanupOptions::orphans},
        Flag{L"yes", &CleanupOptions::yes}, Flag{L"nosnapshot", &CleanupOptions::noSnapshot}}) {
    if (EqualsIgnoringAsciiCase(name, flag)) {
      request.cleanup.*member = true;
      return true;
    }
  }
  request.kind = RequestKind::UnknownOption;
  request.option = word;
  return false;
}

// "/driver:", "/environment:" and "/snapshots:" take a value that may hold
// blanks when quoted: /driver:"HP Universal*" and "/driver:HP Universal*" alike.
bool IsValuedOption(std::wstring_view word) {
  return StartsWithIgnoringAsciiCase(word.substr(1), L"driver:") ||
         StartsWithIgnoringAsciiCase(word.substr(1), L"environment:") ||
         StartsWithIgnoringAsciiCase(word.substr(1), L"snapshots:");
}

// The value of a valued option whose word starts at `start` in the text, and
// the position after it.
std::wstring_view OptionValue(std::wstring_view text, size_t start, std::wstring_view word,
                              size_t& after) {
  const size_t colon = word.find(L':');
  const size_t wordEnd = start + word.size();
  size_t valueStart = std::wstring_view::npos;
  if (start > 0 && text[start - 1] == L'"') {
    valueStart = start + colon + 1;  // the whole option in quotes
  } else if (colon + 1 == word.size() && wordEnd < text.size() && text[wordEnd] == L'"') {
    valueStart = wordEnd + 1;  // the value in quotes
  }
  if (valueStart == std::wstring_view::npos) return word.substr(colon + 1);
  size_t valueEnd = text.find(L'"', valueStart);
  if (valueEnd == std::wstring_view::npos) valueEnd = text.size();
  after = valueEnd + 1;
  return text.substr(valueStart, valueEnd - valueStart);
}

// Applies "/driver:" or "/environment:"; false, saying why, for a value it
// cannot take.
bool ApplyValuedOption(std::wstring_view word, std::wstring_view value, ReportRequest& request) {
  const bool driver = StartsWithIgnoringAsciiCase(word.substr(1), L"driver:");
  const auto refuse = [&request](std::wstring problem) {
    request.kind = RequestKind::Usage;
    request.problem = std::move(problem);
    return false;
  };
  const bool snapshots = StartsWithIgnoringAsciiCase(word.substr(1), L"snapshots:");
  if (value.find_first_not_of(L" \t") == std::wstring_view::npos) {
    return refuse(driver      ? L"/driver: needs a driver name or pattern."
                  : snapshots ? L"/snapshots: needs a folder."
                              : L"/environment: needs an environment.");
  }
  if (snapshots) {
    if (!request.cleanup.snapshotsRoot.empty()) return refuse(L"/snapshots: may be given once.");
    if (value.size() >= kReportLogPathCapacity) return refuse(L"The /snapshots: folder is too long.");
    request.cleanup.snapshotsRoot = value;
    return true;
  }
  if (driver) {
    request.cleanup.driverPatterns.emplace_back(value);
    return true;
  }
  if (!request.cleanup.environment.empty()) return refuse(L"/environment: may be given once.");
  const std::wstring_view known = KnownEnvironment(value);
  if (known.empty()) {
    std::wstring problem = L"Unknown environment: ";
    AppendShownText(problem, value);
    return refuse(problem);
  }
  request.cleanup.environment = known;
  return true;
}

// "/delete" needs a selection (there is no "delete everything") and one
// target or list; its options mean nothing without it.
void CheckCleanupRequest(ReportRequest& request) {
  const CleanupOptions& cleanup = request.cleanup;
  const bool anyCleanupOption = !cleanup.driverPatterns.empty() || !cleanup.environment.empty() ||
                                cleanup.unused || cleanup.printers || cleanup.packages ||
                                cleanup.orphans || cleanup.yes || cleanup.noSnapshot ||
                                !cleanup.snapshotsRoot.empty();
  if (!request.deleting) {
    if (anyCleanupOption &&
        (request.kind == RequestKind::Report || request.kind == RequestKind::Fleet)) {
      request.kind = RequestKind::Usage;
    }
    return;
  }
  if (request.kind != RequestKind::Report && request.kind != RequestKind::Fleet) return;
  const bool named = request.kind == RequestKind::Fleet || !request.target.empty();
  const bool selects = !cleanup.driverPatterns.empty() || cleanup.unused || cleanup.orphans;
  request.kind = named && selects ? RequestKind::Delete : RequestKind::Usage;
}

// "/queues" needs one target or list, and goes with no other command;
// "/probe" goes with it, and "/probe-timeout:" with "/probe".
void CheckQueuesRequest(ReportRequest& request) {
  if (request.kind != RequestKind::Report && request.kind != RequestKind::Fleet &&
      request.kind != RequestKind::Delete) {
    return;
  }
  if (!request.queues) {
    if (request.probe || request.probeTimeoutGiven) {
      request.kind = RequestKind::Usage;
      request.problem = L"/probe goes with /queues.";
    }
    return;
  }
  request.kind = RequestKind::Usage;
  if (request.probeTimeoutGiven && !request.probe) {
    request.problem = L"/probe-timeout: goes with /probe.";
    return;
  }
  if (request.deleting) {
    request.problem = L"/queues and /delete are two commands: give one of them.";
  } else if (request.listPath.empty() && request.target.empty()) {
    request.problem = L"/queues needs a target machine or a machine list.";
  } else {
    request.kind = RequestKind::Queues;
  }
}

// The usage block, after the clear and `problem` (red) when there is one.
void PrintUsage(const std::wstring& problem = {}) {
  ClearConsole();
  if (!problem.empty()) WriteConsoleRed(problem.c_str());
  WriteConsoleRed(L"Kestrun Help\r\n");
  WriteConsoleRed(L"====================\r\n\r\n");
  WriteConsoleRed(L"Use the following syntax only:\r\n\r\n");
  WriteConsoleColored(kGreen, L"Kestrun TargetMachine\r\n\r\n");
  WriteConsoleColored(kGreen, L"Kestrun TargetMachine C:\\LogFilePath.csv\r\n\r\n");
  WriteConsoleColored(kGreen, L"Kestrun TargetMachine \"C:\\Log File Path.csv\"\r\n\r\n");
  WriteConsoleRed(L"Log file must be csv format!\r\n\r\n");
  WriteConsoleColored(kGreen, L"Kestrun @MachineList.txt\r\n\r\n");
  WriteConsoleColored(kGreen, L"Kestrun @MachineList.txt C:\\FleetLog.csv\r\n\r\n");
  WriteConsoleColored(
      kGreen,
      L"Kestrun /delete [/driver:PATTERN]... [/environment:ENV] [/unused] "
      L"[/printers] [/packages] [/orphans] [/nosnapshot] [/snapshots:FOLDER] [/yes] "
      L"TargetMachine|@MachineList.txt [C:\\Actions.csv]\r\n\r\n");
  WriteConsoleColored(kGreen,
                      L"Kestrun /restore [/yes] SnapshotFolder [C:\\Actions.csv]\r\n\r\n");
  WriteConsoleColored(kGreen,
                      L"Kestrun /queues [/probe [/probe-timeout:S]] "
                      L"TargetMachine|@MachineList.txt [C:\\Queues.csv]\r\n\r\n");
  WriteConsoleRed(L"Options, before the target or the list:\r\n\r\n");
  WriteConsoleColored(kGreen,
                      L"/timeout:SECONDS  the longest one machine may take to answer "
                      L"(default 120, 0 for no limit)\r\n");
  WriteConsoleColored(kGreen,
                      L"/probe            with /queues: ask each printer's device whether it "
                      L"prints without a vendor driver\r\n");
  WriteConsoleColored(kGreen,
                      L"/probe-timeout:S  the longest one device may take to answer "
                      L"(default 5)\r\n");
  WriteConsoleColored(kGreen, L"/?                this help\r\n\r\n");
}

// A help heading and one message, without clearing what the console shows.
void PrintHelpMessage(const wchar_t* message) {
  WriteConsoleRed(L"\r\nKestrun Help\r\n");
  WriteConsoleRed(L"====================\r\n");
  WriteConsoleRed(message);
}

void ShowAuthorBox() {
  MSGBOXPARAMSW params = {};
  params.cbSize = sizeof(params);
  params.hwndOwner = nullptr;
  params.hInstance = ::GetModuleHandleW(nullptr);
  params.lpszText =
      L"Kestrun v1.2.1.5\nPrint driver information gathering utility\n\n"
      L"Written and maintained by the Kestrun developers.";
  params.lpszCaption = L"Author Information";
  params.dwStyle = MB_USERICON | MB_OK;
  params.lpszIcon = MAKEINTRESOURCEW(IDI_APP);
  params.dwLanguageId = LANG_NEUTRAL;
  ::MessageBoxIndirectW(&params);
}

void PrintBanner() {
  WriteConsoleRed(L"Kestrun v1.2.1.5\r\n");
  WriteConsoleRed(L"Print driver information gathering utility from the Kestrun project\r\n");
  WriteConsoleRed(L"===========================================\r\n");
}

// The failure buffer holds the whole text: a long target is cut, never the
// line after it.
void PrintTargetFailure(std::wstring_view target, const std::wstring& line) {
  constexpr std::wstring_view kFrom = L"Failed to get print driver information from: ";
  const size_t room = kReportFailureCapacity - 1 - kFrom.size() - line.size();
  std::wstring text(kFrom);
  AppendShownText(text, target.substr(0, room));
  text += line;
  wchar_t failure[kReportFailureCapacity] = {};
  CopyBounded(failure, text);
  WriteConsoleRed(failure);
}

// The system's text for the code follows on its own line.
void PrintEnumerationFailure(std::wstring_view target, DWORD code) {
  PrintTargetFailure(target, L"\nError code: " + std::to_wstring(static_cast<int>(code)) + L"\n");
  WriteConsoleRed((SystemErrorText(code) + L"\n").c_str());
}

// One target's listing, on a thread of its own so that a target that never
// answers cannot hold the report. The report and the thread share the record,
// and the last of the two to let go of it frees it: a thread still inside its
// spooler call when the report gives up keeps what it uses.
struct TargetListing {
  std::wstring target;
  std::unique_ptr<DriverInventory> inventory;
  bool listed = false;
};

void ListTarget(TargetListing& listing) {
  listing.listed = EnumerateDrivers(*listing.inventory, listing.target);
}

DWORD WINAPI ListTargetThread(void* parameter) {
  const std::unique_ptr<std::shared_ptr<TargetListing>> listing(
      static_cast<std::shared_ptr<TargetListing>*>(parameter));
  ListTarget(**listing);
  return 0;
}

// False when the target did not answer within the limit (0: no limit).
bool ListWithinTimeLimit(const std::shared_ptr<TargetListing>& listing, unsigned limitSeconds) {
  auto* shared = new (std::nothrow) std::shared_ptr<TargetListing>(listing);
  const UniqueHandle thread(
      shared ? ::CreateThread(nullptr, 0, ListTargetThread, shared, 0, nullptr) : nullptr);
  if (!thread) {
    delete shared;
    ListTarget(*listing);  // no thread to spare: listed here, without the limit
    return true;
  }
  const DWORD waitMs = limitSeconds == 0 ? INFINITE : limitSeconds * 1000;
  return ::WaitForSingleObject(thread.get(), waitMs) == WAIT_OBJECT_0;
}

// Appends a label and a field's text; an absent field adds nothing after its label.
void AppendField(std::wstring& block, const wchar_t* label, const wchar_t* value) {
  block += label;
  if (value) AppendShownText(block, value);
}

// Ctrl+C, or closing the console, ends a single-machine report with exit code
// 1. An append in progress finishes first and none starts after it, so the
// log gains the report's whole append or nothing of it.
SRWLOCK reportAppendLock = SRWLOCK_INIT;

BOOL WINAPI EndReportOnCtrl(DWORD) {
  ::AcquireSRWLockExclusive(&reportAppendLock);  // held until the process ends
  RestoreConsoleModeNow();
  // Ended at once: the main thread may be inside a spooler call, and nothing
  // the log needs is left in a buffer (each append is written straight through).
  ::TerminateProcess(::GetCurrentProcess(), kExitFailed);
  return TRUE;
}

class ReportCtrlHandler {
 public:
  ReportCtrlHandler() { ::SetConsoleCtrlHandler(EndReportOnCtrl, TRUE); }
  ~ReportCtrlHandler() { ::SetConsoleCtrlHandler(EndReportOnCtrl, FALSE); }
  ReportCtrlHandler(const ReportCtrlHandler&) = delete;
  ReportCtrlHandler& operator=(const ReportCtrlHandler&) = delete;
};

DWORD AppendReportLog(CsvLog& log, std::string_view bytes) {
  ::AcquireSRWLockExclusive(&reportAppendLock);
  const DWORD error = log.AppendWhole(bytes);
  ::ReleaseSRWLockExclusive(&reportAppendLock);
  return error;
}

// Enumerates the target and prints (and logs) every driver.
int ReportDrivers(const std::wstring& target, CsvLog* log, unsigned limitSeconds) {
  ReleaseInventory();
  const auto listing = std::make_shared<TargetListing>();
  listing->target = target;
  listing->inventory = CreateInventory();
  if (!listing->inventory) {
    WriteConsoleRed(L"Failed to enumerate due to a memory error!\r\n");
    return kExitFailed;
  }
  if (!ListWithinTimeLimit(listing, limitSeconds)) {
    PrintTargetFailure(target, L"\nno answer within " + std::to_wstring(limitSeconds) + L" s\n");
    return kExitFailed;
  }
  MakeCurrentInventory(std::move(listing->inventory));
  DriverInventory& inventory = *currentInventory;

  if (!listing->listed) {
    PrintEnumerationFailure(target, inventory.lastError);
    return kExitFailed;
  }
  return PrintAndLogDrivers(inventory, log);
}

// Opens the log when a path was given; false (with the help block printed)
// when it cannot be opened.
bool OpenLog(const std::wstring& path, std::unique_ptr<CsvLog>& log) {
  if (path.empty()) return true;
  DWORD openError = 0;
  log = CsvLog::Open(path.c_str(), openError);
  if (log) return true;
  PrintHelpMessage(
      L"\r\nUnable to create log file.\r\nEnsure that any previously saved logs are closed.\r\n"
      L"Also ensure that the path entered is a valid path that already exists.\r\n");
  return false;
}

// A list that cannot be read, or names no machine: nothing is listed or logged.
void PrintListFailure(const std::wstring& path, const wchar_t* problem) {
  std::wstring message = L"\r\nUnable to read the machine list ";
  AppendShownText(message, path);
  message += L"\r\n";
  message += problem;
  message += L"\r\n";
  PrintHelpMessage(message.c_str());
}

// Reads a machine list; false, the failure printed, when it cannot be read or
// names no machine.
bool ReadMachineList(const std::wstring& path, std::vector<std::wstring>& machines) {
  DWORD error = 0;
  if (!ReadFleetList(path, machines, error)) {
    std::wstring problem = std::to_wstring(error) + L" ";
    AppendShownText(problem, SystemErrorText(error));
    PrintListFailure(path, problem.c_str());
    return false;
  }
  if (machines.empty()) {
    PrintListFailure(path, L"It names no machine.");
    return false;
  }
  return true;
}

// A log Kestrun does not append to: named between the two texts, left as it is.
void PrintRefusedLog(const wchar_t* before, const std::wstring& path, const wchar_t* after) {
  std::wstring message = before;
  AppendShownText(message, path);
  message += after;
  PrintHelpMessage(message.c_str());
}

int RunFleetRequest(const ReportRequest& request, std::unique_ptr<CsvLog>& log) {
  std::vector<std::wstring> machines;
  if (!ReadMachineList(request.listPath, machines)) return kExitFailed;
  if (!OpenLog(request.logPath, log)) return kExitFailed;
  FillColumnTable();
  if (log && HoldsOlderFleetHeader(log->ReadStart(OlderFleetHeaderSize()))) {
    // Rows of twenty columns under a header of fifteen would shift every
    // reader's columns: the log is left as it is.
    PrintRefusedLog(
        L"\r\nThe fleet log ", request.logPath,
        L" holds the older columns (none after \"Hardware ID\").\r\n"
        L"Kestrun appends only to a fleet log with the current columns: name a new file.\r\n");
    return kExitFailed;
  }
  ClearConsole();
  PrintBanner();
  FlushConsole();  // machines may take a while to answer
  return RunFleet(std::move(machines), log.get(), request.timeoutSeconds);
}

// Opens the action log when one is named; it must be new, empty or an
// action log already. False, the problem printed, otherwise.
bool OpenActionLog(const ReportRequest& request, std::unique_ptr<CsvLog>& log) {
  if (!OpenLog(request.logPath, log)) return false;
  if (log && HoldsAnotherHeader(log->ReadStart(ActionsLogHeader().size()))) {
    PrintRefusedLog(
        L"\r\nThe file ", request.logPath,
        L" is not an action log (its first line is another header).\r\n"
        L"Kestrun appends its actions only to a new file or an action log: name another file.\r\n");
    return false;
  }
  return true;
}

// "/delete": the machines, then the action log; nothing is listed before
// both are known good.
int RunCleanupRequest(const ReportRequest& request, std::unique_ptr<CsvLog>& log) {
  std::vector<std::wstring> machines;
  if (request.listPath.empty()) {
    machines.push_back(request.target);
  } else if (!ReadMachineList(request.listPath, machines)) {
    return kExitFailed;
  }
  if (!OpenActionLog(request, log)) return kExitFailed;
  ClearConsole();
  PrintBanner();
  FlushConsole();  // machines may take a while to answer
  return RunCleanup(request, std::move(machines), log.get());
}

// "/restore": the action log is checked as the clean-up's; the snapshot is
// read and checked before anything is listed.
int RunRestoreRequest(const ReportRequest& request, std::unique_ptr<CsvLog>& log) {
  if (!OpenActionLog(request, log)) return kExitFailed;
  ClearConsole();
  PrintBanner();
  FlushConsole();
  return RunRestore(request, log.get());
}

// "/queues": the machines, then the queues' log, which must be new, empty or
// a queues' log already; nothing is listed before both are known good.
int RunQueuesRequest(const ReportRequest& request, std::unique_ptr<CsvLog>& log) {
  std::vector<std::wstring> machines;
  if (request.listPath.empty()) {
    machines.push_back(request.target);
  } else if (!ReadMachineList(request.listPath, machines)) {
    return kExitFailed;
  }
  if (!OpenLog(request.logPath, log)) return kExitFailed;
  if (log && HoldsAnotherQueuesHeader(log->ReadStart(QueuesLogHeader().size()))) {
    PrintRefusedLog(
        L"\r\nThe file ", request.logPath,
        L" is not a queues log (its first line is another header).\r\n"
        L"Kestrun appends printers only to a new file or a queues log: name another file.\r\n");
    return kExitFailed;
  }
  ClearConsole();
  PrintBanner();
  FlushConsole();  // machines may take a while to answer
  return RunQueues(std::move(machines), log.get(), request.timeoutSeconds,
                   request.probe ? request.probeSeconds : 0);
}

int RunRequest(const ReportRequest& request, std::unique_ptr<CsvLog>& log) {
  switch (request.kind) {
    case RequestKind::Usage:
      PrintUsage(request.problem.empty() ? std::wstring() : request.problem + L"\r\n\r\n");
      return kExitUsage;
    case RequestKind::Help:
      PrintUsage();
      return kExitOk;
    case RequestKind::UnknownOption: {
      std::wstring problem = L"Unknown option: ";
      AppendShownText(problem, request.option);
      PrintUsage(problem + L"\r\n\r\n");
      return kExitUsage;
    }
    case RequestKind::TargetTooLong:
      PrintHelpMessage(
          L"\r\nThe target machine name is too long.\r\n"
          L"A machine name may have at most 253 characters.\r\n");
      return kExitFailed;
    case RequestKind::PathTooLong:
      PrintHelpMessage(
          L"\r\nThe log file path is too long.\r\n"
          L"A log file path may have at most 319 characters.\r\n");
      return kExitFailed;
    case RequestKind::Fleet:
      return RunFleetRequest(request, log);
    case RequestKind::Delete:
      return RunCleanupRequest(request, log);
    case RequestKind::Restore:
      return RunRestoreRequest(request, log);
    case RequestKind::Queues:
      return RunQueuesRequest(request, log);
    case RequestKind::Author:
    case RequestKind::Report:
      break;
  }

  const ReportCtrlHandler ctrlHandler;
  if (!OpenLog(request.logPath, log)) return kExitFailed;
  ClearConsole();
  PrintBanner();
  FlushConsole();  // the target may take a while to answer
  return ReportDrivers(request.target, log.get(), request.timeoutSeconds);
}

void EndReport() {
  RestoreConsole(*consoleState);
  if (consoleState->allocated) ::Sleep(10000);
  ::FreeConsole();
  delete consoleState;
  consoleState = nullptr;
}

}  // namespace

int PrintAndLogDrivers(DriverInventory& inventory, CsvLog* log) {
  // The run's header and rows reach the log as one locked append, so runs
  // that append to one log at once never interleave.
  std::string logBytes;
  if (log) {
    FillColumnTable();
    logBytes = CsvHeaderLine();
  }

  const DRIVER_INFO_6* drivers = inventory.Drivers();
  DriverFacts facts;
  for (DWORD i = 0; i < inventory.driverCount; ++i) {
    const DRIVER_INFO_6& driver = drivers[i];
    const std::unique_ptr<wchar_t[]> dependentFiles =
        JoinDependentFiles(inventory, driver.pDependentFiles);
    if (!dependentFiles) {
      const DWORD error = log ? AppendReportLog(*log, logBytes) : ERROR_SUCCESS;  // rows so far
      WriteConsoleRed(L"\r\nFailed to enumerate due to a memory error!\r\n");
      if (error != ERROR_SUCCESS) PrintLogWriteFailure(*log, error);
      return kExitFailed;
    }
    DescribeDriver(inventory, i, DateForm::Iso, facts);
    PrintDriverBlock(driver, dependentFiles.get(), &facts);
    if (log) AppendDriverRow(logBytes, driver, dependentFiles.get());
  }

  WriteConsoleRed(L"\r\n");
  if (log) {
    const DWORD error = AppendReportLog(*log, logBytes);
    if (error != ERROR_SUCCESS) {
      PrintLogWriteFailure(*log, error);
      return kExitFailed;
    }
    WriteConsoleColored(kGreen, L"\r\n\r\nDriver output successfully written to file.\r\n");
  }
  return kExitOk;
}

void PrintLogWriteFailure(const CsvLog& log, DWORD error) {
  std::wstring message = L"\r\n\r\nUnable to write the log file ";
  AppendShownText(message, log.Path());
  message += L"\r\n" + std::to_wstring(error) + L" " + SystemErrorText(error) + L"\r\n";
  WriteConsoleRed(message.c_str());
}

DriverBlockText BuildDriverBlock(const DRIVER_INFO_6& driver, const wchar_t* dependentFiles,
                                 const DriverFacts* facts) {
  DriverBlockText block;
  block.separator = std::wstring(L"\r\n\r\n") + kSeparatorLine;
  AppendField(block.name, L"\r\nDriver Name: ", driver.pName);
  AppendField(block.fields, L"\r\nProvider: ", driver.pszProvider);
  AppendField(block.fields, L"\r\n\r\nDependent Files:\r\n", dependentFiles);
  AppendField(block.fields, L"\r\n\r\nEnvironment: ", driver.pEnvironment);
  AppendField(block.fields, L"\r\nDriver Path: ", driver.pDriverPath);
  AppendField(block.fields, L"\r\nData File: ", driver.pDataFile);
  AppendField(block.fields, L"\r\nConfig File: ", driver.pConfigFile);
  AppendField(block.fields, L"\r\nHelp File: ", driver.pHelpFile);
  AppendField(block.fields, L"\r\nMonitor Name: ", driver.pMonitorName);
  AppendField(block.fields, L"\r\nDefault Data Type: ", driver.pDefaultDataType);
  AppendField(block.fields, L"\r\nPrevious Names: ", driver.pszzPreviousNames);  // its first name
  AppendField(block.fields, L"\r\nManufacturer Name: ", driver.pszMfgName);
  AppendField(block.fields, L"\r\nOEM Url: ", driver.pszOEMUrl);
  AppendField(block.fields, L"\r\nHardware ID: ", driver.pszHardwareID);
  if (facts == nullptr) return block;
  static const wchar_t* const kFactLabels[kDriverFactCount] = {
      L"\r\nPrinters: ",    L"\r\nDriver Version: ", L"\r\nDriver Date: ",
      L"\r\nDriver Type: ", L"\r\nPackage-Aware: ",  L"\r\nDriver Package: ",
  };
  for (int fact = 0; fact < kDriverFactCount; ++fact) {
    AppendField(block.fields, kFactLabels[fact], (*facts)[fact].c_str());
  }
  return block;
}

void PrintDriverBlock(const DRIVER_INFO_6& driver, const wchar_t* dependentFiles,
                      const DriverFacts* facts) {
  // Runs of one colour go to the console as one write each: a console write
  // costs far more than the text it carries.
  const DriverBlockText block = BuildDriverBlock(driver, dependentFiles, facts);
  WriteConsoleRed(block.separator.c_str());
  WriteConsoleColored(kBlue, block.name.c_str());
  WriteConsoleColored(kRed, block.fields.c_str());
}

namespace {

// The target (or "@list") and the log after the options, from `rest` on.
void ParseTargetOrList(std::wstring_view text, size_t rest, ReportRequest& request) {
  // No machine name starts with "@": such a first word names a machine list.
  const size_t first = text.find_first_not_of(kBlankOrQuote, rest);
  if (first != std::wstring_view::npos && text[first] == L'@') {
    ParseFleetArguments(text, first, request);
    return;
  }
  ArgumentTokens tokens(text, rest);
  const std::optional<std::wstring_view> target = tokens.Next(kBlankOrQuote);
  if (!target) return;  // the local machine, no log
  if (BareMachineName(*target).size() > kMaxTargetMachineName) {
    request.kind = RequestKind::TargetTooLong;
    return;
  }
  request.target = *target;
  ParseLogPath(tokens, request);
}

// "/restore [/yes] [/timeout:S] FOLDER [ACTIONS.csv]": the snapshot folder,
// in quotes when it holds blanks, then the optional action log.
void ParseRestoreArguments(std::wstring_view text, size_t rest, ReportRequest& request) {
  const CleanupOptions& options = request.cleanup;
  const auto refuse = [&request](const wchar_t* problem) {
    request.kind = RequestKind::Usage;
    request.problem = problem;
  };
  if (request.deleting || request.queues || request.probe || request.probeTimeoutGiven ||
      !options.driverPatterns.empty() || !options.environment.empty() || options.unused ||
      options.printers || options.packages || options.orphans || options.noSnapshot ||
      !options.snapshotsRoot.empty()) {
    return refuse(L"/restore takes only /yes and /timeout: before the snapshot folder.");
  }
  size_t start = text.find_first_not_of(L' ', rest);
  if (start == std::wstring_view::npos) return refuse(L"/restore needs the snapshot folder.");
  const bool quoted = text[start] == L'"';
  if (quoted) ++start;
  size_t end = text.find_first_of(quoted ? kQuote : kBlankOrQuote, start);
  if (end == std::wstring_view::npos) end = text.size();
  request.snapshotFolder = text.substr(start, end - start);
  if (request.snapshotFolder.empty() || request.snapshotFolder.size() >= kReportLogPathCapacity) {
    return refuse(L"/restore needs the snapshot folder (at most 319 characters).");
  }
  request.kind = RequestKind::Restore;
  ArgumentTokens tokens(text, end + 1);
  ParseLogPath(tokens, request);
}

}  // namespace

std::wstring_view KnownEnvironment(std::wstring_view value) {
  for (const std::wstring_view known : {L"Windows NT x86", L"Windows x64", L"Windows ARM64",
                                        L"Windows IA64", L"Windows 4.0"}) {
    if (EqualsIgnoringAsciiCase(value, known)) return known;
  }
  return {};
}

ReportRequest ParseReportArguments(std::wstring_view text) {
  ReportRequest request;
  // "/?" anywhere asks for the usage block.
  for (ArgumentTokens words(text); const auto word = words.Next(kBlankOrQuote);) {
    if (*word == L"/?" || *word == L"-?") {
      request.kind = RequestKind::Help;
      return request;
    }
  }
  ArgumentTokens tokens(text);
  size_t rest = 0;
  for (;;) {
    rest = tokens.Position();
    const std::optional<std::wstring_view> word = tokens.Next(kBlankOrQuote);
    if (!word || !IsOption(*word)) break;
    if (IsValuedOption(*word)) {
      size_t after = tokens.Position();
      const size_t start = static_cast<size_t>(word->data() - text.data());
      const std::wstring_view value = OptionValue(text, start, *word, after);
      if (!ApplyValuedOption(*word, value, request)) return request;
      tokens = ArgumentTokens(text, after);
      continue;
    }
    if (!ApplyOption(*word, request)) return request;
  }
  if (request.restoring) {
    ParseRestoreArguments(text, rest, request);
    return request;
  }
  ParseTargetOrList(text, rest, request);
  CheckCleanupRequest(request);
  CheckQueuesRequest(request);
  return request;
}

int RunCommandLineReport(std::wstring_view argumentText, std::unique_ptr<CsvLog>& log) {
  const ReportRequest request = ParseReportArguments(argumentText);

  consoleState = new (std::nothrow) ConsoleState;
  if (consoleState == nullptr) {
    ::MessageBoxW(nullptr,
                  L"Memory allocation failure, Kestrun will now exit!\nPlease check system "
                  L"resources.",
                  L"Kestrun", MB_ICONERROR);
    return kExitFailed;
  }
  SetUpConsole(*consoleState);

  if (request.kind == RequestKind::Author) {
    // The author box ends the report at once; the console goes with the process.
    RestoreConsole(*consoleState);
    ShowAuthorBox();
    return kExitOk;
  }
  int exitCode = kExitFailed;
  try {
    exitCode = RunRequest(request, log);
  } catch (const std::bad_alloc&) {
    WriteConsoleRed(L"\r\nFailed to enumerate due to a memory error!\r\n");
  }
  EndReport();
  return exitCode;
}

}  // namespace kestrun
