// "Kestrun /copy [/printer:PATTERN]... [/timeout:S] [/snapshots:FOLDER] [/yes]
// SOURCE|@LIST TARGET [ACTIONS.csv]": copies printers, with their drivers of
// every environment, packages and TCP/IP ports, from each source onto one
// target. Without "/yes" it only prints and logs the plan.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "inventory/copy_plan.h"
#include "inventory/restore.h"

#include "report/command_line.h"
#include "report/csv_log.h"

namespace kestrun {

// One object of a copy, printer by printer, each followed by the drivers,
// package and port it brings (each object once), with what became of it.
struct CopyObject {
  const wchar_t* kind;  // "printer", "driver", "package", "port"
  std::wstring shown;   // "\"HR Laser\" (Acme PCL6, port IP_10.1.2.3)"
  CopyAction action = CopyAction::Copy;
  std::wstring why;                         // why it is not copied
  const RestoreResult* result = nullptr;    // none before the copy ran
  std::wstring name, environment, version;  // its action-log fields
};

// The plan's objects in that order; with the restore that carried the plan
// out, each with its result (the n-th object the plan copies is the
// snapshot's n-th of its kind).
std::vector<CopyObject> ObjectsOf(const CopyPlan& plan, const RestorePlan* restore);

// Reads the sources (the list, when given) and opens the copy log (refusing
// a file with another header) before anything is listed, then copies.
// Returns the exit code.
int RunCopyRequest(const ReportRequest& request, std::unique_ptr<CsvLog>& log);

}  // namespace kestrun
