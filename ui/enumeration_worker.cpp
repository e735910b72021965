#include "ui/enumeration_worker.h"

#include <commctrl.h>

#include <string>

#include "ui/window_records.h"
#include "common/bounded_text.h"
#include "inventory/error_reporter.h"
#include "inventory/column_table.h"
#include "ui/controls.h"
#include "ui/driver_list.h"
#include "res/ids.h"
#include "ui/sorting.h"
#include "ui/workers.h"

namespace kestrun {

namespace {

constexpr int kMachineNameCapacity = 256;
constexpr int kErrorTextCapacity = 256;
constexpr int kMessageCapacity = 512;

constexpr wchar_t kMemoryFailure[] = L"Failed to enumerate due to a memory error.";
constexpr wchar_t kRemoteSpoolerAdvice[] =
    L"The spooler RPC subsystem returned error. \n\nIf the remote machine is Windows Server "
    L"2003, please ensure that its print spooler is configured to accept client "
    L"connections.\n\nThere is a policy that can be configured to enable this. You can use the "
    L"Group Policy Object Editor (Gpedit.msc), and the corresponding policy is located in "
    L"\"Administrative Templates\\Printers\".\n\nOtherwise check RPC.";

// The reporter's text for a code, held to the run's error-text buffer.
std::wstring ErrorTextOf(DWORD code) {
  wchar_t text[kErrorTextCapacity] = {};
  if (errorReporter) CopyBounded(text, errorReporter->GetErrorText(code).text);
  return text;
}

void ShowRunError(const std::wstring& message) {
  wchar_t text[kMessageCapacity];
  CopyBounded(text, message);  // longer messages are cut at the box's buffer
  if (::IsWindow(MainWindow())) ShowMessage(text, MB_ICONERROR);
}

std::wstring ConnectFailureMessage(const std::wstring& machine, DWORD code) {
  std::wstring errorText = ErrorTextOf(code);
  if (errorText.empty()) {
    errorText = L"Unspecified error! Please ensure machine is reachable over the network.";
  }
  return L"Failed to connect to: " + machine + L"\n" + errorText;
}

std::wstring EnumerationFailureMessage(const std::wstring& machine, DWORD code) {
  std::wstring errorText = ErrorTextOf(code);
  if (errorText.empty()) errorText = L"The spooler RPC subsystem returned an uspecified error.";
  if (machine.empty()) {
    return L"Failed to get print driver information from the local machine.\n" + errorText + L"\n";
  }
  if (code == ERROR_FILE_NOT_FOUND) {
    return L"Failed to get print driver information from: " + machine + L"\n" +
           kRemoteSpoolerAdvice;
  }
  return L"Failed to get print driver information from: " + machine + L"\n" + errorText + L"\n";
}

// Sends one of the main window's private messages; false when the window is gone.
bool SendToWindow(UINT message, LPARAM lParam = 0) {
  const HWND window = MainWindow();
  if (!::IsWindow(window)) return false;
  DWORD_PTR answer = 0;
  return ::SendMessageTimeoutW(window, message, 0, lParam, SMTO_NORMAL, INFINITE, &answer) != 0;
}

// The whole client area, the count panel included, is painted anew from the
// inventory that is current now.
void RepaintMainWindow() {
  const HWND window = MainWindow();
  if (!::IsWindow(window)) return;
  ::GetClientRect(window, &appWindowState->invalidRect);
  ::InvalidateRect(window, &appWindowState->invalidRect, TRUE);
}

}  // namespace

void BeginEnumerationOnWindowThread() {
  ReleaseInventory();
  ::SendMessageW(listView, LVM_DELETEALLITEMS, 0, 0);
}

void TakeEnumerationResult(EnumerationResult& result) {
  MakeCurrentInventory(std::move(result.inventory));
  // A failed run's panel shows its new inventory's counts before its message comes.
  RepaintMainWindow();
  if (!result.fillList || currentInventory == nullptr) return;
  result.filled = FillDriverRows(*currentInventory);
  if (!result.filled) return;
  SortListByColumn(listView, kFirstFieldColumn, false);
  FitColumn(kFirstFieldColumn);
}

void FinishRunOnWindowThread() {
  StopProgress();
  ::EnableWindow(enumerateButton, TRUE);
  ::EnableWindow(deleteButton, ListRowCount() > 0);
  ::SetFocus(listView);
  RepaintMainWindow();  // a run that left no inventory current leaves no panel
}

DWORD EnumerationWorker(const std::wstring* named) {
  ::EnableWindow(enumerateButton, FALSE);

  wchar_t machineText[kMachineNameCapacity] = {};
  if (named) ::SetWindowTextW(machineCombo, named->c_str());
  ::GetWindowTextW(machineCombo, machineText, kMachineNameCapacity);
  const std::wstring machine = named ? *named : machineText;

  if (!SendToWindow(WM_KESTRUN_ENUMERATION_BEGIN)) return 0;

  EnumerationResult result;
  result.inventory = CreateInventory();
  if (!result.inventory) {
    StopProgress();
    ShowRunError(kMemoryFailure);
    SendToWindow(WM_KESTRUN_RUN_FINISHED);
    return 0;
  }

  if (!machine.empty() && !ConnectTargetSession(*remoteSession, machine)) {
    SendToWindow(WM_KESTRUN_ENUMERATION_RESULT, reinterpret_cast<LPARAM>(&result));
    StopProgress();
    if (remoteSession->lastResult != ERROR_CANCELLED) {
      ShowRunError(ConnectFailureMessage(machine, remoteSession->lastResult));
    }
    SendToWindow(WM_KESTRUN_RUN_FINISHED);
    return 0;
  }

  // Only a run that opened a session drops one: a local listing leaves every
  // share alone.
  const bool sessionOpened = !machine.empty();
  if (!EnumerateDrivers(*result.inventory, machine)) {
    const DWORD code = result.inventory->lastError;
    if (sessionOpened) CancelTargetSession(*remoteSession);
    SendToWindow(WM_KESTRUN_ENUMERATION_RESULT, reinterpret_cast<LPARAM>(&result));
    StopProgress();
    ShowRunError(EnumerationFailureMessage(machine, code));
    SendToWindow(WM_KESTRUN_RUN_FINISHED);
    return 0;
  }

  result.fillList = true;
  SendToWindow(WM_KESTRUN_ENUMERATION_RESULT, reinterpret_cast<LPARAM>(&result));
  if (sessionOpened) CancelTargetSession(*remoteSession);
  if (!result.filled && ::IsWindow(MainWindow())) {
    StopProgress();
    ShowRunError(kMemoryFailure);
  }
  SendToWindow(WM_KESTRUN_RUN_FINISHED);
  return 0;
}

DWORD WINAPI EnumerationWorkerThread(LPVOID) {
  EnumerationWorker();
  EndExclusiveRun();
  return 0;
}

}  // namespace kestrun
