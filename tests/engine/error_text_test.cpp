#include <gtest/gtest.h>

#include <string>

#include "inventory/error_reporter.h"
#include "tests/support/main_window_fixture.h"

namespace kestrun {
namespace {

// Known only to the test network message module built beside this test.
constexpr DWORD kNetworkOnlyCode = 2138;

std::wstring FolderOf(HMODULE module) {
  wchar_t path[MAX_PATH] = {};
  ::GetModuleFileNameW(module, path, MAX_PATH);
  std::wstring folder = path;
  return folder.substr(0, folder.find_last_of(L'\\'));
}

// The test module in System32, the only place the reporter reads one from,
// for as long as it lives.
class NetworkModuleInSystem32 {
 public:
  NetworkModuleInSystem32() {
    wchar_t system[MAX_PATH] = {};
    ::GetSystemDirectoryW(system, MAX_PATH);
    installed_ = std::wstring(system) + L"\\netmsg.dll";
    copied_ = ::CopyFileW((FolderOf(nullptr) + L"\\netmsg.dll").c_str(), installed_.c_str(),
                          TRUE) != FALSE;
  }
  ~NetworkModuleInSystem32() {
    if (copied_) ::DeleteFileW(installed_.c_str());
  }
  bool Copied() const { return copied_; }

 private:
  std::wstring installed_;
  bool copied_ = false;
};

TEST(ErrorText, SystemThenNetworkModuleThenUnspecified) {
  _DBGINFO reporter;
  EXPECT_STREQ(reporter.GetErrorText(ERROR_ACCESS_DENIED).text, L"Access denied.\r\n");
  const std::wstring badPath = reporter.GetErrorText(ERROR_BAD_NETPATH).text;
  EXPECT_NE(badPath.find(L"path"), std::wstring::npos) << badPath;
  EXPECT_EQ(badPath.substr(badPath.size() - 2), L"\r\n");

  wchar_t* systemText = nullptr;
  ASSERT_EQ(::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, kNetworkOnlyCode, 0, reinterpret_cast<wchar_t*>(&systemText),
                             0, nullptr),
            0u)
      << "the system table must not know the test code";
  // Beside the program the module is never read.
  EXPECT_STREQ(reporter.GetErrorText(kNetworkOnlyCode).text, L"Unspecified error!");
  const NetworkModuleInSystem32 installed;
  ASSERT_TRUE(installed.Copied());
  EXPECT_STREQ(reporter.GetErrorText(kNetworkOnlyCode).text,
               L"The network is not present or not started (test network module).\r\n");

  EXPECT_STREQ(reporter.GetErrorText(0x2FFFFFFF).text, L"Unspecified error!");
}

}  // namespace
}  // namespace kestrun

namespace kestrun {
namespace {

TEST(ErrorBox, ComposesPrefixAndTextUnderItsCaption) {
  _DBGINFO reporter;
  auto withPrefix = testing::AnswerMessageBox(L"Kestrun");
  EXPECT_EQ(reporter.ShowErrorBox(nullptr, L"Could not read: ", ERROR_ACCESS_DENIED, L"Kestrun",
                                  MB_ICONERROR | MB_OK),
            IDOK);
  EXPECT_EQ(withPrefix.get(), L"Could not read: Access denied.\r\n");

  auto bare = testing::AnswerMessageBox(L"Kestrun");
  EXPECT_EQ(reporter.ShowErrorBox(nullptr, nullptr, 0x2FFFFFFF, L"Kestrun", MB_OK), IDOK);
  EXPECT_EQ(bare.get(), L"Unspecified error!");
}

}  // namespace
}  // namespace kestrun
