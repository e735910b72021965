#include <gtest/gtest.h>

#include "inventory/driver_inventory.h"
#include "tests/support/fake_spooler.h"

namespace kestrun {
namespace {

using testing::FakeSpooler;

class Session : public ::testing::Test {
 protected:
  void SetUp() override { spooler.Install(); }
  void TearDown() override { FakeSpooler::Uninstall(); }

  std::vector<std::wstring> CallsStartingWith(const std::wstring& prefix) {
    return spooler.CallsStartingWith(prefix);
  }

  FakeSpooler spooler;
  RemoteSession session;
};

TEST_F(Session, ShareNameAndResourceAreBuiltFromTheMachineName) {
  spooler.machines[L"\\\\PRINTSRV"] = {};
  ASSERT_TRUE(ConnectTargetSession(session, L"PRINTSRV"));
  EXPECT_STREQ(session.remoteName, L"\\\\PRINTSRV\\IPC$");
  EXPECT_EQ(session.netResource.lpRemoteName, session.remoteName);
  EXPECT_EQ(session.lastResult, 0u);
  EXPECT_EQ(spooler.Calls().back(),
            L"WNetAddConnection2 \\\\PRINTSRV\\IPC$ type=0 local=(null) provider=(null) "
            L"password=(null) user=(null) flags=8");

  // However many backslashes the name was typed with.
  for (const wchar_t* typed : {L"\\\\PRINTSRV", L"\\PRINTSRV", L"\\\\\\\\PRINTSRV"}) {
    ASSERT_TRUE(ConnectTargetSession(session, typed));
    EXPECT_STREQ(session.remoteName, L"\\\\PRINTSRV\\IPC$");
  }
}

TEST_F(Session, ResultsDecideSuccessAndWhoOwnsTheConnection) {
  const struct {
    DWORD result;
    bool usable;
    DWORD alreadyConnected;
  } cases[] = {
      {NO_ERROR, true, 0},
      {ERROR_ALREADY_ASSIGNED, true, 1},
      {ERROR_DEVICE_ALREADY_REMEMBERED, true, 1},
      {ERROR_BAD_NETPATH, false, 0},
      {ERROR_CANCELLED, false, 0},
      {ERROR_ACCESS_DENIED, false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.result);
    spooler.machines[L"\\\\SRV"].connectResult = c.result;
    EXPECT_EQ(ConnectTargetSession(session, L"SRV"), c.usable);
    EXPECT_EQ(session.lastResult, c.result);
    EXPECT_EQ(session.alreadyConnected, c.alreadyConnected);
  }
}

TEST_F(Session, CancelDropsOnlyASessionThisProgramOpened) {
  CancelTargetSession(session);  // nothing attempted yet: nothing to drop
  EXPECT_TRUE(CallsStartingWith(L"WNetCancelConnection2").empty());

  spooler.machines[L"\\\\OURS"].connectResult = NO_ERROR;
  spooler.machines[L"\\\\THEIRS"].connectResult = ERROR_ALREADY_ASSIGNED;

  ASSERT_TRUE(ConnectTargetSession(session, L"THEIRS"));
  CancelTargetSession(session);
  EXPECT_TRUE(CallsStartingWith(L"WNetCancelConnection2").empty());

  // A later attempt that opens its own session is cancelled, even after one
  // that found a connection already there.
  ASSERT_TRUE(ConnectTargetSession(session, L"OURS"));
  CancelTargetSession(session);
  const auto cancels = CallsStartingWith(L"WNetCancelConnection2");
  ASSERT_EQ(cancels.size(), 1u);
  EXPECT_EQ(cancels[0], L"WNetCancelConnection2 \\\\OURS\\IPC$ flags=0 force=1");
}

TEST_F(Session, ARefusedNameLeavesNoShareForALaterCancelToDrop) {
  spooler.machines[L"\\\\THEIRS"].connectResult = ERROR_ALREADY_ASSIGNED;
  ASSERT_TRUE(ConnectTargetSession(session, L"THEIRS"));
  EXPECT_EQ(session.alreadyConnected, 1u);

  // Too long to be a share name: the attempt forgets THEIRS with the flag.
  EXPECT_FALSE(ConnectTargetSession(session, std::wstring(200, L'x')));
  EXPECT_EQ(session.alreadyConnected, 0u);
  EXPECT_STREQ(session.remoteName, L"");
  CancelTargetSession(session);
  EXPECT_TRUE(CallsStartingWith(L"WNetCancelConnection2").empty());
}

TEST_F(Session, NamesLongerThanTheShareNameFailWithoutACall) {
  const std::wstring bare(147, L'm');
  const std::wstring withSlashes = L"\\\\" + std::wstring(147, L'm');
  spooler.machines[L"\\\\" + bare] = {};
  spooler.machines[withSlashes] = {};
  EXPECT_TRUE(ConnectTargetSession(session, bare));
  EXPECT_TRUE(ConnectTargetSession(session, withSlashes));
  EXPECT_EQ(std::wstring(session.remoteName), withSlashes + L"\\IPC$");

  const size_t callsBefore = spooler.Calls().size();
  EXPECT_FALSE(ConnectTargetSession(session, L"\\\\"));
  EXPECT_EQ(session.lastResult, static_cast<DWORD>(ERROR_INVALID_NAME));
  EXPECT_FALSE(ConnectTargetSession(session, bare + L"m"));
  EXPECT_EQ(session.lastResult, static_cast<DWORD>(ERROR_INVALID_NAME));
  EXPECT_FALSE(ConnectTargetSession(session, std::wstring(100000, L'x')));
  EXPECT_EQ(spooler.Calls().size(), callsBefore);
}

}  // namespace
}  // namespace kestrun
