#include "ui/main_layout.h"

#include <algorithm>

#include "ui/dpi.h"

namespace kestrun {

namespace {

// The window's figures at 96 DPI.
constexpr int kLabelTop = 30;
constexpr int kMachineLeft = 8;
constexpr int kComboTop = 50;
constexpr int kComboWidth = 220;
constexpr int kComboHeight = 200;
constexpr int kEnumerateLeft = 250;
constexpr int kDeleteLeft = 422;
constexpr int kButtonTop = 48;
constexpr int kButtonWidth = 150;
constexpr int kButtonHeight = 25;
constexpr int kLabelGap = 8;  // at least this much between a label's text and the next column
constexpr int kPanelLeft = 588;
constexpr int kPanelTop = 30;
constexpr int kPanelBottom = 80;
constexpr int kPanelWidth = 169;
constexpr int kPanelInset = 5;  // from the panel's edge to its text
constexpr int kDriverCountTop = 33;
constexpr int kNonNativeCountTop = 48;
constexpr int kUnusedCountTop = 63;
constexpr int kIconGap = 10;
constexpr int kIconTop = 39;
constexpr int kIconSize = 32;
constexpr int kBarLeft = 20;
constexpr int kBarTop = 82;
constexpr int kBarHeight = 10;
constexpr int kBarMargins = 40;  // the bar is the client's width less this
constexpr int kListLeft = 4;
constexpr int kListTop = 100;
constexpr int kListMargins = 8;          // the list is the client's width less this
constexpr int kListHeightMargins = 105;  // and its height less this

RECT Place(int left, int top, int width, int height) {
  return {left, top, left + width, top + height};
}

}  // namespace

MainLayout LayoutMainWindow(UINT dpi, int clientWidth, int clientHeight,
                            const TopRowTextWidths& text) {
  const auto at = [dpi](int value) { return ScaleForDpi(value, dpi); };
  MainLayout layout;

  // Each column starts where its figure says, or just far enough right of the
  // text before it; a column that moves takes the ones after it along.
  const int machineLeft = at(kMachineLeft);
  const int enumerateLeft =
      std::max(at(kEnumerateLeft), machineLeft + text.machineLabel + at(kLabelGap));
  const int deleteLeft = std::max(at(kDeleteLeft) + (enumerateLeft - at(kEnumerateLeft)),
                                  enumerateLeft + text.enumerateLabel + at(kLabelGap));
  const int panelLeft = std::max(at(kPanelLeft) + (deleteLeft - at(kDeleteLeft)),
                                 deleteLeft + text.deleteLabel + at(kLabelGap));

  layout.machineLabel = {machineLeft, at(kLabelTop)};
  layout.enumerateLabel = {enumerateLeft, at(kLabelTop)};
  layout.deleteLabel = {deleteLeft, at(kLabelTop)};
  layout.machineCombo = Place(machineLeft, at(kComboTop), at(kComboWidth), at(kComboHeight));
  layout.enumerateButton =
      Place(enumerateLeft, at(kButtonTop), at(kButtonWidth), at(kButtonHeight));
  layout.deleteButton = Place(deleteLeft, at(kButtonTop), at(kButtonWidth), at(kButtonHeight));

  // A line that reaches the panel's border widens it, with its inset on both sides.
  const int textRoom = at(kPanelWidth) - at(kPanelInset);
  const int panelWidth =
      text.countPanelLine < textRoom ? at(kPanelWidth) : text.countPanelLine + 2 * at(kPanelInset);
  layout.countPanel = {panelLeft, at(kPanelTop), panelLeft + panelWidth, at(kPanelBottom)};
  layout.driverCountLine = {panelLeft + at(kPanelInset), at(kDriverCountTop)};
  layout.nonNativeCountLine = {panelLeft + at(kPanelInset), at(kNonNativeCountTop)};
  layout.unusedCountLine = {panelLeft + at(kPanelInset), at(kUnusedCountTop)};
  layout.countIcon =
      Place(layout.countPanel.right + at(kIconGap), at(kIconTop), at(kIconSize), at(kIconSize));

  layout.progressBar =
      Place(at(kBarLeft), at(kBarTop), clientWidth - at(kBarMargins), at(kBarHeight));
  layout.listView = Place(at(kListLeft), at(kListTop), clientWidth - at(kListMargins),
                          clientHeight - at(kListHeightMargins));

  // As much room right of the icon as left of the machine box; the list
  // starts below everything of the top row.
  layout.topRow = {layout.countIcon.right + machineLeft, at(kListTop)};
  return layout;
}

MainLayout CreationLayout(UINT dpi, int clientWidth, int clientHeight) {
  // Where the window has always created its controls; the first size message
  // moves them to their places before the window is shown.
  const auto at = [dpi](int value) { return ScaleForDpi(value, dpi); };
  MainLayout layout;
  layout.listView = Place(at(4), at(100), clientWidth - at(8), clientHeight - at(100));
  layout.enumerateButton = Place(at(250), at(65), clientWidth / 5, at(25));
  layout.deleteButton = Place(at(430), at(48), clientWidth / 5, at(25));
  layout.machineCombo = Place(at(4), at(10), clientWidth / 4, at(200));
  layout.progressBar = Place(at(20), at(82), clientWidth - at(40), at(10));
  return layout;
}

}  // namespace kestrun
