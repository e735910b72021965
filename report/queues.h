// "Kestrun /queues [/timeout:S] TARGET|@LIST [QUEUES.csv]": every printer of
// every machine with its port, its device, its driver and what Windows
// protected print mode leaves of it; a line per printer, grouped per machine,
// on the fleet report's run machinery, and the queues' CSV.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

#include "inventory/protected_print.h"
#include "inventory/queue_rows.h"
#include "report/csv_log.h"

namespace kestrun {

// Appends "  \\SRVA\HR Laser  TCP/IP 10.1.2.3:9100  Acme PCL6 (Third-party,
// Type 3)  Removed: third-party driver", ended by CR LF. A port without a
// device address shows its name after its kind; server text has its control
// characters shown as "?". After a probe the device's verdict follows, with
// its model in parentheses ("  IPP Everywhere (Acme Laser 5)").
void AppendQueueLine(std::wstring& lines, const QueueRow& row, bool probed = false);

// "57 printers (41 third-party driver, 4 inbox IPP class driver)", with
// ", " and `devices` after it when given, ended by CR LF.
std::wstring QueuesMachineCounts(const VerdictCounts& counts, std::wstring_view devices = {});

// "Machines: 13 answered, 0 failed. Printers: 740 (530 third-party driver)."
std::wstring QueuesSummaryLine(size_t answered, size_t failed, size_t notFinished,
                               ULONGLONG printers, ULONGLONG thirdParty, size_t notWritten,
                               ULONGLONG legacy = 0);

// Lists every machine's printers and prints them, appending each machine's
// rows to the log when one is open. With `probeSeconds` (0: none) each
// machine's devices are asked, each within that limit, at most
// kMaxProbesAtOnce of the whole run at a time; the machine's time limit
// then bounds the wait for each next device to settle. Returns the exit
// code: 0 when every machine answered and was written.
int RunQueues(std::vector<std::wstring> machines, CsvLog* log, unsigned limitSeconds,
              unsigned probeSeconds = 0);

}  // namespace kestrun
