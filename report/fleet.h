// Fleet mode: every machine of a list, listed in parallel (each worker with an
// inventory of its own), one console line per machine as it finishes, and each
// machine's rows appended to the fleet log as one locked append.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

#include "report/csv_log.h"

namespace kestrun {

// The console lines of fleet mode, each ended by CR LF. `finished` counts the
// machines in the order they finished, `total` is the list's length. A name
// over 253 characters is shown cut to them; it fails as "name too long". An
// unused count of kUnusedUnknown (the printers could not be read) shows "?".
constexpr DWORD kUnusedUnknown = 0xFFFFFFFF;
// "[3/64] PRINTSRV09  ": what every machine's line starts with.
std::wstring MachineLinePrefix(size_t finished, size_t total, std::wstring_view machine);
std::wstring FleetAnsweredLine(size_t finished, size_t total, std::wstring_view machine,
                               DWORD drivers, DWORD nonNative, DWORD unused);
std::wstring FleetFailedLine(size_t finished, size_t total, std::wstring_view machine, DWORD code,
                             std::wstring_view systemText);
// A machine that did not answer within the time limit; `then` follows the
// limit (a clean-up adds that the machine's state is unknown).
std::wstring FleetTooLateLine(size_t finished, size_t total, std::wstring_view machine,
                              unsigned limitSeconds, std::wstring_view then = {});
std::wstring FleetSummaryLine(size_t answered, size_t failed, size_t notFinished, ULONGLONG drivers,
                              size_t notWritten = 0);

// The system's text for an error code, on one line.
std::wstring SystemErrorText(DWORD code);

// Lists every machine, prints a line for each and the summary, and appends the
// rows to the log when one is open. A machine that takes longer than
// `limitSeconds` (0: no limit) to answer fails, and nothing of it is logged.
// Ctrl+C, or an append that fails, stops the run: machines already written
// stay whole, machines still in a spooler call are abandoned. Returns the exit
// code: 0 when every machine answered and was written.
int RunFleet(std::vector<std::wstring> machines, CsvLog* log, unsigned limitSeconds);

}  // namespace kestrun
