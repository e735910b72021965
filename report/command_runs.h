// What the command-line runs share: the exit codes, the banner, opening a log
// or an action log, reading the machines a request names, and saying why a
// log or a list cannot be used.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "report/command_grammar.h"
#include "report/csv_log.h"

namespace kestrun {

// Process exit codes of the command-line mode.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

void PrintBanner();

// A run's output starts on a clear console with the banner, shown at once:
// the machines may take a while to answer. `notes` (the list's spellings of
// one machine) follow the banner.
void BeginRunOutput(std::wstring_view notes = {});

// Opens the log when a path was given; false (with the help block printed)
// when it cannot be opened.
bool OpenLog(const std::wstring& path, std::unique_ptr<CsvLog>& log);

// Opens the action log when one is named; it must be new, empty or an
// action log already. False, the problem printed, otherwise.
bool OpenActionLog(const ReportRequest& request, std::unique_ptr<CsvLog>& log);

// A list that cannot be read, or names no machine: nothing is listed or logged.
void PrintListFailure(const std::wstring& path, const wchar_t* problem);

// Reads a machine list, each machine once (`notes` names the spellings of
// this computer taken out); false, the failure printed, when it cannot be
// read or names no machine.
bool ReadMachineList(const std::wstring& path, std::vector<std::wstring>& machines,
                     std::wstring& notes);

// The request's one target, or the machines of its list as ReadMachineList reads them.
bool ReadRequestMachines(const ReportRequest& request, std::vector<std::wstring>& machines,
                         std::wstring& notes);

// A log Kestrun does not append to: named between the two texts, left as it is.
void PrintRefusedLog(const wchar_t* before, const std::wstring& path, const wchar_t* after);

// Names the log that could not be written and the system's text, in red.
void PrintLogWriteFailure(const CsvLog& log, DWORD error);

}  // namespace kestrun
