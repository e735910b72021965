// Puts a snapshot back on the machine it was taken from: its driver-store
// packages first, then its drivers from their saved files, then its printers
// with their settings, security, default DEVMODE and data. An object that is
// there again is left as it is.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "inventory/machine_paths.h"
#include "inventory/snapshot.h"
#include "inventory/snapshot_manifest.h"
#include "inventory/tcpip_ports.h"

namespace kestrun {

enum class RestoreOutcome { Pending, Restored, AlreadyThere, Failed, NotTried };

enum class RestoreKind { Package, Driver, Printer, Port };

// One step of a restore: a package, a driver or a printer of the snapshot.
struct RestoreStep {
  RestoreKind kind = RestoreKind::Driver;
  size_t index = 0;
};

struct RestoreResult {
  RestoreOutcome outcome = RestoreOutcome::Pending;
  DWORD error = 0;       // why it failed
  std::wstring refused;  // why the restore refused it, untried (its outcome Failed)
};

struct RestorePlan {
  std::wstring folder;  // the snapshot folder, absolute, read and checked
  Snapshot snapshot;
  // The machine it goes to, set by ReadRestorePlan: its own machine, or the
  // one the restore was told. `targetName` is the spooler name ("\\MACHINE",
  // empty for this computer), `target` where its files are written.
  std::wstring targetMachine;  // as the user named it; this computer's name for this one
  std::wstring targetName;
  MachineFiles target;
  CheckedFiles checkedFiles;  // its files, put back from these
  // Each environment's driver folder on the machine, by NameKey of the
  // environment: built by Kestrun once the spooler's answer was judged.
  std::unordered_map<std::wstring, std::wstring> driverFolders;
  // One result per package, driver and printer of the snapshot, in its order.
  std::vector<RestoreResult> packages, drivers, printers, ports;
  // For each port of the snapshot that is on the machine already, its own
  // settings there (none when they are not a TCP/IP port's or cannot be read).
  std::vector<std::optional<TcpIpPortSettings>> portsThere;
  // Set (Ctrl+C): no further step starts; what was not tried stays NotTried.
  const std::atomic<bool>* stop = nullptr;
  // Asked before each step; false: no further step starts, as after `stop`.
  // The ports and the printers are a step each, of units made eight at a time.
  std::function<bool(const RestoreStep&)> beforeStep;
  // Past this GetTickCount64 (0: never), as after `stop`, no further port or
  // printer starts, nor any later step; those under way get `unitGraceMs` to
  // end whole, and a printer still unfinished then is deleted again through
  // a fresh handle and failed (ERROR_TIMEOUT). beforeStep may set it.
  ULONGLONG deadline = 0;
  DWORD unitGraceMs = 10000;
  bool deadlineReached = false;  // set: the deadline kept something from starting

  std::vector<RestoreResult>& ResultsOf(RestoreKind kind) {
    return kind == RestoreKind::Package  ? packages
           : kind == RestoreKind::Driver ? drivers
           : kind == RestoreKind::Port   ? ports
                                         : printers;
  }
  const std::vector<RestoreResult>& ResultsOf(RestoreKind kind) const {
    return const_cast<RestorePlan*>(this)->ResultsOf(kind);
  }
};

// Copies a restore's results so far (a machine given up in the middle
// reports them as they stand).
void TakeResults(const RestorePlan& from, RestorePlan& to);

// The snapshot's machine is the only target: false, saying why, for a
// snapshot of this computer taken on another one.
bool IsSnapshotOfThisTarget(const Snapshot& snapshot, std::wstring& problem);

// Reads a snapshot folder for a restore, as the window and the command line
// both do before anything is listed: the folder made absolute first, then
// its manifest and every file checked (and held), then who can change them
// judged, then its machine the only target, unless `to` names another
// (a machine name as typed; "." or any name of this computer for this one).
// False with `problem` saying why.
bool ReadRestorePlan(const std::wstring& folder, RestorePlan& plan, std::wstring& problem,
                     std::wstring_view to = {});

// Lists the machine's drivers and printers: an object there again (a driver
// of the same name, environment and version; a printer of the same name) is
// kept as it is. Refuses, object by object, what the spooler would load or
// send elsewhere: a port that is no port (or that no printer of the
// snapshot uses), a printer on a refused port, a separator page on another
// machine or climbing out of its folder, and printer data of a CopyFiles key
// whose Module or Files name a path instead of a file. A port already on the
// machine is kept, its settings read: a printer is put on it only when it
// sends the same way to the same host as the snapshot's. Asks for and judges
// the driver folder of each environment a driver may be put back into.
// False with the code and `why` (what failed) when the machine cannot be
// restored.
bool PrepareRestore(RestorePlan& plan, DWORD& error, std::wstring& why);

// Puts back what is not there, each object once: packages (their checked
// files copied into a staging folder only Kestrun can write, uploaded to the
// driver store from there, then their drivers installed from them), the
// other drivers from their saved files, then the TCP/IP ports, then the
// printers, each whole or not at all (a printer whose settings cannot all be
// set, or that a cut run could not finish, is deleted again). Ports and
// printers are made up to eight at a time: each such phase is one step for
// `beforeStep`, and `stop` or `deadline` keeps the rest from starting.
void ExecuteRestore(RestorePlan& plan);

}  // namespace kestrun
