// The copy plan's rules, from two machines of the fake spooler as a copy
// lists them.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "inventory/copy_plan.h"
#include "inventory/driver_inventory.h"
#include "inventory/printers.h"
#include "inventory/spooler_answer.h"
#include "tests/support/fake_spooler.h"

namespace kestrun {
namespace {

using testing::FakeDriver;
using testing::FakePrinter;

struct Listed {
  DriverInventory inventory;
  SpoolerAnswer ports;
  CopySide side;
};

void List(const wchar_t* machine, Listed& listed) {
  ResetInventory(listed.inventory);
  ASSERT_TRUE(EnumerateDrivers(listed.inventory, machine));
  ASSERT_EQ(ReadPorts(listed.inventory.targetName, listed.ports), 0u);
  listed.side = {&listed.inventory,
                 reinterpret_cast<const PORT_INFO_2W*>(listed.ports.buffer.get()),
                 listed.ports.count, PrintersEnvironment(listed.inventory)};
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
  source.drivers = {x64, x86, testing::InboxClassDriver(L"Microsoft IPP Class Driver"), fabrikam};
  source.ports = {{L"IP_1", L"Standard TCP/IP Port", L"10.0.0.1"},
                  {L"WSD-1", L"WSD Port"},
                  {L"COM9:", L"Local Port"}};
  FakePrinter hr{L"HR Laser", acme, L"IP_1"};
  hr.shareName = L"HRLaser";
  FakePrinter taken{L"Taken", acme, L"IP_1"};
  taken.shareName = L"shared";
  source.printers = {hr,
                     taken,
                     {L"Lobby", acme, L"WSD-1"},
                     {L"Ipp", L"Microsoft IPP Class Driver", L"IP_1"},
                     {L"There", acme, L"IP_1"},
                     {L"Fab", L"Fabrikam", L"IP_1"},
                     {L"Serial", acme, L"COM9:"},
                     {L"Skipped", acme, L"IP_1"}};
  target.drivers = {};
  target.ports = {{L"LPT1:", L"Local Port"}};
  FakePrinter other{L"Other", acme, L"LPT1:"};
  other.shareName = L"SHARED";
  target.printers = {{L"there", acme, L"LPT1:"}, other};
  spooler.Install();
  Listed from, to;
  List(L"OLD", from);
  List(L"NEW", to);
  const CopyPlan plan = PlanCopy(from.side, to.side, L"NEW",
                                 [](std::wstring_view name) { return name != L"Skipped"; });
  testing::FakeSpooler::Uninstall();

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
  };
  ASSERT_EQ(plan.printers.size(), std::size(expected));
  for (size_t p = 0; p < plan.printers.size(); ++p) {
    EXPECT_EQ(plan.printers[p].shown, expected[p].printer);
    EXPECT_EQ(plan.printers[p].action, expected[p].action) << expected[p].printer;
    EXPECT_EQ(plan.printers[p].why, expected[p].why);
  }
  // HR Laser brings its driver in both environments (32-bit clients too) and its port.
  std::vector<std::wstring> drivers;
  for (const size_t d : plan.printers[0].drivers) {
    drivers.push_back(plan.drivers[d].name + L"|" + plan.drivers[d].environment);
  }
  EXPECT_EQ(drivers,
            (std::vector<std::wstring>{acme + L"|Windows x64", acme + L"|Windows NT x86"}));
  ASSERT_NE(plan.printers[0].port, kNoCopyPort);
  EXPECT_EQ(plan.ports[plan.printers[0].port].name, L"IP_1");
  EXPECT_EQ(plan.ports[plan.printers[0].port].action, CopyAction::Copy);
}

}  // namespace
}  // namespace kestrun
