#include <gtest/gtest.h>

#include "report/console.h"

namespace kestrun {
namespace {

constexpr WORD kLightGreyOnBlack = 0x07;
constexpr WORD kWhiteOnBlue = 0x1F;

TEST(ConsoleSequences, ColoursAreTheConsoleAttributesAsSgr) {
  struct Case {
    WORD attribute;
    WORD saved;
    const wchar_t* sequence;
  };
  const Case cases[] = {
      // The report's three colours on the usual console: the foreground only.
      {kRed, kLightGreyOnBlack, L"\x1b[91m"},
      {kGreen, kLightGreyOnBlack, L"\x1b[92m"},
      {kBlue, kLightGreyOnBlack, L"\x1b[94m"},
      {kRed, 0x0F, L"\x1b[91m"},
      // On another background the attribute's black background comes along.
      {kRed, kWhiteOnBlue, L"\x1b[91;40m"},
      {kBlue, 0x70, L"\x1b[94;40m"},
      // Dim colours and bright backgrounds.
      {FOREGROUND_RED | FOREGROUND_GREEN, kLightGreyOnBlack, L"\x1b[33m"},
      {0x00, kLightGreyOnBlack, L"\x1b[30m"},
      {0xEC, kLightGreyOnBlack, L"\x1b[91;103m"},
  };
  for (const auto& c : cases) {
    std::wstring text = L"x";
    AppendColourSequence(text, c.attribute, c.saved);
    EXPECT_EQ(text, std::wstring(L"x") + c.sequence) << c.attribute << " on " << c.saved;
  }
}

TEST(ConsoleSequences, TheConsolesOwnColoursComeBack) {
  const std::pair<WORD, const wchar_t*> cases[] = {
      {kLightGreyOnBlack, L"\x1b[0m"}, {kLightGreyOnBlack | COMMON_LVB_LEADING_BYTE, L"\x1b[0m"},
      {0x0F, L"\x1b[0;97;40m"},        {kWhiteOnBlue, L"\x1b[0;97;44m"},
      {0x0A, L"\x1b[0;92;40m"},        {0x00, L"\x1b[0;30;40m"},
  };
  for (const auto& [saved, sequence] : cases) {
    std::wstring text;
    AppendRestoreSequence(text, saved);
    EXPECT_EQ(text, sequence) << saved;
  }
}

}  // namespace
}  // namespace kestrun
