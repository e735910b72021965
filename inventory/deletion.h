// Removes print drivers from a target machine by a plan taken once: which
// drivers the user ticked, and every printer of the target that uses one of
// them, which must go first or the driver stays in use. The plan is what the
// question shows and all the deletion touches.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "inventory/driver_inventory.h"
#include "inventory/tcpip_ports.h"

namespace kestrun {

// Set when a deletion run deleted at least one driver; cleared at the start of
// each run.
extern bool anyDriverDeleted;
// The code of the last failure of any delete run: 0 when the process starts,
// never cleared, so a run without failure leaves an earlier run's code.
extern DWORD lastDeleteError;

// The spooler's "package in use" code, which MinGW's headers lack.
#ifndef ERROR_PRINTER_DRIVER_PACKAGE_IN_USE
#define ERROR_PRINTER_DRIVER_PACKAGE_IN_USE 3015L
#endif

constexpr size_t kNotKept = static_cast<size_t>(-1);

// One ticked driver, as its record names it: a row of the list is one
// version (cVersion) of a name in an environment, and only that row goes.
struct PlannedDriver {
  std::wstring name;
  std::wstring environment;
  bool native = false;           // classified native: its package stays
  std::vector<size_t> printers;  // indexes into DeletionPlan::printers
  // A kept printer still uses it (index into DeletionPlan::kept): the driver
  // is not tried and none of its printers goes.
  size_t keptBy = kNotKept;
  DWORD error = 0;    // after the run: 0 when deleted
  DWORD version = 0;  // cVersion: the type of the driver (2, 3, 4)
  // For a driver outside the server's own environment (an x86 copy on an x64
  // server): the printers of its name, whose clients of that environment get
  // this copy from the server. Empty while the environment is unknown.
  std::vector<std::wstring> clientPrinters;
};

// Kept: a driver from it was not deleted, so it was not tried. Failed: the
// spooler refused it (its code in `error`). NotTried: the run stopped first.
// Gone: an unused package no longer in the store (removed since the listing).
enum class PackageOutcome { Pending, Removed, Kept, Failed, NotTried, Gone };

// One step of a run: a printer of planned driver `index`, or that driver; or,
// with `package`, the removal of planned package `index`.
struct DeletionStep {
  bool package = false;
  size_t index = 0;
};

// A driver package in the driver store, removed after its drivers went.
struct PlannedPackage {
  std::wstring infPath;  // as the spooler gives it
  std::wstring environment;
  std::vector<size_t> drivers;  // indexes into DeletionPlan::drivers
  PackageOutcome outcome = PackageOutcome::Pending;
  DWORD error = 0;      // why it failed
  std::wstring usedBy;  // a driver the plan keeps that comes from it: it stays
  std::wstring keptWhy;  // otherwise why it stays ("holds a link: sub\x")
  // A package of the driver store that no driver uses (its `drivers` empty):
  // what its INF and folder say of it.
  bool orphan = false;
  std::wstring version, date;
  ULONGLONG bytes = 0;
  std::wstring shortFolder;  // its store folder's 8.3 name, when it has one
};

struct PlannedPrinter {
  std::wstring name;  // as the spooler lists it, "\\SRV\Office" or "Office"
  std::wstring driverName;
  bool deleted = false;  // after the run
};

enum class KeptReason {
  OnAnotherServer,      // not a printer of the target: never opened
  EnvironmentUnknown,   // the target's own environment could not be read
};

struct KeptPrinter {
  std::wstring name;
  std::wstring driverName;
  KeptReason reason;
};

// What a preparation could not read; nothing was deleted then.
enum class PreparationStep { None, Session, Printers, Packages };

struct DeletionPlan {
  // The target of the listing the rows came from.
  std::wstring machineText;  // as the user named it; empty for this computer
  std::wstring targetName;   // the spooler name: "\\" and the machine
  bool isRemote = false;
  std::vector<PlannedDriver> drivers;
  bool removePackages = false;  // the packages go too (the user's option)

  // Filled by PrepareDeletion.
  std::vector<PlannedPrinter> printers;  // each printer once, in the spooler's order
  std::vector<KeptPrinter> kept;
  std::wstring serverEnvironment;  // empty when it could not be read
  DWORD environmentError = 0;      // why it could not be read
  bool sessionOpen = false;        // this deletion's IPC$ session is open
  // The window opens an IPC$ session to a remote target first (the process
  // has one session record); the command line, like its listing, asks the
  // spooler with the user's own access and opens none.
  bool withSession = true;
  // Set (Ctrl+C): no further step starts; what was not tried has the error
  // ERROR_CANCELLED, its packages NotTried.
  const std::atomic<bool>* stop = nullptr;
  // Asked before each step; false: no further step starts, as after `stop`.
  std::function<bool(const DeletionStep&)> beforeStep;
  // The window's run keeps its outcome in anyDriverDeleted and lastDeleteError;
  // the command line's runs, many at once, leave them alone.
  bool keepsLastOutcome = true;

  // Filled by PrepareDeletion when the packages go too.
  std::vector<PlannedPackage> packages;    // each (path, environment) once
  std::vector<std::wstring> nativePackages;  // kept: the system's own (paths, each once)
  std::vector<PlannedPackage> sharedPackages;  // kept: a driver not planned comes from them
  std::vector<size_t> withoutPackage;      // drivers the store keeps no package for
  // A copy's snapshot only: the TCP/IP ports its printers print to, saved
  // with their monitor's settings.
  std::vector<std::wstring> ports;
  // Their settings as the copy's plan read and judged them, when it did
  // (one for each port): saved as they are, not asked again.
  std::vector<TcpIpPortSettings> portSettings;
  // Unused packages of the driver store to remove after the drivers' own.
  // PrepareDeletion checks each again against the drivers' packages: one a
  // driver now comes from moves to `sharedPackages`, the rest to `packages`.
  std::vector<PlannedPackage> orphans;
  // The packages could not be read; only ERROR_INVALID_LEVEL (an old server,
  // which keeps none) leaves a prepared plan.
  DWORD packageListError = 0;

  PreparationStep failedStep = PreparationStep::None;  // set when PrepareDeletion fails
};

// A plan on an inventory's target, without drivers yet.
DeletionPlan PlanOnTarget(const DriverInventory& inventory);
// Adds a driver of that inventory to the plan, as its record names it.
void AddPlannedDriver(DeletionPlan& plan, const DRIVER_INFO_6& driver);

// The environment a processor architecture (PROCESSOR_ARCHITECTURE_*) runs
// printers in; empty for one the spooler has no environment for.
std::wstring_view EnvironmentOfArchitecture(WORD architecture);

// True when a printer, by the name the spooler lists it under, is one of the
// target's own: a bare name for the local machine, "\\TARGET\name" (ASCII
// case ignored) for a remote one.
bool IsPrinterOfTarget(std::wstring_view printerName, std::wstring_view targetName,
                       bool isRemote);

// Fills the plan's packages from the target's level-8 driver records: each
// planned driver's package is the one of the record with its name,
// environment and version. A package any of the records (ticked or not, any
// environment) classifies as native is the system's own: it is kept, never
// removed. So is one that a driver outside the plan comes from: it is shared.
void MatchPackages(DeletionPlan& plan, const DRIVER_INFO_8W* records, DWORD count);

// Fills the plan's printers and kept printers from a printer list: a printer
// goes when it is the target's own and uses a planned driver, by its name
// (letter case ignored, as the spooler matches it), in the server's
// environment (unknown: none goes). A driver that a kept printer still uses
// stays, and so do its printers: deleting them would gain nothing, as the
// driver stays in use. A planned driver of another environment takes no
// printer; its `clientPrinters` name the printers whose clients get it.
void MatchPrinters(DeletionPlan& plan, const PRINTER_INFO_2W* printerRecords, DWORD count);

// Reads the target's printers (level 2, as the listing reads them) into an
// owned buffer. On false the code is in `error` and `count` is 0.
bool EnumeratePrinters(const wchar_t* serverName, std::unique_ptr<BYTE[]>& buffer, DWORD& count,
                       DWORD& error);

// On the deletion's thread, before the question: opens the IPC$ session to a
// remote target, reads its printers and its environment and matches them, and
// (when the packages go too) reads its drivers' packages. On false nothing
// was planned, `error` holds the code, `failedStep` what could not be read,
// and no session stays open: a package that cannot be found before its
// drivers go could never be found again.
bool PrepareDeletion(DeletionPlan& plan, DWORD& error);

// Drops the session the plan opened (the user said No).
void AbandonDeletion(DeletionPlan& plan);

// Carries the plan out: for each driver, its printers (each printer once in
// the run), then that one version of the driver in its environment with its
// files that no other driver uses. Each driver is tried even after an earlier one failed. Then
// each planned package whose drivers all went is removed from the driver
// store, once. Drops the session, then runs `refresh` (which enumerates again).
// True when every planned driver was deleted. Sets each driver's `error`
// (ERROR_CANCELLED until its turn comes) and, when the plan keeps the last
// outcome, anyDriverDeleted and lastDeleteError.
bool ExecuteDeletion(DeletionPlan& plan, const std::function<void()>& refresh);

// Takes drivers out of a prepared plan (`drop[d]` for driver d), with the
// printers only they would delete. A package one of them comes from goes
// into `keptPackages`: it stays with its driver. Returns, for each driver
// left, its index before.
std::vector<size_t> DropDrivers(DeletionPlan& plan, const std::vector<bool>& drop,
                                std::vector<PlannedPackage>& keptPackages);

// Why the command line keeps a selected driver that printers use (the window
// deletes exactly the ticked rows, and its question names the printers).
enum class InUseRule {
  None,          // it goes (with its printers, when they may go)
  UsedBy,        // its printers stay (no "/printers", or a printer the plan keeps)
  ClientsGetIt,  // another environment's copy that its printers' clients get here
};
struct InUseDecision {
  InUseRule rule = InUseRule::None;
  std::vector<std::wstring> printers;  // the printers that keep it, or that it warns of
  bool warning = false;  // it goes alone although its printers' clients get it
};

// The command line's rules for drivers that printers use, on a prepared plan:
// a driver of the server's environment goes only with its printers (when
// `printersMayGo`, and none of them is kept); another environment's copy of a
// used name goes only after those same printers, which it then takes too, or,
// when `goesAlone[d]` (a name given exactly, with its environment), alone with
// a warning. The rest is kept, and is then to be dropped from the plan.
std::vector<InUseDecision> DecideDriversInUse(DeletionPlan& plan, bool printersMayGo,
                                              const std::vector<bool>& goesAlone);

// What a client of an environment is, in a sentence: "32-bit" for x86.
std::wstring ClientKind(std::wstring_view environment);

}  // namespace kestrun
