// The copy plan's rules, from two machines of the fake spooler as a copy
// lists them.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <tuple>
#include <utility>
#include <string>
#include <vector>

#include "inventory/copy_plan.h"
#include "inventory/deletion.h"
#include "inventory/driver_inventory.h"
#include "inventory/printers.h"
#include "inventory/restore.h"
#include "inventory/snapshot.h"
#include "inventory/spooler_answer.h"
#include "tests/support/fake_spooler.h"
#include "tests/support/test_paths.h"

namespace kestrun {
namespace {

using testing::FakeDriver;
using testing::FakePort;
using testing::FakePrinter;

void List(const wchar_t* machine, CopyListing& listed) {
  std::wstring why;
  ASSERT_EQ(ListForCopy(machine, listed, why), 0u) << why;
}

FakePort TcpPort(const std::wstring& name, const std::wstring& host) {
  return {name, L"Standard TCP/IP Port", host};
}

TEST(CopyPlan, EachPrinterIsCopiedAlreadyThereOrNotCopiedWithWhatItBrings) {
  testing::FakeSpooler spooler;
  testing::FakeMachine& source = spooler.machines[L"\\\\OLD"];
  testing::FakeMachine& target = spooler.machines[L"\\\\NEW"];
  const std::wstring acme = L"Acme PCL6";
  FakeDriver x64 = testing::RichDriver(acme, L"Acme");
  FakeDriver x86 = x64;
  x86.environment = L"Windows NT x86";
  FakeDriver fabrikam = testing::RichDriver(L"Fabrikam", L"Fabrikam");
  fabrikam.environment = L"Windows NT x86";
  source.drivers = {x64, x86, testing::InboxClassDriver(L"Microsoft IPP Class Driver"), fabrikam,
                    testing::RichDriver(L"Rival", L"Rival Inc")};
  FakePort lpr = TcpPort(L"LPR_1", L"10.0.0.5");
  lpr.protocol = 2;
  lpr.portNumber = 0;  // the monitor leaves LPR's own number out
  lpr.queue = L"lp";
  source.ports = {TcpPort(L"IP_1", L"10.0.0.1"),
                  TcpPort(L"IP_2", L"10.0.0.2"),
                  TcpPort(L"IP_3", L"10.0.0.3"),
                  TcpPort(L"\\\\evil\\share", L"10.0.0.4"),
                  TcpPort(L"IP_9", L"\\\\evil\\share\\x"),
                  lpr,
                  {L"WSD-1", L"WSD Port"},
                  {L"COM9:", L"Local Port"}};
  FakePrinter hr{L"HR Laser", acme, L"IP_1"};
  hr.shareName = L"HRLaser";
  FakePrinter taken{L"Taken", acme, L"IP_1"};
  taken.shareName = L"shared";
  FakePrinter processor{L"Proc", acme, L"IP_1"};
  processor.printProcessor = L"AcmeProc";
  source.printers = {hr,
                     taken,
                     {L"Lobby", acme, L"WSD-1"},
                     {L"Ipp", L"Microsoft IPP Class Driver", L"IP_1"},
                     {L"There", acme, L"IP_1"},
                     {L"Fab", L"Fabrikam", L"IP_2"},
                     {L"Serial", acme, L"COM9:"},
                     {L"Skipped", acme, L"IP_1"},
                     {L"Pool", acme, L"IP_1, IP_2"},
                     {L"Half pool", acme, L"IP_1,WSD-1"},
                     processor,
                     {L"Different", acme, L"IP_1"},
                     {L"Elsewhere", acme, L"IP_3"},
                     {L"Path port", acme, L"\\\\evil\\share"},
                     {L"Path host", acme, L"IP_9"},
                     {L"Bell\a", acme, L"IP_1"},
                     {L"Vendor", L"Rival", L"IP_1"},
                     {L"Lpr", acme, L"LPR_1"}};
  target.drivers = {testing::RichDriver(L"Rival", L"Other Co")};
  target.ports = {{L"LPT1:", L"Local Port"},
                  TcpPort(L"IP_3", L"10.200.200.200"),
                  TcpPort(L"IP_1", L"10.0.0.1")};
  FakePrinter other{L"Other", acme, L"LPT1:"};
  other.shareName = L"SHARED";
  target.printers = {{L"there", acme, L"IP_1"}, other, {L"different", L"Gone Driver", L"LPT1:"}};
  spooler.Install();
  CopyListing from, to;
  List(L"OLD", from);
  List(L"NEW", to);
  const PrinterSelection selects = [](std::wstring_view name) { return name != L"Skipped"; };
  ReadCopyFacts(from, to, selects);
  const CopyPlan plan = PlanCopy(from.Side(), to.Side(), L"NEW", selects);

  const struct {
    const wchar_t* printer;
    CopyAction action;
    const wchar_t* why;
  } expected[] = {
      {L"HR Laser", CopyAction::Copy, L""},
      {L"Taken", CopyAction::NotCopied, L"share name shared is used by Other on NEW"},
      {L"Lobby", CopyAction::NotCopied, L"WSD port: add the device on the new server"},
      {L"Ipp", CopyAction::NotCopied,
       L"its driver Microsoft IPP Class Driver is Windows' own and NEW does not have it"},
      {L"There", CopyAction::AlreadyThere, L""},
      {L"Fab", CopyAction::NotCopied, L"the source has no Windows x64 copy of its driver Fabrikam"},
      {L"Serial", CopyAction::NotCopied, L"port COM9: (Local): add it on the new server"},
      {L"Pool", CopyAction::Copy, L""},
      {L"Half pool", CopyAction::NotCopied,
       L"pooled printer, port WSD-1 cannot be copied (WSD port: add the device on the new "
       L"server)"},
      {L"Proc", CopyAction::NotCopied, L"print processor AcmeProc is not on NEW"},
      {L"Different", CopyAction::NotCopied,
       L"a different printer of that name is on NEW (Gone Driver, port LPT1:)"},
      {L"Elsewhere", CopyAction::NotCopied,
       L"port IP_3 on NEW points at 10.200.200.200, not 10.0.0.3"},
      {L"Path port", CopyAction::NotCopied, L"port \\\\evil\\share is not a TCP/IP port name"},
      {L"Path host", CopyAction::NotCopied,
       L"port IP_9 is not a TCP/IP port name: its host \\\\evil\\share\\x is not a host name or "
       L"an IP address"},
      {L"Bell\a", CopyAction::NotCopied,
       L"its record cannot be saved: its name holds a control character"},
      {L"Vendor", CopyAction::NotCopied,
       L"NEW has another driver of that name (Other Co, 10.0.0.1)"},
      {L"Lpr", CopyAction::Copy, L""},
  };
  ASSERT_EQ(plan.printers.size(), std::size(expected));
  for (size_t p = 0; p < plan.printers.size(); ++p) {
    EXPECT_EQ(plan.printers[p].shown, expected[p].printer);
    EXPECT_EQ(plan.printers[p].action, expected[p].action) << expected[p].printer;
    EXPECT_EQ(plan.printers[p].why, expected[p].why);
    // A printer that is not copied brings nothing.
    if (expected[p].action != CopyAction::Copy) {
      EXPECT_TRUE(plan.printers[p].drivers.empty() && plan.printers[p].ports.empty())
          << expected[p].printer;
    }
  }
  // Only what copied printers bring is planned: Acme in both environments
  // (32-bit clients too), never Fabrikam's x86 copy nor the refused ports.
  std::vector<std::wstring> drivers, ports;
  for (const CopyDriver& driver : plan.drivers)
    drivers.push_back(driver.name + L"|" + driver.environment);
  for (const CopyPort& port : plan.ports) {
    ports.push_back(port.name + L"|" + (port.action == CopyAction::Copy ? L"copy" : L"there") +
                    L"|" + std::to_wstring(port.settings.portNumber));
  }
  EXPECT_EQ(drivers,
            (std::vector<std::wstring>{acme + L"|Windows x64", acme + L"|Windows NT x86"}));
  // IP_1 is on the target, set alike; the pool brings IP_2; LPR keeps 515.
  EXPECT_EQ(ports,
            (std::vector<std::wstring>{L"IP_1|there|9100", L"IP_2|copy|9100", L"LPR_1|copy|515"}));
  EXPECT_EQ(plan.printers[7].ports.size(), 2u) << "a pool brings every port";
  EXPECT_EQ(plan.printers[4].portName, L"IP_1") << "kept lines show the target's facts";

  // A second source is planned against the target as the first leaves it.
  CopyAdditions added;
  AddPlannedObjects(plan, added);
  testing::FakeMachine& second = spooler.machines[L"\\\\OLD2"];
  second.drivers = {x64};
  second.ports = {TcpPort(L"IP_1", L"10.0.0.1"), TcpPort(L"IP_2", L"10.9.9.9")};
  FakePrinter dup{L"Dup", acme, L"IP_1"};
  dup.shareName = L"hrlaser";
  second.printers = {{L"HR Laser", acme, L"IP_1"}, dup, {L"Moved", acme, L"IP_2"}};
  CopyListing from2, to2;
  List(L"OLD2", from2);
  List(L"NEW", to2);
  ReadCopyFacts(from2, to2, selects);
  CopySide planned = to2.Side();
  planned.added = &added;
  const CopyPlan next = PlanCopy(from2.Side(), planned, L"NEW", selects);
  testing::FakeSpooler::Uninstall();
  ASSERT_EQ(next.printers.size(), 3u);
  EXPECT_EQ(next.printers[0].action, CopyAction::AlreadyThere);
  EXPECT_EQ(next.printers[1].why, L"share name hrlaser is used by HR Laser on NEW");
  EXPECT_EQ(next.printers[2].why, L"port IP_2 on NEW points at 10.0.0.2, not 10.9.9.9");
  EXPECT_TRUE(next.drivers.empty() && next.ports.empty());
}

}  // namespace
}  // namespace kestrun

namespace kestrun {
namespace {

// Makes a Unix symbolic link (Wine's own CreateSymbolicLinkW makes none).
// Wine's start now and then answers 9009 (not found) under load: tried again.
void UnixLink(const std::wstring& target, const std::wstring& link) {
  int status = -1;
  for (int attempt = 0; attempt < 3 && status != 0; ++attempt) {
    status = _wsystem((L"start /wait /unix /bin/ln -sfn " + target + L" " + link).c_str());
  }
  ASSERT_EQ(status, 0);
}

TEST(CopyPlan, ASnapshotNeverFollowsALinkOutOfAPackageNorDoesAnyCleanUp) {
  testing::FakeSpooler spooler;
  spooler.machines[L"\\\\OLD"] = {};
  spooler.Install();
  ::CreateDirectoryW(L"Z:\\tmp\\kestrun-victim", nullptr);
  testing::WriteFileBytes(L"Z:\\tmp\\kestrun-victim\\precious.txt", "keep");
  DeletionPlan plan;
  plan.targetName = L"\\\\OLD";
  plan.isRemote = plan.removePackages = true;
  plan.withSession = false;
  plan.packages.push_back({});
  plan.packages[0].infPath = testing::FakeSpooler::AddStorePackage(L"\\\\OLD", L"acme.inf_amd64_1",
                                                                   "[Version]\r\n", 1, 10);
  plan.packages[0].environment = L"Windows x64";
  wchar_t prefix[MAX_PATH] = {};
  ::GetEnvironmentVariableW(L"WINEPREFIX", prefix, MAX_PATH);
  UnixLink(L"/tmp/kestrun-victim", std::wstring(prefix) + L"/dosdevices/unc/OLD/admin$/System32/" +
                                       L"DriverStore/FileRepository/acme.inf_amd64_1/ext");
  std::wstring folder, problem;
  const std::wstring root = testing::MakeScratchDirectory(L"linked-package");
  EXPECT_EQ(TakeSnapshot(plan, root, folder, problem), static_cast<DWORD>(ERROR_INVALID_DATA));
  EXPECT_NE(problem.find(L"holds a link: ext"), std::wstring::npos) << problem;
  EXPECT_EQ(::GetFileAttributesW(folder.c_str()), INVALID_FILE_ATTRIBUTES) << "a partial folder";
  // A clean-up of a folder holding a link leaves what the link leads to.
  ::CreateDirectoryW(L"Z:\\tmp\\kestrun-links", nullptr);
  UnixLink(L"/tmp/kestrun-victim", L"/tmp/kestrun-links/victim");
  RemoveTree(L"Z:\\tmp\\kestrun-links");
  EXPECT_EQ(testing::ReadFileBytes(L"Z:\\tmp\\kestrun-victim\\precious.txt"), "keep");
  testing::FakeSpooler::Uninstall();
}

// A crafted snapshot of SRV: a printer goes back only onto a port that
// prints where the snapshot's did, a port is made only for a printer that
// goes back, and what the spooler would load elsewhere is refused.
TEST(CopyPlan, ARestoreAttachesOnlyMatchingPortsAndReadsItsFolderThroughNoLink) {
  testing::FakeSpooler spooler;
  testing::FakeMachine& srv = spooler.machines[L"\\\\SRV"];
  srv.drivers = {testing::RichDriver(L"Acme", L"Acme")};
  srv.ports = {TcpPort(L"IP_1", L"10.0.0.9"), TcpPort(L"IP_2", L"10.0.0.6")};
  spooler.Install();
  Snapshot crafted;
  crafted.machine = L"SRV";
  crafted.targetName = L"\\\\SRV";
  crafted.isRemote = true;
  crafted.taken = L"2026-12-10T00:00:00Z";
  const wchar_t* const evil = L"C:\\Windows\\System32\\evil.dll";
  for (const auto& [name, host] : {std::pair{L"IP_1", L"10.0.0.5"},
                                   {L"IP_2", L"10.0.0.6"},
                                   {L"IP_3", L"10.0.0.7"},
                                   {L"IP_4", L"10.0.0.4"},
                                   {evil, L"h"}}) {
    crafted.ports.push_back(PortRecordOf({name, host, 1, 9100}));
  }
  for (const auto& [name, port, page] : {std::tuple{L"Lobby", L"IP_1", L""},
                                         {L"Hall", L"IP_2", L""},
                                         {L"Evil", evil, L""},
                                         {L"Sep", L"IP_4", L"\\\\attacker\\share\\x.sep"},
                                         {L"Plain", L"IP_3", L"C:\\Windows\\System32\\pcl.sep"}}) {
    SnapshotPrinter printer;
    printer.name = name;
    printer.portName = port;
    printer.sepFile = page;
    printer.driverName = L"Acme";
    crafted.printers.push_back(printer);
  }
  const std::wstring folder = L"Z:\\tmp\\kestrun-crafted-ports";
  RemoveTree(folder);
  ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
  testing::WriteFileBytes(folder + L"\\manifest.txt", ManifestText(crafted));

  // Reached through a link, the folder is refused; named itself, it is held.
  RestorePlan plan;
  std::wstring problem;
  UnixLink(L"/tmp/kestrun-crafted-ports", L"/tmp/kestrun-snapshot-link");
  EXPECT_FALSE(ReadRestorePlan(L"Z:\\tmp\\kestrun-snapshot-link", plan, problem));
  EXPECT_NE(problem.find(L"kestrun-snapshot-link is reached through a link"), std::wstring::npos)
      << problem;
  ASSERT_TRUE(ReadRestorePlan(folder, plan, problem)) << problem;
  EXPECT_FALSE(::MoveFileW(folder.c_str(), (folder + L"-swapped").c_str())) << "a held folder";
  DWORD error = 0;
  ASSERT_TRUE(PrepareRestore(plan, error, problem)) << problem;
  std::vector<std::wstring> refused;
  for (const RestoreResult& result : plan.printers) refused.push_back(result.refused);
  for (const RestoreResult& result : plan.ports) refused.push_back(result.refused);
  EXPECT_EQ(refused, (std::vector<std::wstring>{
                         L"port IP_1 on SRV points at 10.0.0.9, not 10.0.0.5", L"",
                         L"port C:\\Windows\\System32\\evil.dll is not made",
                         L"its separator page \\\\attacker\\share\\x.sep is not in the machine's "
                         L"System32 folder",
                         L"", L"", L"", L"", L"no printer restored uses it",
                         L"it is not a TCP/IP port's name and host"}));
  ExecuteRestore(plan);
  EXPECT_EQ(spooler.PrinterNames(L"\\\\SRV"), (std::vector<std::wstring>{L"Hall", L"Plain"}));
  ASSERT_EQ(srv.ports.size(), 3u);
  EXPECT_EQ(srv.ports[2].name + L" " + srv.ports[2].host, L"IP_3 10.0.0.7");
  testing::FakeSpooler::Uninstall();
}

// A package holding a link stays in the store, said why; the others go.
TEST(CopyPlan, ADeletionKeepsAPackageHoldingALinkAndRemovesTheRest) {
  testing::FakeSpooler spooler;
  testing::FakeMachine& old = spooler.machines[L"\\\\OLD"];
  for (const wchar_t* name : {L"linked", L"plain"}) {
    FakeDriver driver = testing::RichDriver(name, L"Acme");
    driver.infPath = testing::FakeSpooler::AddStorePackage(
        L"\\\\OLD", std::wstring(name) + L".inf_amd64_1", "[Version]\r\n", 1, 10);
    old.drivers.push_back(driver);
  }
  spooler.Install();
  wchar_t prefix[MAX_PATH] = {};
  ::GetEnvironmentVariableW(L"WINEPREFIX", prefix, MAX_PATH);
  UnixLink(L".", std::wstring(prefix) + L"/dosdevices/unc/OLD/admin$/System32/DriverStore/" +
                     L"FileRepository/linked.inf_amd64_1/loop");
  DeletionPlan plan;
  plan.targetName = L"\\\\OLD";
  plan.isRemote = plan.removePackages = true;
  plan.withSession = false;
  for (const FakeDriver& driver : old.drivers) {
    plan.drivers.push_back({*driver.name, *driver.environment});
    plan.drivers.back().version = driver.type;
  }
  DWORD error = 0;
  ASSERT_TRUE(PrepareDeletion(plan, error)) << error;
  ASSERT_EQ(plan.packages.size(), 1u);
  EXPECT_NE(plan.packages[0].infPath.find(L"plain.inf"), std::wstring::npos);
  ASSERT_EQ(plan.sharedPackages.size(), 1u);
  // Wine may list a link to its own folder under a made-up short name.
  EXPECT_EQ(plan.sharedPackages[0].keptWhy.rfind(L"holds a link: ", 0), 0u);
  EXPECT_NE(plan.sharedPackages[0].infPath.find(L"linked.inf"), std::wstring::npos);
  testing::FakeSpooler::Uninstall();
}

}  // namespace
}  // namespace kestrun
