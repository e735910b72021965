// "Kestrun /queues [/timeout:S] TARGET|@LIST [QUEUES.csv]": every printer of
// every machine with its port, its device, its driver and what Windows
// protected print mode leaves of it; a line per printer, grouped per machine,
// on the fleet report's run machinery, and the queues' CSV.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "inventory/protected_print.h"
#include "inventory/queue_rows.h"
#include "report/csv_log.h"

namespace kestrun {

// Appends "  \\SRVA\HR Laser  TCP/IP 10.1.2.3:9100  Acme PCL6 (Third-party,
// Type 3)  Removed: third-party driver", ended by CR LF. A port without a
// device address shows its name after its kind; server text has its control
// characters shown as "?".
void AppendQueueLine(std::wstring& lines, const QueueRow& row);

// "57 printers (41 third-party driver, 4 inbox IPP class driver)", ended by CR LF.
std::wstring QueuesMachineCounts(const VerdictCounts& counts);

// "Machines: 13 answered, 0 failed. Printers: 740 (530 third-party driver)."
std::wstring QueuesSummaryLine(size_t answered, size_t failed, size_t notFinished,
                               ULONGLONG printers, ULONGLONG thirdParty, size_t notWritten);

// Lists every machine's printers and prints them, appending each machine's
// rows to the log when one is open. Returns the exit code: 0 when every
// machine answered and was written.
int RunQueues(std::vector<std::wstring> machines, CsvLog* log, unsigned limitSeconds);

}  // namespace kestrun
