#include "app/startup.h"

#include <commctrl.h>

#include <memory>
#include <new>

#include "inventory/driver_inventory.h"
#include "inventory/error_reporter.h"
#include "inventory/platform.h"
#include "report/command_line.h"
#include "report/console.h"
#include "res/ids.h"
#include "ui/machine_list.h"
#include "ui/main_window.h"
#include "ui/workers.h"

#include "common/bounded_text.h"

namespace kestrun {

namespace {

constexpr wchar_t kClassName[] = L"Win32Obj";
constexpr wchar_t kTitle[] = L"Kestrun";

SharedGuiFont* CreateSharedGuiFont() {
  INITCOMMONCONTROLSEX controls = {sizeof(controls), 0xFF};
  ::InitCommonControlsEx(&controls);
  auto* record = new (std::nothrow) SharedGuiFont;
  if (record) record->font = static_cast<HFONT>(::GetStockObject(DEFAULT_GUI_FONT));
  return record;
}

void ShowLaunchMemoryFailure() {
  ::MessageBoxW(nullptr, L"Kestrun failed to launch due to a memory error!", L"Kestrun",
                MB_ICONERROR);
}

// How long exit waits for a worker to finish its spooler or network call: a
// window closed during a listing that hangs ends its process within 2 s.
constexpr DWORD kWorkerExitWaitMs = 500;

int RunGuiMode(HINSTANCE instance, bool& workersMayRun) {
  processLock = new (std::nothrow) CriticalSection;
  if (processLock == nullptr) {
    ShowLaunchMemoryFailure();
    return kExitFailed;
  }

  AppWindowState& state = *appWindowState;
  ConfigureMainWindowState(state, instance);

  int exitCode = kExitFailed;
  if (CreateMainWindow(state)) {
    RunMessageLoop(state);
    exitCode = static_cast<int>(state.msg.wParam);
  } else {
    // Without a window no quit message would ever end the loop.
    ::MessageBoxW(nullptr, L"Kestrun could not create its main window.", kTitle, MB_ICONERROR);
  }
  // A worker still inside a slow spooler or network call keeps what it uses:
  // the process's end frees it, never a release under its feet.
  workersMayRun = !WaitForWorkers(kWorkerExitWaitMs);
  if (!workersMayRun) {
    delete processLock;
    processLock = nullptr;
  }
  return exitCode;
}

}  // namespace

AppWindowState* InitAppWindowState() {
  auto* state = new (std::nothrow) AppWindowState;
  if (state) state->backgroundBrush = static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH));
  return state;
}

void ConfigureMainWindowState(AppWindowState& state, HINSTANCE instance) {
  CopyBounded(state.className, kClassName);
  CopyBounded(state.title, kTitle);
  state.windowProc = MainWndProc;
  state.instance = instance;
  state.iconId = IDI_APP;
  state.menuId = IDR_MAIN_MENU;
}

ATOM RegisterMainClass(const AppWindowState& state) {
  WNDCLASSEXW windowClass = {};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.style = state.classStyle;
  windowClass.lpfnWndProc = state.windowProc;
  windowClass.hInstance = state.instance;
  windowClass.hIcon = ::LoadIconW(state.instance, MAKEINTRESOURCEW(LOWORD(state.iconId)));
  windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = state.backgroundBrush;
  windowClass.lpszMenuName = MAKEINTRESOURCEW(LOWORD(state.menuId));
  windowClass.lpszClassName = state.className;
  windowClass.hIconSm = ::LoadIconW(state.instance, MAKEINTRESOURCEW(LOWORD(state.iconId)));
  return ::RegisterClassExW(&windowClass);
}

bool CreateMainWindow(AppWindowState& state) {
  RegisterMainClass(state);
  state.hwnd = ::CreateWindowExW(0, state.className, state.title, state.style, state.x, state.y,
                                 state.width, state.height, nullptr, nullptr, state.instance,
                                 nullptr);
  if (state.hwnd == nullptr) return false;
  ::ShowWindow(state.hwnd, state.showCommand);
  ::UpdateWindow(state.hwnd);
  return true;
}

void RunMessageLoop(AppWindowState& state) {
  while (::GetMessageW(&state.msg, nullptr, 0, 0) > 0) {
    if (::TranslateAcceleratorW(state.msg.hwnd, state.accelerators, &state.msg)) continue;
    ::TranslateMessage(&state.msg);
    ::DispatchMessageW(&state.msg);
  }
}

bool CreateSharedRecords() {
  appWindowState = InitAppWindowState();
  sharedGuiFont = appWindowState ? CreateSharedGuiFont() : nullptr;
  remoteSession = sharedGuiFont ? new (std::nothrow) RemoteSession : nullptr;
  saveOptions = remoteSession ? new (std::nothrow) SaveOptions : nullptr;
  errorReporter = saveOptions ? new (std::nothrow) _DBGINFO : nullptr;
  return errorReporter != nullptr;
}

void ReleaseSharedRecords(bool workersMayRun) {
  // A worker still running may use any of them (a deletion walks the current
  // inventory); the process's end frees them instead.
  if (workersMayRun) return;
  delete appWindowState;
  appWindowState = nullptr;
  if (sharedGuiFont) {
    if (sharedGuiFont->font) ::DeleteObject(sharedGuiFont->font);
    delete sharedGuiFont;
    sharedGuiFont = nullptr;
  }
  delete remoteSession;
  remoteSession = nullptr;
  ReleaseMachineList();
  ReleaseInventory();
  delete saveOptions;
  saveOptions = nullptr;
  delete errorReporter;
  errorReporter = nullptr;
}

int RunKestrun(HINSTANCE instance, const wchar_t* argumentText) {
  if (!CreateSharedRecords()) {
    ShowLaunchMemoryFailure();
    ReleaseSharedRecords();
    return kExitFailed;
  }

  std::unique_ptr<CsvLog> log;
  int exitCode = kExitOk;
  bool workersMayRun = false;
  if (lstrlenW(argumentText) > 0) {
    try {
      exitCode = RunCommandLineReport(argumentText, log);
    } catch (const std::bad_alloc&) {
      WriteConsoleRed(L"\r\nFailed to enumerate due to a memory error!\r\n");
      exitCode = kExitFailed;
    }
  } else {
    exitCode = RunGuiMode(instance, workersMayRun);
  }

  ReleaseSharedRecords(workersMayRun);
  log.reset();
  if (appIcon) {
    ::DestroyIcon(appIcon);
    appIcon = nullptr;
  }
  return exitCode;
}

}  // namespace kestrun
