// "/posture": the print security settings of one machine or of every machine
// of a list, sixteen at a time, a line each, and their rows in a log.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "inventory/print_posture.h"
#include "report/command_grammar.h"
#include "report/csv_log.h"

namespace kestrun {

// The log's BOM and header: Time,Machine,Setting,Value,Verdict,Why,Reference.
std::string PostureLogHeader();

// A machine's rows, one per setting.
void AppendPostureRows(std::string& bytes, std::wstring_view time, std::wstring_view machine,
                       const std::vector<PostureRow>& rows);

// A machine's line after its "[n/N] NAME  ": "2 unsafe: why; why", "safe" or
// "not read: REASON".
std::wstring PostureMachineText(const PostureReading& reading);

int RunPostureRequest(const ReportRequest& request, std::unique_ptr<CsvLog>& log);

}  // namespace kestrun
