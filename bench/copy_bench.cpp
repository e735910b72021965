// Copies 1,000 printers with 50 drivers in two environments (from one vendor
// package each, as on a real server) and 1,000 TCP/IP ports between two test
// servers whose port, driver and printer calls each answer 20 ms late, against
// making the same calls one after another: each port's settings read on the
// source, then each port, driver and printer made on the target.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/measure.h"
#include "inventory/copy_plan.h"
#include "inventory/platform.h"
#include "inventory/restore.h"
#include "inventory/snapshot.h"
#include "inventory/tcpip_ports.h"
#include "tests/support/fake_spooler.h"

using namespace kestrun;
using kestrun::testing::FakeSpooler;

namespace {

constexpr int kPrinters = 1000;
constexpr int kDrivers = 50;
constexpr DWORD kCallMs = 20;

void MakeSource(testing::FakeMachine& source) {
  const std::string inf = "[Version]\r\nClass=Printer\r\nProvider=Contoso\r\n";
  for (const wchar_t* environment : {L"Windows x64", L"Windows NT x86"}) {
    const bool x86 = environment[8] == L'N';
    const std::wstring package = FakeSpooler::AddStorePackage(
        L"\\\\OLDSRV",
        x86 ? L"bench.inf_x86_5e4d3c2b1a090807" : L"bench.inf_amd64_0807060504030201", inf, 4,
        4096);
    for (int d = 0; d < kDrivers; ++d) {
      testing::FakeDriver driver =
          testing::RichDriver(L"Bench Driver " + std::to_wstring(d), L"Contoso");
      driver.environment = environment;
      driver.infPath = package;
      source.drivers.push_back(driver);
    }
  }
  for (int p = 0; p < kPrinters; ++p) {
    const std::wstring address =
        L"10.30." + std::to_wstring(p / 250) + L"." + std::to_wstring(p % 250);
    source.ports.push_back({L"IP_" + address, L"Standard TCP/IP Port", address});
    source.printers.push_back({L"Queue " + std::to_wstring(p),
                               L"Bench Driver " + std::to_wstring(p % kDrivers), L"IP_" + address});
  }
  source.copyCallDelayMs = kCallMs;
}

// The same calls, one after another, against a target of their own.
double OneAfterAnother(testing::FakeMachine& source) {
  const LARGE_INTEGER start = bench::Now();
  std::vector<TcpIpPortSettings> ports(source.ports.size());
  for (size_t p = 0; p < ports.size(); ++p) {
    ReadTcpIpPort(L"\\\\OLDSRV", source.ports[p].name, ports[p]);
  }
  for (const TcpIpPortSettings& port : ports) AddTcpIpPort(L"\\\\SERIAL", port);
  wchar_t server[] = L"\\\\SERIAL";
  for (int d = 0; d < 2 * kDrivers; ++d) {
    std::wstring name = L"Bench Driver " + std::to_wstring(d % kDrivers);
    std::wstring environment = d < kDrivers ? L"Windows x64" : L"Windows NT x86";
    std::wstring path = L"C:\\windows\\system32\\kernel32.dll";
    DRIVER_INFO_6W info = {};
    info.cVersion = 3;
    info.pName = name.data();
    info.pEnvironment = environment.data();
    info.pDriverPath = info.pDataFile = info.pConfigFile = path.data();
    Platform().AddPrinterDriverExW(server, 6, reinterpret_cast<BYTE*>(&info), 0);
  }
  for (const testing::FakePrinter& printer : source.printers) {
    std::wstring name = printer.name, driver = printer.driverName, port = printer.portName;
    PRINTER_INFO_2W info = {};
    info.pPrinterName = name.data();
    info.pDriverName = driver.data();
    info.pPortName = port.data();
    info.pPrintProcessor = const_cast<wchar_t*>(L"winprint");
    UniquePrinter added(Platform().AddPrinterW(server, 2, reinterpret_cast<BYTE*>(&info)));
  }
  return bench::Seconds(start, bench::Now());
}

}  // namespace

int main() {
  FakeSpooler spooler;
  MakeSource(spooler.machines[L"\\\\OLDSRV"]);
  spooler.machines[L"\\\\NEWSRV"].copyCallDelayMs = kCallMs;
  spooler.machines[L"\\\\SERIAL"].copyCallDelayMs = kCallMs;
  spooler.recordCalls = false;
  spooler.Install();

  const LARGE_INTEGER start = bench::Now();
  CopyListing from, to;
  std::wstring why, problem, folder;
  DWORD error = ListForCopy(L"OLDSRV", from, why);
  if (error == 0) error = ListForCopy(L"NEWSRV", to, why);
  CopyPlan plan;
  if (error == 0) {
    const PrinterSelection all = [](std::wstring_view) { return true; };
    ReadCopyFacts(from, to, all);
    plan = PlanCopy(from.Side(), to.Side(), L"NEWSRV", all);
    error = CheckEnvironments(to, L"NEWSRV", plan, why);
  }
  const double planned = bench::Seconds(start, bench::Now());
  if (error == 0) {
    error = TakeSnapshot(SnapshotPlan(*from.inventory, plan, nullptr),
                         bench::TempFile(L"kestrun-bench-copy"), folder, problem);
  }
  const double saved = bench::Seconds(start, bench::Now());
  RestorePlan restore;
  if (error == 0 && !ReadRestorePlan(folder, restore, problem, L"NEWSRV"))
    error = ERROR_INVALID_DATA;
  if (error == 0 && !PrepareRestore(restore, error, why)) error = error ? error : ERROR_GEN_FAILURE;
  if (error == 0) ExecuteRestore(restore);
  const double copy = bench::Seconds(start, bench::Now());
  if (error != 0) {
    std::fwprintf(stderr, L"the copy failed: %ls %ls (%lu)\n", why.c_str(), problem.c_str(), error);
    return 1;
  }
  size_t made = 0;
  for (const auto* results :
       {&restore.packages, &restore.ports, &restore.drivers, &restore.printers}) {
    for (const RestoreResult& result : *results) made += result.outcome == RestoreOutcome::Restored;
  }
  const double serial = OneAfterAnother(spooler.machines[L"\\\\OLDSRV"]);
  std::fprintf(stderr,
               "Copy of %d printers, %d drivers in two environments from two packages and %d "
               "TCP/IP ports, each port, driver and printer "
               "call %lu ms late:\n  the same calls one after another: %.2f s\n  Kestrun's copy "
               "(listings %.2f s, snapshot %.2f s, restore %.2f s; %zu objects made): %.2f s = "
               "%.2f times (limit 0.5)\n",
               kPrinters, kDrivers, kPrinters, kCallMs, serial, planned, saved - planned,
               copy - saved, made, copy, copy / serial);
  RemoveTree(folder);
  return copy <= 0.5 * serial ? 0 : 1;
}
