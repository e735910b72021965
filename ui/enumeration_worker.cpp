#include "ui/enumeration_worker.h"

#include <commctrl.h>

#include <string>

#include "ui/window_records.h"
#include "common/bounded_text.h"
#include "inventory/error_reporter.h"
#include "inventory/printers.h"
#include "ui/controls.h"
#include "ui/driver_list.h"
#include "ui/printers_window.h"
#include "res/ids.h"
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
  if (errorReporter && code != 0) CopyBounded(text, errorReporter->GetErrorText(code).text);
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

// Sends one of the main window's private messages for a run; false when the
// window is gone or dropped it.
bool SendToWindow(UINT message, RunToken run, LPARAM lParam = 0) {
  const HWND window = MainWindow();
  if (!::IsWindow(window)) return false;
  DWORD_PTR answer = 0;
  return ::SendMessageTimeoutW(window, message, static_cast<WPARAM>(run), lParam, SMTO_NORMAL,
                               INFINITE, &answer) != 0 &&
         answer != 0;
}

// A run's messages count while it holds the slot; the deletion's refresh
// (no token) runs inside the deletion's.
bool Accepts(RunToken run) { return run == 0 || IsCurrentRun(run); }

// The listing the "Cancel" button would abandon; main window's thread only.
RunToken cancellableListing = 0;

void SetEnumerateButton(const wchar_t* text, bool enabled) {
  ::SetWindowTextW(enumerateButton, text);
  ::EnableWindow(enumerateButton, enabled);
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

LRESULT BeginEnumerationOnWindowThread(RunToken run) {
  if (!Accepts(run)) return 0;
  ReleaseInventory();
  RefreshPrintersWindow();
  ::SendMessageW(listView, LVM_DELETEALLITEMS, 0, 0);
  return 1;
}

LRESULT TakeEnumerationResult(RunToken run, EnumerationResult& result) {
  if (!Accepts(run)) return 0;  // cancelled: the worker frees what it brought
  if (run == cancellableListing) {
    cancellableListing = 0;  // its result is in: the run only ends from here
    SetEnumerateButton(L"Enumerate", false);
  }
  MakeCurrentInventory(std::move(result.inventory));
  RefreshPrintersWindow();
  // A failed run's panel shows its new inventory's counts before its message comes.
  RepaintMainWindow();
  if (!result.fillList || currentInventory == nullptr) return 1;
  result.filled = FillDriverRows(*currentInventory);
  if (!result.filled) return 1;
  ArrangeListedRows();
  return 1;
}

void FinishRunOnWindowThread(RunToken run) {
  if (!Accepts(run)) return;
  if (run == cancellableListing) cancellableListing = 0;
  StopProgress();
  SetEnumerateButton(L"Enumerate", true);
  ::EnableWindow(deleteButton, ListRowCount() > 0);
  ::SetFocus(listView);
  RepaintMainWindow();  // a run that left no inventory current leaves no panel
  EndExclusiveRun(run);
}

void BeginCancellableListing(RunToken run) {
  cancellableListing = run;
  SetEnumerateButton(L"Cancel", true);
}

bool ListingCancellable() { return cancellableListing != 0; }

bool CancelListing() {
  if (!EndExclusiveRun(cancellableListing)) return false;
  cancellableListing = 0;
  ::SendMessageW(listView, LVM_DELETEALLITEMS, 0, 0);
  MakeCurrentInventory(CreateInventory());  // the panel counts nothing
  RefreshPrintersWindow();
  FinishRunOnWindowThread(0);
  return true;
}

DWORD EnumerationWorker(const std::wstring* named, RunToken run) {
  // A listing the window started has its button reading "Cancel" meanwhile.
  if (run == 0) ::EnableWindow(enumerateButton, FALSE);

  wchar_t machineText[kMachineNameCapacity] = {};
  if (named) ::SetWindowTextW(machineCombo, named->c_str());
  ::GetWindowTextW(machineCombo, machineText, kMachineNameCapacity);
  const std::wstring machine = named ? *named : machineText;

  if (!SendToWindow(WM_KESTRUN_ENUMERATION_BEGIN, run)) return 0;

  // From here on, a run whose result the window drops was cancelled: it shows
  // nothing and touches no control, but still closes the session it opened.
  // The session record is the run's own, since a cancelled run may still be
  // inside its spooler call while the next one connects.
  const auto deliver = [run](EnumerationResult& result) {
    return SendToWindow(WM_KESTRUN_ENUMERATION_RESULT, run, reinterpret_cast<LPARAM>(&result));
  };
  EnumerationResult result;
  RemoteSession session;
  result.inventory = CreateInventory();
  if (!result.inventory) {
    if (!deliver(result)) return 0;
    StopProgress();
    ShowRunError(kMemoryFailure);
    SendToWindow(WM_KESTRUN_RUN_FINISHED, run);
    return 0;
  }

  // This computer by any of its names is listed as the empty box lists it.
  const bool remote = !machine.empty() && !IsLocalMachineName(machine);
  if (remote && !ConnectTargetSession(session, machine)) {
    if (!deliver(result)) return 0;
    StopProgress();
    if (session.lastResult != ERROR_CANCELLED) {
      ShowRunError(ConnectFailureMessage(machine, session.lastResult));
    }
    SendToWindow(WM_KESTRUN_RUN_FINISHED, run);
    return 0;
  }

  // Only a run that opened a session drops one: a local listing leaves every
  // share alone.
  const bool sessionOpened = remote;
  if (!EnumerateDrivers(*result.inventory, machine)) {
    const DWORD code = result.inventory->lastError;
    if (sessionOpened) CancelTargetSession(session);
    if (!deliver(result)) return 0;
    StopProgress();
    ShowRunError(EnumerationFailureMessage(machine, code));
    SendToWindow(WM_KESTRUN_RUN_FINISHED, run);
    return 0;
  }

  // The printers' ports and devices, inside the same session: the printers
  // view shows this listing's and never asks again.
  ReadQueues(*result.inventory);
  result.fillList = true;
  const bool delivered = deliver(result);
  if (sessionOpened) CancelTargetSession(session);
  if (!delivered) return 0;
  if (!result.filled && ::IsWindow(MainWindow())) {
    StopProgress();
    ShowRunError(kMemoryFailure);
  }
  SendToWindow(WM_KESTRUN_RUN_FINISHED, run);
  return 0;
}

DWORD WINAPI EnumerationWorkerThread(LPVOID run) {
  const auto token = static_cast<RunToken>(reinterpret_cast<uintptr_t>(run));
  EnumerationWorker(nullptr, token);
  EndExclusiveRun(token);  // the window's gone, or it ended the run already
  return 0;
}

}  // namespace kestrun
