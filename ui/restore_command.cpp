#include "ui/restore_command.h"

#include <shlobj.h>

#include <memory>
#include <new>

#include "common/win32_handles.h"
#include "inventory/driver_inventory.h"
#include "inventory/field_text.h"
#include "inventory/platform.h"
#include "inventory/snapshot.h"
#include "inventory/snapshot_manifest.h"
#include "res/ids.h"
#include "ui/box_text.h"
#include "ui/controls.h"
#include "ui/delete_command.h"
#include "ui/enumeration_worker.h"
#include "ui/machine_dialog.h"
#include "ui/window_records.h"
#include "ui/workers.h"

namespace kestrun {

namespace {

SRWLOCK snapshotLock = SRWLOCK_INIT;
std::wstring lastSnapshot;  // under snapshotLock

constexpr wchar_t kRestorePrompt[] =
    L"Restore the snapshot to this machine (\".\" for this computer):";
// How much of a manifest is read for the machine question: its first lines.
constexpr size_t kAskedManifestBytes = size_t{64} * 1024;

// One restore: the folder's plan and the machine it goes to ("": its own).
struct RestoreRun {
  RestorePlan plan;
  std::wstring to;
};

std::wstring Shown(std::wstring_view text) {
  std::wstring shown;
  AppendShownText(shown, text);
  return shown;
}

std::wstring DriverLine(const SnapshotDriver& driver) {
  return L"\"" + Shown(driver.name) + L"\" (" + Shown(driver.environment) + L", " +
         DriverVersionText(driver.driverVersion) + L")";
}

std::wstring Counted(size_t count, const wchar_t* one, const wchar_t* many) {
  return std::to_wstring(count) + L" " + (count == 1 ? one : many);
}

// The machine as the question and the outcome name it.
std::wstring MachineOf(const Snapshot& snapshot) {
  if (!snapshot.isRemote) return L"this computer";
  return Shown(snapshot.machine) + L" (" + Shown(snapshot.targetName) + L")";
}

// The machine the restore goes to, named the same way.
std::wstring TargetOf(const RestorePlan& plan) {
  if (!plan.target.isRemote) return L"this computer";
  return Shown(plan.targetMachine) + L" (" + Shown(plan.targetName) + L")";
}

// "port IP_10.1.2.3 (10.1.2.3, RAW 9100)", "port IP_1 (lp1, LPR 515 queue lp)".
std::wstring PortLine(const SnapshotPort& port) {
  std::wstring line = L"port " + Shown(port.name) + L" (" + Shown(port.host) + L", ";
  line += port.protocol == 1 ? L"RAW " : L"LPR ";
  line += std::to_wstring(port.portNumber);
  if (port.protocol != 1) line += L" queue " + Shown(port.queue);
  return line + L")";
}

// The lines of each object of the snapshot whose result `wanted` says so.
template <typename Wanted>
std::vector<std::wstring> Lines(const RestorePlan& plan, RestoreKind kind, Wanted wanted) {
  std::vector<std::wstring> lines;
  const Snapshot& snapshot = plan.snapshot;
  const std::vector<RestoreResult>& results = plan.ResultsOf(kind);
  for (size_t i = 0; i < results.size(); ++i) {
    if (!wanted(results[i])) continue;
    std::wstring line = kind == RestoreKind::Driver    ? DriverLine(snapshot.drivers[i])
                        : kind == RestoreKind::Printer ? Shown(snapshot.printers[i].name)
                        : kind == RestoreKind::Port
                            ? PortLine(snapshot.ports[i])
                            : Shown(FileNamePart(snapshot.packages[i].infPath));
    if (results[i].outcome == RestoreOutcome::Failed) {
      line += L": " + (results[i].refused.empty() ? ErrorLine(results[i].error)
                                                  : Shown(results[i].refused));
    }
    lines.push_back(std::move(line));
  }
  return lines;
}

bool Is(const RestoreResult& result, RestoreOutcome outcome) { return result.outcome == outcome; }

size_t CountOf(const std::vector<RestoreResult>& results, RestoreOutcome outcome) {
  size_t count = 0;
  for (const RestoreResult& result : results) count += Is(result, outcome) ? 1 : 0;
  return count;
}

// Set while a restore reads its snapshot; Cancel sets `readCancelled`.
std::atomic<bool> reading{false};
std::atomic<bool> readCancelled{false};

// The restore's steps from the folder to the outcome box, in the run slot.
void ConfirmRestoreAndReport(RestorePlan& plan, const std::wstring& to) {
  std::wstring problem;
  const auto refuse = [&plan](const std::wstring& why) {
    StopProgress();
    std::wstring text =
        L"The snapshot " + Shown(plan.folder) + L" cannot be restored:\n" + Shown(why);
    ShowMessage(BoundLines(text).c_str(), MB_ICONERROR);
  };
  // A large snapshot takes a while to check: Cancel ends the reading.
  readCancelled = false;
  reading = true;
  ::SetWindowTextW(enumerateButton, L"Cancel");
  plan.stop = &readCancelled;
  const bool read = ReadRestorePlan(std::wstring(plan.folder), plan, problem, to);
  plan.stop = nullptr;
  reading = false;
  ::SetWindowTextW(enumerateButton, L"Enumerate");
  if (!read && readCancelled) {
    StopProgress();
    return;
  }
  if (!read) {
    refuse(problem);
    return;
  }
  // A remote machine is asked inside an IPC$ session, as for its listing.
  const bool session = plan.target.isRemote && remoteSession != nullptr;
  if (session && !ConnectTargetSession(*remoteSession, plan.targetName)) {
    refuse(L"its machine could not be reached (" + ErrorLine(remoteSession->lastResult) + L")");
    return;
  }
  DWORD error = 0;
  std::wstring why;
  if (!PrepareRestore(plan, error, why)) {
    if (session) CancelTargetSession(*remoteSession);
    refuse(why + L" (" + ErrorLine(error) + L")");
    return;
  }
  StopProgress();
  const std::wstring question =
      FitToScreen([&plan](size_t listed) { return RestoreQuestion(plan, listed); });
  if (!AskToChange(question, MB_YESNO | MB_ICONQUESTION)) {
    if (session) CancelTargetSession(*remoteSession);
    return;
  }
  StartProgress();
  ExecuteRestore(plan);
  if (session) CancelTargetSession(*remoteSession);
  // The machine is listed again: this computer as the empty box lists it.
  const std::wstring listed = plan.target.isRemote ? plan.targetMachine : std::wstring();
  EnumerationWorker(&listed);
  UINT icon = MB_ICONINFORMATION;
  const std::wstring outcome =
      FitToScreen([&](size_t lines) { return RestoreOutcomeMessage(plan, icon, lines); });
  StopProgress();
  ShowMessage(outcome.c_str(), icon);
}

DWORD WINAPI RestoreWorker(LPVOID parameter) {
  const std::unique_ptr<RestoreRun> run(static_cast<RestoreRun*>(parameter));
  if (processLock != nullptr) {
    CriticalSectionLock hold(*processLock);
    ConfirmRestoreAndReport(run->plan, run->to);
  } else {
    ConfirmRestoreAndReport(run->plan, run->to);
  }
  EndChangeRun();
  return 0;
}

// COM for the shell's folder picker, from System32, once for the window's thread.
bool ComReady() {
  static const bool ready = [] {
    using Initialize = HRESULT(WINAPI*)(LPVOID, DWORD);
    const HMODULE ole = LoadSystemModule(L"ole32.dll");
    const auto initialize =
        ole ? reinterpret_cast<Initialize>(::GetProcAddress(ole, "CoInitializeEx")) : nullptr;
    return initialize != nullptr &&
           SUCCEEDED(initialize(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE));
  }();
  return ready;
}

int CALLBACK StartInSnapshots(HWND picker, UINT message, LPARAM, LPARAM start) {
  if (message == BFFM_INITIALIZED) ::SendMessageW(picker, BFFM_SETSELECTIONW, TRUE, start);
  return 0;
}

// The shell's folder picker, opened at the snapshots' own folder; empty when cancelled.
std::wstring PickSnapshotFolder() {
  if (!ComReady()) return {};
  const std::wstring root = DefaultSnapshotRoot();
  BROWSEINFOW browse = {};
  browse.hwndOwner = MainWindow();
  browse.lpszTitle = L"Choose a snapshot folder (the folder that holds manifest.txt):";
  browse.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE | BIF_NONEWFOLDERBUTTON;
  browse.lpfn = StartInSnapshots;
  browse.lParam = reinterpret_cast<LPARAM>(root.c_str());
  PIDLIST_ABSOLUTE chosen = ::SHBrowseForFolderW(&browse);
  if (chosen == nullptr) return {};
  wchar_t path[MAX_PATH] = {};
  const bool named = ::SHGetPathFromIDListW(chosen, path) != FALSE;
  ::ILFree(chosen);
  return named ? path : std::wstring();
}

// The machine a snapshot folder's manifest names, from its first lines
// only (the restore reads it whole, and judges it, on its worker); false
// when they cannot be read (the restore then says why).
bool ReadSnapshotMachine(const std::wstring& folder, Snapshot& snapshot) {
  const UniqueFileHandle file(::CreateFileW(LongPath(folder + L"\\" + kManifestName).c_str(),
                                            GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                            0, nullptr));
  if (!file) return false;
  std::string bytes(kAskedManifestBytes, '\0');
  DWORD read = 0;
  if (!::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr)) {
    return false;
  }
  bytes.resize(read);
  return ReadManifestMachine(bytes, snapshot);
}

// Asks which machine the snapshot goes to, its own filled in ("." for this
// computer). `to` stays empty while the user keeps that one, so the
// snapshot's own rule applies. False when cancelled.
bool AskRestoreMachine(const std::wstring& folder, std::wstring& to) {
  Snapshot snapshot;
  if (!ReadSnapshotMachine(folder, snapshot)) return true;
  const std::wstring own = snapshot.isRemote ? snapshot.machine : L".";
  std::wstring machine = own;
  if (!AskForMachine(MainWindow(), L"Restore from Snapshot", kRestorePrompt, machine)) {
    return false;
  }
  if (!SameName(BareMachineName(machine), BareMachineName(own))) to = machine;
  return true;
}

}  // namespace

bool CancelRestoreReading() {
  if (!reading) return false;
  readCancelled = true;
  return true;
}

bool RestoreReading() { return reading; }

void RememberDeletionSnapshot(const std::wstring& folder) {
  ::AcquireSRWLockExclusive(&snapshotLock);
  lastSnapshot = folder;
  ::ReleaseSRWLockExclusive(&snapshotLock);
  ::EnableMenuItem(mainMenu, IDM_UNDO_DELETION, MF_BYCOMMAND | MF_ENABLED);
}

std::wstring DeletionSnapshot() {
  ::AcquireSRWLockShared(&snapshotLock);
  std::wstring folder = lastSnapshot;
  ::ReleaseSRWLockShared(&snapshotLock);
  return folder;
}

bool StartRestore(const std::wstring& folder, const std::wstring& to) {
  if (!BeginChangeRun()) {
    ::MessageBeep(MB_ICONWARNING);
    return false;
  }
  std::unique_ptr<RestoreRun> run(new (std::nothrow) RestoreRun);
  if (run) {
    run->plan.folder = folder;
    run->to = to;
  }
  ::EnableWindow(deleteButton, FALSE);
  StartProgress();
  if (!run || !StartWorker(RestoreWorker, run.get())) {
    StopProgress();
    EndChangeRun();
    return true;
  }
  static_cast<void>(run.release());  // the worker owns it now
  return true;
}

bool UndoDeletion() {
  const std::wstring folder = DeletionSnapshot();
  if (folder.empty() || ExclusiveRunActive()) {
    ::MessageBeep(MB_ICONWARNING);
    return false;
  }
  return StartRestore(folder);
}

bool RestoreFromSnapshot() {
  if (ExclusiveRunActive()) {
    ::MessageBeep(MB_ICONWARNING);
    return false;
  }
  const std::wstring folder = PickSnapshotFolder();
  std::wstring to;
  return !folder.empty() && AskRestoreMachine(folder, to) && StartRestore(folder, to);
}

std::wstring RestoreQuestion(const RestorePlan& plan, size_t listed) {
  const auto pending = [](const RestoreResult& r) { return Is(r, RestoreOutcome::Pending); };
  const auto there = [](const RestoreResult& r) { return Is(r, RestoreOutcome::AlreadyThere); };
  // Onto its own machine, or the one the user named instead.
  const std::wstring target = TargetOf(plan);
  const std::wstring from = MachineOf(plan.snapshot);
  const std::wstring put = from == target
                               ? L"Put back what was deleted from " + from
                               : L"Put what was deleted from " + from + L" onto " + target;
  // A copy's snapshot makes TCP/IP ports too: named and counted.
  const bool ports = !plan.snapshot.ports.empty();
  std::wstring text =
      put + L"?\n" + L"Snapshot: " + Shown(plan.folder) + L" (taken " + Shown(plan.snapshot.taken) +
      L")\n" + Counted(CountOf(plan.drivers, RestoreOutcome::Pending), L"driver", L"drivers") +
      L", " + Counted(CountOf(plan.printers, RestoreOutcome::Pending), L"printer", L"printers") +
      (ports ? L", " + Counted(CountOf(plan.ports, RestoreOutcome::Pending), L"port", L"ports")
             : std::wstring()) +
      L" and " + Counted(CountOf(plan.packages, RestoreOutcome::Pending), L"package", L"packages") +
      L" will be restored.";
  std::vector<Section> sections = {
      {L"These drivers will be restored:", Lines(plan, RestoreKind::Driver, pending)},
      {L"These printers will be restored, with their settings and data:",
       Lines(plan, RestoreKind::Printer, pending)},
      {L"These TCP/IP ports will be made:", Lines(plan, RestoreKind::Port, pending)},
      {L"These packages will be uploaded to the driver store again:",
       Lines(plan, RestoreKind::Package, pending)},
      {L"These are there already and will be kept as they are:", {}},
  };
  for (const RestoreKind kind : {RestoreKind::Driver, RestoreKind::Printer, RestoreKind::Port}) {
    for (std::wstring& line : Lines(plan, kind, there))
      sections.back().lines.push_back(std::move(line));
  }
  AppendSections(text, sections, listed);
  return BoundLines(text);
}

std::wstring RestoreOutcomeMessage(const RestorePlan& plan, UINT& icon, size_t listed) {
  const size_t failed = CountOf(plan.drivers, RestoreOutcome::Failed) +
                        CountOf(plan.printers, RestoreOutcome::Failed) +
                        CountOf(plan.ports, RestoreOutcome::Failed) +
                        CountOf(plan.packages, RestoreOutcome::Failed);
  const size_t restored = CountOf(plan.drivers, RestoreOutcome::Restored) +
                          CountOf(plan.printers, RestoreOutcome::Restored) +
                          CountOf(plan.ports, RestoreOutcome::Restored);
  icon = failed > 0 && restored == 0 ? MB_ICONERROR : MB_ICONINFORMATION;
  std::wstring text =
      failed == 0 ? L"The snapshot was restored." : L"Not all of the snapshot could be restored.";
  text +=
      L"\nOn " + TargetOf(plan) + L"\nRestored " +
      std::to_wstring(CountOf(plan.drivers, RestoreOutcome::Restored)) + L" of " +
      Counted(plan.drivers.size(), L"driver", L"drivers") + L", " +
      std::to_wstring(CountOf(plan.printers, RestoreOutcome::Restored)) + L" of " +
      Counted(plan.printers.size(), L"printer", L"printers") +
      (plan.ports.empty() ? std::wstring()
                          : L", " + std::to_wstring(CountOf(plan.ports, RestoreOutcome::Restored)) +
                                L" of " + Counted(plan.ports.size(), L"port", L"ports")) +
      L"; " +
      std::to_wstring(CountOf(plan.drivers, RestoreOutcome::AlreadyThere) +
                      CountOf(plan.printers, RestoreOutcome::AlreadyThere) +
                      CountOf(plan.ports, RestoreOutcome::AlreadyThere)) +
      L" there already.";
  const auto failedOnes = [](const RestoreResult& r) {
    return Is(r, RestoreOutcome::Failed) || Is(r, RestoreOutcome::NotTried);
  };
  const auto restoredOnes = [](const RestoreResult& r) { return Is(r, RestoreOutcome::Restored); };
  std::vector<Section> sections;
  const RestoreKind kinds[] = {RestoreKind::Package, RestoreKind::Driver, RestoreKind::Port,
                               RestoreKind::Printer};
  for (const RestoreKind kind : kinds) {
    std::vector<std::wstring> lines = Lines(plan, kind, failedOnes);
    for (std::wstring& line : lines) line = L"Not restored: " + line;
    sections.push_back({nullptr, std::move(lines)});
  }
  for (const RestoreKind kind : kinds) {
    std::vector<std::wstring> lines = Lines(plan, kind, restoredOnes);
    for (std::wstring& line : lines) line = L"Restored: " + line;
    sections.push_back({nullptr, std::move(lines)});
  }
  std::wstring listing;
  AppendSections(listing, sections, listed);
  if (!listing.empty()) text += L'\n' + listing;
  return BoundLines(text);
}

}  // namespace kestrun
