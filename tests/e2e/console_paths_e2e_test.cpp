// The report's console output through both of its paths, read back from a real
// console: colour sequences in large writes where the console takes them, and
// attribute changes around each write where it does not.
#include <gtest/gtest.h>

#include <windows.h>

#include "inventory/field_text.h"
#include "report/command_line.h"
#include "report/console.h"
#include "tests/support/console_capture.h"
#include "tests/support/fake_spooler.h"

namespace kestrun::testing {
namespace {

// The sample drivers, and one whose name carries its own escape sequence.
std::vector<FakeDriver> DriversToShow() {
  std::vector<FakeDriver> drivers = SampleDrivers();
  FakeDriver forged = RichDriver(L"Forged \x1b[32mgreen\x1b[0m\r\nDriver Name: fake", L"Forged");
  drivers.push_back(forged);
  return drivers;
}

// Prints the report's blocks of the drivers and its success line through the
// path asked for, as the report does, and gives the console its mode back.
void PrintBlocks(HANDLE output, bool virtualTerminal) {
  ConsoleState state;
  state.outputHandle = output;
  ::GetConsoleScreenBufferInfo(output, &state.savedScreenInfo);
  if (virtualTerminal) {
    EnableVirtualTerminal(state);
    ASSERT_TRUE(state.virtualTerminal) << "this console refuses virtual-terminal processing";
  }
  consoleState = &state;
  const std::vector<FakeDriver> fakes = DriversToShow();
  std::vector<BYTE> buffer(DriverBufferSize(fakes));
  PackDrivers(fakes, buffer.data());
  const auto* drivers = reinterpret_cast<const DRIVER_INFO_6*>(buffer.data());
  DriverInventory inventory;
  ResetInventory(inventory);
  for (size_t i = 0; i < fakes.size(); ++i) {
    const auto line = JoinDependentFiles(inventory, drivers[i].pDependentFiles);
    PrintDriverBlock(drivers[i], line.get());
  }
  WriteConsoleRed(L"\r\n");
  WriteConsoleColored(kGreen, L"\r\n\r\nDriver output successfully written to file.\r\n");
  RestoreConsole(state);
  consoleState = nullptr;
}

TEST(ConsolePaths, TerminalAndAttributePathsShowTheSameCharactersInTheSameColours) {
  const ConsoleRun attributes = CaptureConsole([](HANDLE output) { PrintBlocks(output, false); });
  DWORD modeBefore = 0;
  CONSOLE_SCREEN_BUFFER_INFO own = {};
  const ConsoleRun terminal = CaptureConsole([&](HANDLE output) {
    ::GetConsoleMode(output, &modeBefore);
    ::GetConsoleScreenBufferInfo(output, &own);
    PrintBlocks(output, true);
    DWORD modeAfter = 0;
    ::GetConsoleMode(output, &modeAfter);
    EXPECT_EQ(modeAfter, modeBefore) << "the console's own mode comes back";
    // Whatever is written next has the console's own colour.
    DWORD written = 0;
    ::WriteConsoleW(output, L"after", 5, &written, nullptr);
  });

  const std::wstring text = attributes.Text();
  EXPECT_NE(text.find(L"\n===========================================\nDriver Name: Contoso"),
            std::wstring::npos)
      << text;
  EXPECT_EQ(attributes.ColourOf(L"Driver Name: Contoso"), kBlue);
  EXPECT_EQ(attributes.ColourOf(L"Provider: Contoso"), kRed);
  EXPECT_EQ(attributes.ColourOf(L"Driver output successfully"), kGreen);
  // The server's own sequences and line breaks are shown, never obeyed.
  EXPECT_NE(text.find(L"Driver Name: Forged ?[32mgreen?[0m??Driver Name: fake\n"),
            std::wstring::npos);

  ASSERT_EQ(terminal.lines.size(), attributes.lines.size()) << terminal.Text();
  for (size_t y = 0; y < attributes.lines.size(); ++y) {
    const auto& expected = attributes.lines[y];
    const auto& shown = terminal.lines[y];
    std::wstring want, got;
    for (const auto& cell : expected) want += cell.character;
    for (const auto& cell : shown) got += cell.character;
    if (y + 1 == attributes.lines.size()) want += L"after";
    ASSERT_EQ(got, want) << "line " << y;
    for (size_t x = 0; x < expected.size(); ++x) {
      EXPECT_EQ(shown[x].attributes & 0xFF, expected[x].attributes & 0xFF)
          << "line " << y << " column " << x << ": " << got;
    }
  }
  EXPECT_EQ(terminal.lines.back().back().attributes & 0xFF, own.wAttributes & 0xFF);
}

// Run inside a pseudo-terminal (tests/e2e/terminal_e2e_test.sh): what reaches
// the terminal, read back from its transcript.
TEST(TerminalPaths, BothPathsReachTheTerminalAsTheSameCharactersInTheSameColours) {
  if (!TerminalTranscript::Available()) GTEST_SKIP() << "runs inside a pseudo-terminal only";
  const HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
  CONSOLE_SCREEN_BUFFER_INFO own = {};
  ASSERT_TRUE(::GetConsoleScreenBufferInfo(output, &own)) << "no console";
  const TerminalTranscript transcript;
  transcript.Mark("attributes");
  PrintBlocks(output, false);
  transcript.Mark("terminal");
  PrintBlocks(output, true);
  transcript.Mark("end");

  const ConsoleRun attributes = transcript.Between("attributes", "terminal", own.wAttributes);
  const ConsoleRun terminal = transcript.Between("terminal", "end", own.wAttributes);
  ASSERT_TRUE(attributes.finished && terminal.finished) << "the marks never reached the terminal";
  EXPECT_NE(attributes.Text().find(L"Driver Name: Forged ?[32mgreen?[0m??Driver Name: fake\n"),
            std::wstring::npos)
      << attributes.Text();
  EXPECT_EQ(terminal.Text().find(L'\x1b'), std::wstring::npos) << "an escape the terminal kept";
  EXPECT_EQ(attributes.ColourOf(L"Driver Name: Contoso"), kBlue);
  EXPECT_EQ(attributes.ColourOf(L"Provider: Contoso"), kRed);
  EXPECT_EQ(attributes.ColourOf(L"Driver output successfully"), kGreen);

  // The same screen, but for the marks that end each part; both marks show in
  // the console's own colours.
  ASSERT_EQ(terminal.lines.size(), attributes.lines.size()) << terminal.Text();
  for (size_t y = 0; y + 1 < attributes.lines.size(); ++y) {
    const auto& expected = attributes.lines[y];
    const auto& shown = terminal.lines[y];
    ASSERT_EQ(shown.size(), expected.size()) << "line " << y;
    for (size_t x = 0; x < expected.size(); ++x) {
      EXPECT_EQ(shown[x].character, expected[x].character) << "line " << y << " column " << x;
      EXPECT_EQ(shown[x].attributes & 0xFF, expected[x].attributes & 0xFF)
          << "line " << y << " column " << x;
    }
  }
  EXPECT_EQ(attributes.ColourOf(L"[[terminal]]"), own.wAttributes & 0xFF);
  EXPECT_EQ(terminal.ColourOf(L"[[end]]"), own.wAttributes & 0xFF);
}

}  // namespace
}  // namespace kestrun::testing
