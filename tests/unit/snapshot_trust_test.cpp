#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include "common/win32_handles.h"
#include "inventory/snapshot_trust.h"
#include "tests/support/test_paths.h"

namespace kestrun {
namespace {

constexpr wchar_t kPath[] = L"C:\\Users\\Public\\snap";
constexpr wchar_t kColleague[] = L"S-1-5-21-1-2-3-1005";
constexpr wchar_t kRunner[] = L"S-1-5-21-1-2-3-1000";

UniqueLocal Parse(const std::wstring& sddl) {
  UniqueLocal descriptor;
  EXPECT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                     descriptor.put(), nullptr));
  return descriptor;
}

UniqueLocal Sid(const wchar_t* text) {
  PSID raw = nullptr;
  EXPECT_TRUE(::ConvertStringSidToSidW(text, &raw));
  return UniqueLocal(raw);
}

// Elevated or not, with what the process creates owned by `newOwner`.
std::wstring Verdict(const std::wstring& sddl, const wchar_t* runner = kRunner,
                     bool elevated = false, const wchar_t* newOwner = L"S-1-5-32-544") {
  const UniqueLocal descriptor = Parse(sddl);
  const UniqueLocal user = Sid(runner);
  const UniqueLocal owner = Sid(newOwner);
  std::wstring problem;
  return JudgeSnapshotSecurity(descriptor.get(), {user.get(), owner.get(), elevated}, kPath,
                               problem)
             ? L"trusted"
             : problem;
}

std::wstring Refused(const std::wstring& why) {
  return kPath + why + L": put it where only administrators can change it";
}

TEST(SnapshotTrust, OnlyAdministratorsTheOwnerAndTheRunningAccountMayChangeTheFolder) {
  const std::wstring ti = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
  const struct {
    std::wstring sddl;
    std::wstring verdict;
  } cases[] = {
      {L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)", L"trusted"},
      {L"O:" + std::wstring(kColleague) + L"D:(A;;FA;;;" + kColleague + L")",
       Refused(L" is owned by " + std::wstring(kColleague))},
      {L"O:BAD:(A;;FA;;;" + std::wstring(kRunner) + L")", L"trusted"},
      {L"O:BAD:(A;;FA;;;" + ti + L")(A;;FA;;;CO)", L"trusted"},
      {L"O:BAD:(A;;FA;;;" + ti.substr(0, ti.size() - 1) + L"5)",
       Refused(L" is writable by " + ti.substr(0, ti.size() - 1) + L"5")},
      {L"O:BAD:(A;;0x1200a9;;;WD)(A;;0x1200a9;;;BU)", L"trusted"},
      {L"O:BAD:(A;;FA;;;SY)(A;;0x1301ff;;;WD)",
       L"C:\\Users\\Public\\snap is writable by Everyone: put it where only administrators can "
       L"change it"},
      {L"O:BAD:(A;;0x4;;;BU)", Refused(L" is writable by Users")},
      {L"O:BAD:(A;;WD;;;AU)", Refused(L" is writable by Authenticated Users")},
      {L"O:BAD:(A;;WO;;;BG)", Refused(L" is writable by Guests")},
      {L"O:BAD:(A;;SD;;;BU)", Refused(L" is writable by Users")},
      {L"O:BAD:(A;;GW;;;BU)", Refused(L" is writable by Users")},
      {L"O:BAD:(A;;GA;;;BU)", Refused(L" is writable by Users")},
      {L"O:BAD:(A;OICIIO;FA;;;WD)", L"trusted"},  // only for what is created inside
      {L"O:BAD:(A;OICI;FA;;;WD)", Refused(L" is writable by Everyone")},
      {L"O:BA", Refused(L" is writable by Everyone")},  // no DACL: anyone may do anything
      {L"O:WDD:P(A;;FA;;;BA)", Refused(L" is owned by Everyone")},
      {L"D:P(A;;FA;;;BA)", std::wstring(kPath) + L": its owner could not be read"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sddl);
    EXPECT_EQ(Verdict(c.sddl), c.verdict);
  }
}

TEST(SnapshotTrust, AnElevatedRunTrustsItsOwnAccountOnlyWhereNewObjectsAreOwnedByIt) {
  const std::wstring runner = kRunner;
  const std::wstring domainUsers = L"S-1-5-21-1-2-3-513";
  constexpr wchar_t kAdministrators[] = L"S-1-5-32-544";
  const struct {
    std::wstring sddl;
    bool elevated;
    const wchar_t* newOwner;
    std::wstring verdict;
  } cases[] = {
      {L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)", true, kAdministrators, L"trusted"},
      // Elevated where Administrators own what is made: the account's
      // un-elevated programs could have changed these.
      {L"O:" + runner + L"D:P(A;;FA;;;BA)", true, kAdministrators,
       Refused(L" can be changed without elevation by " + runner)},
      {L"O:BAD:P(A;;FA;;;BA)(A;;FA;;;" + runner + L")", true, kAdministrators,
       Refused(L" can be changed without elevation by " + runner)},
      {L"O:BAD:P(A;;FA;;;BA)(A;;0x1200a9;;;" + runner + L")", true, kAdministrators, L"trusted"},
      // Windows makes the creator the owner (Wine, or by policy): the
      // account is what Kestrun itself makes folders as.
      {L"O:" + runner + L"D:P(A;;FA;;;" + runner + L")", true, kRunner, L"trusted"},
      // Not elevated: nothing less privileged runs as the account.
      {L"O:" + runner + L"D:P(A;;FA;;;" + runner + L")", false, kAdministrators, L"trusted"},
      {L"O:" + domainUsers + L"D:P(A;;FA;;;BA)", true, kAdministrators,
       Refused(L" is owned by " + domainUsers)},
      {L"O:" + domainUsers + L"D:P(A;;FA;;;BA)", false, kRunner,
       Refused(L" is owned by " + domainUsers)},
      {L"O:BAD:P(A;;FA;;;BA)(A;;FA;;;" + domainUsers + L")", false, kRunner,
       Refused(L" is writable by " + domainUsers)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sddl);
    EXPECT_EQ(Verdict(c.sddl, kRunner, c.elevated, c.newOwner), c.verdict);
  }
}

TEST(SnapshotTrust, NewSnapshotFoldersAreProtectedForAdministratorsSystemAndTheirMaker) {
  const UniqueLocal descriptor = Parse(SnapshotFolderSddl(kRunner));
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  ::GetSecurityDescriptorControl(descriptor.get(), &control, &revision);
  ::GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted);
  EXPECT_TRUE((control & SE_DACL_PROTECTED) && dacl && dacl->AceCount == 3);
  EXPECT_EQ(Verdict(L"O:BA" + SnapshotFolderSddl(kRunner)), L"trusted");
  EXPECT_EQ(Verdict(L"O:BA" + SnapshotFolderSddl(kRunner), kColleague),
            Refused(L" is writable by " + std::wstring(kRunner)))
      << "the third entry is the maker's";

  // On disk Wine answers the folder's Unix mode instead, 755 under umask 022.
  const std::wstring folder = testing::MakeScratchDirectory(L"snapshot-trust") + L"\\snap";
  EXPECT_EQ(CreateProtectedFolder(folder), 0u);
  EXPECT_EQ(CreateProtectedFolder(folder), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  std::wstring problem;
  EXPECT_FALSE(IsSnapshotFolderTrusted(folder, {{folder + L"\\gone.dll"}}, problem));
  EXPECT_EQ(problem, folder + L"\\gone.dll: its permissions could not be read (error 2)");
}

}  // namespace
}  // namespace kestrun
