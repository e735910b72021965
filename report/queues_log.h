// The queues' CSV file, written by "/queues" and by the printers window's
// "Save...": UTF-8 with a byte-order mark, RFC 4180, the fleet log's rule for
// fields that look like formulas, CR LF line ends. Its columns: "Machine",
// the printers view's columns in their order, then "Reason".
#pragma once

#include <string>
#include <string_view>

#include "inventory/queue_rows.h"

namespace kestrun {

// The BOM and the header line.
std::string QueuesLogHeader();

// True when a file's first bytes are neither empty nor the queues' header
// (saved again without its BOM, it is still the queues' file).
bool HoldsAnotherQueuesHeader(std::string_view firstBytes);

// One printer's row: its cells and why a fact is missing.
void AppendQueueRow(std::string& bytes, std::wstring_view machine, const QueueCells& cells,
                    std::wstring_view reason);

}  // namespace kestrun
