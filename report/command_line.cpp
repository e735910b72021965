#include "report/command_line.h"

#include <new>

#include "report/cleanup_command.h"
#include "report/command_usage.h"
#include "report/console.h"
#include "report/copy_command.h"
#include "report/fleet_command.h"
#include "report/posture.h"
#include "report/queues_command.h"
#include "report/restore_command.h"
#include "res/ids.h"

namespace kestrun {

namespace {

void ShowAuthorBox() {
  MSGBOXPARAMSW params = {};
  params.cbSize = sizeof(params);
  params.hwndOwner = nullptr;
  params.hInstance = ::GetModuleHandleW(nullptr);
  params.lpszText =
      L"Kestrun v1.2.1.5\nPrint driver information gathering utility\n\n"
      L"Written and maintained by the Kestrun developers.";
  params.lpszCaption = L"Author Information";
  params.dwStyle = MB_USERICON | MB_OK;
  params.lpszIcon = MAKEINTRESOURCEW(IDI_APP);
  params.dwLanguageId = LANG_NEUTRAL;
  ::MessageBoxIndirectW(&params);
}

int RunRequest(const ReportRequest& request, std::unique_ptr<CsvLog>& log) {
  switch (request.kind) {
    case RequestKind::Usage:
      PrintUsage(request.problem.empty() ? std::wstring() : request.problem + L"\r\n\r\n");
      return kExitUsage;
    case RequestKind::Help:
      PrintUsage();
      return kExitOk;
    case RequestKind::UnknownOption: {
      std::wstring problem = L"Unknown option: ";
      AppendShownText(problem, request.option);
      PrintUsage(problem + L"\r\n\r\n");
      return kExitUsage;
    }
    case RequestKind::TargetTooLong:
      PrintHelpMessage(
          L"\r\nThe target machine name is too long.\r\n"
          L"A machine name may have at most 253 characters.\r\n");
      return kExitFailed;
    case RequestKind::PathTooLong:
      PrintHelpMessage(
          L"\r\nThe log file path is too long.\r\n"
          L"A log file path may have at most 319 characters.\r\n");
      return kExitFailed;
    case RequestKind::Fleet:
      return RunFleetRequest(request, log);
    case RequestKind::Delete:
      return RunCleanupRequest(request, log);
    case RequestKind::Restore:
      return RunRestoreRequest(request, log);
    case RequestKind::Queues:
      return RunQueuesRequest(request, log);
    case RequestKind::Posture:
      return RunPostureRequest(request, log);
    case RequestKind::Copy:
      return RunCopyRequest(request, log);
    case RequestKind::Author:
    case RequestKind::Report:
      break;
  }
  return RunReportRequest(request, log);
}

void EndReport() {
  RestoreConsole(*consoleState);
  if (consoleState->allocated) ::Sleep(10000);
  ::FreeConsole();
  delete consoleState;
  consoleState = nullptr;
}

}  // namespace

void PrintConsoleMessage(WORD colour, const std::wstring& text) {
  consoleState = new (std::nothrow) ConsoleState;
  if (consoleState == nullptr) return;
  SetUpConsole(*consoleState);
  WriteConsoleColored(colour, text.c_str());
  EndReport();
}

int RunCommandLineReport(std::wstring_view argumentText, std::unique_ptr<CsvLog>& log) {
  const ReportRequest request = ParseReportArguments(argumentText);

  consoleState = new (std::nothrow) ConsoleState;
  if (consoleState == nullptr) {
    ::MessageBoxW(nullptr,
                  L"Memory allocation failure, Kestrun will now exit!\nPlease check system "
                  L"resources.",
                  L"Kestrun", MB_ICONERROR);
    return kExitFailed;
  }
  SetUpConsole(*consoleState);

  if (request.kind == RequestKind::Author) {
    // The author box ends the report at once; the console goes with the process.
    RestoreConsole(*consoleState);
    ShowAuthorBox();
    return kExitOk;
  }
  int exitCode = kExitFailed;
  try {
    exitCode = RunRequest(request, log);
  } catch (const std::bad_alloc&) {
    WriteConsoleRed(L"\r\nFailed to enumerate due to a memory error!\r\n");
  }
  EndReport();
  return exitCode;
}

}  // namespace kestrun
