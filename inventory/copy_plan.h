// What a copy takes from one machine to another, decided from the two
// machines' listings before anything is read or written: each selected
// printer of the source is copied, already there, or not copied (and why);
// with a copied printer go its drivers, in the target's environment and (for
// an x64 target) the source's 32-bit copies, and its Standard TCP/IP port.
// Listings in, plan out: nothing here asks a spooler.
#pragma once

#include <windows.h>
#include <winspool.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "inventory/deletion.h"
#include "inventory/driver_inventory.h"
#include "inventory/machine_paths.h"
#include "inventory/spooler_answer.h"

namespace kestrun {

// What a machine's listing gives the copy plan.
struct CopySide {
  const DriverInventory* listing = nullptr;  // its drivers (with their packages) and printers
  const PORT_INFO_2W* ports = nullptr;       // its ports
  DWORD portCount = 0;
  std::wstring environment;  // the environment its printers use; empty when unknown
};

enum class CopyAction { Copy, AlreadyThere, NotCopied };

struct CopyDriver {
  std::wstring name, environment;
  DWORD version = 0;            // cVersion
  DWORDLONG driverVersion = 0;  // for the lines
  std::wstring infPath;         // its package on the source, when it has one
  CopyAction action = CopyAction::Copy;
  std::wstring why;  // why it is not copied
};

struct CopyPort {
  std::wstring name;
  CopyAction action = CopyAction::Copy;  // AlreadyThere: the target has a port of that name
};

constexpr size_t kNoCopyPort = static_cast<size_t>(-1);

struct CopyPrinter {
  std::wstring name;   // as the source lists it ("\\SRV\HR Laser")
  std::wstring shown;  // without the server: the name it gets on the target
  std::wstring driverName, portName, shareName;
  CopyAction action = CopyAction::Copy;
  std::wstring why;             // why it is not copied
  std::vector<size_t> drivers;  // the drivers it brings (into CopyPlan::drivers)
  size_t port = kNoCopyPort;    // the TCP/IP port it brings (into CopyPlan::ports)
};

struct CopyPlan {
  std::vector<CopyPrinter> printers;  // the selected ones, in the source's order
  std::vector<CopyDriver> drivers;    // each (name, environment, version) once
  std::vector<CopyPort> ports;        // each port once
};

// Decides the copy of the printers `selects` takes (by the name without the
// server) from `source` to `target`, whose name the reasons use. Rules: a
// printer of that name on the target is already there; a share name another
// printer of the target uses, a WSD port, a port of another monitor the
// target lacks, a driver Windows ships (the protected-print verdict's rule)
// that the target lacks, or no copy of its driver for the target's
// environment, and it is not copied. Windows' own drivers never go.
CopyPlan PlanCopy(const CopySide& source, const CopySide& target, std::wstring_view targetShown,
                  const std::function<bool(std::wstring_view)>& selects);

// A machine as a copy reads it: its drivers (with their packages), its
// printers, its ports and its printers' environment.
struct CopyListing {
  std::unique_ptr<DriverInventory> inventory;
  SpoolerAnswer ports;
  std::wstring environment;

  CopySide Side() const;
  MachineFiles Files() const;  // where its files are reached
};

// Lists a machine for a copy, with the user's own access (no session of
// Kestrun's). 0, or the code with `why` saying what could not be read.
DWORD ListForCopy(const std::wstring& machine, CopyListing& listing, std::wstring& why);

// Asks the target's spooler for each environment the plan brings drivers
// in: one it refuses (ERROR_INVALID_ENVIRONMENT) takes those drivers out,
// and with them the printers that needed them in the target's own
// environment. 0, or the code of another failure with `problem`.
DWORD CheckEnvironments(const CopyListing& target, std::wstring_view targetShown, CopyPlan& plan,
                        std::wstring& problem);

// What the snapshot of the source holds for a copy: the drivers (with their
// packages), printers and TCP/IP ports the plan copies, in the plan's order,
// so that the n-th object the plan copies is the snapshot's n-th.
DeletionPlan SnapshotPlan(const DriverInventory& source, const CopyPlan& plan,
                          const std::atomic<bool>* stop);

}  // namespace kestrun
