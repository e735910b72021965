#include "ui/machine_dialog.h"

#include <new>
#include <string>
#include <vector>

#include "res/ids.h"
#include "ui/controls.h"
#include "ui/machine_list.h"
#include "ui/window_records.h"
#include "ui/workers.h"

namespace kestrun {

namespace {

constexpr int kMachineCapacity = 256;  // as the main window's box takes it

struct MachineQuestion {
  const wchar_t* caption;
  const wchar_t* prompt;
  std::wstring machine;
};

std::wstring TextOf(HWND control) {
  std::wstring text(static_cast<size_t>(::GetWindowTextLengthW(control)) + 1, L'\0');
  text.resize(
      static_cast<size_t>(::GetWindowTextW(control, text.data(), static_cast<int>(text.size()))));
  return text;
}

// The main box's list is the one list of the network's servers: it is
// fetched as opening that box fetches it, then the dialog takes its names.
DWORD WINAPI FetchServers(LPVOID dialog) {
  FetchMachineList(nullptr);
  ::PostMessageW(static_cast<HWND>(dialog), WM_KESTRUN_SERVERS_FETCHED, 0, 0);
  return 0;
}

void TakeServers(HWND dialog) {
  const HWND combo = ::GetDlgItem(dialog, IDC_MACHINE_NAME);
  const std::wstring typed = TextOf(combo);
  ::SendMessageW(combo, CB_RESETCONTENT, 0, 0);
  const auto count = static_cast<int>(::SendMessageW(machineCombo, CB_GETCOUNT, 0, 0));
  for (int i = 0; i < count; ++i) {
    const auto length = ::SendMessageW(machineCombo, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0);
    if (length == CB_ERR) continue;
    std::vector<wchar_t> name(static_cast<size_t>(length) + 1, L'\0');
    ::SendMessageW(machineCombo, CB_GETLBTEXT, static_cast<WPARAM>(i),
                   reinterpret_cast<LPARAM>(name.data()));
    ::SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.data()));
  }
  ::SetWindowTextW(combo, typed.c_str());
}

void OnInit(HWND dialog, MachineQuestion& question) {
  ::SetWindowLongPtrW(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(&question));
  ::SetWindowTextW(dialog, question.caption);
  ::SetDlgItemTextW(dialog, IDC_MACHINE_PROMPT, question.prompt);
  const HWND combo = ::GetDlgItem(dialog, IDC_MACHINE_NAME);
  ::SendMessageW(combo, CB_LIMITTEXT, kMachineCapacity - 1, 0);
  ::SetWindowTextW(combo, question.machine.c_str());
  TakeServers(dialog);  // whatever the main box fetched last
  CenterOver(::GetWindow(dialog, GW_OWNER), dialog);
}

void OnOk(HWND dialog) {
  auto* question = reinterpret_cast<MachineQuestion*>(::GetWindowLongPtrW(dialog, DWLP_USER));
  std::wstring typed = TextOf(::GetDlgItem(dialog, IDC_MACHINE_NAME));
  const size_t first = typed.find_first_not_of(L' ');
  typed = first == std::wstring::npos
              ? std::wstring()
              : typed.substr(first, typed.find_last_not_of(L' ') + 1 - first);
  if (typed.empty() || question == nullptr) {
    ::MessageBeep(MB_ICONWARNING);
    ::SetFocus(::GetDlgItem(dialog, IDC_MACHINE_NAME));
    return;
  }
  question->machine = std::move(typed);
  ::EndDialog(dialog, IDOK);
}

INT_PTR HandleMessage(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      OnInit(dialog, *reinterpret_cast<MachineQuestion*>(lParam));
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK) {
        OnOk(dialog);
      } else if (LOWORD(wParam) == IDCANCEL) {
        ::EndDialog(dialog, IDCANCEL);
      } else if (LOWORD(wParam) == IDC_MACHINE_NAME && HIWORD(wParam) == CBN_DROPDOWN &&
                 !DeletionRunActive()) {  // a run's machine box stays as it is
        StartWorker(FetchServers, dialog);
      }
      return TRUE;
    case WM_KESTRUN_SERVERS_FETCHED:
      TakeServers(dialog);
      return TRUE;
    default:
      return FALSE;
  }
}

INT_PTR CALLBACK MachineDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  try {
    return HandleMessage(dialog, message, wParam, lParam);
  } catch (const std::bad_alloc&) {
    ::MessageBeep(MB_ICONERROR);  // that one message is dropped; the dialog stays
    return TRUE;
  }
}

}  // namespace

bool AskForMachine(HWND owner, const wchar_t* caption, const wchar_t* prompt,
                   std::wstring& machine) {
  MachineQuestion question = {caption, prompt, machine};
  const INT_PTR answer = ::DialogBoxParamW(
      appWindowState ? appWindowState->instance : ::GetModuleHandleW(nullptr),
      MAKEINTRESOURCEW(IDD_MACHINE), owner, MachineDlgProc, reinterpret_cast<LPARAM>(&question));
  if (answer != IDOK) return false;
  machine = std::move(question.machine);
  return true;
}

}  // namespace kestrun
