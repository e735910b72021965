#include "report/command_runs.h"

#include "inventory/field_text.h"
#include "report/action_run.h"
#include "report/command_usage.h"
#include "report/console.h"
#include "report/fleet.h"
#include "report/fleet_list.h"

namespace kestrun {

void PrintBanner() {
  WriteConsoleRed(L"Kestrun v1.2.1.5\r\n");
  WriteConsoleRed(L"Print driver information gathering utility from the Kestrun project\r\n");
  WriteConsoleRed(L"===========================================\r\n");
}

void BeginRunOutput(std::wstring_view notes) {
  ClearConsole();
  PrintBanner();
  if (!notes.empty()) WriteConsoleRed(std::wstring(notes).c_str());
  FlushConsole();
}

bool OpenLog(const std::wstring& path, std::unique_ptr<CsvLog>& log) {
  if (path.empty()) return true;
  DWORD openError = 0;
  log = CsvLog::Open(path.c_str(), openError);
  if (log) return true;
  std::wstring message =
      L"\r\nUnable to create log file.\r\nEnsure that any previously saved logs are closed.\r\n"
      L"Also ensure that the path entered is a valid path that already exists.\r\n";
  AppendShownText(message, path);
  message += L": " + std::to_wstring(openError) + L" ";
  AppendShownText(message, SystemErrorText(openError));
  message += L"\r\n";
  PrintHelpMessage(message.c_str());
  return false;
}

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

void PrintListFailure(const std::wstring& path, const wchar_t* problem) {
  std::wstring message = L"\r\nUnable to read the machine list ";
  AppendShownText(message, path);
  message += L"\r\n";
  message += problem;
  message += L"\r\n";
  PrintHelpMessage(message.c_str());
}

bool ReadMachineList(const std::wstring& path, std::vector<std::wstring>& machines,
                     std::wstring& notes) {
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
  notes = OneEntryPerMachine(machines);
  return true;
}

bool ReadRequestMachines(const ReportRequest& request, std::vector<std::wstring>& machines,
                         std::wstring& notes) {
  if (!request.listPath.empty()) return ReadMachineList(request.listPath, machines, notes);
  machines.push_back(request.target);
  return true;
}

void PrintRefusedLog(const wchar_t* before, const std::wstring& path, const wchar_t* after) {
  std::wstring message = before;
  AppendShownText(message, path);
  message += after;
  PrintHelpMessage(message.c_str());
}

void PrintLogWriteFailure(const CsvLog& log, DWORD error) {
  std::wstring message = L"\r\n\r\nUnable to write the log file ";
  AppendShownText(message, log.Path());
  message += L"\r\n" + std::to_wstring(error) + L" " + SystemErrorText(error) + L"\r\n";
  WriteConsoleRed(message.c_str());
}

}  // namespace kestrun
