#include "inventory/copy_plan.h"

#include <algorithm>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "common/parallel.h"
#include "inventory/deletion.h"
#include "inventory/field_text.h"
#include "inventory/printers.h"
#include "inventory/protected_print.h"
#include "inventory/snapshot_manifest.h"

namespace kestrun {

namespace {

constexpr wchar_t kX86[] = L"Windows NT x86";
constexpr wchar_t kX64[] = L"Windows x64";
constexpr wchar_t kWinprint[] = L"winprint";  // on every machine
// Port settings read at once: a remote monitor answers each call late.
constexpr unsigned kPortsAtOnce = 8;
constexpr size_t kNoIndex = static_cast<size_t>(-1);

std::wstring Key(std::wstring_view name, std::wstring_view environment) {
  return NameKey(name) + L'|' + NameKey(environment);
}

// Where a printer prints: each port's host (its name where the host is not
// known), letter case folded, sorted, so two printers compare by device.
std::wstring DevicesOf(std::wstring_view ports, const PortFactsByName* facts) {
  std::vector<std::wstring> devices;
  for (const std::wstring& port : PoolPorts(ports)) {
    const auto known = facts ? facts->find(NameKey(port)) : PortFactsByName::const_iterator();
    const bool read = facts && known != facts->end() && known->second.error == 0;
    devices.push_back(NameKey(read ? known->second.settings.host : port));
  }
  std::sort(devices.begin(), devices.end());
  std::wstring joined;
  for (const std::wstring& device : devices) joined += (joined.empty() ? L"" : L",") + device;
  return joined;
}

// "RAW 9100", "LPR 515 queue lp".
// A field of a printer record, as the lines name it.
std::wstring_view FieldWords(std::string_view key) {
  static const struct {
    std::string_view key;
    std::wstring_view words;
  } kWords[] = {{"name", L"name"},
                {"shareName", L"share name"},
                {"portName", L"port name"},
                {"driverName", L"driver name"},
                {"comment", L"comment"},
                {"location", L"location"},
                {"sepFile", L"separator page"},
                {"printProcessor", L"print processor"},
                {"datatype", L"data type"},
                {"parameters", L"parameters"}};
  for (const auto& known : kWords) {
    if (known.key == key) return known.words;
  }
  return L"text";
}

// Why a printer's listed record cannot go into a snapshot; empty when it can.
std::wstring UnsavableRecord(const PRINTER_INFO_2W& record) {
  SnapshotPrinter texts;
  texts.name = FieldOrEmpty(record.pPrinterName);
  texts.shareName = FieldOrEmpty(record.pShareName);
  texts.portName = FieldOrEmpty(record.pPortName);
  texts.driverName = FieldOrEmpty(record.pDriverName);
  texts.comment = FieldOrEmpty(record.pComment);
  texts.location = FieldOrEmpty(record.pLocation);
  texts.sepFile = FieldOrEmpty(record.pSepFile);
  texts.printProcessor = FieldOrEmpty(record.pPrintProcessor);
  texts.datatype = FieldOrEmpty(record.pDatatype);
  texts.parameters = FieldOrEmpty(record.pParameters);
  const char* field = UnsavablePrinterText(texts);
  if (field == nullptr) return {};
  return L"its record cannot be saved: its " + std::wstring(FieldWords(field)) +
         L" holds a control character";
}

// The printers of a source a copy considers: its own (not connections to
// another server's), those `selects` takes, each with its name without the server.
template <typename Visit>
void ForEachSelected(const DriverInventory& listing, const PrinterSelection& selects,
                     Visit&& visit) {
  const PRINTER_INFO_2W* printers = listing.Printers();
  for (DWORD p = 0; printers != nullptr && p < listing.printerCount; ++p) {
    const PRINTER_INFO_2W& record = printers[p];
    const std::wstring_view name = FieldOrEmpty(record.pPrinterName);
    // A connection to another server's printer is that server's to copy.
    if (!IsPrinterOfTarget(name, listing.targetName, listing.isRemote) ||
        IsPrinterConnection(record, listing.isRemote)) {
      continue;
    }
    const std::wstring shown = LocalPrinterName(std::wstring(name));
    if (selects(shown)) visit(record, shown);
  }
}

// What the target has, with what earlier sources leave on it.
struct TargetFacts {
  struct Printer {
    std::wstring driverName, portName, devices;
  };
  struct Driver {
    std::wstring provider;
    DWORD version = 0;
    DWORDLONG driverVersion = 0;
  };
  struct Port {
    bool tcpIp = false;
    std::wstring monitor;
    PortFacts facts;
    bool read = false;  // facts were asked for
  };
  std::unordered_map<std::wstring, Printer> printers;             // by name
  std::unordered_map<std::wstring, std::wstring> shares;          // share name: its printer
  std::unordered_map<std::wstring, std::vector<Driver>> drivers;  // by name|environment
  std::unordered_map<std::wstring, Port> ports;                   // by name
};

TargetFacts FactsOf(const CopySide& target) {
  TargetFacts facts;
  const DriverInventory& listing = *target.listing;
  const PRINTER_INFO_2W* printers = listing.Printers();
  for (DWORD p = 0; printers != nullptr && p < listing.printerCount; ++p) {
    const std::wstring shown =
        LocalPrinterName(std::wstring(FieldOrEmpty(printers[p].pPrinterName)));
    const std::wstring_view ports = FieldOrEmpty(printers[p].pPortName);
    facts.printers.emplace(
        NameKey(shown),
        TargetFacts::Printer{std::wstring(FieldOrEmpty(printers[p].pDriverName)),
                             std::wstring(ports), DevicesOf(ports, target.portFacts)});
    const std::wstring_view share = FieldOrEmpty(printers[p].pShareName);
    if (!share.empty()) facts.shares.emplace(NameKey(share), shown);
  }
  const DRIVER_INFO_6* drivers = listing.Drivers();
  for (DWORD d = 0; drivers != nullptr && d < listing.driverCount; ++d) {
    facts.drivers[Key(FieldOrEmpty(drivers[d].pName), FieldOrEmpty(drivers[d].pEnvironment))]
        .push_back({std::wstring(FieldOrEmpty(drivers[d].pszProvider)), drivers[d].cVersion,
                    drivers[d].dwlDriverVersion});
  }
  for (DWORD p = 0; p < target.portCount; ++p) {
    const std::wstring_view name = FieldOrEmpty(target.ports[p].pPortName);
    TargetFacts::Port port;
    port.monitor = FieldOrEmpty(target.ports[p].pMonitorName);
    port.tcpIp = port.monitor == kTcpIpMonitor;
    const auto known = target.portFacts ? target.portFacts->find(NameKey(name))
                                        : PortFactsByName::const_iterator();
    if (target.portFacts && known != target.portFacts->end()) {
      port.facts = known->second;
      port.read = true;
    }
    facts.ports.emplace(NameKey(name), std::move(port));
  }
  if (target.added == nullptr) return facts;
  for (const CopyAdditions::Printer& printer : target.added->printers) {
    facts.printers.emplace(
        NameKey(printer.name),
        TargetFacts::Printer{printer.driverName, printer.portName, printer.devices});
    if (!printer.shareName.empty()) facts.shares.emplace(NameKey(printer.shareName), printer.name);
  }
  for (const CopyAdditions::Driver& driver : target.added->drivers) {
    facts.drivers[Key(driver.name, driver.environment)].push_back(
        {driver.provider, driver.version, driver.driverVersion});
  }
  for (const TcpIpPortSettings& settings : target.added->ports) {
    facts.ports.emplace(NameKey(settings.name),
                        TargetFacts::Port{true, kTcpIpMonitor, {0, settings}, true});
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

  void Plan(const PRINTER_INFO_2W& record, std::wstring shown, CopyPlan& plan) {
    CopyPrinter printer;
    printer.name = FieldOrEmpty(record.pPrinterName);
    printer.shown = std::move(shown);
    printer.driverName = FieldOrEmpty(record.pDriverName);
    printer.portName = FieldOrEmpty(record.pPortName);
    printer.shareName = FieldOrEmpty(record.pShareName);
    printer.printProcessor = FieldOrEmpty(record.pPrintProcessor);
    printer.devices = DevicesOf(printer.portName, source_.portFacts);
    printer.why = UnsavableRecord(record);
    const auto there = facts_.printers.find(NameKey(printer.shown));
    const bool savable = printer.why.empty();
    if (savable && there != facts_.printers.end()) {
      const TargetFacts::Printer& other = there->second;
      if (SameName(other.driverName, printer.driverName) && other.devices == printer.devices) {
        printer.action = CopyAction::AlreadyThere;
      } else {
        printer.action = CopyAction::NotCopied;
        printer.why = L"a different printer of that name is on " + std::wstring(targetShown_) +
                      L" (" + other.driverName + L", port " + other.portName + L")";
      }
      // Kept or not, the lines say what the target has.
      printer.driverName = other.driverName;
      printer.portName = other.portName;
    } else if (!savable || !Decide(printer, plan)) {
      printer.action = CopyAction::NotCopied;
    }
    if (printer.action != CopyAction::Copy) {
      printer.drivers.clear();
      printer.ports.clear();
    }
    plan.printers.push_back(std::move(printer));
  }

 private:
  // Whether the printer can be copied; when not, `why` says so.
  bool Decide(CopyPrinter& printer, CopyPlan& plan) {
    const std::wstring target(targetShown_);
    if (target_.environment.empty()) {
      printer.why = L"the environment of " + target + L" could not be read";
      return false;
    }
    if (!printer.shareName.empty()) {
      const auto used = facts_.shares.find(NameKey(printer.shareName));
      if (used != facts_.shares.end()) {
        printer.why =
            L"share name " + printer.shareName + L" is used by " + used->second + L" on " + target;
        return false;
      }
    }
    if (!printer.printProcessor.empty() && !SameName(printer.printProcessor, kWinprint)) {
      bool there = false;
      for (size_t p = 0; target_.printProcessors && p < target_.printProcessors->size(); ++p) {
        there = there || SameName((*target_.printProcessors)[p], printer.printProcessor);
      }
      if (!there) {
        printer.why = L"print processor " + printer.printProcessor + L" is not on " + target;
        return false;
      }
    }
    return DecidePorts(printer, plan) && DecideDrivers(printer, plan);
  }

  // Every port of the printer's pool: false, saying why, when one cannot go.
  bool DecidePorts(CopyPrinter& printer, CopyPlan& plan) {
    const std::vector<std::wstring> pool = PoolPorts(printer.portName);
    if (pool.empty()) {
      printer.why = L"it has no port";
      return false;
    }
    for (const std::wstring& name : pool) {
      std::wstring why;
      if (DecidePort(name, printer, plan, why)) continue;
      printer.why = pool.size() == 1
                        ? why
                        : L"pooled printer, port " + name + L" cannot be copied (" + why + L")";
      return false;
    }
    return true;
  }

  bool DecidePort(const std::wstring& name, CopyPrinter& printer, CopyPlan& plan,
                  std::wstring& why) {
    const PortIndex::Port* port = ports_.Find(name);
    const std::wstring_view monitor = port ? port->monitor : std::wstring_view();
    const PortKind kind = KindOfPort(name, monitor, port != nullptr, false);
    const auto there = facts_.ports.find(NameKey(name));
    const std::wstring target(targetShown_);
    if (kind == PortKind::Wsd) {
      why = L"WSD port: add the device on the new server";
      return false;
    }
    if (kind != PortKind::TcpIp) {
      if (there != facts_.ports.end()) return true;  // LPT1:, FILE: and the like
      why = L"port " + name + L" (" + std::wstring(PortKindText(kind, monitor, name)) +
            L"): add it on the new server";
      return false;
    }
    const auto known = source_.portFacts ? source_.portFacts->find(NameKey(name))
                                         : PortFactsByName::const_iterator();
    if (!IsCopyableTcpIpPortName(name)) {
      why = L"port " + name + L" is not a TCP/IP port name";
      return false;
    }
    if (!source_.portFacts || known == source_.portFacts->end() || known->second.error != 0) {
      const DWORD error = source_.portFacts && known != source_.portFacts->end()
                              ? known->second.error
                              : ERROR_INVALID_DATA;
      why = L"the settings of port " + name + L" could not be read (error " +
            std::to_wstring(error) + L")";
      return false;
    }
    const TcpIpPortSettings& settings = known->second.settings;
    if (!IsCopyableTcpIpPort(settings)) {
      why = L"port " + name + L" is not a TCP/IP port name: its host " + settings.host +
            L" is not a host name or an IP address";
      return false;
    }
    CopyAction action = CopyAction::Copy;
    if (there != facts_.ports.end()) {
      const TargetFacts::Port& other = there->second;
      if (!other.tcpIp) {
        why = L"port " + name + L" on " + target + L" is a " +
              std::wstring(
                  PortKindText(KindOfPort(name, other.monitor, true, false), other.monitor, name)) +
              L" port";
        return false;
      }
      if (!other.read || other.facts.error != 0) {
        why = L"the settings of port " + name + L" on " + target + L" could not be read (error " +
              std::to_wstring(other.read ? other.facts.error : ERROR_INVALID_DATA) + L")";
        return false;
      }
      why = PortDifference(other.facts.settings, settings, target);
      if (!why.empty()) return false;
      action = CopyAction::AlreadyThere;
    }
    printer.ports.push_back(PortOf(settings, action, plan));
    return true;
  }

  size_t PortOf(const TcpIpPortSettings& settings, CopyAction action, CopyPlan& plan) {
    for (size_t p = 0; p < plan.ports.size(); ++p) {
      if (SameName(plan.ports[p].name, settings.name)) return p;
    }
    plan.ports.push_back({settings.name, action, settings});
    return plan.ports.size() - 1;
  }

  // A driver of that name and environment on the target from another provider.
  const TargetFacts::Driver* OtherDriver(const DRIVER_INFO_6& row) const {
    const auto there =
        facts_.drivers.find(Key(FieldOrEmpty(row.pName), FieldOrEmpty(row.pEnvironment)));
    if (there == facts_.drivers.end()) return nullptr;
    for (const TargetFacts::Driver& driver : there->second) {
      if (!SameName(driver.provider, FieldOrEmpty(row.pszProvider))) return &driver;
    }
    return nullptr;
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
        if (const TargetFacts::Driver* other = OtherDriver(row)) {
          printer.why = std::wstring(targetShown_) + L" has another driver of that name (" +
                        (other->provider.empty() ? L"no provider" : other->provider) + L", " +
                        DriverVersionText(other->driverVersion) + L")";
          return false;
        }
        const DriverPackageFields* package =
            listing.packageFields ? &listing.packageFields[d] : nullptr;
        const bool own = EqualsIgnoringAsciiCase(environment, target_.environment);
        const DriverOrigin origin = OriginOfDriver(&row, package);
        if (origin == DriverOrigin::Inbox || origin == DriverOrigin::InboxUnconfirmed) {
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
    driver.provider = FieldOrEmpty(row.pszProvider);
    driver.version = row.cVersion;
    driver.driverVersion = row.dwlDriverVersion;
    if (package != nullptr) driver.infPath = FieldOrEmpty(package->infPath);
    const auto there = facts_.drivers.find(Key(name, environment));
    for (size_t t = 0; there != facts_.drivers.end() && t < there->second.size(); ++t) {
      if (there->second[t].version != row.cVersion) continue;
      driver.action = CopyAction::AlreadyThere;
      driver.driverVersion = there->second[t].driverVersion;  // the target's, as the line shows
    }
    plan.drivers.push_back(std::move(driver));
    return plan.drivers.size() - 1;
  }

  const CopySide& source_;
  const CopySide& target_;
  std::wstring_view targetShown_;
  TargetFacts facts_;
  PortIndex ports_;
};

// Keeps only the drivers and ports a copied printer brings, in their order.
void KeepWhatIsBrought(CopyPlan& plan) {
  std::vector<size_t> driverAt(plan.drivers.size(), kNoIndex), portAt(plan.ports.size(), kNoIndex);
  std::vector<CopyDriver> drivers;
  std::vector<CopyPort> ports;
  for (CopyPrinter& printer : plan.printers) {
    if (printer.action != CopyAction::Copy) {
      printer.drivers.clear();
      printer.ports.clear();
      continue;
    }
    for (size_t& d : printer.drivers) {
      if (driverAt[d] == kNoIndex) {
        driverAt[d] = drivers.size();
        drivers.push_back(std::move(plan.drivers[d]));
      }
      d = driverAt[d];
    }
    for (size_t& p : printer.ports) {
      if (portAt[p] == kNoIndex) {
        portAt[p] = ports.size();
        ports.push_back(std::move(plan.ports[p]));
      }
      p = portAt[p];
    }
  }
  plan.drivers = std::move(drivers);
  plan.ports = std::move(ports);
}

}  // namespace

CopyPlan PlanCopy(const CopySide& source, const CopySide& target, std::wstring_view targetShown,
                  const PrinterSelection& selects) {
  CopyPlan plan;
  Planner planner(source, target, targetShown);
  ForEachSelected(*source.listing, selects, [&](const PRINTER_INFO_2W& record, std::wstring shown) {
    planner.Plan(record, std::move(shown), plan);
  });
  KeepWhatIsBrought(plan);
  return plan;
}

void AddPlannedObjects(const CopyPlan& plan, CopyAdditions& added) {
  for (const CopyPrinter& printer : plan.printers) {
    if (printer.action != CopyAction::Copy) continue;
    added.printers.push_back(
        {printer.shown, printer.shareName, printer.driverName, printer.portName, printer.devices});
  }
  for (const CopyDriver& driver : plan.drivers) {
    if (driver.action != CopyAction::Copy) continue;
    added.drivers.push_back(
        {driver.name, driver.environment, driver.provider, driver.version, driver.driverVersion});
  }
  for (const CopyPort& port : plan.ports) {
    if (port.action == CopyAction::Copy) added.ports.push_back(port.settings);
  }
}

CopySide CopyListing::Side() const {
  return {inventory.get(), reinterpret_cast<const PORT_INFO_2W*>(ports.buffer.get()),
          ports.count,     environment,
          &portFacts,      printProcessorsRead ? &printProcessors : nullptr,
          nullptr};
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

namespace {

// Reads the settings of the named TCP/IP ports of a listed machine, eight at a time.
void ReadPortFacts(CopyListing& listing, const std::vector<std::wstring>& names) {
  std::vector<PortFacts> read(names.size());
  wchar_t* server = listing.inventory->isRemote ? listing.inventory->targetName : nullptr;
  RunAtOnce(names.size(), kPortsAtOnce,
            [&](size_t n) { read[n].error = ReadTcpIpPort(server, names[n], read[n].settings); });
  for (size_t n = 0; n < names.size(); ++n) {
    listing.portFacts[NameKey(names[n])] = std::move(read[n]);
  }
}

// Adds a port's name once, when the machine lists it on the TCP/IP monitor.
void AskAbout(std::wstring_view name, PortIndex& index, std::unordered_set<std::wstring>& asked,
              std::vector<std::wstring>& names) {
  const PortIndex::Port* port = index.Find(name);
  if (port != nullptr && port->monitor == kTcpIpMonitor && asked.insert(NameKey(name)).second) {
    names.emplace_back(name);
  }
}

}  // namespace

void ReadCopyFacts(CopyListing& source, CopyListing& target, const PrinterSelection& selects) {
  PortIndex sourcePorts(reinterpret_cast<const PORT_INFO_2W*>(source.ports.buffer.get()),
                        source.ports.count);
  PortIndex targetPorts(reinterpret_cast<const PORT_INFO_2W*>(target.ports.buffer.get()),
                        target.ports.count);
  std::unordered_set<std::wstring> askedSource, askedTarget, selected;
  std::vector<std::wstring> fromSource, fromTarget;
  ForEachSelected(*source.inventory, selects,
                  [&](const PRINTER_INFO_2W& record, const std::wstring& shown) {
                    selected.insert(NameKey(shown));
                    for (const std::wstring& port : PoolPorts(FieldOrEmpty(record.pPortName))) {
                      AskAbout(port, sourcePorts, askedSource, fromSource);
                      AskAbout(port, targetPorts, askedTarget, fromTarget);
                    }
                  });
  // The target's printers of those names: where they print decides "already there".
  const DriverInventory& listed = *target.inventory;
  const PRINTER_INFO_2W* printers = listed.Printers();
  for (DWORD p = 0; printers != nullptr && p < listed.printerCount; ++p) {
    const std::wstring shown =
        LocalPrinterName(std::wstring(FieldOrEmpty(printers[p].pPrinterName)));
    if (selected.count(NameKey(shown)) == 0) continue;
    for (const std::wstring& port : PoolPorts(FieldOrEmpty(printers[p].pPortName))) {
      AskAbout(port, targetPorts, askedTarget, fromTarget);
    }
  }
  ReadPortFacts(source, fromSource);
  ReadPortFacts(target, fromTarget);
  SpoolerAnswer processors;
  target.printProcessorsRead =
      ReadPrintProcessors(listed.isRemote ? target.inventory->targetName : nullptr,
                          target.environment, processors) == 0;
  const auto* names = reinterpret_cast<const PRINTPROCESSOR_INFO_1W*>(processors.buffer.get());
  target.printProcessors.clear();
  for (DWORD p = 0; target.printProcessorsRead && p < processors.count; ++p) {
    if (names[p].pName != nullptr) target.printProcessors.emplace_back(names[p].pName);
  }
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
  KeepWhatIsBrought(plan);
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
    if (driver.infPath.empty()) continue;
    // One package, whichever of its drivers need it: the snapshot saves it
    // with its first driver and names it for the others.
    PlannedPackage* known = nullptr;
    for (PlannedPackage& package : plan.packages) {
      if (SameName(package.infPath, driver.infPath)) known = &package;
    }
    if (known == nullptr) {
      plan.packages.push_back({});
      known = &plan.packages.back();
      known->infPath = driver.infPath;
      known->environment = driver.environment;
    }
    known->drivers.push_back(plan.drivers.size() - 1);
  }
  for (const CopyPrinter& printer : copy.printers) {
    if (printer.action == CopyAction::Copy) {
      plan.printers.push_back({printer.name, printer.driverName});
    }
  }
  for (const CopyPort& port : copy.ports) {
    if (port.action != CopyAction::Copy) continue;
    plan.ports.push_back(port.name);
    plan.portSettings.push_back(port.settings);
  }
  return plan;
}

}  // namespace kestrun
