#include <gtest/gtest.h>

#include "inventory/error_reporter.h"
#include "tests/support/main_window_fixture.h"

namespace kestrun {
namespace {

// Known only to the test network message module that sits beside this test.
constexpr DWORD kNetworkOnlyCode = 2138;

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
