// The main window's layout as a function of DPI and text widths: the 96-DPI
// figures scaled where the texts fit, and where they do not (Wine's wider
// font), labels and panel widened with nothing overlapping.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "ui/main_layout.h"

namespace kestrun {
namespace {

constexpr int kClientWidth = 1500;
constexpr int kClientHeight = 800;

int At(int value, UINT dpi) { return ::MulDiv(value, static_cast<int>(dpi), 96); }

RECT Box(int x, int y, int width, int height) { return {x, y, x + width, y + height}; }

struct Case {
  const char* name;
  UINT dpi;
  TopRowTextWidths text;
};

// Windows' default GUI font (about 219, 114, 115 and 160 pixels at 96 DPI)
// and Wine's, as measured under Wine 8 at 96 and 144 DPI.
const Case kFitting[] = {
    {"Windows font, 96 DPI", 96, {219, 114, 115, 160}},
    {"Windows font, 144 DPI", 144, {329, 171, 173, 240}},
    {"the longest texts that fit, 96 DPI", 96, {234, 164, 158, 163}},
};
const Case kWider[] = {
    {"Wine font, 96 DPI", 96, {270, 141, 137, 200}},
    {"Wine font, 144 DPI", 144, {403, 211, 205, 300}},
    {"one pixel longer each, 96 DPI", 96, {235, 165, 159, 164}},
    {"very long texts, 120 DPI", 120, {600, 400, 400, 500}},
};

void ExpectRect(const RECT& got, const RECT& want, const char* what) {
  EXPECT_EQ(got.left, want.left) << what;
  EXPECT_EQ(got.top, want.top) << what;
  EXPECT_EQ(got.right, want.right) << what;
  EXPECT_EQ(got.bottom, want.bottom) << what;
}

TEST(MainLayout, TextsThatFitKeepEveryFigureScaledToTheDpi) {
  for (const Case& c : kFitting) {
    SCOPED_TRACE(c.name);
    const UINT d = c.dpi;
    const auto at = [d](int value) { return At(value, d); };
    const MainLayout layout = LayoutMainWindow(d, kClientWidth, kClientHeight, c.text);
    EXPECT_EQ(layout.machineLabel.x, at(8));
    EXPECT_EQ(layout.enumerateLabel.x, at(250));
    EXPECT_EQ(layout.deleteLabel.x, at(422));
    EXPECT_EQ(layout.deleteLabel.y, at(30));
    ExpectRect(layout.machineCombo, Box(at(8), at(50), at(220), at(200)), "machine box");
    ExpectRect(layout.enumerateButton, Box(at(250), at(48), at(150), at(25)), "Enumerate");
    ExpectRect(layout.deleteButton, Box(at(422), at(48), at(150), at(25)), "Delete");
    ExpectRect(layout.countPanel, {at(588), at(30), at(757), at(80)}, "panel");
    EXPECT_EQ(layout.driverCountLine.x, at(593));
    EXPECT_EQ(layout.driverCountLine.y, at(33));
    EXPECT_EQ(layout.nonNativeCountLine.y, at(48));
    EXPECT_EQ(layout.unusedCountLine.y, at(63));
    ExpectRect(layout.countIcon, Box(at(767), at(39), at(32), at(32)), "icon");
    ExpectRect(layout.progressBar, Box(at(20), at(82), kClientWidth - at(40), at(10)), "bar");
    ExpectRect(layout.listView, Box(at(4), at(100), kClientWidth - at(8), kClientHeight - at(105)),
               "list");
  }
}

TEST(MainLayout, WiderTextsWidenLabelsAndPanelAndMoveWhatFollowsJustEnough) {
  for (const Case& c : kWider) {
    SCOPED_TRACE(c.name);
    const UINT d = c.dpi;
    const auto at = [d](int value) { return At(value, d); };
    const int gap = at(8);
    const MainLayout layout = LayoutMainWindow(d, kClientWidth, kClientHeight, c.text);
    const int columns[] = {layout.machineLabel.x, layout.enumerateLabel.x, layout.deleteLabel.x,
                           layout.countPanel.left};
    const int partColumns[] = {at(8), at(250), at(422), at(588)};
    const int labels[] = {c.text.machineLabel, c.text.enumerateLabel, c.text.deleteLabel};
    for (int i = 1; i < 4; ++i) {
      SCOPED_TRACE(i);
      // A column's figure is its least place; it keeps its text's gap clear...
      EXPECT_GE(columns[i], partColumns[i]);
      EXPECT_GE(columns[i], columns[i - 1] + labels[i - 1] + gap);
      // ...and moves no further than its own text before it, or the column
      // before it, asks.
      const int shift = columns[i] - partColumns[i];
      const int shiftBefore = columns[i - 1] - partColumns[i - 1];
      EXPECT_TRUE(shift == 0 || shift == shiftBefore ||
                  columns[i] == columns[i - 1] + labels[i - 1] + gap)
          << columns[i];
    }
    // Each control stands under its label, with its own size.
    ExpectRect(layout.machineCombo, Box(columns[0], at(50), at(220), at(200)), "machine box");
    ExpectRect(layout.enumerateButton, Box(columns[1], at(48), at(150), at(25)), "Enumerate");
    ExpectRect(layout.deleteButton, Box(columns[2], at(48), at(150), at(25)), "Delete");

    // The panel holds its longer line; its icon stays beside it.
    const RECT& panel = layout.countPanel;
    EXPECT_GE(panel.right - panel.left, at(169));
    EXPECT_LE(layout.nonNativeCountLine.x + c.text.countPanelLine, panel.right - at(5));
    EXPECT_EQ(layout.driverCountLine.x, panel.left + at(5));
    ExpectRect(layout.countIcon, Box(panel.right + at(10), at(39), at(32), at(32)), "icon");

    // Nothing of the top row overlaps anything else, and the row is all shown.
    const int line = at(14);  // a label's height, with room to spare
    const std::vector<RECT> row = {Box(columns[0], at(30), labels[0], line),
                                   Box(columns[1], at(30), labels[1], line),
                                   Box(columns[2], at(30), labels[2], line),
                                   layout.machineCombo,
                                   layout.enumerateButton,
                                   layout.deleteButton,
                                   panel,
                                   layout.countIcon};
    for (size_t a = 0; a < row.size(); ++a) {
      for (size_t b = a + 1; b < row.size(); ++b) {
        RECT overlap;
        EXPECT_FALSE(::IntersectRect(&overlap, &row[a], &row[b])) << a << " and " << b;
      }
    }
    EXPECT_GE(layout.topRow.cx, layout.countIcon.right);
    EXPECT_GE(layout.topRow.cy, layout.deleteButton.bottom);
    EXPECT_LE(layout.topRow.cy, layout.listView.top);
  }
}

}  // namespace
}  // namespace kestrun
