// Where the main window puts its controls, labels and count panel: the 96-DPI
// figures scaled to the window's DPI, with each label and the panel at least
// as wide as its text and whatever stands to their right moved just enough.
// Plain numbers in and out, so every DPI and font can be checked without a
// window.
#pragma once

#include <windows.h>

namespace kestrun {

// Widths in pixels of the texts, in the window's font at its DPI.
struct TopRowTextWidths {
  int machineLabel = 0;    // "Select target machine to enumerate its drivers:"
  int enumerateLabel = 0;  // "Enumerate Print Drivers:"
  int deleteLabel = 0;     // "Delete Selected Drivers:"
  int countPanelLine = 0;  // the longest of the count panel's three lines
};

struct MainLayout {
  POINT machineLabel = {};
  POINT enumerateLabel = {};
  POINT deleteLabel = {};
  RECT machineCombo = {};  // its height includes the drop-down list
  RECT enumerateButton = {};
  RECT deleteButton = {};
  RECT progressBar = {};
  RECT listView = {};
  RECT countPanel = {};
  POINT driverCountLine = {};
  POINT nonNativeCountLine = {};
  POINT unusedCountLine = {};
  RECT countIcon = {};
  // The client area that shows the whole top row, from the labels to the icon.
  SIZE topRow = {};
};

// The layout of a client area of the given size at `dpi`. Where every text
// fits its 96-DPI space, every figure is the 96-DPI one scaled.
MainLayout LayoutMainWindow(UINT dpi, int clientWidth, int clientHeight,
                            const TopRowTextWidths& text);

// The controls' places while the window is being created, before its first
// size message lays it out.
MainLayout CreationLayout(UINT dpi, int clientWidth, int clientHeight);

}  // namespace kestrun
