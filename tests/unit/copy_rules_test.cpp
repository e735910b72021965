// The rules a copy's objects meet on their way: which machines are one,
// which ports may be made elsewhere, and units of work that a cut run never
// leaves half-made.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <string>
#include <vector>

#include "common/parallel.h"
#include "common/units.h"
#include "inventory/driver_inventory.h"
#include "inventory/tcpip_ports.h"

namespace kestrun {
namespace {

TEST(CopyRules, MachinesAreOneByNameSpellingOrHostLabelNeverByGuess) {
  const struct {
    const wchar_t *a, *b;
    bool same;
  } cases[] = {
      {L"OLDSRV", L"\\\\oldsrv", true},
      {L"OLDSRV", L"oldsrv.contoso.com", true},
      {L".", L"localhost", true},
      {L"", L"127.0.0.1", true},
      {L"OLDSRV", L"NEWSRV", false},
      {L"OLDSRV", L"localhost", false},
      {L"oldsrv.a.com", L"oldsrv.b.com", false},
      {L"10.1.2.3", L"10", false},
      {L"10.1.2.3", L"\\\\10.1.2.3", true},
  };
  for (const auto& c : cases) EXPECT_EQ(IsSameMachine(c.a, c.b), c.same) << c.a << " " << c.b;
}

TEST(CopyRules, OnlyAPortNamedAsAPortThatPointsAtAHostIsMadeElsewhere) {
  const struct {
    const wchar_t *name, *host;
    bool copyable;
  } cases[] = {
      {L"IP_10.1.2.3", L"10.1.2.3", true},
      {L"printer-7.contoso.com", L"printer-7.contoso.com", true},
      {L"IP_fe80", L"fe80::1", true},
      {L"C:\\x.dll", L"10.1.2.3", false},
      {L"\\\\evil\\share", L"10.1.2.3", false},
      {L"NUL", L"10.1.2.3", false},
      {L"LPT1.txt", L"10.1.2.3", false},
      {L"a:b", L"10.1.2.3", false},
      {L"IP_1", L"\\\\evil\\share\\x", false},
      {L"IP_1", L"010.1.2.3", false},
      {L"IP_1", L"[::1]", false},
      {L"IP_1", L"", false},
      {L"COM0", L"10.1.2.3", false},
      {L"LPT\u00b3", L"10.1.2.3", false},
      {L"COM\u00b9.dll", L"10.1.2.3", false},
      {L"IP_\u202e1", L"10.1.2.3", false},
      {L"IP_1", L"10.1.2.3\u202e", false},
      {L"IP_\u00e9", L"10.1.2.3", true},
  };
  for (const auto& c : cases) {
    TcpIpPortSettings settings;
    settings.name = c.name;
    settings.host = c.host;
    EXPECT_EQ(IsCopyableTcpIpPort(settings), c.copyable) << c.name << " " << c.host;
  }
}

TEST(CopyRules, ACutPhaseStartsNoUnitWaitsForThoseUnderWayAndUndoesOneThatOutlivesItsGrace) {
  const HANDLE release = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::atomic<bool> stop{false};
  std::atomic<int> undoneByUnit{0};
  const UnitPhase phase = {6, 2, &stop, 0, 200, 2000};
  std::vector<size_t> undone;
  // Unit 0 hangs in its call until released; unit 1 ends within the grace.
  const std::vector<UnitOutcome> ends = RunUnits(
      phase,
      [release, &stop, &undoneByUnit](size_t index, const UnitCheck& check) -> DWORD {
        if (index == 1) {
          stop = true;
          ::Sleep(50);
          return check.Finish() ? 0 : ERROR_TIMEOUT;
        }
        ::WaitForSingleObject(release, index == 0 ? 400 : 0);
        if (!check.Finish()) ++undoneByUnit;  // it undoes what it made
        return 0;
      },
      [&undone, release](size_t index) {
        undone.push_back(index);
        ::SetEvent(release);
      });
  ::CloseHandle(release);
  ASSERT_EQ(ends.size(), 6u);
  EXPECT_TRUE(ends[0].end == UnitEnd::Abandoned && ends[0].error == ERROR_TIMEOUT);
  EXPECT_TRUE(ends[1].end == UnitEnd::Done && ends[1].error == 0);
  for (size_t i = 2; i < 6; ++i) EXPECT_EQ(ends[i].end, UnitEnd::NotStarted) << i;
  EXPECT_EQ(undone, std::vector<size_t>{0});
  EXPECT_EQ(undoneByUnit.load(), 1) << "the abandoned unit undid itself when its call came back";
  // A unit done before its phase starts waiting was still made: never "not started".
  for (int run = 0; run < 300; ++run) {
    const auto quick = RunUnits({1, 8, nullptr, 0, 200, 2000},
                                [](size_t, const UnitCheck&) -> DWORD { return 0; }, {});
    ASSERT_EQ(quick.at(0).end, UnitEnd::Done) << run;
  }
}

}  // namespace
}  // namespace kestrun

namespace kestrun {
namespace {

// Quick steps stay on the calling thread (a pause of the machine may make one
// run look slow, so the best of three); slow ones get helpers. Each runs once.
// RunTogether hands slow steps to helpers at once.
TEST(RunAtOnce, StartsHelpersOnlyWhenTheStepsLeftWouldTakeLong) {
  for (const DWORD stepMs : {DWORD{0}, DWORD{5}}) {
    size_t fewest = SIZE_MAX;
    for (int run = 0; run < 3; ++run) {
      std::vector<DWORD> threadOf(stepMs ? 16 : 5000, 0);
      RunAtOnce(threadOf.size(), 8, [&](size_t i) {
        if (stepMs) ::Sleep(stepMs);
        threadOf[i] = ::GetCurrentThreadId();
      });
      const std::set<DWORD> threads(threadOf.begin(), threadOf.end());
      EXPECT_FALSE(threads.count(0)) << stepMs;
      fewest = std::min(fewest, threads.size());
    }
    EXPECT_EQ(fewest > 1, stepMs > 0) << fewest << " threads for " << stepMs << " ms a step";
  }
  // Steps known to wait on a server get their helpers from the first.
  std::vector<DWORD> threadOf(4, 0);
  RunTogether(threadOf.size(), 4, [&](size_t i) {
    ::Sleep(50);
    threadOf[i] = ::GetCurrentThreadId();
  });
  const std::set<DWORD> threads(threadOf.begin(), threadOf.end());
  EXPECT_TRUE(threads.size() > 1 && threads.count(0) == 0) << threads.size();
}

}  // namespace
}  // namespace kestrun
