#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/bounded_text.h"
#include "inventory/deletion.h"
#include "inventory/field_text.h"
#include "inventory/restore.h"
#include "inventory/snapshot.h"
#include "tests/support/fake_spooler.h"
#include "tests/support/test_paths.h"

namespace kestrun {
namespace {

using testing::FakeDriver;
using testing::FakePrinter;
using testing::FakeSpooler;

constexpr wchar_t kX64[] = L"Windows x64";
constexpr wchar_t kX86[] = L"Windows NT x86";

FakeDriver Driver(const std::wstring& name, const std::wstring& environment = kX64) {
  FakeDriver d = testing::RichDriver(name, L"Contoso");
  d.environment = environment;
  return d;
}

class Deletion : public ::testing::Test {
 protected:
  void SetUp() override {
    spooler.machines[L""] = {};
    spooler.machines[L"\\\\SRV"] = {};
    spooler.Install();
    remoteSession = &session;
    lastDeleteError = 0;
    anyDriverDeleted = false;
    Target(L"");
  }

  void TearDown() override {
    // Every printer handle the program opened was closed, once.
    EXPECT_EQ(spooler.OpenPrinterCount(), 0u);
    EXPECT_EQ(spooler.BadPrinterCloses(), 0);
    remoteSession = nullptr;
    FakeSpooler::Uninstall();
  }

  // The target of the listing the ticked rows come from ("SRV", or "" for
  // the local machine).
  void Target(const std::wstring& machine) {
    plan = DeletionPlan{};
    plan.targetName = L"\\\\" + machine;
    plan.isRemote = !machine.empty();
  }
  void Tick(const std::wstring& name, const std::wstring& environment = kX64) {
    plan.drivers.push_back(PlannedDriver{name, environment});
    plan.drivers.back().version = 3;  // the fake's drivers are Type 3
  }

  testing::FakeMachine& Local() { return spooler.machines[L""]; }
  testing::FakeMachine& Remote() { return spooler.machines[L"\\\\SRV"]; }

  // Reads the printers, then deletes as the user confirmed; the refresh is
  // recorded among the calls.
  bool Run() {
    DWORD error = 0;
    if (!PrepareDeletion(plan, error)) {
      lastDeleteError = error;
      return false;
    }
    return ExecuteDeletion(plan, [this] {
      ++refreshes;
      std::lock_guard<std::mutex> guard(spooler.lock);
      spooler.calls.push_back(L"(refresh)");
    });
  }

  // The calls of one kind, or all of them when `prefix` is empty.
  std::vector<std::wstring> Calls(const std::wstring& prefix = L"") {
    return spooler.CallsStartingWith(prefix);
  }

  FakeSpooler spooler;
  RemoteSession session;
  DeletionPlan plan;
  int refreshes = 0;
};

TEST_F(Deletion, UnusedDriverGoesAloneOnTheLocalSpooler) {
  Local().drivers = {Driver(L"Contoso A"), Driver(L"Contoso B")};
  Local().printers = {FakePrinter{L"Office", L"Contoso B"}};
  Tick(L"Contoso A");

  EXPECT_TRUE(Run());
  EXPECT_TRUE(anyDriverDeleted);
  EXPECT_EQ(lastDeleteError, 0u);
  EXPECT_EQ(spooler.DriverKeys(L""), std::vector<std::wstring>{L"Contoso B|Windows x64"});
  EXPECT_EQ(spooler.PrinterNames(L""), std::vector<std::wstring>{L"Office"});

  // The local spooler is reached by a null name and needs no session; the
  // local machine's environment is its processor's.
  EXPECT_EQ(plan.serverEnvironment, L"Windows x64");
  const auto calls = Calls();
  ASSERT_EQ(calls.size(), 4u);
  // The local machine's own printers and the user's connections, as the listing reads them.
  EXPECT_EQ(calls[0], L"EnumPrinters flags=6 (null) 2 0");
  EXPECT_EQ(calls[1].rfind(L"EnumPrinters flags=6 (null) 2 ", 0), 0u);
  EXPECT_NE(calls[1], calls[0]);
  // Its files that no other driver uses go, and only its version (Type 3).
  EXPECT_EQ(calls[2], L"DeletePrinterDriverEx (null) Windows x64 Contoso A flags=3 version=3");
  EXPECT_EQ(calls[3], L"(refresh)");
  EXPECT_EQ(refreshes, 1);
}

TEST_F(Deletion, EveryPrinterOfTheDriverGoesThenTheDriver) {
  Local().drivers = {Driver(L"Contoso Shared")};
  Local().printers = {FakePrinter{L"First", L"Contoso Shared"},
                      FakePrinter{L"Second", L"Contoso Shared"}};
  Tick(L"Contoso Shared");

  EXPECT_TRUE(Run());
  EXPECT_TRUE(anyDriverDeleted);
  EXPECT_TRUE(spooler.PrinterNames(L"").empty());
  EXPECT_TRUE(spooler.DriverKeys(L"").empty());

  const std::vector<std::wstring> printerCalls = {
      L"OpenPrinter First access=983052 datatype=(null) devmode=(null)",
      L"DeletePrinter First",
      L"ClosePrinter First",
      L"OpenPrinter Second access=983052 datatype=(null) devmode=(null)",
      L"DeletePrinter Second",
      L"ClosePrinter Second",
  };
  std::vector<std::wstring> seen;
  for (const auto& call : Calls()) {
    if (call.find(L"Printer ") != std::wstring::npos) seen.push_back(call);
  }
  EXPECT_EQ(seen, printerCalls);
}

TEST_F(Deletion, OneNameInTwoEnvironmentsLosesItsPrinterOnceAndBothDriversGo) {
  Local().drivers = {Driver(L"Contoso Dual", kX64), Driver(L"Contoso Dual", kX86)};
  Local().printers = {FakePrinter{L"Office", L"Contoso Dual"}};
  Tick(L"Contoso Dual", kX86);
  Tick(L"Contoso Dual", kX64);

  EXPECT_TRUE(Run());
  EXPECT_TRUE(spooler.PrinterNames(L"").empty());
  EXPECT_TRUE(spooler.DriverKeys(L"").empty());
  EXPECT_EQ(Calls(L"EnumPrinters").size(), 2u);
  EXPECT_EQ(Calls(L"OpenPrinter").size(), 1u);
  EXPECT_EQ(Calls(L"DeletePrinterDriverEx").size(), 2u);
  // The x86 driver is one kept for clients: no printer runs it.
  EXPECT_TRUE(plan.drivers[0].printers.empty());
  EXPECT_EQ(plan.drivers[1].printers, std::vector<size_t>{0});
}

TEST_F(Deletion, ADriverOfAnotherEnvironmentNeverTakesAPrinter) {
  Local().drivers = {Driver(L"Contoso Dual", kX64), Driver(L"Contoso Dual", kX86)};
  Local().printers = {FakePrinter{L"Office", L"Contoso Dual"}};
  Tick(L"Contoso Dual", kX86);

  EXPECT_TRUE(Run());
  EXPECT_EQ(spooler.PrinterNames(L""), std::vector<std::wstring>{L"Office"});
  EXPECT_EQ(spooler.DriverKeys(L""), std::vector<std::wstring>{L"Contoso Dual|Windows x64"});
  EXPECT_TRUE(Calls(L"OpenPrinter").empty());
}

TEST_F(Deletion, PrinterMatchesTheDriverNameAsTheSpoolerDoesWhateverItsLetterCase) {
  // The spooler compares driver names without case: a printer naming the
  // driver in other letters uses it, and goes first.
  Local().drivers = {Driver(L"Contoso Laser")};
  Local().printers = {FakePrinter{L"Office", L"CONTOSO laser"}};
  Tick(L"Contoso Laser");

  EXPECT_TRUE(Run());
  EXPECT_EQ(Calls(L"OpenPrinter").size(), 1u);
  EXPECT_TRUE(spooler.PrinterNames(L"").empty());
  EXPECT_TRUE(spooler.DriverKeys(L"").empty());
}

TEST_F(Deletion, AnotherServersPrinterKeepsItsDriverAndTheTargetsOwnPrinters) {
  Target(L"SRV");
  spooler.machines[L"\\\\OTHER"].printers = {FakePrinter{L"Accounting", L"Contoso A"}};
  Remote().drivers = {Driver(L"Contoso A"), Driver(L"Contoso A", kX86)};
  Remote().printers = {FakePrinter{L"\\\\OTHER\\Accounting", L"Contoso A"},
                       FakePrinter{L"Office", L"Contoso A"}};
  Tick(L"Contoso A");
  Tick(L"Contoso A", kX86);  // for clients: no printer runs it

  EXPECT_FALSE(Run());
  EXPECT_EQ(spooler.PrinterNames(L"\\\\SRV").size(), 2u);
  EXPECT_EQ(spooler.DriverKeys(L"\\\\SRV"), std::vector<std::wstring>{L"Contoso A|Windows x64"});
  ASSERT_EQ(plan.kept.size(), 1u);
  EXPECT_EQ(plan.kept[0].name, L"\\\\OTHER\\Accounting");
  EXPECT_EQ(plan.kept[0].reason, KeptReason::OnAnotherServer);
  EXPECT_EQ(plan.drivers[0].error, static_cast<DWORD>(ERROR_PRINTER_DRIVER_IN_USE));
}

TEST_F(Deletion, AServerThatDoesNotTellItsEnvironmentLosesNoPrinter) {
  Target(L"SRV");
  Remote().architecture.reset();  // as Wine's spooler: the value is not there
  Remote().drivers = {Driver(L"Contoso A"), Driver(L"Contoso B")};
  Remote().printers = {FakePrinter{L"Office", L"Contoso A"}};
  Tick(L"Contoso A");
  Tick(L"Contoso B");

  EXPECT_FALSE(Run());
  EXPECT_TRUE(Calls(L"OpenPrinter \\\\SRV\\").empty());
  EXPECT_EQ(plan.environmentError, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  ASSERT_EQ(plan.kept.size(), 1u);
  EXPECT_EQ(plan.kept[0].reason, KeptReason::EnvironmentUnknown);
  // The unused driver still goes; the used one stays in use.
  EXPECT_EQ(spooler.DriverKeys(L"\\\\SRV"), std::vector<std::wstring>{L"Contoso A|Windows x64"});
  EXPECT_EQ(plan.drivers[0].error, static_cast<DWORD>(ERROR_PRINTER_DRIVER_IN_USE));
}

TEST_F(Deletion, NothingTickedStillRefreshesAndSucceeds) {
  Local().drivers = {Driver(L"Kept")};
  anyDriverDeleted = true;  // from an earlier run

  EXPECT_TRUE(Run());
  EXPECT_FALSE(anyDriverDeleted);
  EXPECT_TRUE(Calls(L"DeletePrinterDriverEx").empty());
  EXPECT_EQ(refreshes, 1);
}

TEST_F(Deletion, AStepRefusedBeforeItStartsEndsTheRunAndTheCommandLinesPlanKeepsNoLastOutcome) {
  Local().drivers = {Driver(L"Contoso A"), Driver(L"Contoso B")};
  Local().printers = {FakePrinter{L"Office", L"Contoso A"}};
  Tick(L"Contoso A");
  Tick(L"Contoso B");
  std::vector<std::pair<bool, size_t>> steps;
  plan.beforeStep = [&steps](const DeletionStep& step) {
    steps.emplace_back(step.package, step.index);
    return steps.size() < 2;  // the printer goes, then no driver is tried
  };
  plan.keepsLastOutcome = false;
  anyDriverDeleted = true;
  lastDeleteError = ERROR_ACCESS_DENIED;

  EXPECT_FALSE(Run());
  EXPECT_EQ(steps, (std::vector<std::pair<bool, size_t>>{{false, 0}, {false, 0}, {false, 1}}));
  EXPECT_TRUE(plan.printers[0].deleted);
  EXPECT_EQ(plan.drivers[0].error, static_cast<DWORD>(ERROR_CANCELLED));
  EXPECT_EQ(plan.drivers[1].error, static_cast<DWORD>(ERROR_CANCELLED));
  EXPECT_TRUE(Calls(L"DeletePrinterDriverEx").empty());
  EXPECT_TRUE(anyDriverDeleted);
  EXPECT_EQ(lastDeleteError, static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(Deletion, RemoteTargetWorksInsideItsSessionAndDropsItBeforeTheRefresh) {
  Target(L"SRV");
  Remote().drivers = {Driver(L"Contoso A")};
  Remote().printers = {FakePrinter{L"Office", L"Contoso A"}};
  Tick(L"Contoso A");

  EXPECT_TRUE(Run());
  EXPECT_TRUE(spooler.PrinterNames(L"\\\\SRV").empty());
  EXPECT_TRUE(spooler.DriverKeys(L"\\\\SRV").empty());
  const auto calls = Calls();
  ASSERT_EQ(calls.size(), 12u);
  EXPECT_EQ(calls[0].rfind(L"WNetAddConnection2 \\\\SRV\\IPC$ ", 0), 0u);
  EXPECT_EQ(calls[1], L"EnumPrinters flags=10 \\\\SRV 2 0");
  EXPECT_EQ(calls[3].rfind(L"OpenPrinter \\\\SRV access=0", 0), 0u);
  EXPECT_EQ(calls[4].rfind(L"GetPrinterDataEx \\\\SRV key= Architecture ", 0), 0u);
  EXPECT_EQ(calls[5], L"ClosePrinter \\\\SRV");
  EXPECT_EQ(calls[6], L"OpenPrinter \\\\SRV\\Office access=983052 datatype=(null) devmode=(null)");
  EXPECT_EQ(calls[7], L"DeletePrinter Office");
  EXPECT_EQ(calls[8], L"ClosePrinter Office");
  EXPECT_EQ(calls[9], L"DeletePrinterDriverEx \\\\SRV Windows x64 Contoso A flags=3 version=3");
  EXPECT_EQ(calls[10], L"WNetCancelConnection2 \\\\SRV\\IPC$ flags=0 force=1");
  EXPECT_EQ(calls[11], L"(refresh)");
}

TEST_F(Deletion, FailedRemoteEntryKeepsTheSessionForTheRestAndDropsItOnceBeforeTheRefresh) {
  Target(L"SRV");
  Remote().drivers = {Driver(L"Held"), Driver(L"Free")};
  Remote().printers = {FakePrinter{L"Office", L"Held"}};
  Remote().printers[0].openError = ERROR_ACCESS_DENIED;
  Tick(L"Held");
  Tick(L"Free");

  EXPECT_FALSE(Run());
  EXPECT_TRUE(anyDriverDeleted);
  EXPECT_EQ(lastDeleteError, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(spooler.DriverKeys(L"\\\\SRV"), std::vector<std::wstring>{L"Held|Windows x64"});
  const auto calls = Calls();
  ASSERT_EQ(Calls(L"WNetCancelConnection2").size(), 1u);
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls[calls.size() - 2].rfind(L"WNetCancelConnection2", 0), 0u);
  EXPECT_EQ(calls.back(), L"(refresh)");
}

TEST_F(Deletion, SessionThatCannotBeOpenedStopsEverything) {
  Target(L"SRV");
  Remote().connectResult = ERROR_BAD_NETPATH;
  Remote().drivers = {Driver(L"Contoso A")};
  Tick(L"Contoso A");

  EXPECT_FALSE(Run());
  EXPECT_EQ(lastDeleteError, static_cast<DWORD>(ERROR_BAD_NETPATH));
  EXPECT_EQ(Calls().size(), 1u);  // the connection attempt alone
  EXPECT_EQ(refreshes, 0);
  EXPECT_EQ(spooler.DriverKeys(L"\\\\SRV").size(), 1u);
}

TEST_F(Deletion, UnreadablePrinterListStopsBeforeAnyDeletion) {
  const struct {
    std::wstring machine;
    DWORD firstError;
    DWORD secondError;
    DWORD expected;
    size_t cancels;
  } cases[] = {
      {L"SRV", ERROR_ACCESS_DENIED, 0, ERROR_ACCESS_DENIED, 1},
      {L"SRV", 0, RPC_S_CALL_FAILED, RPC_S_CALL_FAILED, 1},
      {L"", RPC_S_SERVER_UNAVAILABLE, 0, RPC_S_SERVER_UNAVAILABLE, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.machine + L" " + std::to_wstring(c.expected));
    spooler.calls.clear();
    Target(c.machine);
    auto& machine = c.machine.empty() ? Local() : Remote();
    machine.drivers = {Driver(L"Contoso A")};
    machine.printers = {FakePrinter{L"Office", L"Contoso A"}};
    machine.printerListError = c.firstError;
    machine.printerListSecondError = c.secondError;
    Tick(L"Contoso A");

    EXPECT_FALSE(Run());
    EXPECT_EQ(lastDeleteError, c.expected);
    EXPECT_EQ(refreshes, 0);
    EXPECT_EQ(Calls(L"WNetCancelConnection2").size(), c.cancels);
    EXPECT_FALSE(plan.sessionOpen);
    EXPECT_TRUE(Calls(L"OpenPrinter").empty());
    EXPECT_TRUE(Calls(L"DeletePrinterDriverEx").empty());
  }
}

TEST_F(Deletion, PrinterThatCannotBeOpenedOrDeletedKeepsItsCodeAndItsDriver) {
  Local().drivers = {Driver(L"Locked"), Driver(L"Stuck")};
  Local().printers = {FakePrinter{L"Locked One", L"Locked"}, FakePrinter{L"Stuck One", L"Stuck"}};
  Local().printers[0].openError = ERROR_ACCESS_DENIED;
  Local().printers[1].deleteError = ERROR_PRINTER_HAS_JOBS_QUEUED;
  Tick(L"Locked");
  Tick(L"Stuck");

  EXPECT_FALSE(Run());
  // The later failure's code, not the close's that followed it.
  EXPECT_EQ(lastDeleteError, static_cast<DWORD>(ERROR_PRINTER_HAS_JOBS_QUEUED));
  EXPECT_EQ(plan.drivers[0].error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(plan.drivers[1].error, static_cast<DWORD>(ERROR_PRINTER_HAS_JOBS_QUEUED));
  EXPECT_EQ(Calls(L"ClosePrinter"), std::vector<std::wstring>{L"ClosePrinter Stuck One"});
  EXPECT_TRUE(Calls(L"DeletePrinterDriverEx").empty());
  EXPECT_EQ(spooler.PrinterNames(L"").size(), 2u);
  EXPECT_EQ(spooler.DriverKeys(L"").size(), 2u);
}

TEST_F(Deletion, APrinterReachedFromTwoRowsIsTriedOnce) {
  // Two versions of one driver in one environment: both rows name the printer.
  Local().drivers = {Driver(L"Contoso Twice"), Driver(L"Contoso Twice")};
  Local().printers = {FakePrinter{L"Office", L"Contoso Twice"}};
  Local().printers[0].deleteError = ERROR_ACCESS_DENIED;
  Tick(L"Contoso Twice");
  Tick(L"Contoso Twice");

  EXPECT_FALSE(Run());
  ASSERT_EQ(plan.printers.size(), 1u);
  EXPECT_EQ(plan.drivers[0].printers, plan.drivers[1].printers);
  EXPECT_EQ(Calls(L"DeletePrinter ").size(), 1u);
  EXPECT_EQ(plan.drivers[0].error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(plan.drivers[1].error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(Deletion, LastErrorOutlivesALaterCleanRun) {
  Local().drivers = {Driver(L"Held"), Driver(L"Free")};
  Local().printers = {FakePrinter{L"One", L"Held"}};
  Local().printers[0].deleteError = ERROR_PRINTER_HAS_JOBS_QUEUED;
  Tick(L"Held");
  EXPECT_FALSE(Run());
  ASSERT_EQ(lastDeleteError, static_cast<DWORD>(ERROR_PRINTER_HAS_JOBS_QUEUED));

  Target(L"");
  Tick(L"Free");
  EXPECT_TRUE(Run());
  EXPECT_TRUE(anyDriverDeleted);
  EXPECT_EQ(lastDeleteError, static_cast<DWORD>(ERROR_PRINTER_HAS_JOBS_QUEUED));
}

TEST_F(Deletion, NamesOfAnyLengthAreDeletedExactly) {
  const std::wstring longName(300, L'n');
  const std::wstring environment = std::wstring(kX64);
  Local().drivers = {Driver(longName), Driver(longName.substr(0, 255))};
  Local().printers = {FakePrinter{L"Long", longName}, FakePrinter{L"Cut", longName.substr(0, 255)}};
  Tick(longName);

  EXPECT_TRUE(Run());
  EXPECT_EQ(spooler.PrinterNames(L""), std::vector<std::wstring>{L"Cut"});
  EXPECT_EQ(spooler.DriverKeys(L""),
            std::vector<std::wstring>{longName.substr(0, 255) + L"|Windows x64"});
  EXPECT_EQ(Calls(L"DeletePrinterDriverEx"),
            std::vector<std::wstring>{L"DeletePrinterDriverEx (null) Windows x64 " + longName +
                                      L" flags=3 version=3"});
}

// The command line's rules for a used name, carried out: which rows stay.
TEST_F(Deletion, EveryCopyOfAUsedNameStaysUnlessItsPrintersGoFirstAndEachRowIsOneVersion) {
  const FakeDriver x64 = Driver(L"Acme PCL6"), x86 = Driver(L"Acme PCL6", kX86);
  FakeDriver legacy = x86;
  legacy.type = 2;
  const FakePrinter laser{L"HR Laser", L"Acme PCL6"};
  const FakePrinter connection{L"\\\\OTHER\\Desk", L"ACME pcl6"};  // kept, whatever its case
  using Rule = InUseRule;
  const struct {
    const char* what;
    std::vector<FakeDriver> installed;
    std::vector<FakePrinter> printers;
    std::vector<std::pair<const wchar_t*, DWORD>> ticked;  // environment, version
    bool printersMayGo, alone;
    std::vector<Rule> rules;
    std::vector<std::wstring> left;  // name|environment|type
  } cases[] = {
      {"one version goes, its Type 2 twin stays", {x86, legacy}, {}, {{kX86, 3}}, false, false,
       {Rule::None}, {L"Acme PCL6|Windows NT x86|2"}},
      {"without /printers every copy of a used name stays", {x64, x86}, {laser},
       {{kX64, 3}, {kX86, 3}}, false, false, {Rule::UsedBy, Rule::ClientsGetIt},
       {L"Acme PCL6|Windows x64|3", L"Acme PCL6|Windows NT x86|3"}},
      {"with /printers the printers go, then every copy", {x64, x86}, {laser},
       {{kX86, 3}, {kX64, 3}}, true, false, {Rule::None, Rule::None}, {}},
      {"a printer the plan keeps keeps every copy", {x64, x86}, {laser, connection},
       {{kX64, 3}, {kX86, 3}}, true, false, {Rule::UsedBy, Rule::ClientsGetIt},
       {L"Acme PCL6|Windows x64|3", L"Acme PCL6|Windows NT x86|3"}},
      {"the x86 copy alone by a wildcard stays", {x64, x86}, {laser}, {{kX86, 3}}, true, false,
       {Rule::ClientsGetIt}, {L"Acme PCL6|Windows x64|3", L"Acme PCL6|Windows NT x86|3"}},
      {"the x86 copy named with its environment goes alone, warned of", {x64, x86}, {laser},
       {{kX86, 3}}, false, true, {Rule::None}, {L"Acme PCL6|Windows x64|3"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Local().drivers = c.installed;
    Local().printers = c.printers;
    Target(L"");
    for (const auto& [environment, version] : c.ticked) {
      Tick(L"Acme PCL6", environment);
      plan.drivers.back().version = version;
    }
    DWORD error = 0;
    ASSERT_TRUE(PrepareDeletion(plan, error));
    const auto decisions =
        DecideDriversInUse(plan, c.printersMayGo, std::vector<bool>(plan.drivers.size(), c.alone));
    std::vector<Rule> rules;
    std::vector<bool> drop;
    for (const auto& decision : decisions) {
      rules.push_back(decision.rule);
      drop.push_back(decision.rule != Rule::None);
      EXPECT_EQ(decision.warning, c.alone);
      if (decision.rule == Rule::ClientsGetIt || decision.warning) {
        ASSERT_FALSE(decision.printers.empty());
        EXPECT_EQ(decision.printers.front(), L"HR Laser");
      }
    }
    EXPECT_EQ(rules, c.rules);
    std::vector<PlannedPackage> keptPackages;
    DropDrivers(plan, drop, keptPackages);
    ExecuteDeletion(plan, nullptr);
    std::vector<std::wstring> left;
    for (const auto& d : Local().drivers) {
      left.push_back(*d.name + L"|" + *d.environment + L"|" + std::to_wstring(d.type));
    }
    EXPECT_EQ(left, c.left);
    // A printer goes only with every copy of its driver.
    EXPECT_EQ(spooler.PrinterNames(L"").size(), c.left.empty() ? 0 : c.printers.size());
  }
}

TEST_F(Deletion, ARestorePutsBackTheFilesItCheckedWithTheirTimesAndNothingChangesThemBetween) {
  FakeDriver sharing = Driver(L"Acme PS");  // names one of Acme PCL6's files bare: saved once
  sharing.dependentFiles = std::vector<std::wstring>{L"UNIRES.DLL"};
  spooler.machines[L"\\\\SRV"].drivers = {Driver(L"Acme PCL6"), sharing};
  Target(L"SRV");
  Tick(L"Acme PCL6");
  Tick(L"Acme PS");
  std::wstring folder, problem;
  ASSERT_EQ(TakeSnapshot(plan, testing::MakeScratchDirectory(L"restore"), folder, problem), 0u);
  RestorePlan restore;
  ASSERT_TRUE(ReadSnapshot(folder, restore.snapshot, restore.checkedFiles, problem)) << problem;
  const std::wstring saved = folder + L"\\" + restore.snapshot.files.at(0).stored;
  const auto openToWrite = [&saved] {
    return UniqueFileHandle(
        ::CreateFileW(saved.c_str(), GENERIC_WRITE, 7, nullptr, OPEN_EXISTING, 0, nullptr));
  };
  EXPECT_FALSE(openToWrite()) << "a checked file could be changed before it is put back";
  EXPECT_FALSE(::DeleteFileW(saved.c_str()));
  spooler.machines[L"\\\\SRV"].drivers.clear();
  DWORD error = 0;
  ASSERT_TRUE(PrepareRestore(restore, error, problem)) << error;
  ExecuteRestore(restore);
  EXPECT_EQ(restore.drivers.at(0).outcome, RestoreOutcome::Restored) << restore.drivers[0].error;
  EXPECT_EQ(restore.drivers.at(1).outcome, RestoreOutcome::Restored) << restore.drivers[1].error;
  const auto writeTime = [](const std::wstring& path) {  // kept: the spooler copies by it
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    ::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data);
    return std::pair(data.ftLastWriteTime.dwHighDateTime, data.ftLastWriteTime.dwLowDateTime);
  };
  const std::wstring& original = restore.snapshot.files[0].original;
  const std::wstring share = testing::FakeSpooler::DriverShare(L"\\\\SRV") + L"\\";
  EXPECT_EQ(writeTime(share + L"x64\\" + std::wstring(FileNamePart(original))),
            writeTime(share + original.substr(original.find(L"DRIVERS\\") + 8)));
  restore.checkedFiles.reset();
  EXPECT_TRUE(openToWrite()) << "the restore still holds its files";
}

TEST_F(Deletion, AServersDriverFolderAnswerIsJudgedNeverUsedAtSnapshotAndAtRestore) {
  Remote().drivers = {Driver(L"Acme PCL6")};
  Target(L"SRV");
  Tick(L"Acme PCL6");
  // A folder of this computer, holding what the driver names, that a hostile
  // server answers as its driver folder.
  const std::wstring answer = testing::MakeScratchDirectory(L"hostile-answer") + L"\\x64";
  ASSERT_EQ(CreateFolders(answer + L"\\3"), 0u);
  testing::WriteFileBytes(answer + L"\\3\\UNIDRV.DLL", "the admin's own file");
  const std::wstring refused = L"the server named " + answer + L" as its driver folder";
  const std::wstring root = testing::MakeScratchDirectory(L"hostile-answer-snapshots");
  std::wstring folder, problem;
  Remote().driverFolderAnswer = answer;
  EXPECT_EQ(TakeSnapshot(plan, root, folder, problem), static_cast<DWORD>(ERROR_BAD_PATHNAME));
  EXPECT_EQ(problem, refused);
  Remote().driverFolderAnswer.reset();
  const std::atomic<bool> stopped{true};  // Ctrl+C: no partial folder stays either
  plan.stop = &stopped;
  EXPECT_EQ(TakeSnapshot(plan, root, folder, problem), static_cast<DWORD>(ERROR_CANCELLED));
  EXPECT_EQ(::GetFileAttributesW(folder.c_str()), INVALID_FILE_ATTRIBUTES) << "a partial folder";
  plan.stop = nullptr;
  ASSERT_EQ(TakeSnapshot(plan, root, folder, problem), 0u) << problem;
  RestorePlan restore;
  ASSERT_TRUE(ReadRestorePlan(folder, restore, problem)) << problem;
  Remote().drivers.clear();
  Remote().driverFolderAnswer = answer;
  DWORD error = 0;
  EXPECT_FALSE(PrepareRestore(restore, error, problem));
  EXPECT_EQ(problem, refused);
  EXPECT_TRUE(Calls(L"AddPrinterDriverEx").empty());
  Remote().driverFolderAnswer = L"\\\\srv.example.com\\PRINT$\\x64";  // a share: fine
  EXPECT_TRUE(PrepareRestore(restore, error, problem)) << problem;
}

TEST(DeletionPlanRules, PrintersOfTheTargetAndEnvironments) {
  const struct {
    const wchar_t* printer;
    const wchar_t* target;
    bool isRemote;
    bool ofTarget;
  } cases[] = {
      {L"Office", L"\\\\", false, true},
      {L"\\\\SRV\\Office", L"\\\\", false, false},  // a connection to another server
      {L"\\\\SRV\\Office", L"\\\\SRV", true, true},
      {L"\\\\srv\\Office", L"\\\\SRV", true, true},
      {L"\\\\SRV2\\Office", L"\\\\SRV", true, false},
      {L"\\\\SR\\Office", L"\\\\SRV", true, false},
      {L"\\\\SRV\\Floor\\Office", L"\\\\SRV", true, false},
      {L"\\\\SRV\\", L"\\\\SRV", true, false},
      {L"\\\\SRV", L"\\\\SRV", true, false},
      {L"Office", L"\\\\SRV", true, false},
      {L"\\\\OTHER\\Accounting", L"\\\\SRV", true, false},
      {L"\\\\srv.example.com\\Office", L"\\\\SRV", true, false},
      {L"", L"\\\\SRV", true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << std::wstring(c.printer) << " on " << std::wstring(c.target));
    EXPECT_EQ(IsPrinterOfTarget(c.printer, c.target, c.isRemote), c.ofTarget);
  }
  EXPECT_EQ(EnvironmentOfArchitecture(PROCESSOR_ARCHITECTURE_AMD64), L"Windows x64");
  EXPECT_EQ(EnvironmentOfArchitecture(PROCESSOR_ARCHITECTURE_INTEL), L"Windows NT x86");
  EXPECT_EQ(EnvironmentOfArchitecture(PROCESSOR_ARCHITECTURE_ARM64), L"Windows ARM64");
  EXPECT_EQ(EnvironmentOfArchitecture(PROCESSOR_ARCHITECTURE_UNKNOWN), L"");
}

// Driver packages, with the option on (and off).
class Packages : public Deletion {
 protected:
  static FakeDriver Packaged(const std::wstring& name, const std::wstring& inf,
                             const std::wstring& environment = kX64) {
    FakeDriver d = Driver(name, environment);
    d.infPath = L"C:\\Windows\\System32\\DriverStore\\FileRepository\\" + inf;
    return d;
  }
  static FakeDriver Native(FakeDriver driver) {
    driver.provider = L"Microsoft";
    return driver;
  }
  std::vector<std::wstring> PackageCalls() { return Calls(L"DeletePrinterDriverPackage"); }
  std::vector<PackageOutcome> Outcomes() const {
    std::vector<PackageOutcome> outcomes;
    for (const auto& package : plan.packages) outcomes.push_back(package.outcome);
    return outcomes;
  }
};

TEST_F(Packages, WithTheOptionOffNoPackageIsReadOrRemoved) {
  Local().drivers = {Packaged(L"Contoso A", L"contoso.inf")};
  Tick(L"Contoso A");
  EXPECT_TRUE(Run());
  EXPECT_TRUE(Calls(L"EnumPrinterDrivers").empty());
  EXPECT_TRUE(PackageCalls().empty());
  EXPECT_TRUE(plan.packages.empty());
}

TEST_F(Packages, EachPackageGoesOnceAfterAllItsDriversWent) {
  const std::wstring store = L"C:\\Windows\\System32\\DriverStore\\FileRepository\\";
  const struct {
    const char* what;
    std::vector<FakeDriver> installed;
    std::vector<std::pair<std::wstring, std::wstring>> ticked;  // name, environment
    std::vector<std::wstring> calls;                             // after "DeletePrinterDriverPackage "
    std::vector<PackageOutcome> outcomes;
    size_t withoutPackage;
  } cases[] = {
      {"one driver with its package",
       {Packaged(L"Contoso A", L"contoso.inf")},
       {{L"Contoso A", kX64}},
       {L"(null) " + store + L"contoso.inf Windows x64"},
       {PackageOutcome::Removed},
       0},
      {"one package shared by two ticked drivers",
       {Packaged(L"Contoso A", L"contoso.inf"), Packaged(L"Contoso B", L"contoso.inf")},
       {{L"Contoso A", kX64}, {L"Contoso B", kX64}},
       {L"(null) " + store + L"contoso.inf Windows x64"},
       {PackageOutcome::Removed},
       0},
      {"two environments of one package",
       {Packaged(L"Contoso A", L"contoso.inf"), Packaged(L"Contoso A", L"contoso.inf", kX86)},
       {{L"Contoso A", kX64}, {L"Contoso A", kX86}},
       {L"(null) " + store + L"contoso.inf Windows x64",
        L"(null) " + store + L"contoso.inf Windows NT x86"},
       {PackageOutcome::Removed, PackageOutcome::Removed},
       0},
      {"a package another driver still uses: the plan keeps it, untried",
       {Packaged(L"Contoso A", L"contoso.inf"), Packaged(L"Contoso Kept", L"contoso.inf")},
       {{L"Contoso A", kX64}},
       {},
       {},
       0},
      {"a package another driver of it, unticked and for clients, makes the system's own",
       {Packaged(L"Contoso A", L"ntprint.inf"), Native(Packaged(L"MS A", L"NTPRINT.INF", kX86))},
       {{L"Contoso A", kX64}},
       {},
       {},
       0},
      {"a driver without a package", {Driver(L"Contoso Old")}, {{L"Contoso Old", kX64}}, {}, {}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    spooler.calls.clear();
    Local().drivers = c.installed;
    Target(L"");
    plan.removePackages = true;
    for (const auto& [name, environment] : c.ticked) Tick(name, environment);

    EXPECT_TRUE(Run());
    EXPECT_EQ(Calls(L"EnumPrinterDrivers (null) all 8").size(), 2u);
    std::vector<std::wstring> calls;
    for (const auto& call : PackageCalls()) calls.push_back(call.substr(27));
    EXPECT_EQ(calls, c.calls);
    EXPECT_EQ(Outcomes(), c.outcomes);
    EXPECT_EQ(plan.withoutPackage.size(), c.withoutPackage);
  }
  EXPECT_EQ(plan.packages.size(), 0u);
  // The plan names the driver that keeps a shared package.
  Local().drivers = {Packaged(L"Contoso A", L"shared.inf"), Packaged(L"Contoso B", L"shared.inf")};
  Target(L"");
  plan.removePackages = true;
  Tick(L"Contoso A");
  EXPECT_TRUE(Run());
  EXPECT_TRUE(plan.packages.empty());
  ASSERT_EQ(plan.sharedPackages.size(), 1u);
  EXPECT_EQ(plan.sharedPackages[0].usedBy, L"Contoso B");
  // The spooler's "in use" then is a real failure, with its code, never retried.
  Local().drivers = {Packaged(L"Contoso A", L"own.inf")};
  Local().packageDeleteError = ERROR_PRINTER_DRIVER_PACKAGE_IN_USE;
  Target(L"");
  plan.removePackages = true;
  Tick(L"Contoso A");
  EXPECT_TRUE(Run());
  ASSERT_EQ(plan.packages.size(), 1u);
  EXPECT_EQ(plan.packages[0].outcome, PackageOutcome::Failed);
  EXPECT_EQ(plan.packages[0].error, static_cast<DWORD>(ERROR_PRINTER_DRIVER_PACKAGE_IN_USE));
}

TEST_F(Packages, ANativeDriversPackageAndAFailedDriversPackageStay) {
  FakeDriver native = Packaged(L"Microsoft Shared", L"prnms001.inf");
  native.provider = L"Microsoft";
  Local().drivers = {native, Packaged(L"Contoso Held", L"held.inf")};
  Local().printers = {FakePrinter{L"Office", L"Contoso Held"}};
  Local().printers[0].deleteError = ERROR_ACCESS_DENIED;
  plan.removePackages = true;
  plan.drivers.push_back(PlannedDriver{L"Microsoft Shared", kX64, true});
  plan.drivers.back().version = 3;
  Tick(L"Contoso Held");

  EXPECT_FALSE(Run());
  EXPECT_EQ(plan.nativePackages,
            std::vector<std::wstring>{
                L"C:\\Windows\\System32\\DriverStore\\FileRepository\\prnms001.inf"});
  EXPECT_EQ(Outcomes(), std::vector<PackageOutcome>{PackageOutcome::Kept});  // its driver failed
  EXPECT_TRUE(PackageCalls().empty());
  EXPECT_TRUE(spooler.DriverKeys(L"").size() == 1u) << "the native driver itself still goes";
}

TEST_F(Packages, DroppedDriversKeepTheirPrintersAndPackagesAndTheRestStillGo) {
  Local().drivers = {Packaged(L"Kept A", L"shared.inf"), Packaged(L"Goes B", L"shared.inf"),
                     Packaged(L"Goes C", L"own.inf")};
  Local().printers = {FakePrinter{L"P1", L"Kept A"}, FakePrinter{L"P2", L"Goes C"},
                      FakePrinter{L"P3", L"Kept A"}};
  plan.removePackages = true;
  for (const wchar_t* name : {L"Kept A", L"Goes B", L"Goes C"}) Tick(name);
  DWORD error = 0;
  ASSERT_TRUE(PrepareDeletion(plan, error));
  std::vector<PlannedPackage> kept;
  EXPECT_EQ(DropDrivers(plan, {true, false, false}, kept), (std::vector<size_t>{1, 2}));
  ASSERT_EQ(plan.printers.size(), 1u);
  EXPECT_EQ(plan.printers[0].name, L"P2");
  EXPECT_EQ(plan.drivers[1].printers, std::vector<size_t>{0});
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(FileNamePart(kept[0].infPath), L"shared.inf");
  EXPECT_TRUE(ExecuteDeletion(plan, nullptr));
  EXPECT_EQ(Calls(L"DeletePrinter "), std::vector<std::wstring>{L"DeletePrinter P2"});
  EXPECT_EQ(spooler.DriverKeys(L""), std::vector<std::wstring>{L"Kept A|Windows x64"});
  ASSERT_EQ(PackageCalls().size(), 1u);
  EXPECT_NE(PackageCalls()[0].find(L"own.inf"), std::wstring::npos);
}

TEST_F(Packages, AnOldServerWithoutPackagesStillLosesItsDrivers) {
  Local().drivers = {Packaged(L"Contoso A", L"contoso.inf")};
  Local().packageListError = ERROR_INVALID_LEVEL;
  plan.removePackages = true;
  Tick(L"Contoso A");
  EXPECT_TRUE(Run());
  EXPECT_EQ(plan.packageListError, static_cast<DWORD>(ERROR_INVALID_LEVEL));
  EXPECT_TRUE(spooler.DriverKeys(L"").empty());
  EXPECT_TRUE(PackageCalls().empty());
}

TEST_F(Packages, ARemoteTargetsPackagesGoThroughTheSameSession) {
  Target(L"SRV");
  Remote().drivers = {Packaged(L"Contoso A", L"contoso.inf")};
  plan.removePackages = true;
  Tick(L"Contoso A");
  EXPECT_TRUE(Run());
  const auto calls = Calls();
  const auto at = [&calls](const std::wstring& prefix) {
    return std::find_if(calls.begin(), calls.end(),
                        [&](const std::wstring& call) { return call.rfind(prefix, 0) == 0; }) -
           calls.begin();
  };
  EXPECT_EQ(PackageCalls(),
            std::vector<std::wstring>{
                L"DeletePrinterDriverPackage \\\\SRV "
                L"C:\\Windows\\System32\\DriverStore\\FileRepository\\contoso.inf Windows x64"});
  EXPECT_EQ(Calls(L"WNetAddConnection2").size(), 1u);
  EXPECT_LT(at(L"DeletePrinterDriverEx"), at(L"DeletePrinterDriverPackage"));
  EXPECT_LT(at(L"DeletePrinterDriverPackage"), at(L"WNetCancelConnection2"));
  EXPECT_EQ(Remote().removedPackages.size(), 1u);
}

TEST_F(Packages, APackageGoesBackFromAStagedCopyOfItsListedFilesAndAPrinterWholeOrNotAtAll) {
  Target(L"SRV");
  Remote().drivers = {Packaged(L"Contoso A", L"contoso_x64\\contoso.inf")};
  Remote().printers = {FakePrinter{L"Lobby", L"Contoso A"}};
  Remote().printers[0].data[L"PrinterDriverData\\Tray"] = {REG_DWORD, {2, 0, 0, 0}};
  const std::wstring store = FakeSpooler::MachineShare(L"\\\\SRV", L"admin$") +
                             L"\\System32\\DriverStore\\FileRepository\\contoso_x64";
  ASSERT_EQ(CreateFolders(store), 0u);
  testing::WriteFileBytes(store + L"\\contoso.inf", "[Version]");
  plan.removePackages = true;
  Tick(L"Contoso A");
  DWORD error = 0;
  std::wstring folder, problem;
  ASSERT_TRUE(PrepareDeletion(plan, error)) << error;
  ASSERT_EQ(TakeSnapshot(plan, testing::MakeScratchDirectory(L"package-snapshot"), folder, problem),
            0u)
      << problem;
  ExecuteDeletion(plan, [] {});

  const std::wstring planted = folder + L"\\packages\\0\\contoso_x64\\evil.dll";
  testing::WriteFileBytes(planted, "never checked");
  RestorePlan restore;
  EXPECT_FALSE(ReadRestorePlan(folder, restore, problem));
  EXPECT_EQ(problem, L"line 3: the package folder holds packages\\0\\contoso_x64\\evil.dll, which "
                     L"the manifest does not list");
  ::DeleteFileW(planted.c_str());
  ASSERT_TRUE(ReadRestorePlan(folder, restore, problem)) << problem;
  ASSERT_TRUE(PrepareRestore(restore, error, problem)) << problem;
  Remote().setDataError = ERROR_ACCESS_DENIED;
  bool rewritten = true;  // while the spooler reads it, the staged copy cannot be changed
  spooler.duringUpload = [&rewritten](const std::wstring& staged) {
    rewritten = UniqueFileHandle(::CreateFileW(staged.c_str(), GENERIC_WRITE, 7, nullptr,
                                               OPEN_EXISTING, 0, nullptr)) ||
                ::DeleteFileW(staged.c_str());
  };
  ExecuteRestore(restore);
  EXPECT_EQ(restore.packages.at(0).outcome, RestoreOutcome::Restored);
  EXPECT_FALSE(rewritten);
  const std::wstring inf = Calls(L"UploadPrinterDriverPackage").at(0).substr(45);  // its path
  const size_t named = inf.find(L"\\Kestrun-");  // 32 random hexadecimal digits: unguessable
  EXPECT_EQ(inf.find_first_not_of(L"0123456789abcdef", named + 9), named + 41) << inf;
  EXPECT_EQ(::GetFileAttributesW(inf.c_str()), INVALID_FILE_ATTRIBUTES) << "the staging stays";
  EXPECT_EQ(restore.printers.at(0).outcome, RestoreOutcome::Failed);
  EXPECT_TRUE(spooler.PrinterNames(L"\\\\SRV").empty()) << "a half-made printer stays";
  Remote().setDataError = 0;
  ASSERT_TRUE(PrepareRestore(restore, error, problem)) << problem;
  ExecuteRestore(restore);
  EXPECT_EQ(restore.printers.at(0).outcome, RestoreOutcome::Restored);
}

class PrinterEnumeration : public Deletion {
 protected:
  bool Enumerate(const wchar_t* server) { return EnumeratePrinters(server, buffer, count, error); }
  std::unique_ptr<BYTE[]> buffer;
  DWORD count = 7;
  DWORD error = 0;
};

TEST_F(PrinterEnumeration, TwoCallsFillTheRecordsWithTheirStringsInOneBuffer) {
  Remote().printers = {FakePrinter{L"Office", L"Contoso A"}, FakePrinter{L"Lobby", L"Contoso B"}};

  ASSERT_TRUE(Enumerate(L"\\\\SRV"));
  ASSERT_EQ(count, 2u);
  const auto calls = Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0], L"EnumPrinters flags=10 \\\\SRV 2 0");
  const DWORD size = testing::PrinterBufferSize(L"\\\\SRV", Remote().printers);
  EXPECT_EQ(calls[1], L"EnumPrinters flags=10 \\\\SRV 2 " + std::to_wstring(size));

  const auto* printers = reinterpret_cast<const PRINTER_INFO_2W*>(buffer.get());
  EXPECT_STREQ(printers[0].pPrinterName, L"\\\\SRV\\Office");
  EXPECT_STREQ(printers[1].pDriverName, L"Contoso B");
  const BYTE* begin = buffer.get();
  for (DWORD i = 0; i < count; ++i) {
    const auto* name = reinterpret_cast<const BYTE*>(printers[i].pPrinterName);
    EXPECT_TRUE(name >= begin && name < begin + size);
  }

  // A second read replaces the first one's buffer.
  Remote().printers.pop_back();
  ASSERT_TRUE(Enumerate(L"\\\\SRV"));
  EXPECT_EQ(count, 1u);
}

TEST_F(PrinterEnumeration, NoPrintersSucceedOnTheFirstCall) {
  ASSERT_TRUE(Enumerate(nullptr));
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(Calls(), std::vector<std::wstring>{L"EnumPrinters flags=6 (null) 2 0"});
}

TEST_F(PrinterEnumeration, FailuresKeepTheirCodeAndLeaveNoRecordsToWalk) {
  Local().printers = {FakePrinter{L"Office", L"Contoso A"}};
  Local().printerListSecondError = RPC_S_CALL_FAILED;
  EXPECT_FALSE(Enumerate(nullptr));
  EXPECT_EQ(error, static_cast<DWORD>(RPC_S_CALL_FAILED));
  EXPECT_EQ(count, 0u);

  Local().printerListError = ERROR_ACCESS_DENIED;
  count = 3;
  EXPECT_FALSE(Enumerate(nullptr));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(buffer, nullptr);
}

}  // namespace
}  // namespace kestrun

namespace kestrun {
namespace {

TEST_F(Deletion, ARestoreRefusesPrinterDataThatHasClientsLoadAModuleFromElsewhere) {
  const auto text = [](const std::wstring& s) {
    const auto* bytes = reinterpret_cast<const BYTE*>(s.c_str());
    return testing::FakeValue{REG_SZ,
                              std::vector<BYTE>(bytes, bytes + (s.size() + 1) * sizeof(wchar_t))};
  };
  FakePrinter lured{L"Lured", L"Acme PCL6"}, plain{L"Plain", L"Acme PCL6"};
  lured.data[L"CopyFiles\\Evil\\Module"] = text(L"\\\\attacker\\share\\evil.dll");
  plain.data[L"CopyFiles\\ICM\\Module"] =
      text(L"mscms.dll");  // a module by name: as Windows has it
  Remote().drivers = {Driver(L"Acme PCL6")};
  Remote().printers = {lured, plain};
  Target(L"SRV");
  Tick(L"Acme PCL6");
  DWORD error = 0;
  std::wstring folder, problem;
  ASSERT_TRUE(PrepareDeletion(plan, error)) << error;
  ASSERT_EQ(TakeSnapshot(plan, testing::MakeScratchDirectory(L"lured"), folder, problem), 0u);
  ExecuteDeletion(plan, [] {});
  RestorePlan restore;
  ASSERT_TRUE(ReadRestorePlan(folder, restore, problem)) << problem;
  ASSERT_TRUE(PrepareRestore(restore, error, problem)) << problem;
  EXPECT_EQ(restore.printers.at(0).refused, L"CopyFiles\\Evil loads \\\\attacker\\share\\evil.dll");
  ExecuteRestore(restore);
  EXPECT_EQ(spooler.PrinterNames(L"\\\\SRV"), std::vector<std::wstring>{L"Plain"});
}

}  // namespace
}  // namespace kestrun
