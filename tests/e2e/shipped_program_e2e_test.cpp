// The shipped Kestrun.exe against Wine's own spooler, its author box and its
// window mode.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include "report/console.h"
#include "tests/support/console_capture.h"
#include "tests/support/test_paths.h"
#include "tests/support/ui_waits.h"

namespace kestrun::testing {
namespace {

class ShippedProgram : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Seed the prefix's spooler once; a second seeding of the same names is harmless.
    HANDLE seeding = StartProcess(L"\"" + SeedExePath() + L"\" 6");
    ASSERT_NE(seeding, nullptr);
    ::WaitForSingleObject(seeding, 60000);
    ::CloseHandle(seeding);
  }
  std::wstring Exe() const { return L"\"" + KestrunExePath() + L"\""; }
};

TEST_F(ShippedProgram, ReportOfTheLocalSpoolerListsItsDrivers) {
  // Under Wine only a null server name reaches its spooler: an argument text
  // that names no target.
  const ConsoleRun run = RunInConsole(Exe() + L" \"\"");
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0u);
  const std::wstring text = run.Text();
  EXPECT_EQ(text.rfind(L"Kestrun v1.2.1.5\n", 0), 0u) << text;
  EXPECT_NE(text.find(L"Driver Name: Contoso LaserJet 4200 PCL6\n"), std::wstring::npos) << text;
  EXPECT_NE(text.find(L"Driver Name: Fabrikam Inkjet 990\n"), std::wstring::npos);
  EXPECT_NE(text.find(L"Environment: Windows x64\n"), std::wstring::npos);
  EXPECT_EQ(run.ColourOf(L"Driver Name: Contoso"), kBlue);
  EXPECT_EQ(text.find(L"successfully"), std::wstring::npos);
}

TEST_F(ShippedProgram, AuthorBoxShowsAndTheReportEnds) {
  for (const wchar_t* word : {L"-creator", L"-CREATOR extra words"}) {
    HANDLE process = StartProcess(Exe() + L" " + word);
    ASSERT_NE(process, nullptr);
    const HWND box = WaitForWindow(L"#32770", L"Author Information", 30000);
    ASSERT_NE(box, nullptr);
    EXPECT_NE(DialogText(box).find(L"Kestrun v1.2.1.5"), std::wstring::npos);
    ::PostMessageW(box, WM_COMMAND, IDOK, 0);
    ASSERT_EQ(::WaitForSingleObject(process, 30000), WAIT_OBJECT_0);
    DWORD code = 99;
    ::GetExitCodeProcess(process, &code);
    EXPECT_EQ(code, 0u);
    ::CloseHandle(process);
  }
}

TEST_F(ShippedProgram, WithoutArgumentsTheWindowListsTheLocalDriversAndClosesWithExitZero) {
  HANDLE process = StartProcess(Exe());
  ASSERT_NE(process, nullptr);
  const HWND window = WaitForWindow(L"Win32Obj", L"Kestrun", 30000);
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(PumpUntil([&] { return ::IsWindowVisible(window) != FALSE; }));
  const HWND list = ::FindWindowExW(window, nullptr, L"SysListView32", nullptr);
  ASSERT_NE(list, nullptr);
  // The seeded drivers (and any others the prefix has) fill the list.
  EXPECT_TRUE(PumpUntil([&] { return ::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) >= 6; }, 30000));
  ::PostMessageW(window, WM_CLOSE, 0, 0);
  ASSERT_EQ(::WaitForSingleObject(process, 30000), WAIT_OBJECT_0);
  DWORD code = 99;
  ::GetExitCodeProcess(process, &code);
  EXPECT_EQ(code, 0u);
  ::CloseHandle(process);
}

}  // namespace
}  // namespace kestrun::testing
