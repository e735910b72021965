// The verdict of each print security setting's value, as Microsoft's pages give it.
#include <gtest/gtest.h>

#include <cstring>

#include "inventory/print_posture.h"

namespace kestrun {
namespace {

RegistryValue Number(DWORD number) {
  RegistryValue value{0, REG_DWORD, std::vector<BYTE>(sizeof(number))};
  std::memcpy(value.data.data(), &number, sizeof(number));
  return value;
}

TEST(PrintPosture, EachValueGetsItsDocumentedVerdictAndAnythingElseIsUnsafe) {
  const RegistryValue absent{ERROR_FILE_NOT_FOUND};
  const RegistryValue text{0, REG_SZ, {'1', 0, 0, 0}};
  const struct {
    const wchar_t* setting;
    RegistryValue value;
    PostureVerdict verdict;
    const wchar_t* why;
  } cases[] = {
      {L"RestrictDriverInstallationToAdministrators", Number(0), PostureVerdict::Unsafe,
       L"non-administrators can install printer drivers"},
      {L"RestrictDriverInstallationToAdministrators", Number(1), PostureVerdict::Safe,
       L"only administrators install printer drivers"},
      {L"RestrictDriverInstallationToAdministrators", absent, PostureVerdict::NotSet,
       L"administrators only (the default since KB5005652), safe"},
      {L"RestrictDriverInstallationToAdministrators", Number(7), PostureVerdict::Unsafe,
       L"unexpected value: 7"},
      {L"RestrictDriverInstallationToAdministrators", text, PostureVerdict::Unsafe,
       L"unexpected value: (type 1, 4 bytes)"},
      {L"NoWarningNoElevationOnInstall", Number(1), PostureVerdict::Unsafe,
       L"drivers install without a warning or elevation prompt"},
      {L"NoWarningNoElevationOnInstall", absent, PostureVerdict::NotSet,
       L"a warning and an elevation prompt (the default), safe"},
      {L"UpdatePromptSettings", Number(2), PostureVerdict::Unsafe,
       L"driver updates install without a warning or elevation prompt"},
      {L"UpdatePromptSettings", Number(0), PostureVerdict::Safe,
       L"a warning and an elevation prompt"},
      {L"RpcAuthnLevelPrivacyEnabled", Number(0), PostureVerdict::Unsafe, L"RPC privacy off"},
      {L"RpcAuthnLevelPrivacyEnabled", RegistryValue{ERROR_ACCESS_DENIED}, PostureVerdict::NotRead,
       L"not read: 5"},
      {L"CopyFilesPolicy", Number(2), PostureVerdict::Unsafe,
       L"queue-specific files of any kind are processed"},
      // A text setting: shown as it is (no terminator needed); a number there is unexpected.
      {L"ServerList", RegistryValue{0, REG_SZ, {'S', 0, 'V', 0}}, PostureVerdict::Safe,
       L"the servers users may connect to"},
      {L"ServerList", Number(1), PostureVerdict::Unsafe, L"unexpected value: (type 4, 4 bytes)"},
      // Listed values and a port's range; past it, unexpected.
      {L"RpcProtocols", Number(7), PostureVerdict::Unsafe,
       L"incoming RPC over named pipes allowed"},
      {L"RpcProtocols", Number(4), PostureVerdict::Unsafe, L"unexpected value: 4"},
      {L"RpcTcpPort", Number(0), PostureVerdict::Safe, L"dynamic TCP ports"},
      {L"RpcTcpPort", Number(65535), PostureVerdict::Safe, L"TCP port 65535"},
      {L"RpcTcpPort", Number(65536), PostureVerdict::Unsafe, L"unexpected value: 65536"},
  };
  for (const auto& c : cases) {
    const PostureRule* rule = nullptr;
    for (const PostureRule& each : PostureRules()) {
      if (std::wstring_view(each.setting) == c.setting) rule = &each;
    }
    ASSERT_NE(rule, nullptr) << std::string(c.setting, c.setting + wcslen(c.setting));
    const PostureRow row = JudgeSetting(*rule, c.value);
    SCOPED_TRACE(std::string(row.why.begin(), row.why.end()));
    EXPECT_EQ(row.verdict, c.verdict);
    EXPECT_EQ(row.why.substr(0, wcslen(c.why)), c.why);
    EXPECT_EQ(row.reference.rfind(L"https://", 0), 0u);
    if (row.setting == L"ServerList" && row.verdict == PostureVerdict::Safe)
      EXPECT_EQ(row.value, L"SV");
  }
  EXPECT_STREQ(PostureVerdictText(PostureVerdict::NotSet), L"Not set");
}

}  // namespace
}  // namespace kestrun
