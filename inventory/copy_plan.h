// What a copy takes from one machine to another, decided from the two
// machines' listings before anything is written: each selected printer of
// the source is copied, already there, or not copied (and why); with a
// copied printer go its drivers, in the target's environment and (for an x64
// target) the source's 32-bit copies, and every Standard TCP/IP port of its
// pool. Only what a copied printer brings is planned, and the run makes
// exactly that. Listings in, plan out: nothing here asks a spooler but the
// readers at the end.
#pragma once

#include <windows.h>
#include <winspool.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "inventory/deletion.h"
#include "inventory/driver_inventory.h"
#include "inventory/machine_paths.h"
#include "inventory/spooler_answer.h"
#include "inventory/tcpip_ports.h"

namespace kestrun {

// A Standard TCP/IP port's settings as its machine's monitor answered them.
struct PortFacts {
  DWORD error = 0;  // why they could not be read
  TcpIpPortSettings settings;
};
using PortFactsByName = std::unordered_map<std::wstring, PortFacts>;  // by NameKey of the port

// What the earlier sources of one run leave on the target: a what-if plans
// each later source against the target as they will leave it.
struct CopyAdditions {
  struct Printer {
    std::wstring name, shareName, driverName, portName, devices;
  };
  struct Driver {
    std::wstring name, environment, provider;
    DWORD version = 0;
    DWORDLONG driverVersion = 0;
  };
  std::vector<Printer> printers;
  std::vector<Driver> drivers;
  std::vector<TcpIpPortSettings> ports;
};

// What a machine's listing gives the copy plan.
struct CopySide {
  const DriverInventory* listing = nullptr;  // its drivers (with their packages) and printers
  const PORT_INFO_2W* ports = nullptr;       // its ports
  DWORD portCount = 0;
  std::wstring environment;  // the environment its printers use; empty when unknown
  const PortFactsByName* portFacts = nullptr;  // the TCP/IP ports' settings the plan asks about
  // The target's print processors; null when they could not be read.
  const std::vector<std::wstring>* printProcessors = nullptr;
  const CopyAdditions* added = nullptr;  // the target's: what earlier sources leave on it
};

enum class CopyAction { Copy, AlreadyThere, NotCopied };

struct CopyDriver {
  std::wstring name, environment, provider;
  DWORD version = 0;            // cVersion
  DWORDLONG driverVersion = 0;  // for the lines: the target's, when already there
  std::wstring infPath;         // its package on the source, when it has one
  CopyAction action = CopyAction::Copy;
  std::wstring why;  // why it is not copied
};

struct CopyPort {
  std::wstring name;
  CopyAction action = CopyAction::Copy;  // AlreadyThere: the target has it, set alike
  TcpIpPortSettings settings;            // as the source's monitor answered
};

struct CopyPrinter {
  std::wstring name;   // as the source lists it ("\\SRV\HR Laser")
  std::wstring shown;  // without the server: the name it gets on the target
  // The source's; for a printer already there, the target's.
  std::wstring driverName, portName;  // portName: the pool's ports, comma-separated
  std::wstring shareName, printProcessor;
  std::wstring devices;  // where it prints: its ports' hosts (or names), for comparing
  CopyAction action = CopyAction::Copy;
  std::wstring why;             // why it is not copied
  std::vector<size_t> drivers;  // the drivers it brings (into CopyPlan::drivers)
  std::vector<size_t> ports;    // the TCP/IP ports of its pool (into CopyPlan::ports)
};

struct CopyPlan {
  std::vector<CopyPrinter> printers;  // the selected ones, in the source's order
  std::vector<CopyDriver> drivers;    // each (name, environment, version) once, all brought
  std::vector<CopyPort> ports;        // each port once, all brought
};

using PrinterSelection = std::function<bool(std::wstring_view)>;

// Decides the copy of the printers `selects` takes (by the name without the
// server) from `source` to `target`, whose name the reasons use. A printer
// is not copied when its record cannot be saved, a different printer of that
// name is on the target, its share name is taken there, its print processor
// is not there, a port of its pool cannot be copied (WSD, a port of another
// monitor the target lacks, a TCP/IP port whose name or host is no port's,
// or one the target has set otherwise), the target has another driver of
// that name, a driver Windows ships is missing there, or the source has no
// copy of its driver for the target's environment. A printer of that name,
// driver and device on the target is already there. Windows' own drivers
// never go, and a printer not copied brings nothing.
CopyPlan PlanCopy(const CopySide& source, const CopySide& target, std::wstring_view targetShown,
                  const PrinterSelection& selects);

// Records what a plan makes on its target, as a later source's what-if sees it.
void AddPlannedObjects(const CopyPlan& plan, CopyAdditions& added);

// A machine as a copy reads it: its drivers (with their packages), its
// printers, its ports and its printers' environment; then the settings of
// the TCP/IP ports the plan needs and, for a target, its print processors.
struct CopyListing {
  std::unique_ptr<DriverInventory> inventory;
  SpoolerAnswer ports;
  std::wstring environment;
  PortFactsByName portFacts;
  std::vector<std::wstring> printProcessors;
  bool printProcessorsRead = false;

  CopySide Side() const;
  MachineFiles Files() const;  // where its files are reached
};

// Lists a machine for a copy, with the user's own access (no session of
// Kestrun's). 0, or the code with `why` saying what could not be read.
DWORD ListForCopy(const std::wstring& machine, CopyListing& listing, std::wstring& why);

// Reads what the plan needs beyond the listings, eight ports at a time: the
// settings of the source's TCP/IP ports its selected printers use, of the
// target's ports of those names and of the ports of its printers of those
// printers' names, and the target's print processors. A port or a list that
// cannot be read is kept as such for the plan to say so.
void ReadCopyFacts(CopyListing& source, CopyListing& target, const PrinterSelection& selects);

// Asks the target's spooler for each environment the plan brings drivers
// in: one it refuses (ERROR_INVALID_ENVIRONMENT) takes those drivers out,
// and with them the printers that needed them in the target's own
// environment. 0, or the code of another failure with `problem`.
DWORD CheckEnvironments(const CopyListing& target, std::wstring_view targetShown, CopyPlan& plan,
                        std::wstring& problem);

// What the snapshot of the source holds for a copy: the drivers (each with
// the package it comes from, saved once whoever needs it), printers and
// TCP/IP ports the plan copies, in the plan's order, so that the n-th object
// the plan copies is the snapshot's n-th.
DeletionPlan SnapshotPlan(const DriverInventory& source, const CopyPlan& plan,
                          const std::atomic<bool>* stop);

}  // namespace kestrun
