#include "inventory/copy_plan.h"

#include <unordered_map>
#include <unordered_set>

#include "inventory/deletion.h"
#include "inventory/field_text.h"
#include "inventory/printers.h"
#include "inventory/protected_print.h"
#include "inventory/snapshot_manifest.h"

namespace kestrun {

namespace {

constexpr wchar_t kX86[] = L"Windows NT x86";
constexpr wchar_t kX64[] = L"Windows x64";

std::wstring Key(std::wstring_view name, std::wstring_view environment) {
  return NameKey(name) + L'|' + NameKey(environment);
}

std::wstring VersionKey(std::wstring_view name, std::wstring_view environment, DWORD version) {
  return Key(name, environment) + L'|' + std::to_wstring(version);
}

// What the target has: its printers by name and share name, its drivers, its ports.
struct TargetFacts {
  std::unordered_set<std::wstring> printers;
  std::unordered_map<std::wstring, std::wstring> shares;  // share name: the printer using it
  std::unordered_set<std::wstring> drivers;               // name|environment
  std::unordered_set<std::wstring> versions;              // name|environment|version
  std::unordered_set<std::wstring> ports;
};

TargetFacts FactsOf(const CopySide& target) {
  TargetFacts facts;
  const DriverInventory& listing = *target.listing;
  const PRINTER_INFO_2W* printers = listing.Printers();
  for (DWORD p = 0; printers != nullptr && p < listing.printerCount; ++p) {
    const std::wstring shown =
        LocalPrinterName(std::wstring(FieldOrEmpty(printers[p].pPrinterName)));
    facts.printers.insert(NameKey(shown));
    const std::wstring_view share = FieldOrEmpty(printers[p].pShareName);
    if (!share.empty()) facts.shares.emplace(NameKey(share), shown);
  }
  const DRIVER_INFO_6* drivers = listing.Drivers();
  for (DWORD d = 0; drivers != nullptr && d < listing.driverCount; ++d) {
    const std::wstring_view name = FieldOrEmpty(drivers[d].pName);
    const std::wstring_view environment = FieldOrEmpty(drivers[d].pEnvironment);
    facts.drivers.insert(Key(name, environment));
    facts.versions.insert(VersionKey(name, environment, drivers[d].cVersion));
  }
  for (DWORD p = 0; p < target.portCount; ++p) {
    facts.ports.insert(NameKey(FieldOrEmpty(target.ports[p].pPortName)));
  }
  return facts;
}

// The environments a target's printers and clients take drivers in.
std::vector<std::wstring> WantedEnvironments(const std::wstring& target) {
  std::vector<std::wstring> wanted = {target};
  if (EqualsIgnoringAsciiCase(target, kX64)) wanted.emplace_back(kX86);
  return wanted;
}

class Planner {
 public:
  Planner(const CopySide& source, const CopySide& target, std::wstring_view targetShown)
      : source_(source),
        target_(target),
        targetShown_(targetShown),
        facts_(FactsOf(target)),
        ports_(source.ports, source.portCount) {}

  void Plan(const PRINTER_INFO_2W& record, CopyPlan& plan) {
    CopyPrinter printer;
    printer.name = FieldOrEmpty(record.pPrinterName);
    printer.shown = LocalPrinterName(printer.name);
    printer.driverName = FieldOrEmpty(record.pDriverName);
    const std::wstring_view ports = FieldOrEmpty(record.pPortName);
    printer.portName = ports.substr(0, ports.find(L','));
    printer.shareName = FieldOrEmpty(record.pShareName);
    if (facts_.printers.count(NameKey(printer.shown)) != 0) {
      printer.action = CopyAction::AlreadyThere;
    } else if (!Decide(printer, plan)) {
      printer.action = CopyAction::NotCopied;
      printer.drivers.clear();
      printer.port = kNoCopyPort;
    }
    plan.printers.push_back(std::move(printer));
  }

 private:
  // Whether the printer can be copied; when not, `why` says so.
  bool Decide(CopyPrinter& printer, CopyPlan& plan) {
    if (target_.environment.empty()) {
      printer.why = L"the environment of " + std::wstring(targetShown_) + L" could not be read";
      return false;
    }
    if (!printer.shareName.empty()) {
      const auto used = facts_.shares.find(NameKey(printer.shareName));
      if (used != facts_.shares.end()) {
        printer.why = L"share name " + printer.shareName + L" is used by " + used->second +
                      L" on " + std::wstring(targetShown_);
        return false;
      }
    }
    return DecidePort(printer, plan) && DecideDrivers(printer, plan);
  }

  bool DecidePort(CopyPrinter& printer, CopyPlan& plan) {
    const PortIndex::Port* port = ports_.Find(printer.portName);
    const std::wstring_view monitor = port ? port->monitor : std::wstring_view();
    const PortKind kind = KindOfPort(printer.portName, monitor, port != nullptr, false);
    const bool there = facts_.ports.count(NameKey(printer.portName)) != 0;
    if (kind == PortKind::Wsd) {
      printer.why = L"WSD port: add the device on the new server";
      return false;
    }
    if (kind == PortKind::TcpIp) {
      printer.port = PortOf(printer.portName, there, plan);
      return true;
    }
    if (there) return true;  // LPT1:, FILE: and the like are on every machine
    printer.why = L"port " + printer.portName + L" (" +
                  std::wstring(PortKindText(kind, monitor, printer.portName)) +
                  L"): add it on the new server";
    return false;
  }

  size_t PortOf(const std::wstring& name, bool there, CopyPlan& plan) {
    for (size_t p = 0; p < plan.ports.size(); ++p) {
      if (SameName(plan.ports[p].name, name)) return p;
    }
    plan.ports.push_back({name, there ? CopyAction::AlreadyThere : CopyAction::Copy});
    return plan.ports.size() - 1;
  }

  bool DecideDrivers(CopyPrinter& printer, CopyPlan& plan) {
    const DriverInventory& listing = *source_.listing;
    const DRIVER_INFO_6* drivers = listing.Drivers();
    bool served = facts_.drivers.count(Key(printer.driverName, target_.environment)) != 0;
    bool inboxMissing = false;
    for (const std::wstring& environment : WantedEnvironments(target_.environment)) {
      for (DWORD d = 0; drivers != nullptr && d < listing.driverCount; ++d) {
        const DRIVER_INFO_6& row = drivers[d];
        if (!SameName(FieldOrEmpty(row.pName), printer.driverName) ||
            !EqualsIgnoringAsciiCase(FieldOrEmpty(row.pEnvironment), environment)) {
          continue;
        }
        const DriverPackageFields* package =
            listing.packageFields ? &listing.packageFields[d] : nullptr;
        const bool own = EqualsIgnoringAsciiCase(environment, target_.environment);
        if (OriginOfDriver(&row, package) == DriverOrigin::Inbox) {
          // Windows' own drivers come with Windows, never with a copy.
          inboxMissing = inboxMissing || (own && !served);
          continue;
        }
        printer.drivers.push_back(DriverOf(row, package, plan));
        served = served || own;
      }
    }
    if (served) return true;
    printer.why = inboxMissing ? L"its driver " + printer.driverName + L" is Windows' own and " +
                                     std::wstring(targetShown_) + L" does not have it"
                               : L"the source has no " + target_.environment +
                                     L" copy of its driver " + printer.driverName;
    return false;
  }

  size_t DriverOf(const DRIVER_INFO_6& row, const DriverPackageFields* package, CopyPlan& plan) {
    const std::wstring_view name = FieldOrEmpty(row.pName);
    const std::wstring_view environment = FieldOrEmpty(row.pEnvironment);
    for (size_t d = 0; d < plan.drivers.size(); ++d) {
      const CopyDriver& known = plan.drivers[d];
      if (SameName(known.name, name) && EqualsIgnoringAsciiCase(known.environment, environment) &&
          known.version == row.cVersion) {
        return d;
      }
    }
    CopyDriver driver;
    driver.name = name;
    driver.environment = environment;
    driver.version = row.cVersion;
    driver.driverVersion = row.dwlDriverVersion;
    if (package != nullptr) driver.infPath = FieldOrEmpty(package->infPath);
    driver.action = facts_.versions.count(VersionKey(name, environment, row.cVersion)) != 0
                        ? CopyAction::AlreadyThere
                        : CopyAction::Copy;
    plan.drivers.push_back(std::move(driver));
    return plan.drivers.size() - 1;
  }

  const CopySide& source_;
  const CopySide& target_;
  std::wstring_view targetShown_;
  TargetFacts facts_;
  PortIndex ports_;
};

}  // namespace

CopyPlan PlanCopy(const CopySide& source, const CopySide& target, std::wstring_view targetShown,
                  const std::function<bool(std::wstring_view)>& selects) {
  CopyPlan plan;
  Planner planner(source, target, targetShown);
  const DriverInventory& listing = *source.listing;
  const PRINTER_INFO_2W* printers = listing.Printers();
  for (DWORD p = 0; printers != nullptr && p < listing.printerCount; ++p) {
    const PRINTER_INFO_2W& record = printers[p];
    const std::wstring_view name = FieldOrEmpty(record.pPrinterName);
    // A connection to another server's printer is that server's to copy.
    if (!IsPrinterOfTarget(name, listing.targetName, listing.isRemote) ||
        IsPrinterConnection(record, listing.isRemote)) {
      continue;
    }
    if (!selects(LocalPrinterName(std::wstring(name)))) continue;
    planner.Plan(record, plan);
  }
  return plan;
}

}  // namespace kestrun

namespace kestrun {

CopySide CopyListing::Side() const {
  return {inventory.get(), reinterpret_cast<const PORT_INFO_2W*>(ports.buffer.get()), ports.count,
          environment};
}

MachineFiles CopyListing::Files() const {
  return {
      inventory->isRemote ? std::wstring(BareMachineName(inventory->targetName)) : std::wstring(),
      inventory->isRemote};
}

DWORD ListForCopy(const std::wstring& machine, CopyListing& listing, std::wstring& why) {
  listing.inventory = CreateInventory();
  if (!listing.inventory) return ERROR_NOT_ENOUGH_MEMORY;
  DriverInventory& inventory = *listing.inventory;
  if (!EnumerateDrivers(inventory, machine)) {
    why = L"its drivers could not be read";
    return inventory.lastError;
  }
  if (inventory.printerError != 0) {  // none at all is a list too
    why = L"its printers could not be read";
    return inventory.printerError;
  }
  if (const DWORD error =
          ReadPorts(inventory.isRemote ? inventory.targetName : nullptr, listing.ports)) {
    why = L"its ports could not be read";
    return error;
  }
  listing.environment = PrintersEnvironment(inventory);
  return 0;
}

DWORD CheckEnvironments(const CopyListing& target, std::wstring_view targetShown, CopyPlan& plan,
                        std::wstring& problem) {
  const MachineFiles files = target.Files();
  std::unordered_map<std::wstring, DWORD> answers;  // each environment asked once
  for (CopyDriver& driver : plan.drivers) {
    if (driver.action != CopyAction::Copy) continue;
    const auto [known, asked] = answers.emplace(NameKey(driver.environment), 0);
    std::wstring folder;
    if (asked) known->second = CheckedDriverFolder(files, driver.environment, folder, problem);
    const DWORD error = known->second;
    if (error == ERROR_INVALID_ENVIRONMENT) {
      driver.action = CopyAction::NotCopied;
      driver.why = L"the spooler of " + std::wstring(targetShown) + L" does not take " +
                   driver.environment + L" drivers";
    } else if (error != 0) {
      return error;
    }
  }
  problem.clear();
  for (CopyPrinter& printer : plan.printers) {
    for (const size_t d : printer.drivers) {
      const CopyDriver& driver = plan.drivers[d];
      if (printer.action == CopyAction::Copy && driver.action == CopyAction::NotCopied &&
          EqualsIgnoringAsciiCase(driver.environment, target.environment)) {
        printer.action = CopyAction::NotCopied;
        printer.why = driver.why;
      }
    }
  }
  return 0;
}

DeletionPlan SnapshotPlan(const DriverInventory& source, const CopyPlan& copy,
                          const std::atomic<bool>* stop) {
  DeletionPlan plan = PlanOnTarget(source);
  plan.withSession = false;
  plan.keepsLastOutcome = false;
  plan.stop = stop;
  for (const CopyDriver& driver : copy.drivers) {
    if (driver.action != CopyAction::Copy) continue;
    PlannedDriver planned;
    planned.name = driver.name;
    planned.environment = driver.environment;
    planned.version = driver.version;
    plan.drivers.push_back(std::move(planned));
    bool listed = driver.infPath.empty();
    for (const PlannedPackage& package : plan.packages) {
      listed = listed || SameName(package.infPath, driver.infPath);
    }
    if (listed) continue;
    PlannedPackage package;
    package.infPath = driver.infPath;
    package.environment = driver.environment;
    plan.packages.push_back(std::move(package));
  }
  for (const CopyPrinter& printer : copy.printers) {
    if (printer.action == CopyAction::Copy) {
      plan.printers.push_back({printer.name, printer.driverName});
    }
  }
  for (const CopyPort& port : copy.ports) {
    if (port.action == CopyAction::Copy) plan.ports.push_back(port.name);
  }
  return plan;
}

}  // namespace kestrun
