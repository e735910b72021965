#include "report/command_usage.h"

#include <cwchar>
#include <string>
#include <string_view>
#include <vector>

#include "inventory/print_posture.h"
#include "report/console.h"

namespace kestrun {

namespace {

// Each option on a line of its own, what it does starting in one column.
struct UsageOption {
  std::wstring_view option;
  std::wstring_view text;
};

constexpr size_t kUsageTextColumn = 19;

constexpr UsageOption kUsageOptions[] = {
    {L"/timeout:SECONDS",
     L"the longest one machine may take to answer (default 120, 0 for no limit)"},
    {L"/delete",
     L"delete what /driver:, /unused or /orphans select on the target or every machine of the "
     L"list"},
    {L"/driver:PATTERN",
     L"with /delete: the drivers of that name, * and ? as wildcards (repeatable; quote one with "
     L"blanks)"},
    {L"/environment:ENV",
     L"with /delete: only drivers of that environment, such as \"Windows x64\" (default every "
     L"one)"},
    {L"/unused",
     L"with /delete: only drivers no printer uses; alone, every unused non-native driver"},
    {L"/printers", L"with /delete: the printers that use a selected driver may be deleted first"},
    {L"/packages",
     L"with /delete: the selected drivers' packages go too, unless Windows' own or still used"},
    {L"/orphans", L"with /delete: every driver store package no driver uses goes too"},
    {L"/nosnapshot", L"with /delete: delete without saving a snapshot first"},
    {L"/snapshots:FOLDER",
     L"with /delete or /copy: save snapshots below FOLDER (default "
     L"%LOCALAPPDATA%\\Kestrun\\Snapshots)"},
    {L"/yes", L"with /delete, /restore or /copy: carry the plan out; without it nothing changes"},
    {L"/restore", L"put back what a deletion saved in SnapshotFolder"},
    {L"/to:TargetMachine",
     L"with /restore: the machine the snapshot goes to (default the one it was taken from)"},
    {L"/queues", L"list every printer with its port, its driver and its protected print verdict"},
    {L"/posture",
     L"read who may install printer drivers, the spooler's RPC and protected print mode"},
    {L"/probe",
     L"with /queues: ask each printer's device whether it prints without a vendor driver"},
    {L"/probe-timeout:S", L"with /probe: the longest one device may take to answer (default 5)"},
    {L"/copy",
     L"copy printers, with their drivers, packages and TCP/IP ports, from each source onto "
     L"TargetMachine"},
    {L"/printer:PATTERN",
     L"with /copy: the printers of that name, * and ? as wildcards (repeatable; default every "
     L"one)"},
    {L"-creator", L"who wrote Kestrun"},
    {L"/?", L"this help (also -?, /help, -h, --help)"},
};

// Two blanks at least after the longest option, and no line wrapped by a
// console 120 columns wide.
constexpr bool UsageOptionsFit() {
  for (const UsageOption& entry : kUsageOptions) {
    if (entry.option.size() + 2 > kUsageTextColumn) return false;
    if (kUsageTextColumn + entry.text.size() >= 120) return false;
  }
  return true;
}
static_assert(UsageOptionsFit());

std::wstring UsageOptionLines() {
  std::wstring lines;
  for (const UsageOption& entry : kUsageOptions) {
    lines += entry.option;
    lines.append(kUsageTextColumn - entry.option.size(), L' ');
    lines += entry.text;
    lines += L"\r\n";
  }
  return lines;
}

// Each setting, its unsafe values indented below it, and its page's number;
// the pages follow, one a line.
std::wstring PostureHelpLines() {
  std::vector<const wchar_t*> pages;
  std::wstring lines;
  for (const PostureSettingHelp& entry : PostureSettingsHelp()) {
    size_t page = 0;
    while (page < pages.size() && std::wcscmp(pages[page], entry.reference) != 0) ++page;
    if (page == pages.size()) pages.push_back(entry.reference);
    lines += entry.setting + L"  [" + std::to_wstring(page + 1) + L"]\r\n";
    if (entry.unsafeWhen.empty()) lines += L"    (shown: never unsafe by itself)\r\n";
    for (const std::wstring& when : entry.unsafeWhen) lines += L"    " + when + L"\r\n";
  }
  lines += L"\r\n";
  for (size_t page = 0; page < pages.size(); ++page) {
    lines += L"[" + std::to_wstring(page + 1) + L"] " + pages[page] + L"\r\n";
  }
  return lines + L"\r\n";
}

}  // namespace

void PrintUsage(const std::wstring& problem) {
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
  // Lines longer than 120 columns would wrap mid-word in a console of that width.
  WriteConsoleColored(
      kGreen,
      L"Kestrun /delete [/driver:PATTERN]... [/environment:ENV] [/unused] [/printers] [/packages] "
      L"[/orphans]\r\n"
      L"        [/nosnapshot] [/snapshots:FOLDER] [/yes] "
      L"TargetMachine|@MachineList.txt [C:\\Actions.csv]\r\n\r\n");
  WriteConsoleColored(
      kGreen, L"Kestrun /restore [/timeout:S] [/yes] SnapshotFolder [C:\\Actions.csv]\r\n\r\n");
  WriteConsoleColored(kGreen,
                      L"Kestrun /restore /to:TargetMachine [/timeout:S] [/yes] SnapshotFolder "
                      L"[C:\\Actions.csv]\r\n\r\n");
  WriteConsoleColored(kGreen,
                      L"Kestrun /queues [/probe [/probe-timeout:S]] "
                      L"TargetMachine|@MachineList.txt [C:\\Queues.csv]\r\n\r\n");
  WriteConsoleColored(kGreen,
                      L"Kestrun /posture [/timeout:S] TargetMachine|@MachineList.txt "
                      L"[C:\\Posture.csv]\r\n\r\n");
  WriteConsoleColored(kGreen,
                      L"Kestrun /copy [/printer:PATTERN]... [/timeout:S] [/snapshots:FOLDER] "
                      L"[/yes]\r\n"
                      L"        SourceMachine|@MachineList.txt TargetMachine "
                      L"[C:\\Actions.csv]\r\n\r\n");
  WriteConsoleRed(L"Options, before the target or the list:\r\n\r\n");
  WriteConsoleColored(kGreen, (UsageOptionLines() + L"\r\n").c_str());
  WriteConsoleRed(
      L"The settings /posture reads, and what makes each unsafe (any value of another "
      L"type, or not\r\ndocumented, is unsafe too), with the page that says so:\r\n\r\n");
  WriteConsoleColored(kGreen, PostureHelpLines().c_str());
}

void PrintHelpMessage(const wchar_t* message) {
  WriteConsoleRed(L"\r\nKestrun Help\r\n");
  WriteConsoleRed(L"====================\r\n");
  WriteConsoleRed(message);
}

}  // namespace kestrun
