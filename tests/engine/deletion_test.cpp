#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/bounded_text.h"
#include "inventory/deletion.h"
#include "tests/support/fake_spooler.h"

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

// The main window's list as the deletion reads it, with the list view's
// behaviour: cells are cut to the buffer and always terminated.
class FakeList : public CheckedEntryReader {
 public:
  struct Row {
    UINT stateImage;
    std::wstring driverName;
    std::wstring environment;
  };
  std::vector<Row> rows;
  std::vector<std::wstring> reads;  // "entry column capacity"

  void Checked(const std::wstring& name, const std::wstring& environment = kX64) {
    rows.push_back({2, name, environment});
  }
  void Unchecked(const std::wstring& name, const std::wstring& environment = kX64) {
    rows.push_back({1, name, environment});
  }

  int EntryCount() override { return static_cast<int>(rows.size()); }
  UINT StateImageIndex(int entry) override { return rows.at(entry).stateImage; }
  void ReadCell(int entry, int column, wchar_t* buffer, int capacity) override {
    reads.push_back(std::to_wstring(entry) + L" " + std::to_wstring(column) + L" " +
                    std::to_wstring(capacity));
    const Row& row = rows.at(entry);
    const std::wstring& text = column == kDriverNameColumn    ? row.driverName
                               : column == kEnvironmentColumn ? row.environment
                                                              : std::wstring(L"?");
    CopyBounded(buffer, capacity, text);
  }
};

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
    ReleaseInventory();
    remoteSession = nullptr;
    FakeSpooler::Uninstall();
  }

  // Makes the current inventory name a machine ("SRV", or "" for the local one)
  // as an enumeration of it leaves it: target \\SRV and remote, or \\ and local.
  void Target(const std::wstring& machine) {
    MakeCurrentInventory(CreateInventory());
    AppendBounded(currentInventory->targetName, machine);
    currentInventory->isRemote = !machine.empty();
  }

  testing::FakeMachine& Local() { return spooler.machines[L""]; }
  testing::FakeMachine& Remote() { return spooler.machines[L"\\\\SRV"]; }

  // The enumeration that follows a deletion: it replaces the current inventory
  // (releasing the one the deletion worked on) with one for `refreshTarget`.
  bool Run() {
    return DeleteCheckedDrivers(*currentInventory, list, [this] {
      ++refreshes;
      {
        std::lock_guard<std::mutex> guard(spooler.lock);
        spooler.calls.push_back(L"(refresh)");
      }
      Target(refreshTarget);
    });
  }

  // The calls of one kind, or all of them when `prefix` is empty.
  std::vector<std::wstring> Calls(const std::wstring& prefix = L"") {
    return spooler.CallsStartingWith(prefix);
  }

  FakeSpooler spooler;
  RemoteSession session;
  FakeList list;
  int refreshes = 0;
  std::wstring refreshTarget;
};

TEST_F(Deletion, UnusedDriverGoesAloneOnTheLocalSpooler) {
  Local().drivers = {Driver(L"Contoso A"), Driver(L"Contoso B")};
  Local().printers = {FakePrinter{L"Office", L"Contoso B"}};
  list.Checked(L"Contoso A");

  EXPECT_TRUE(Run());
  EXPECT_TRUE(anyDriverDeleted);
  EXPECT_EQ(lastDeleteError, 0u);
  EXPECT_EQ(spooler.DriverKeys(L""), std::vector<std::wstring>{L"Contoso B|Windows x64"});
  EXPECT_EQ(spooler.PrinterNames(L""), std::vector<std::wstring>{L"Office"});

  // The local spooler is reached by a null name and needs no session.
  const auto calls = Calls();
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0], L"EnumPrinters flags=10 (null) 2 0");
  EXPECT_EQ(calls[1].rfind(L"EnumPrinters flags=10 (null) 2 ", 0), 0u);
  EXPECT_NE(calls[1], calls[0]);
  EXPECT_EQ(calls[2], L"DeletePrinterDriverEx (null) Windows x64 Contoso A flags=1 version=0");
  EXPECT_EQ(calls[3], L"(refresh)");
  EXPECT_EQ(refreshes, 1);
}

TEST_F(Deletion, DriverOfTwoPrintersLosesOnlyTheFirstPrinterAndStays) {
  Local().drivers = {Driver(L"Contoso Shared")};
  Local().printers = {FakePrinter{L"First", L"Contoso Shared"},
                      FakePrinter{L"Second", L"Contoso Shared"}};
  list.Checked(L"Contoso Shared");

  EXPECT_FALSE(Run());
  EXPECT_FALSE(anyDriverDeleted);
  EXPECT_EQ(lastDeleteError, static_cast<DWORD>(ERROR_PRINTER_DRIVER_IN_USE));
  EXPECT_EQ(spooler.PrinterNames(L""), std::vector<std::wstring>{L"Second"});
  EXPECT_EQ(spooler.DriverKeys(L"").size(), 1u);
  EXPECT_EQ(refreshes, 1);  // a failed entry still refreshes the list

  const std::vector<std::wstring> printerCalls = {
      L"OpenPrinter First access=983052 datatype=(null) devmode=(null)",
      L"DeletePrinter First",
      L"ClosePrinter First",
  };
  std::vector<std::wstring> seen;
  for (const auto& call : Calls()) {
    if (call.find(L"Printer ") != std::wstring::npos) seen.push_back(call);
  }
  EXPECT_EQ(seen, printerCalls);
}

TEST_F(Deletion, PrinterListIsReadOnceSoASecondEnvironmentFindsItsPrinterGone) {
  Local().drivers = {Driver(L"Contoso Dual", kX64), Driver(L"Contoso Dual", kX86)};
  Local().printers = {FakePrinter{L"Office", L"Contoso Dual"}};
  list.Checked(L"Contoso Dual", kX64);
  list.Checked(L"Contoso Dual", kX86);

  EXPECT_FALSE(Run());
  EXPECT_TRUE(anyDriverDeleted);
  EXPECT_EQ(lastDeleteError, static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME));
  EXPECT_TRUE(spooler.PrinterNames(L"").empty());
  EXPECT_EQ(spooler.DriverKeys(L""), std::vector<std::wstring>{L"Contoso Dual|Windows NT x86"});
  EXPECT_EQ(Calls(L"EnumPrinters").size(), 2u);
  EXPECT_EQ(Calls(L"OpenPrinter").size(), 2u);
  EXPECT_EQ(Calls(L"DeletePrinterDriverEx").size(), 1u);  // the second entry stops at its printer
}

TEST_F(Deletion, PrinterMatchesOnlyTheDriverNameSpelledExactly) {
  // The spooler itself compares driver names without case, so it still finds
  // the driver in use by the printer left in place.
  Local().drivers = {Driver(L"Contoso Laser")};
  Local().printers = {FakePrinter{L"Office", L"CONTOSO laser"}};
  list.Checked(L"Contoso Laser");

  EXPECT_FALSE(Run());
  EXPECT_TRUE(Calls(L"OpenPrinter").empty());
  EXPECT_EQ(spooler.PrinterNames(L""), std::vector<std::wstring>{L"Office"});
  EXPECT_EQ(lastDeleteError, static_cast<DWORD>(ERROR_PRINTER_DRIVER_IN_USE));
}

TEST_F(Deletion, OnlyStateImageOneCountsAsUnchecked) {
  Local().drivers = {Driver(L"D0"), Driver(L"D1"), Driver(L"D2"), Driver(L"D3"), Driver(L"D4")};
  list.rows = {
      {1, L"D0", kX64}, {2, L"D1", kX64}, {0, L"D2", kX64}, {1, L"D3", kX64}, {15, L"D4", kX64}};

  EXPECT_TRUE(Run());
  EXPECT_EQ(spooler.DriverKeys(L""),
            (std::vector<std::wstring>{L"D0|Windows x64", L"D3|Windows x64"}));
  // Unchecked entries are not even read; the others in the list's order.
  EXPECT_EQ(list.reads, (std::vector<std::wstring>{L"1 1 256", L"1 4 256", L"2 1 256", L"2 4 256",
                                                   L"4 1 256", L"4 4 256"}));
}

TEST_F(Deletion, NothingCheckedStillRefreshesAndSucceeds) {
  Local().drivers = {Driver(L"Kept")};
  list.Unchecked(L"Kept");
  anyDriverDeleted = true;  // from an earlier run

  EXPECT_TRUE(Run());
  EXPECT_FALSE(anyDriverDeleted);
  EXPECT_TRUE(Calls(L"DeletePrinterDriverEx").empty());
  EXPECT_EQ(refreshes, 1);
}

TEST_F(Deletion, RemoteTargetWorksInsideItsSessionAndDropsItAfterTheRefresh) {
  Target(L"SRV");
  refreshTarget = L"SRV";
  Remote().drivers = {Driver(L"Contoso A")};
  Remote().printers = {FakePrinter{L"Office", L"Contoso A"}};
  list.Checked(L"Contoso A");

  EXPECT_TRUE(Run());
  EXPECT_TRUE(spooler.PrinterNames(L"\\\\SRV").empty());
  EXPECT_TRUE(spooler.DriverKeys(L"\\\\SRV").empty());
  const auto calls = Calls();
  ASSERT_EQ(calls.size(), 9u);
  EXPECT_EQ(calls[0].rfind(L"WNetAddConnection2 \\\\SRV\\IPC$ ", 0), 0u);
  EXPECT_EQ(calls[1], L"EnumPrinters flags=10 \\\\SRV 2 0");
  EXPECT_EQ(calls[3], L"OpenPrinter \\\\SRV\\Office access=983052 datatype=(null) devmode=(null)");
  EXPECT_EQ(calls[4], L"DeletePrinter Office");
  EXPECT_EQ(calls[5], L"ClosePrinter Office");
  EXPECT_EQ(calls[6], L"DeletePrinterDriverEx \\\\SRV Windows x64 Contoso A flags=1 version=0");
  EXPECT_EQ(calls[7], L"(refresh)");
  EXPECT_EQ(calls[8], L"WNetCancelConnection2 \\\\SRV\\IPC$ flags=0 force=1");
}

TEST_F(Deletion, FailedRemoteEntryDropsTheSessionAndTheRestAreStillTried) {
  Target(L"SRV");
  refreshTarget = L"";  // the machine box was emptied meanwhile
  Remote().drivers = {Driver(L"Held"), Driver(L"Free")};
  Remote().printers = {FakePrinter{L"Office", L"Held"}, FakePrinter{L"Lobby", L"Held"}};
  list.Checked(L"Held");
  list.Checked(L"Free");

  EXPECT_FALSE(Run());
  EXPECT_TRUE(anyDriverDeleted);
  EXPECT_EQ(lastDeleteError, static_cast<DWORD>(ERROR_PRINTER_DRIVER_IN_USE));
  EXPECT_EQ(spooler.DriverKeys(L"\\\\SRV"), std::vector<std::wstring>{L"Held|Windows x64"});
  // Once after the failed entry; not after a refresh of the local machine.
  const auto calls = Calls();
  const auto cancels = Calls(L"WNetCancelConnection2");
  ASSERT_EQ(cancels.size(), 1u);
  EXPECT_EQ(calls.back(), L"(refresh)");
}

TEST_F(Deletion, SessionThatCannotBeOpenedStopsEverything) {
  Target(L"SRV");
  Remote().connectResult = ERROR_BAD_NETPATH;
  Remote().drivers = {Driver(L"Contoso A")};
  list.Checked(L"Contoso A");
  anyDriverDeleted = true;

  EXPECT_FALSE(Run());
  EXPECT_FALSE(anyDriverDeleted);
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
    list.rows.clear();
    list.Checked(L"Contoso A");

    EXPECT_FALSE(Run());
    EXPECT_EQ(lastDeleteError, c.expected);
    EXPECT_EQ(refreshes, 0);
    EXPECT_EQ(Calls(L"WNetCancelConnection2").size(), c.cancels);
    EXPECT_TRUE(Calls(L"OpenPrinter").empty());
    EXPECT_TRUE(Calls(L"DeletePrinterDriverEx").empty());
  }
}

TEST_F(Deletion, PrinterThatCannotBeOpenedOrDeletedKeepsItsCodeAndItsDriver) {
  Local().drivers = {Driver(L"Locked"), Driver(L"Stuck")};
  Local().printers = {FakePrinter{L"Locked One", L"Locked"}, FakePrinter{L"Stuck One", L"Stuck"}};
  Local().printers[0].openError = ERROR_ACCESS_DENIED;
  Local().printers[1].deleteError = ERROR_PRINTER_HAS_JOBS_QUEUED;
  list.Checked(L"Locked");
  list.Checked(L"Stuck");

  EXPECT_FALSE(Run());
  // The later failure's code, not the close's that followed it.
  EXPECT_EQ(lastDeleteError, static_cast<DWORD>(ERROR_PRINTER_HAS_JOBS_QUEUED));
  EXPECT_EQ(Calls(L"ClosePrinter"), std::vector<std::wstring>{L"ClosePrinter Stuck One"});
  EXPECT_TRUE(Calls(L"DeletePrinterDriverEx").empty());
  EXPECT_EQ(spooler.PrinterNames(L"").size(), 2u);
  EXPECT_EQ(spooler.DriverKeys(L"").size(), 2u);
}

TEST_F(Deletion, LastErrorOutlivesALaterCleanRun) {
  Local().drivers = {Driver(L"Held"), Driver(L"Free")};
  Local().printers = {FakePrinter{L"One", L"Held"}, FakePrinter{L"Two", L"Held"}};
  list.Checked(L"Held");
  EXPECT_FALSE(Run());
  ASSERT_EQ(lastDeleteError, static_cast<DWORD>(ERROR_PRINTER_DRIVER_IN_USE));

  list.rows.clear();
  list.Checked(L"Free");
  EXPECT_TRUE(Run());
  EXPECT_TRUE(anyDriverDeleted);
  EXPECT_EQ(lastDeleteError, static_cast<DWORD>(ERROR_PRINTER_DRIVER_IN_USE));
}

TEST_F(Deletion, CellsAreCutTo255Characters) {
  const std::wstring longest(255, L'n');
  const std::wstring environment = std::wstring(kX64) + std::wstring(300, L'e');
  Local().drivers = {Driver(longest, environment.substr(0, 255))};
  list.Checked(longest + L"tail", environment);

  EXPECT_TRUE(Run());
  EXPECT_TRUE(spooler.DriverKeys(L"").empty());
  EXPECT_EQ(
      Calls(L"DeletePrinterDriverEx"),
      std::vector<std::wstring>{L"DeletePrinterDriverEx (null) " + environment.substr(0, 255) +
                                L" " + longest + L" flags=1 version=0"});
}

class PrinterEnumeration : public Deletion {};

TEST_F(PrinterEnumeration, TwoCallsFillTheRecordsWithTheirStringsInOneBuffer) {
  Remote().printers = {FakePrinter{L"Office", L"Contoso A"}, FakePrinter{L"Lobby", L"Contoso B"}};
  Target(L"SRV");
  DriverInventory& inventory = *currentInventory;
  inventory.printerCount = 7;

  ASSERT_TRUE(EnumeratePrinters(inventory));
  ASSERT_EQ(inventory.printerCount, 2u);
  const auto calls = Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0], L"EnumPrinters flags=10 \\\\SRV 2 0");
  const DWORD size = testing::PrinterBufferSize(L"\\\\SRV", Remote().printers);
  EXPECT_EQ(calls[1], L"EnumPrinters flags=10 \\\\SRV 2 " + std::to_wstring(size));

  const auto* printers = reinterpret_cast<const PRINTER_INFO_2W*>(inventory.printers.get());
  EXPECT_STREQ(printers[0].pPrinterName, L"\\\\SRV\\Office");
  EXPECT_STREQ(printers[1].pDriverName, L"Contoso B");
  const BYTE* begin = inventory.printers.get();
  for (DWORD i = 0; i < inventory.printerCount; ++i) {
    const auto* name = reinterpret_cast<const BYTE*>(printers[i].pPrinterName);
    EXPECT_TRUE(name >= begin && name < begin + size);
  }

  // A second read replaces the first one's buffer.
  Remote().printers.pop_back();
  ASSERT_TRUE(EnumeratePrinters(inventory));
  EXPECT_EQ(inventory.printerCount, 1u);
}

TEST_F(PrinterEnumeration, NoPrintersSucceedOnTheFirstCall) {
  ASSERT_TRUE(EnumeratePrinters(*currentInventory));
  EXPECT_EQ(currentInventory->printerCount, 0u);
  EXPECT_EQ(currentInventory->printers, nullptr);
  EXPECT_EQ(Calls(), std::vector<std::wstring>{L"EnumPrinters flags=10 (null) 2 0"});
}

TEST_F(PrinterEnumeration, FailuresKeepTheirCodeAndLeaveNoRecordsToWalk) {
  Local().printers = {FakePrinter{L"Office", L"Contoso A"}};
  Local().printerListSecondError = RPC_S_CALL_FAILED;
  DriverInventory& inventory = *currentInventory;
  inventory.printerCount = 3;
  EXPECT_FALSE(EnumeratePrinters(inventory));
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(RPC_S_CALL_FAILED));
  EXPECT_EQ(inventory.printerCount, 0u);

  Local().printerListError = ERROR_ACCESS_DENIED;
  inventory.printerCount = 3;
  EXPECT_FALSE(EnumeratePrinters(inventory));
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(inventory.printerCount, 0u);

  // A driver deletion after a failed read walks no printer.
  Local().drivers = {Driver(L"Contoso A")};
  EXPECT_FALSE(DeleteDriver(inventory, L"Contoso A", kX64));
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_PRINTER_DRIVER_IN_USE));
  EXPECT_TRUE(Calls(L"OpenPrinter").empty());
}

}  // namespace
}  // namespace kestrun
