#include "report/command_grammar.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "inventory/driver_inventory.h"
#include "inventory/field_text.h"

namespace kestrun {

namespace {

constexpr wchar_t kBlankOrQuote[] = L" \"";
constexpr wchar_t kQuote[] = L"\"";
constexpr wchar_t kTrailingBlanks[] = L" \t";

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

using CleanupFlag = std::pair<const wchar_t*, bool CleanupOptions::*>;
constexpr CleanupFlag kCleanupFlags[] = {
    {L"unused", &CleanupOptions::unused},     {L"printers", &CleanupOptions::printers},
    {L"packages", &CleanupOptions::packages}, {L"orphans", &CleanupOptions::orphans},
    {L"yes", &CleanupOptions::yes},           {L"nosnapshot", &CleanupOptions::noSnapshot}};

// No machine name starts with "/" or "-" (nor a list, which starts with "@").
bool IsOption(std::wstring_view word) { return word[0] == L'/' || word[0] == L'-'; }

bool IsCsvPath(std::wstring_view path) {
  return path.size() >= 3 && EqualsIgnoringAsciiCase(path.substr(path.size() - 3), L"csv");
}

// The optional log path after the target or the machine list (`after` names
// which, for a refusal), and nothing after it.
void ParseLogPath(ArgumentTokens& tokens, ReportRequest& request,
                  const wchar_t* after = L"the target") {
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
  const std::optional<std::wstring_view> following = tokens.Next(kBlankOrQuote);
  if (IsCsvPath(request.logPath) && !following) return;
  request.kind = RequestKind::Usage;
  if (IsCsvPath(request.logPath)) {
    request.problem = L"Nothing may follow the log: ";
    AppendShownText(request.problem, *following);
  } else {
    request.problem = std::wstring(L"After ") + after + L" only a .csv log may follow: ";
    AppendShownText(request.problem, request.logPath);
  }
  // "SRV /yes", "SRV C:\a.csv /yes" or "SRV "C:\a.csv" /yes": an option after the target.
  std::wstring_view word = IsCsvPath(request.logPath) ? *following : std::wstring_view();
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

// "@list" with `at` on the "@": the list path, and the position after it. A
// list path in double quotes may hold blanks: "@C:\My Lists\servers.txt" and
// @"C:\My Lists\servers.txt" both name it.
size_t ParseListPath(std::wstring_view text, size_t at, ReportRequest& request) {
  size_t start = at + 1;
  bool quoted = at > 0 && text[at - 1] == L'"';
  while (start < text.size() && text[start] == L'"') {
    quoted = true;
    ++start;
  }
  size_t end = text.find_first_of(quoted ? kQuote : kBlankOrQuote, start);
  if (end == std::wstring_view::npos) end = text.size();
  request.listPath = text.substr(start, end - start);
  return end + 1;
}

void ParseFleetArguments(std::wstring_view text, size_t at, ReportRequest& request) {
  ArgumentTokens tokens(text, ParseListPath(text, at, request));
  if (request.listPath.empty()) {
    request.kind = RequestKind::Usage;
    request.problem = L"The machine list's path comes right after the @: @C:\\Machines.txt";
    return;
  }
  request.kind = RequestKind::Fleet;
  ParseLogPath(tokens, request, L"the machine list");
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
  // Every flag once: a second one is a typing slip the admin should see.
  const auto setOnce = [&request](const wchar_t* flag, bool& given) {
    if (!given) return given = true;
    request.kind = RequestKind::Usage;
    request.problem = std::wstring(L"/") + flag + L" may be given once.";
    return false;
  };
  using Command = std::pair<const wchar_t*, bool ReportRequest::*>;
  for (const auto& [flag, member] :
       {Command{L"probe", &ReportRequest::probe}, Command{L"delete", &ReportRequest::deleting},
        Command{L"restore", &ReportRequest::restoring}, Command{L"queues", &ReportRequest::queues},
        Command{L"copy", &ReportRequest::copying}, Command{L"posture", &ReportRequest::posture}}) {
    if (EqualsIgnoringAsciiCase(name, flag)) return setOnce(flag, request.*member);
  }
  for (const auto& [flag, member] : kCleanupFlags) {
    if (EqualsIgnoringAsciiCase(name, flag)) return setOnce(flag, request.cleanup.*member);
  }
  request.kind = RequestKind::UnknownOption;
  request.option = word;
  return false;
}

// "/driver:", "/environment:", "/snapshots:", "/printer:" and "/to:" take a
// value that may hold blanks when quoted: /driver:"HP Universal*" and
// "/driver:HP Universal*" alike.
bool IsValuedOption(std::wstring_view word) {
  for (const std::wstring_view name :
       {L"driver:", L"environment:", L"snapshots:", L"printer:", L"to:"}) {
    if (StartsWithIgnoringAsciiCase(word.substr(1), name)) return true;
  }
  return false;
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

// Applies a valued option; false, saying why, for a value it cannot take.
bool ApplyValuedOption(std::wstring_view word, std::wstring_view value, ReportRequest& request) {
  const std::wstring_view name = word.substr(1, word.find(L':'));
  const auto is = [name](std::wstring_view option) {
    return EqualsIgnoringAsciiCase(name, option);
  };
  const bool driver = is(L"driver:");
  const auto refuse = [&request](std::wstring problem) {
    request.kind = RequestKind::Usage;
    request.problem = std::move(problem);
    return false;
  };
  const bool snapshots = is(L"snapshots:");
  if (value.find_first_not_of(L" \t") == std::wstring_view::npos) {
    return refuse(driver            ? L"/driver: needs a driver name or pattern."
                  : snapshots       ? L"/snapshots: needs a folder."
                  : is(L"printer:") ? L"/printer: needs a printer name or pattern."
                  : is(L"to:")      ? L"/to: needs a machine name."
                                    : L"/environment: needs an environment.");
  }
  if (is(L"printer:")) {
    request.copy.printerPatterns.emplace_back(value);
    return true;
  }
  if (is(L"to:")) {
    if (!request.restoreTarget.empty()) return refuse(L"/to: may be given once.");
    if (BareMachineName(value).size() > kMaxTargetMachineName) {
      request.kind = RequestKind::TargetTooLong;
      return false;
    }
    request.restoreTarget = value;
    return true;
  }
  if (snapshots) {
    if (!request.cleanup.snapshotsRoot.empty()) return refuse(L"/snapshots: may be given once.");
    if (value.size() >= kReportLogPathCapacity) {
      return refuse(L"The /snapshots: folder is too long.");
    }
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

// Why a clean-up option without "/delete" is refused, naming the first one given.
std::wstring StrayCleanupOption(const CleanupOptions& cleanup) {
  if (cleanup.yes) return L"/yes goes with /delete, /restore or /copy.";
  if (!cleanup.snapshotsRoot.empty()) return L"/snapshots: goes with /delete or /copy.";
  if (!cleanup.driverPatterns.empty()) return L"/driver: goes with /delete.";
  if (!cleanup.environment.empty()) return L"/environment: goes with /delete.";
  for (const auto& [flag, member] : kCleanupFlags) {
    if (cleanup.*member) return std::wstring(L"/") + flag + L" goes with /delete.";
  }
  return {};
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
      request.problem = StrayCleanupOption(cleanup);
    }
    return;
  }
  if (request.kind != RequestKind::Report && request.kind != RequestKind::Fleet) return;
  const bool named = request.kind == RequestKind::Fleet || !request.target.empty();
  const bool selects = !cleanup.driverPatterns.empty() || cleanup.unused || cleanup.orphans;
  request.kind = named && selects ? RequestKind::Delete : RequestKind::Usage;
  if (!selects) {
    request.problem = L"/delete needs /driver:, /unused or /orphans to say what goes.";
  } else if (!named) {
    request.problem = L"/delete needs a target machine or a machine list.";
  }
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

// "/posture" needs one target or list and takes only "/timeout:".
void CheckPostureRequest(ReportRequest& request) {
  if (!request.posture) return;
  if (request.kind != RequestKind::Report && request.kind != RequestKind::Fleet &&
      request.kind != RequestKind::Delete && request.kind != RequestKind::Queues) {
    return;
  }
  request.kind = RequestKind::Usage;
  if (request.queues || request.deleting || request.probe || request.probeTimeoutGiven) {
    request.problem = L"/posture takes only /timeout: before the target or the list.";
  } else if (request.listPath.empty() && request.target.empty()) {
    request.problem = L"/posture needs a target machine or a machine list (. is this computer).";
  } else {
    request.kind = RequestKind::Posture;
  }
}

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
  // "Kestrun C:\x.csv": a log where the target belongs (no machine name ends so).
  if (target->size() > 4 && EqualsIgnoringAsciiCase(target->substr(target->size() - 4), L".csv")) {
    request.kind = RequestKind::Usage;
    request.problem = L"The target comes first, then the log (. is this computer): ";
    AppendShownText(request.problem, *target);
    return;
  }
  request.target = *target;
  ParseLogPath(tokens, request);
}

// "/restore [/to:TARGET] [/yes] [/timeout:S] FOLDER [ACTIONS.csv]": the
// snapshot folder, in quotes when it holds blanks, then the optional action log.
void ParseRestoreArguments(std::wstring_view text, size_t rest, ReportRequest& request) {
  const CleanupOptions& options = request.cleanup;
  const auto refuse = [&request](const wchar_t* problem) {
    request.kind = RequestKind::Usage;
    request.problem = problem;
  };
  if (request.deleting || request.queues || request.posture || request.probe ||
      request.probeTimeoutGiven || !options.driverPatterns.empty() ||
      !options.environment.empty() || options.unused || options.printers || options.packages ||
      options.orphans || options.noSnapshot || !options.snapshotsRoot.empty()) {
    return refuse(L"/restore takes only /to:, /yes and /timeout: before the snapshot folder.");
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
  ParseLogPath(tokens, request, L"the snapshot folder");
}

// "/copy [/printer:PATTERN]... [/timeout:S] [/snapshots:FOLDER] [/yes]
// SOURCE|@LIST TARGET [ACTIONS.csv]": one source machine or a list, the one
// target machine, then the optional action log.
void ParseCopyArguments(std::wstring_view text, size_t rest, ReportRequest& request) {
  const CleanupOptions& options = request.cleanup;
  const auto refuse = [&request](std::wstring problem) {
    request.kind = RequestKind::Usage;
    request.problem = std::move(problem);
  };
  const auto tooLong = [&request](std::wstring_view machine) {
    if (BareMachineName(machine).size() <= kMaxTargetMachineName) return false;
    request.kind = RequestKind::TargetTooLong;
    return true;
  };
  if (request.deleting || request.restoring || request.queues || request.posture) {
    return refuse(L"/copy goes with no other command: give one of them.");
  }
  if (request.probe || request.probeTimeoutGiven || !options.driverPatterns.empty() ||
      !options.environment.empty() || options.unused || options.printers || options.packages ||
      options.orphans || options.noSnapshot) {
    return refuse(
        L"/copy takes only /printer:, /timeout:, /snapshots: and /yes before the source.");
  }
  ArgumentTokens tokens(text, rest);
  const size_t first = text.find_first_not_of(kBlankOrQuote, rest);
  if (first != std::wstring_view::npos && text[first] == L'@') {
    tokens = ArgumentTokens(text, ParseListPath(text, first, request));
  } else if (const std::optional<std::wstring_view> source = tokens.Next(kBlankOrQuote)) {
    if (tooLong(*source)) return;
    request.target = *source;
  }
  const std::optional<std::wstring_view> target = tokens.Next(kBlankOrQuote);
  if (!target || (request.target.empty() && request.listPath.empty())) {
    return refuse(L"/copy needs the source and the target machine.");
  }
  if (IsOption(*target)) {
    std::wstring problem = L"Options come before the target or the list: ";
    AppendShownText(problem, *target);
    return refuse(std::move(problem));
  }
  if (target->front() == L'@') return refuse(L"/copy copies onto one target machine, not a list.");
  if (tooLong(*target)) return;
  request.copy.target = *target;
  request.kind = RequestKind::Copy;
  ParseLogPath(tokens, request, L"the target machine");
  // "/copy OLD NEW THIRD": a third machine, not a log.
  const std::wstring& third = request.logPath;
  if (request.kind == RequestKind::Usage && !third.empty() && !IsCsvPath(third) &&
      !IsOption(third)) {
    request.problem = L"/copy takes one source and one target, then the log: ";
    AppendShownText(request.problem, third);
  }
}

// "/to:" goes only with "/restore", "/printer:" only with "/copy"; true, saying
// why, for one without its command.
bool RefuseStrayOption(ReportRequest& request) {
  if (!request.restoreTarget.empty() && !request.restoring) {
    request.problem = L"/to: goes with /restore.";
  } else if (!request.copy.printerPatterns.empty() && !request.copying) {
    request.problem = L"/printer: goes with /copy.";
  } else {
    return false;
  }
  request.kind = RequestKind::Usage;
  return true;
}

}  // namespace

std::wstring_view KnownEnvironment(std::wstring_view value) {
  for (const std::wstring_view known :
       {L"Windows NT x86", L"Windows x64", L"Windows ARM64", L"Windows IA64", L"Windows 4.0"}) {
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
  if (RefuseStrayOption(request)) return request;
  if (request.copying) {
    ParseCopyArguments(text, rest, request);
    return request;
  }
  if (request.restoring) {
    ParseRestoreArguments(text, rest, request);
    return request;
  }
  ParseTargetOrList(text, rest, request);
  CheckCleanupRequest(request);
  CheckQueuesRequest(request);
  CheckPostureRequest(request);
  return request;
}

}  // namespace kestrun
