#include <gtest/gtest.h>

#include "ui/sorting.h"

namespace kestrun {
namespace {

TEST(ListOrder, CaseAndSymbolsAreIgnoredAndDigitsAreCharacters) {
  const struct {
    const wchar_t* first;
    const wchar_t* second;
    int answer;
  } cases[] = {
      {L"Contoso LaserJet", L"CONTOSO laserjet", CSTR_EQUAL},
      {L"HP-GL/2 (v4)", L"HPGL2 v4", CSTR_EQUAL},
      {L"Driver 10", L"Driver 9", CSTR_LESS_THAN},
      {L"", L"a", CSTR_LESS_THAN},
      {L"", L"0", CSTR_LESS_THAN},
      {L"b", L"a", CSTR_GREATER_THAN},
      {L"", L"", CSTR_EQUAL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::wstring(c.first) + L" / " + c.second);
    EXPECT_EQ(CompareListTexts(c.first, c.second), c.answer);
  }

  // The procedures turn the answer into a sort order in each direction.
  SortTexts texts{{L"Driver 10", L"Driver 9", L"driver 10"}};
  const auto sortTexts = reinterpret_cast<LPARAM>(&texts);
  EXPECT_EQ(CompareColumnAscending(0, 1, sortTexts), -1);
  EXPECT_EQ(CompareColumnDescending(0, 1, sortTexts), 1);
  EXPECT_EQ(CompareColumnAscending(0, 2, sortTexts), 0);
  EXPECT_EQ(CompareColumnDescending(1, 0, sortTexts), -1);
}

}  // namespace
}  // namespace kestrun
