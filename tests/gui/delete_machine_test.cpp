// "Delete Driver(s)" and the machine box's network list, on the real main
// window with the fake spooler and network.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <functional>
#include <atomic>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "ui/window_records.h"
#include "app/startup.h"
#include "inventory/deletion.h"
#include "inventory/driver_inventory.h"
#include "inventory/error_reporter.h"
#include "inventory/field_text.h"
#include "tests/support/main_window_fixture.h"
#include "tests/support/ui_waits.h"
#include "ui/controls.h"
#include "ui/delete_command.h"
#include "ui/restore_command.h"
#include "ui/driver_list.h"
#include "res/ids.h"
#include "ui/main_window.h"
#include "ui/views.h"
#include "ui/workers.h"

namespace kestrun::testing {
namespace {

constexpr wchar_t kConfirmation[] =
    L"Warning, this will attempt to delete the selected driver(s)!\nA snapshot is saved first: "
    L"Edit > Undo Deletion puts it back. Do you wish to proceed?";
constexpr wchar_t kDeleted[] = L"The selected driver(s) were deleted successfully.";
constexpr wchar_t kNotAll[] =
    L"Not all selected print drivers could be deleted.\nPlease try rebooting and deleting again.";
constexpr wchar_t kInUse[] =
    L"The selected driver(s) were not deleted: a printer or a running print job still uses them.";
constexpr wchar_t kFailedPrefix[] = L"Failed to delete selected print driver(s)!\n";

const std::wstring kContoso = L"Contoso LaserJet 4200 PCL6";
const std::wstring kNorvex = L"Norvex Universal Print Class Driver";
const std::wstring kMicrosoft = L"Microsoft XPS Document Writer v4";

std::wstring ErrorText(DWORD code) { return errorReporter->GetErrorText(code).text; }

int CountOf(const std::vector<std::wstring>& calls, const std::wstring& prefix) {
  return static_cast<int>(std::count_if(calls.begin(), calls.end(), [&](const std::wstring& call) {
    return call.rfind(prefix, 0) == 0;
  }));
}

class Deletion : public MainWindowFixture {
 protected:
  void SetUp() override {
    MainWindowFixture::SetUp();
    lastDeleteError = 0;
  }
  void Check(const std::wstring& name, const std::wstring& environment = L"") {
    for (int row = 0; row < RowCount(); ++row) {
      if (Cell(row, 1) != name || (!environment.empty() && Cell(row, 4) != environment)) continue;
      LVITEMW item = {};
      item.stateMask = LVIS_STATEIMAGEMASK;
      item.state = INDEXTOSTATEIMAGEMASK(2);
      ::SendMessageW(listView, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(&item));
      return;
    }
    ADD_FAILURE() << "no row for " << std::string(name.begin(), name.end());
  }
  // The box's button that Enter presses.
  static int DefaultButton(HWND box) {
    for (int id : {IDYES, IDNO}) {
      const HWND button = ::GetDlgItem(box, id);
      if (button && (::GetWindowLongW(button, GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON) {
        return id;
      }
    }
    return 0;
  }
  static bool IsQuestion(const std::wstring& text) {
    return text.rfind(kConfirmation, 0) == 0 || text.rfind(L"Put back what was deleted", 0) == 0;
  }
  // A box's text without the target's line and the counts, which tests of their own check.
  static std::wstring Plain(std::wstring text) {
    for (const wchar_t* line : {L"\nDeleted ", L"\nSelected drivers on "}) {
      size_t at = text.find(line);
      if (at == std::wstring::npos) continue;
      const size_t end = text.find(L'\n', at + 1);
      if (text[at - 1] == L'\n') --at;  // the question's blank line before it
      text.erase(at, end == std::wstring::npos ? end : end - at);
    }
    // The outcome's last line, naming the snapshot, which tests of their own check.
    if (const size_t saved = text.find(L"\n\nSaved in "); saved != std::wstring::npos) {
      text.erase(saved, text.find(L'\n', saved + 2) - saved);
    }
    // The question's counts line, "1 driver and 0 printers will be deleted."
    if (const size_t counts = text.find(L" will be deleted.\n"); counts != std::wstring::npos) {
      const size_t at = text.rfind(L'\n', counts);
      text.erase(at, text.find(L'\n', counts) - at);
    } else if (text.size() > 17 && text.ends_with(L" will be deleted.")) {
      text.erase(text.rfind(L'\n'));
    }
    return text;
  }
  // Clicks "Delete Driver(s)", answers the question with `answer` (after
  // `whileAsked`, which acts while it is open) and every other box with OK,
  // and returns the boxes' plain texts in order (`boxes`: whole).
  std::vector<std::wstring> Delete(int answer = IDYES,
                                   const std::function<void()>& whileAsked = nullptr,
                                   UINT command = 0) {
    std::vector<std::wstring> texts;
    boxes.clear();
    if (command != 0) {
      ::PostMessageW(window, WM_COMMAND, command, 0);  // a menu command, as the user picks it
    } else {
      ::SendMessageW(deleteButton, BM_CLICK, 0, 0);
    }
    PumpUntil(
        [&] {
          if (HWND box = ::FindWindowW(L"#32770", L"Kestrun")) {
            boxes.push_back(DialogText(box));
            texts.push_back(Plain(boxes.back()));
            const bool question = IsQuestion(texts.back());
            if (question) {
              questionDefault = DefaultButton(box);
              if (whileAsked) whileAsked();
            }
            ::PostMessageW(box, WM_COMMAND, question ? answer : IDOK, 0);
            PumpUntil([box] { return !::IsWindow(box); }, 5000);
          }
          return WaitForWorkers(0) && !ExclusiveRunActive();
        },
        30000);
    return texts;
  }
  // The lines the question adds to the warning, as Delete() returned it.
  static std::wstring AddedLines(const std::wstring& question) {
    return question.substr(std::wstring(kConfirmation).size());
  }
  int questionDefault = 0;
  std::vector<std::wstring> boxes;

  // "Shared Office Driver" for x64 and for x86 clients; printer "Hall" uses it.
  void AddOneDriverInTwoEnvironmentsWithAPrinter() {
    FakeDriver x64 = RichDriver(L"Shared Office Driver", L"Contoso");
    FakeDriver x86 = x64;
    x86.environment = L"Windows NT x86";
    spooler.machines[L""].drivers.push_back(x64);
    spooler.machines[L""].drivers.push_back(x86);
    spooler.machines[L""].printers = {{L"Hall", L"Shared Office Driver"}};
  }
  std::vector<std::wstring> Names() const { return Column(1); }
  bool Listed(const std::wstring& name) const {
    const auto names = Names();
    return std::find(names.begin(), names.end(), name) != names.end();
  }
};

TEST_F(Deletion, AnUnusedDriverGoesAloneAndTheListShowsEveryDriverAgain) {
  spooler.machines[L""].printers = {{L"Front Desk", kNorvex}};
  OpenWindow();
  ShowNonNativeOnly();
  Check(kContoso);
  const int enumerations = spooler.enumerateCalls;
  EXPECT_EQ(Delete(), (std::vector<std::wstring>{kConfirmation, kDeleted}));

  const auto calls = spooler.Calls();
  EXPECT_EQ(CountOf(calls, L"OpenPrinter"), 0);
  EXPECT_EQ(CountOf(calls, L"WNetAddConnection2"), 0) << "a local target opens no session";
  EXPECT_EQ(spooler.DriverKeys(L"").size(), 4u);
  EXPECT_EQ(spooler.PrinterNames(L""), std::vector<std::wstring>{L"Front Desk"});
  // Refreshed with every driver, though only the non-native ones were shown.
  EXPECT_GT(spooler.enumerateCalls, enumerations);
  EXPECT_EQ(RowCount(), 4);
  EXPECT_FALSE(Listed(kContoso));
  EXPECT_TRUE(Listed(kMicrosoft));
  EXPECT_TRUE(::IsWindowEnabled(deleteButton));
  EXPECT_FALSE(::IsWindowVisible(progressBar));
  EXPECT_EQ(spooler.OpenPrinterCount(), 0u);
}

TEST_F(Deletion, TheUnusedViewTickAllAndDeleteClearEveryDriverNothingUses) {
  spooler.machines[L""].printers = {{L"Front Desk", kNorvex}};
  spooler.machines[L""].connections = {{L"\\\\OTHER\\Lobby", kContoso}};
  OpenWindow();
  Command(IDM_UNUSED_ONLY);  // Fabrikam and Generic / Text Only
  EXPECT_EQ(Column(15), (std::vector<std::wstring>{L"0", L"0"}));
  HeaderClick(0);
  EXPECT_EQ(Delete(), (std::vector<std::wstring>{kConfirmation, kDeleted}));
  EXPECT_EQ(Names(), (std::vector<std::wstring>{kContoso, kMicrosoft, kNorvex}));
  // Nothing unused now: the empty view says so in the list, until the rows are replaced.
  Command(IDM_UNUSED_ONLY);
  EXPECT_EQ(RowCount(), 0);
  EXPECT_EQ(EmptyListText(), L"No unused non-native drivers on this computer");
  Command(IDM_RESET_VIEW);
  EXPECT_EQ(EmptyListText(), L"");

  // Printers that cannot be read: the view is refused, naming why.
  spooler.machines[L""].printerListError = ERROR_ACCESS_DENIED;
  EnumerateMachine(L"");
  auto refusal = AnswerMessageBox();
  Command(IDM_CTX_UNUSED_ONLY);
  EXPECT_EQ(refusal.get(),
            L"Kestrun cannot tell which drivers are unused: the printers of this machine could not "
            L"be read.\n" +
                OneLineText(ErrorText(ERROR_ACCESS_DENIED)));
  EXPECT_EQ(Column(15), (std::vector<std::wstring>{L"", L"", L""}));

  // After a listing that failed there is nothing to tell unused, and no code 0 to name.
  spooler.machines[L""].firstCallError = RPC_S_SERVER_UNAVAILABLE;
  auto failure = AnswerMessageBox();
  EnumerateMachine(L"");
  EXPECT_NE(failure.get(), L"");
  auto afterFailure = AnswerMessageBox();
  Command(IDM_UNUSED_ONLY);
  EXPECT_EQ(afterFailure.get(), L"List a machine first: the last listing did not finish.");
}

TEST_F(Deletion, EveryPrinterOfATickedDriverIsNamedInTheQuestionThenGoesWithIt) {
  spooler.machines[L""].printers = {
      {L"Front Desk", kNorvex}, {L"Back Office", kNorvex}, {L"Lobby", kContoso}};
  OpenWindow();
  Check(kNorvex);
  const auto texts = Delete();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(AddedLines(texts[0]),
            L"\n\nThese printers use the selected drivers and will be deleted first:\n"
            L"Front Desk (" + kNorvex + L")\nBack Office (" + kNorvex + L")");
  EXPECT_EQ(questionDefault, IDNO) << "printers go too: Enter must not confirm";
  EXPECT_EQ(texts[1], kDeleted + std::wstring(L"\n\nPrinter deleted: Front Desk\nPrinter deleted: "
                                              L"Back Office"));
  EXPECT_EQ(spooler.PrinterNames(L""), std::vector<std::wstring>{L"Lobby"});
  EXPECT_FALSE(Listed(kNorvex));

  // Without printers to name, the question is the warning alone, Yes first.
  Check(kMicrosoft);
  EXPECT_EQ(Delete(), (std::vector<std::wstring>{kConfirmation, kDeleted}));
  EXPECT_EQ(questionDefault, IDYES);
  EXPECT_EQ(spooler.OpenPrinterCount(), 0u);
}

TEST_F(Deletion, OneNameInTwoEnvironmentsLosesItsPrinterOnceAndBothDriversGo) {
  AddOneDriverInTwoEnvironmentsWithAPrinter();
  OpenWindow();
  Check(L"Shared Office Driver", L"Windows x64");
  Check(L"Shared Office Driver", L"Windows NT x86");
  const auto texts = Delete();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[1], kDeleted + std::wstring(L"\n\nPrinter deleted: Hall"));
  EXPECT_TRUE(spooler.PrinterNames(L"").empty());
  EXPECT_FALSE(Listed(L"Shared Office Driver"));
  EXPECT_EQ(CountOf(spooler.Calls(), L"DeletePrinter Hall"), 1);
}

TEST_F(Deletion, UndoPutsTheDeletedDriverAndItsPrinterBackWithTheirData) {
  const BYTE tray[] = {'T', 0, '2', 0, 0, 0};
  spooler.machines[L""].printers = {{L"Front Desk", kNorvex}};
  spooler.machines[L""].printers[0].data[L"PrinterDriverData\\Tray"] = {REG_SZ, {std::begin(tray), std::end(tray)}};
  OpenWindow();
  const auto undoEnabled = [] {
    return (::GetMenuState(mainMenu, IDM_UNDO_DELETION, MF_BYCOMMAND) & MF_GRAYED) == 0;
  };
  EXPECT_FALSE(undoEnabled()) << "nothing to undo yet";
  Check(kNorvex);
  ASSERT_EQ(Delete().size(), 2u);
  const std::wstring& outcome = boxes[1];
  const size_t saved = outcome.find(L"\n\nSaved in ");
  ASSERT_NE(saved, std::wstring::npos) << outcome;
  EXPECT_TRUE(outcome.ends_with(L": Edit > Undo Deletion puts it back.") ||
              outcome.ends_with(L"\u2026"));
  EXPECT_EQ(DeletionSnapshot().rfind(outcome.substr(saved + 11, 20), 0), 0u);
  EXPECT_TRUE(undoEnabled());
  EXPECT_FALSE(Listed(kNorvex));
  EXPECT_TRUE(spooler.PrinterNames(L"").empty());

  // Asked, put back, listed again.
  const auto texts = Delete(IDYES, nullptr, IDM_UNDO_DELETION);
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_NE(texts[0].find(L"\n1 driver, 1 printer and 0 packages will be restored.\n"),
            std::wstring::npos)
      << texts[0];
  EXPECT_EQ(texts[1].rfind(L"The snapshot was restored.\nOn this computer\nRestored 1 of 1 driver, "
                           L"1 of 1 printer; 0 there already.",
                           0),
            0u)
      << texts[1];
  EXPECT_TRUE(Listed(kNorvex));
  ASSERT_EQ(spooler.PrinterNames(L""), std::vector<std::wstring>{L"Front Desk"});
  EXPECT_EQ(spooler.machines[L""].printers[0].data.count(L"PrinterDriverData\\Tray"), 1u);
  EXPECT_EQ(spooler.machines[L""].printers[0].data[L"PrinterDriverData\\Tray"].data,
            std::vector<BYTE>(std::begin(tray), std::end(tray)));

  // A second undo finds everything there and changes nothing.
  const size_t added = spooler.CallsStartingWith(L"Add").size();
  EXPECT_NE(Delete(IDYES, nullptr, IDM_UNDO_DELETION)[0].find(L"there already"), std::wstring::npos);
  EXPECT_EQ(spooler.CallsStartingWith(L"Add").size(), added);
}

TEST_F(Deletion, AnAdditionalDriverForClientsTakesNoPrinter) {
  AddOneDriverInTwoEnvironmentsWithAPrinter();
  OpenWindow();
  Check(L"Shared Office Driver", L"Windows NT x86");
  // Exactly the ticked row goes; the question names the printer whose clients lose it.
  EXPECT_EQ(Delete(), (std::vector<std::wstring>{
                          kConfirmation + std::wstring(L"\n\nThese printers stay, but their clients "
                                                       L"lose the selected copy of the driver they "
                                                       L"get from this server:\nHall: 32-bit "
                                                       L"clients (Shared Office Driver, Windows NT "
                                                       L"x86)"),
                          kDeleted}));
  EXPECT_EQ(spooler.PrinterNames(L""), std::vector<std::wstring>{L"Hall"});
  const auto keys = spooler.DriverKeys(L"");
  EXPECT_EQ(std::count(keys.begin(), keys.end(), L"Shared Office Driver|Windows x64"), 1);
  EXPECT_EQ(std::count(keys.begin(), keys.end(), L"Shared Office Driver|Windows NT x86"), 0);
}

TEST_F(Deletion, ClicksTicksAndSortsWhileAskedChangeNothingThatGoes) {
  OpenWindow();
  Check(kContoso);
  const auto texts = Delete(IDYES, [this] {
    HeaderClick(0);  // check all: refused
    HeaderClick(1);  // a sort: the plan does not read the list
    HeaderClick(1);
    LVITEMW tick = {};
    tick.stateMask = LVIS_STATEIMAGEMASK;
    tick.state = INDEXTOSTATEIMAGEMASK(2);
    ::SendMessageW(listView, LVM_SETITEMSTATE, 0, reinterpret_cast<LPARAM>(&tick));
    int ticked = 0;
    for (int row = 0; row < RowCount(); ++row) ticked += IsChecked(row) ? 1 : 0;
    EXPECT_EQ(ticked, 1) << "the list keeps showing what goes";
    EXPECT_FALSE(StartDeletion()) << "a second Delete is refused";
  });
  EXPECT_EQ(texts, (std::vector<std::wstring>{kConfirmation, kDeleted}));
  EXPECT_EQ(CountOf(spooler.Calls(), L"DeletePrinterDriverEx"), 1);
  EXPECT_EQ(spooler.DriverKeys(L"").size(), 4u);
  EXPECT_FALSE(Listed(kContoso));
  HeaderClick(0);  // after the run the header ticks every row again
  EXPECT_TRUE(IsChecked(0));
}

TEST_F(Deletion, AnyStateImageButOneCountsAsTickedAndEachRowNamesItsOwnRecord) {
  OpenWindow();
  // In the full list, and in the non-native view sorted the other way, whose
  // rows are a subset of the records in another order.
  for (const bool nonNativeView : {false, true}) {
    if (nonNativeView) {
      ShowNonNativeOnly();
      sortDescendingNext = true;
      HeaderClick(1);
    }
    for (int row = 0; row < RowCount(); ++row) {
      LVITEMW item = {};
      item.stateMask = LVIS_STATEIMAGEMASK;
      item.state = INDEXTOSTATEIMAGEMASK(Cell(row, 1) == kContoso ? 0 : 1);
      ::SendMessageW(listView, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(&item));
    }
    const DeletionPlan plan = TakeDeletionPlan();
    ASSERT_EQ(plan.drivers.size(), 1u);
    EXPECT_EQ(plan.drivers[0].name, kContoso);
    EXPECT_EQ(plan.drivers[0].environment, L"Windows x64");
    EXPECT_FALSE(plan.drivers[0].native);
    EXPECT_EQ(plan.targetName, L"\\\\");
    EXPECT_FALSE(plan.isRemote);
  }
}

TEST_F(Deletion, ADeleteDuringAnEnumerationIsRefused) {
  OpenWindow();
  spooler.machines[L""].enumerateDelayMs = 400;
  Check(kContoso);
  ::SendMessageW(enumerateButton, BM_CLICK, 0, 0);
  ASSERT_TRUE(ExclusiveRunActive());
  EXPECT_FALSE(StartDeletion());
  ASSERT_TRUE(WaitIdle());
  EXPECT_FALSE(PumpUntil([] { return ::FindWindowW(L"#32770", L"Kestrun") != nullptr; }, 300));
  EXPECT_EQ(CountOf(spooler.Calls(), L"EnumPrinters flags=10"), 0) << "nothing planned";
  EXPECT_FALSE(::IsWindowVisible(progressBar));
}

TEST_F(Deletion, AConnectionThatKeepsTheDriverKeepsItsPrintersToo) {
  spooler.machines[L""].printers = {
      {L"Front Desk", kContoso}, {L"\\\\OTHER\\Accounting", kContoso}, {L"Back Office", kContoso}};
  OpenWindow();
  Check(kContoso);
  const auto texts = Delete();
  ASSERT_EQ(texts.size(), 2u);
  const std::wstring kept = L"Kept, still used by \\\\OTHER\\Accounting: " + kContoso;
  EXPECT_NE(texts[0].find(L"Accounting (" + kContoso +
                          L"): on another server\n\nThese selected "
                          L"drivers will not be deleted, nor their printers:\n" +
                          kept),
            std::wstring::npos);
  EXPECT_EQ(texts[1], kInUse + (L"\n\n" + kept)) << "nothing deleted: no undo offered";
  EXPECT_EQ(CountOf(spooler.Calls(), L"DeletePrinterDriverEx"), 0);
  EXPECT_EQ(spooler.PrinterNames(L"").size(), 3u);
  EXPECT_TRUE(::GetMenuState(::GetMenu(MainWindow()), IDM_UNDO_DELETION, MF_BYCOMMAND) & MF_GRAYED);
}

TEST_F(Deletion, AServerWithoutItsEnvironmentLosesNoPrinterAndTheQuestionSaysSo) {
  FakeMachine& server = spooler.machines[L"\\\\SRV"];
  server.drivers = SampleDrivers();
  server.architecture.reset();
  server.printers = {{L"Front Desk", kContoso}};
  OpenWindow();
  EnumerateMachine(L"SRV");
  Check(kContoso);
  const auto texts = Delete(IDNO);
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_NE(texts[0].find(L"\\\\SRV\\Front Desk (" + kContoso +
                          L"): the server's environment could not be read"),
            std::wstring::npos)
      << texts[0];
  EXPECT_NE(texts[0].find(L"The environment of \\\\SRV could not be read ("), std::wstring::npos);
  const auto calls = spooler.Calls();
  EXPECT_EQ(CountOf(calls, L"OpenPrinter \\\\SRV\\"), 0);
  // No: the session the question needed is dropped again.
  EXPECT_EQ(CountOf(calls, L"WNetAddConnection2"), CountOf(calls, L"WNetCancelConnection2"));
}

TEST_F(Deletion, TheListedMachineIsNamedDeletedFromAndListedAgainWhateverTheBoxSays) {
  FakeMachine& server = spooler.machines[L"\\\\SRV"];
  server.drivers = SampleDrivers();
  server.drivers.push_back(RichDriver(L"Only On SRV", L"Contoso"));
  OpenWindow();
  EnumerateMachine(L"SRV");
  Check(kContoso);
  const size_t before = spooler.Calls().size();
  const auto texts = Delete(IDYES, [] {
    ::SetWindowTextW(machineCombo, L"SRV2");
    ::SendMessageW(machineCombo, CB_SHOWDROPDOWN, TRUE, 0);  // changes nothing meanwhile
  });
  ASSERT_EQ(texts.size(), 2u);
  const std::wstring named = L"\nSelected drivers on SRV (\\\\SRV)";
  EXPECT_EQ(boxes[0].substr(std::wstring(kConfirmation).size()),
            L"\n" + named + L"\n1 driver and 0 printers will be deleted.");
  EXPECT_EQ(boxes[1].substr(0, boxes[1].find(L"\n\nSaved in ")),
            kDeleted + named + L"\nDeleted 1 of 1 drivers, 0 printers.");
  const auto all = spooler.Calls();
  const std::vector<std::wstring> calls(all.begin() + static_cast<long>(before), all.end());
  const auto at = [&](const std::wstring& prefix) {
    return std::find_if(calls.begin(), calls.end(),
                        [&](const std::wstring& call) { return call.rfind(prefix, 0) == 0; }) -
           calls.begin();
  };
  EXPECT_EQ(CountOf(calls, L"WNetCancelConnection2 \\\\SRV\\IPC$"), 2);  // with the refresh's
  // The refresh (the last listing; the snapshot read the drivers inside the session).
  const auto last = std::find_if(calls.rbegin(), calls.rend(), [](const std::wstring& call) {
    return call.rfind(L"EnumPrinterDrivers \\\\SRV ", 0) == 0;
  });
  EXPECT_LT(at(L"WNetCancelConnection2"), calls.rend() - last - 1);
  EXPECT_TRUE(Listed(L"Only On SRV")) << "the refresh lists the deletion's machine";
  EXPECT_EQ(CountOf(calls, L"NetServerEnum"), 0);
  EXPECT_EQ(::GetWindowTextLengthW(machineCombo), 3) << "the box names SRV again";
}

TEST_F(Deletion, ACloseWhileAskedAnswersNoAndThenClosesTheWindow) {
  spooler.machines[L""].printers = {{L"Front Desk", kContoso}};
  OpenWindow();
  Check(kContoso);
  const auto texts = Delete(IDYES, [this] {
    ::PostMessageW(window, WM_CLOSE, 0, 0);  // as taskkill without /f
    PumpUntil([this] { return !::IsWindow(window); });
  });
  EXPECT_EQ(texts.size(), 1u);
  EXPECT_FALSE(::IsWindow(window));
  EXPECT_EQ(CountOf(spooler.Calls(), L"DeletePrinterDriverEx"), 0);
}

TEST_F(Deletion, ACloseOrSessionEndDuringTheDeletionIsHeldUntilTheOutcomeIsAnswered) {
  spooler.machines[L""].printers = {{L"Front Desk", kNorvex}};
  spooler.machines[L""].deleteDelayMs = 300;
  OpenWindow();
  for (const auto& name : {kContoso, kNorvex, kMicrosoft}) Check(name);
  ::SendMessageW(deleteButton, BM_CLICK, 0, 0);
  ::PostMessageW(WaitForWindow(L"#32770", L"Kestrun"), WM_COMMAND, IDYES, 0);
  PumpUntil([this] { return CountOf(spooler.Calls(), L"DeletePrinterDriverEx") > 0; });
  EXPECT_FALSE(::SendMessageW(window, WM_QUERYENDSESSION, 0, 0));
  // The held close's box runs its loop on this thread: another one reads and answers.
  std::wstring held, outcome;
  std::thread user([&held, &outcome] {
    HWND box = nullptr;
    for (const ULONGLONG end = ::GetTickCount64() + 20000; ::GetTickCount64() < end; ::Sleep(20)) {
      const std::wstring text =
          (box = ::FindWindowExW(nullptr, box, L"#32770", L"Kestrun")) ? DialogText(box) : L"";
      if (text.rfind(kDeleted, 0) == 0) break;
      if (!text.empty()) held = text;
    }
    outcome = DialogText(box);
    ::PostMessageW(box, WM_COMMAND, IDOK, 0);
  });
  ::PostMessageW(window, WM_CLOSE, 0, 0);
  EXPECT_TRUE(PumpUntil([this] { return !::IsWindow(window); }, 20000));
  user.join();
  EXPECT_NE(held.find(L"closes when the deletion has finished"), std::wstring::npos) << held;
  EXPECT_EQ(Plain(outcome), kDeleted + std::wstring(L"\n\nPrinter deleted: Front Desk"));
  EXPECT_EQ(spooler.DriverKeys(L"").size(), 2u) << "every driver was tried";
}

TEST_F(Deletion, TheDriverPackageOptionIsACheckMarkThatARunRefuses) {
  OpenWindow();
  const auto checked = [] {
    return (::GetMenuState(mainMenu, IDM_REMOVE_PACKAGES, MF_BYCOMMAND) & MF_CHECKED) != 0;
  };
  removeDriverPackages = false;
  EXPECT_FALSE(checked()) << "off at every start";
  Command(IDM_REMOVE_PACKAGES);
  EXPECT_TRUE(removeDriverPackages);
  EXPECT_TRUE(checked());

  // While a run holds the slot, the option stays as it is.
  spooler.machines[L""].enumerateDelayMs = 400;
  ::SendMessageW(enumerateButton, BM_CLICK, 0, 0);
  ASSERT_TRUE(ExclusiveRunActive());
  Command(IDM_REMOVE_PACKAGES);
  EXPECT_TRUE(removeDriverPackages);
  EXPECT_TRUE(checked());
  ASSERT_TRUE(WaitIdle());
  Command(IDM_REMOVE_PACKAGES);
  EXPECT_FALSE(removeDriverPackages);
  EXPECT_FALSE(checked());
}

TEST_F(Deletion, WithTheOptionTheQuestionAndTheOutcomeNameThePackages) {
  const std::wstring store = L"C:\\Windows\\System32\\DriverStore\\FileRepository\\";
  auto& drivers = spooler.machines[L""].drivers;
  for (auto& driver : drivers) {
    if (driver.name == kContoso) driver.infPath = store + L"contoso_x64\\CONTOSO.INF";
    if (driver.name == kMicrosoft) driver.infPath = store + L"prnms001.inf";
  }
  FakeDriver kept = RichDriver(L"Contoso Fax", L"Contoso");
  kept.infPath = store + L"contoso_x64\\CONTOSO.INF";
  drivers.push_back(kept);
  OpenWindow();
  removeDriverPackages = true;
  Check(kContoso);
  Check(kMicrosoft);
  Check(L"Generic / Text Only");
  const auto texts = Delete();
  removeDriverPackages = false;
  ASSERT_EQ(texts.size(), 2u);
  // The plan itself keeps a package a driver that stays comes from.
  EXPECT_EQ(AddedLines(texts[0]),
            L"\n\nThese packages are the system's own and will be kept (native):\nprnms001.inf"
            L"\n\nThese packages will be kept: drivers that stay come from them:\nKept in the "
            L"driver store: CONTOSO.INF (still used by \"Contoso Fax\")"
            L"\n\nNo package in the driver store:\nGeneric / Text Only (Windows x64)");
  EXPECT_EQ(texts[1], std::wstring(kDeleted) +
                          L"\n\nKept in the driver store: CONTOSO.INF (still used by \"Contoso Fax\")");
  EXPECT_EQ(CountOf(spooler.Calls(), L"DeletePrinterDriverPackage"), 0);
}

TEST_F(Deletion, APrinterWhoseDriverNameDiffersInCaseGoesFirst) {
  spooler.machines[L""].printers = {{L"Lobby", L"CONTOSO LASERJET 4200 PCL6"}};
  OpenWindow();
  Check(kContoso);
  // The spooler matches names without case: the printer uses the driver.
  EXPECT_EQ(Delete(), (std::vector<std::wstring>{
                          kConfirmation + std::wstring(L"\n\nThese printers use the selected "
                                                       L"drivers and will be deleted first:\nLobby "
                                                       L"(CONTOSO LASERJET 4200 PCL6)"),
                          kDeleted + std::wstring(L"\n\nPrinter deleted: Lobby")}));
  EXPECT_TRUE(spooler.PrinterNames(L"").empty());
  EXPECT_EQ(CountOf(spooler.Calls(), L"DeletePrinter Lobby"), 1);
}

TEST_F(Deletion, UntickedRowsAreNeverTouched) {
  OpenWindow();
  Check(kMicrosoft);
  Delete();
  const auto calls = spooler.Calls();
  EXPECT_EQ(CountOf(calls, L"DeletePrinterDriverEx"), 1);
  EXPECT_EQ(CountOf(calls, L"DeletePrinterDriverEx (null) Windows x64 " + kMicrosoft), 1);
  EXPECT_EQ(RowCount(), 4);
}

TEST_F(Deletion, NothingTickedOrNoDeletesNothingAndKeepsTheList) {
  OpenWindow();
  const int enumerations = spooler.enumerateCalls;
  EXPECT_EQ(Delete(), std::vector<std::wstring>{
                          L"Please select a driver from the list before trying to delete!"});
  Check(kContoso);
  EXPECT_EQ(Delete(IDNO), std::vector<std::wstring>{kConfirmation});
  EXPECT_EQ(spooler.enumerateCalls, enumerations) << "no refresh";
  EXPECT_EQ(CountOf(spooler.Calls(), L"DeletePrinterDriverEx"), 0);
  EXPECT_EQ(RowCount(), 5);
  EXPECT_TRUE(IsChecked(0)) << "the list is as it was";
  EXPECT_TRUE(::IsWindowEnabled(deleteButton));
  EXPECT_FALSE(::IsWindowVisible(progressBar));
}

TEST_F(Deletion, ARemoteTargetWorksInsideItsSession) {
  FakeMachine& server = spooler.machines[L"\\\\SRV"];
  server.drivers = SampleDrivers();
  server.printers = {{L"Front Desk", kContoso}};
  OpenWindow();
  EnumerateMachine(L"SRV");
  Check(kContoso);
  const size_t before = spooler.Calls().size();
  const auto texts = Delete();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(AddedLines(texts[0]),
            L"\n\nThese printers use the selected drivers and will be deleted first:\n"
            L"\\\\SRV\\Front Desk (" + kContoso + L")");
  EXPECT_EQ(texts[1], kDeleted + std::wstring(L"\n\nPrinter deleted: \\\\SRV\\Front Desk"));
  const auto all = spooler.Calls();
  const std::vector<std::wstring> calls(all.begin() + static_cast<long>(before), all.end());
  EXPECT_EQ(CountOf(calls, L"DeletePrinter Front Desk"), 1);
  EXPECT_EQ(CountOf(calls, L"DeletePrinterDriverEx \\\\SRV Windows x64 " + kContoso), 1);
  EXPECT_GE(CountOf(calls, L"WNetAddConnection2 \\\\SRV\\IPC$"), 1);
  EXPECT_EQ(CountOf(calls, L"WNetAddConnection2"), CountOf(calls, L"WNetCancelConnection2"));
  EXPECT_TRUE(server.printers.empty());
  EXPECT_FALSE(Listed(kContoso));
}

TEST_F(Deletion, AFailedSessionOrPrinterListLeavesTheListAsItWas) {
  FakeMachine& server = spooler.machines[L"\\\\SRV"];
  server.drivers = SampleDrivers();
  OpenWindow();
  EnumerateMachine(L"SRV");
  const int enumerations = spooler.enumerateCalls;

  Check(kContoso);
  spooler.machines[L"\\\\SRV"].connectResult = ERROR_BAD_NETPATH;
  // The printers are read before the question: when they cannot be, there
  // is nothing to ask.
  std::vector<std::wstring> texts = Delete();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0], kFailedPrefix + OneLineText(ErrorText(ERROR_BAD_NETPATH)));
  EXPECT_EQ(lastDeleteError, static_cast<DWORD>(ERROR_BAD_NETPATH));

  spooler.machines[L"\\\\SRV"].connectResult = NO_ERROR;
  spooler.machines[L"\\\\SRV"].printerListError = ERROR_ACCESS_DENIED;
  const size_t before = spooler.Calls().size();
  texts = Delete();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0], kFailedPrefix + OneLineText(ErrorText(ERROR_ACCESS_DENIED)));
  const auto all = spooler.Calls();
  const std::vector<std::wstring> calls(all.begin() + static_cast<long>(before), all.end());
  EXPECT_EQ(CountOf(calls, L"WNetAddConnection2"), 1);
  EXPECT_EQ(CountOf(calls, L"WNetCancelConnection2"), 1) << "the session is dropped";

  EXPECT_EQ(spooler.enumerateCalls, enumerations) << "no refresh after a failed preparation";
  EXPECT_EQ(RowCount(), 5);
  EXPECT_TRUE(IsChecked(0));
  EXPECT_EQ(CountOf(spooler.Calls(), L"DeletePrinterDriverEx"), 0);
}

TEST_F(Deletion, AnyOtherFailureShowsTheSystemsDescription) {
  spooler.machines[L""].deleteDriverError = ERROR_ACCESS_DENIED;
  OpenWindow();
  Check(kContoso);
  const auto texts = Delete();
  ASSERT_EQ(texts.size(), 2u);
  // The headline, then a line per driver that stayed, with the system's text.
  std::wstring headline = kFailedPrefix + ErrorText(ERROR_ACCESS_DENIED);
  headline.resize(headline.find_last_not_of(L"\r\n") + 1);
  EXPECT_EQ(texts[1], headline + L"\n\n" + kContoso + L" (Windows x64): " + ErrorLine(5));
  EXPECT_NE(texts[1].find(L"ccess denied"), std::wstring::npos) << texts[1];
}

TEST_F(Deletion, TheOutcomeIsChosenInOrderAndKeptToItsBuffer) {
  OpenWindow();
  UINT icon = 0;
  EXPECT_EQ(DeletionOutcomeText(true, true, 5, icon), kDeleted + std::wstring(L"\n"));
  EXPECT_EQ(icon, static_cast<UINT>(MB_ICONINFORMATION));
  EXPECT_EQ(DeletionOutcomeText(false, true, ERROR_PRINTER_DRIVER_IN_USE, icon), kNotAll);
  EXPECT_EQ(DeletionOutcomeText(false, false, ERROR_PRINTER_DRIVER_IN_USE, icon), kInUse);
  EXPECT_EQ(icon, static_cast<UINT>(MB_ICONINFORMATION));
  EXPECT_EQ(DeletionOutcomeText(false, false, ERROR_ACCESS_DENIED, icon),
            kFailedPrefix + ErrorText(ERROR_ACCESS_DENIED));
  EXPECT_EQ(icon, static_cast<UINT>(MB_ICONERROR));
  // Every code's text fits the 320-character message, cut if need be.
  for (DWORD code : {0u, 1u, 87u, 1722u, 0xFFFFFFFFu}) {
    EXPECT_LE(DeletionOutcomeText(false, false, code, icon).size(), 319u);
  }
}

TEST_F(Deletion, TheQuestionAndTheOutcomeListFortyLinesOfAtMost120CharactersAndCountAll) {
  DeletionPlan plan;
  plan.removePackages = true;
  plan.serverEnvironment = L"Windows x64";
  for (size_t i = 0; i < 250; ++i) {  // every section full, every name 220 characters and more
    const std::wstring name = std::to_wstring(i) + std::wstring(220, L'n');
    plan.drivers.push_back({name, L"x64", false, {i}, i == 1 ? 0 : kNotKept, i < 2 ? 5u : 0});
    plan.printers.push_back({name, name, i > 0});
    plan.kept.push_back({name, name, KeptReason::OnAnotherServer});
    plan.packages.push_back(
        {name, L"x64", {i}, i ? PackageOutcome::Removed : PackageOutcome::NotTried});
    plan.nativePackages.push_back(L"native" + name);
    plan.withoutPackage.push_back(i);
  }
  UINT icon = 0;
  const std::tuple<std::wstring, size_t, std::vector<std::wstring>> boxes[] = {
      {ConfirmationText(plan), 2 + 3 + 6 * 2 + 40,
       {L"\n249 drivers, 250 printers and 250 packages will be deleted.\n", L"\nand 216 more\n",
        L":\nand 250 more"}},
      {DeletionOutcomeMessage(plan, false, true, 5, icon),
       4 + 1 + 40,
       {L"\nDeleted 248 of 250 drivers, 249 printers; removed 249 packages, kept 251.\n",
        L"\nand 214 more\nand 249 more", L"\nKept, still used by 0nnn"}},
  };
  for (const auto& [text, lineCount, parts] : boxes) {
    std::wistringstream in(text);
    size_t lines = 0;
    for (std::wstring line; std::getline(in, line); ++lines)
      EXPECT_LE(line.size(), kLineLengthLimit);
    EXPECT_EQ(lines, lineCount) << text.substr(0, 400);
    for (const auto& part : parts) EXPECT_NE(text.find(part), std::wstring::npos) << part;
    EXPECT_NE(text.find(L"\u2026\n"), std::wstring::npos) << "a long name ends in an ellipsis";
  }
}

TEST_F(Deletion, AnEnumerationCannotReplaceTheInventoryWhileADeletionRuns) {
  spooler.machines[L""].printers = {{L"Front Desk", kContoso}};
  OpenWindow();
  Check(kContoso);
  ::SendMessageW(deleteButton, BM_CLICK, 0, 0);
  HWND box = nullptr;
  ASSERT_TRUE(PumpUntil([&] { return (box = ::FindWindowW(L"#32770", L"Kestrun")) != nullptr; }));
  // While the question is open the deletion owns the run: "Enumerate" is refused.
  EXPECT_TRUE(ExclusiveRunActive());
  const int enumerations = spooler.enumerateCalls;
  EXPECT_FALSE(StartEnumeration());
  ShowNonNativeOnly();
  EXPECT_EQ(RowCount(), 5);
  EXPECT_EQ(spooler.enumerateCalls, enumerations);
  ::PostMessageW(box, WM_COMMAND, IDYES, 0);
  PumpUntil([&] {
    if (HWND outcome = ::FindWindowW(L"#32770", L"Kestrun")) {
      if (outcome != box) ::PostMessageW(outcome, WM_COMMAND, IDOK, 0);
    }
    return WaitForWorkers(0);
  });
  EXPECT_FALSE(Listed(kContoso));
  EXPECT_TRUE(spooler.PrinterNames(L"").empty());
}

class MachineBox : public MainWindowFixture {
 protected:
  // Opens the box's list as a click on its arrow does, and waits for the fetch.
  void Open() {
    ::SendMessageW(machineCombo, CB_SHOWDROPDOWN, TRUE, 0);
    PumpUntil([] { return WaitForWorkers(0); });
    ::SendMessageW(machineCombo, CB_SHOWDROPDOWN, FALSE, 0);
  }
  std::vector<std::wstring> Entries() const {
    std::vector<std::wstring> names;
    const int count = static_cast<int>(::SendMessageW(machineCombo, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
      wchar_t name[256] = {};
      if (::SendMessageW(machineCombo, CB_GETLBTEXTLEN, i, 0) < 256) {
        ::SendMessageW(machineCombo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(name));
      }
      names.push_back(name);
    }
    return names;
  }
  std::wstring Typed() const {
    wchar_t text[256] = {};
    ::GetWindowTextW(machineCombo, text, 256);
    return text;
  }
};

TEST_F(MachineBox, ListsTheNetworksServersSortedAndKeepsTheTypedName) {
  spooler.serverNames = {L"ZULU-PRN", L"alpha", L"Mike01"};
  OpenWindow();
  ::SetWindowTextW(machineCombo, L"typed-name");
  Open();
  EXPECT_EQ(Entries(), (std::vector<std::wstring>{L"alpha", L"Mike01", L"ZULU-PRN"}));
  EXPECT_EQ(Typed(), L"typed-name");
  EXPECT_EQ(CountOf(spooler.Calls(), L"NetServerEnum"), 1);

  // Another opening replaces the names and releases the last answer.
  spooler.serverNames = {L"Bravo"};
  Open();
  EXPECT_EQ(Entries(), std::vector<std::wstring>{L"Bravo"});
  EXPECT_EQ(spooler.OutstandingServerBuffers(), 1u);
  ASSERT_NE(machineList, nullptr);
  EXPECT_EQ(machineList->entriesRead, 1u);
  EXPECT_EQ(spooler.BadBufferFrees(), 0);

  // Exit releases the last answer and its record.
  ::DestroyWindow(window);
  ASSERT_TRUE(PumpUntil([] { return WaitForWorkers(0); }));
  ReleaseSharedRecords(false);
  EXPECT_EQ(machineList, nullptr);
  EXPECT_EQ(spooler.OutstandingServerBuffers(), 0u);
  EXPECT_EQ(spooler.BadBufferFrees(), 0);
}

TEST_F(MachineBox, APartialAnswerStillShowsItsNames) {
  spooler.serverNames = {L"B", L"A"};
  spooler.serverListStatus = ERROR_MORE_DATA;
  spooler.serverListTotal = 40;
  OpenWindow();
  Open();
  EXPECT_EQ(Entries(), (std::vector<std::wstring>{L"A", L"B"}));
  EXPECT_EQ(machineList->totalEntries, 40u);
}

TEST_F(MachineBox, AFailedEnumerationLeavesTheListEmptyWithoutAMessage) {
  spooler.serverNames = {L"Old"};
  OpenWindow();
  Open();
  ASSERT_EQ(Entries().size(), 1u);
  spooler.serverListStatus = ERROR_NO_BROWSER_SERVERS_FOUND;
  Open();
  EXPECT_TRUE(Entries().empty());
  EXPECT_FALSE(PumpUntil([] { return ::FindWindowW(L"#32770", L"Kestrun") != nullptr; }, 300));
  EXPECT_EQ(spooler.OutstandingServerBuffers(), 0u);
}

TEST_F(MachineBox, OverlappingFetchesRunInTurnAndFreeEachAnswerOnce) {
  spooler.serverNames = {L"one", L"two", L"three"};
  spooler.serverListDelayMs = 100;
  OpenWindow();
  for (int i = 0; i < 6; ++i) {
    ::SendMessageW(machineCombo, CB_SHOWDROPDOWN, TRUE, 0);
    ::SendMessageW(machineCombo, CB_SHOWDROPDOWN, FALSE, 0);
  }
  EXPECT_TRUE(PumpUntil([] { return WaitForWorkers(0); }, 20000));
  EXPECT_EQ(Entries(), (std::vector<std::wstring>{L"one", L"three", L"two"}));
  EXPECT_EQ(CountOf(spooler.Calls(), L"NetServerEnum"), 6);
  EXPECT_EQ(spooler.OutstandingServerBuffers(), 1u);
  EXPECT_EQ(spooler.BadBufferFrees(), 0);
}

// Everything at once, many times, then exit: no crash, no hang, every
// printer handle closed and every network buffer freed once.
TEST_F(Deletion, DeletionsEnumerationsAndDropDownsTogetherThenExit) {
  spooler.machines[L""].drivers = GeneratedDrivers(60);
  for (int i = 0; i < 60; i += 3) {
    spooler.machines[L""].printers.push_back(
        {L"Printer " + std::to_wstring(i), *spooler.machines[L""].drivers[i].name});
  }
  spooler.machines[L""].enumerateDelayMs = 20;
  spooler.serverNames = {L"alpha", L"bravo"};
  spooler.serverListDelayMs = 15;
  OpenWindow();

  std::atomic<bool> answering{true};
  std::thread answerer([&answering] {
    while (answering) {
      if (HWND box = ::FindWindowW(L"#32770", L"Kestrun")) {
        ::PostMessageW(box, WM_COMMAND, IDYES, 0);
        ::PostMessageW(box, WM_COMMAND, IDOK, 0);
      }
      ::Sleep(5);
    }
  });
  for (int round = 0; round < 25; ++round) {
    checkAllNext = true;
    HeaderClick(0);
    ::EnableWindow(deleteButton, TRUE);
    ::SendMessageW(deleteButton, BM_CLICK, 0, 0);
    ::SendMessageW(enumerateButton, BM_CLICK, 0, 0);
    ::SendMessageW(machineCombo, CB_SHOWDROPDOWN, TRUE, 0);
    ::SendMessageW(machineCombo, CB_SHOWDROPDOWN, FALSE, 0);
    Command(round % 2 ? IDM_RESET_VIEW : IDM_NON_NATIVE_ONLY);
    PumpUntil([] { return false; }, 15);
  }
  ::DestroyWindow(window);
  const bool settled = PumpUntil([] { return WaitForWorkers(0); }, 60000);
  answering = false;
  answerer.join();
  EXPECT_TRUE(settled) << "a worker hung after the window closed";
  EXPECT_EQ(spooler.OpenPrinterCount(), 0u);
  EXPECT_EQ(spooler.BadPrinterCloses(), 0);
  EXPECT_EQ(spooler.BadBufferFrees(), 0);
  EXPECT_LE(spooler.OutstandingServerBuffers(), 1u);
}

}  // namespace
}  // namespace kestrun::testing
