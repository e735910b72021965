// The view commands and Find, on the real main window with the fake spooler.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

#include "inventory/driver_inventory.h"
#include "tests/support/main_window_fixture.h"
#include "tests/support/ui_waits.h"
#include "ui/controls.h"
#include "ui/driver_list.h"
#include "ui/find.h"
#include "res/ids.h"
#include "ui/views.h"
#include "ui/workers.h"

namespace kestrun::testing {
namespace {

const std::vector<std::wstring> kAllNames = {
    L"Contoso LaserJet 4200 PCL6", L"Fabrikam Imagewriter \u00c9lite \u4e2d",
    L"Generic / Text Only", L"Microsoft XPS Document Writer v4",
    L"Norvex Universal Print Class Driver"};
const std::vector<std::wstring> kNonNativeNames = {
    L"Contoso LaserJet 4200 PCL6", L"Fabrikam Imagewriter \u00c9lite \u4e2d",
    L"Generic / Text Only"};

class Views : public MainWindowFixture {
 protected:
  void CheckEveryRow() {
    checkAllNext = true;
    HeaderClick(0);
    for (int row = 0; row < RowCount(); ++row) ASSERT_TRUE(IsChecked(row));
  }
  void ExpectAllUnchecked() {
    for (int row = 0; row < RowCount(); ++row) EXPECT_FALSE(IsChecked(row)) << row;
  }
  int RowImage(int row) {
    LVITEMW item = {};
    item.mask = LVIF_IMAGE;
    item.iItem = row;
    item.iImage = -7;
    ::SendMessageW(listView, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item));
    return item.iImage;
  }
};

TEST_F(Views, NonNativeOnlyAndResetRebuildTheRowsFromMemory) {
  OpenWindow();
  const auto panelBefore = CountPanelPixels();
  const size_t callsBefore = spooler.Calls().size();
  CheckEveryRow();
  ::SendMessageW(listView, LVM_SETCOLUMNWIDTH, 1, 30);

  Command(IDM_NON_NATIVE_ONLY);
  EXPECT_EQ(Column(1), kNonNativeNames);
  ExpectAllUnchecked();
  EXPECT_TRUE(::IsWindowEnabled(deleteButton));
  EXPECT_EQ(RowImage(0), 0);  // the application icon, as after an enumeration
  EXPECT_EQ(Cell(0, 3), L"UNIRES.DLL; STDNAMES.GPD; LOCALE.GPD; ");
  EXPECT_EQ(Cell(0, 11), L"Contoso LaserJet 4200 PCL6 (old)");  // the first previous name
  EXPECT_EQ(Cell(1, 3), L"FABRES.DLL");
  EXPECT_EQ(Cell(2, 3), L"");
  const int fitted = static_cast<int>(::SendMessageW(listView, LVM_GETCOLUMNWIDTH, 1, 0));
  EXPECT_GE(fitted, static_cast<int>(::SendMessageW(
                        listView, LVM_GETSTRINGWIDTHW, 0,
                        reinterpret_cast<LPARAM>(L"Contoso LaserJet 4200 PCL6"))));
  EXPECT_EQ(CountPanelPixels(), panelBefore);

  // Twice in a row: the same rows.
  Command(IDM_CTX_NON_NATIVE_ONLY);
  EXPECT_EQ(Column(1), kNonNativeNames);

  CheckEveryRow();
  HeaderClick(1);  // descending; the reset goes back to ascending names
  Command(IDM_RESET_VIEW);
  EXPECT_EQ(Column(1), kAllNames);
  ExpectAllUnchecked();
  EXPECT_EQ(CountPanelPixels(), panelBefore);
  Command(IDM_CTX_RESET_VIEW);
  EXPECT_EQ(Column(1), kAllNames);
  EXPECT_EQ(spooler.Calls().size(), callsBefore) << "a view asked the spooler again";
}

TEST_F(Views, AllNativeDriversLeaveAnEmptyListAndDeleteDisabled) {
  spooler.machines[L""].drivers = {RichDriver(L"Microsoft Print To PDF", L"Microsoft"),
                                   RichDriver(L"Norvex Class Driver", L"Norvex Inc.")};
  OpenWindow();
  ShowNonNativeOnly();
  EXPECT_EQ(RowCount(), 0);
  EXPECT_FALSE(::IsWindowEnabled(deleteButton));
  ResetView();
  EXPECT_EQ(RowCount(), 2);
  EXPECT_TRUE(::IsWindowEnabled(deleteButton));
}

TEST_F(Views, WithoutAnInventoryOnlyTheResetEmptiesTheList) {
  OpenWindow();
  ReleaseInventory();
  EXPECT_TRUE(ShowNonNativeOnly());
  EXPECT_EQ(RowCount(), 5);
  EXPECT_TRUE(ResetView());
  EXPECT_EQ(RowCount(), 0);
  EXPECT_FALSE(::IsWindowEnabled(deleteButton));
}

TEST_F(Views, AreRefusedWhileAnEnumerationReplacesTheInventory) {
  OpenWindow();
  spooler.machines[L""].enumerateDelayMs = 1500;
  ::SendMessageW(enumerateButton, BM_CLICK, 0, 0);
  ASSERT_TRUE(ExclusiveRunActive());
  EXPECT_FALSE(ShowNonNativeOnly());
  EXPECT_FALSE(ResetView());
  Command(IDM_NON_NATIVE_ONLY);
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(Column(1), kAllNames);
  EXPECT_TRUE(ShowNonNativeOnly());
  EXPECT_EQ(Column(1), kNonNativeNames);
}

class Find : public MainWindowFixture {
 protected:
  void SetUp() override {
    MainWindowFixture::SetUp();
    std::fill(std::begin(findText), std::end(findText), L'\0');
    findPosition = 0;
  }
  HWND OpenDialog() {
    Command(IDM_FIND);
    return findDialog;
  }
  // Types a text into the dialog's box and clicks "Find Next".
  int Search(HWND dialog, const wchar_t* text) {
    ::SetDlgItemTextW(dialog, IDC_FIND_TEXT, text);
    ::SendMessageW(::GetDlgItem(dialog, IDC_FIND_NEXT), BM_CLICK, 0, 0);
    return SelectedRow();
  }
};

TEST_F(Find, OpensAFreshDialogEachTimeAndDestroysAClosedOne) {
  OpenWindow();
  const HWND first = OpenDialog();
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(::IsWindowVisible(first));
  EXPECT_EQ(::GetFocus(), findEdit);
  EXPECT_EQ(::GetParent(findEdit), first);
  EXPECT_EQ(::SendMessageW(findEdit, EM_GETLIMITTEXT, 0, 0), 511);
  ::SetDlgItemTextW(first, IDC_FIND_TEXT, L"left behind");

  PressKey(listView, 'F', true);  // Ctrl+F from the list
  const HWND second = findDialog;
  ASSERT_NE(second, first);
  wchar_t text[64] = {};
  ::GetDlgItemTextW(second, IDC_FIND_TEXT, text, 64);
  EXPECT_STREQ(text, L"");

  ::SendMessageW(first, WM_COMMAND, IDCANCEL, 0);
  EXPECT_FALSE(::IsWindow(first));
  EXPECT_EQ(findDialog, second);
  ::SendMessageW(second, WM_COMMAND, IDCANCEL, 0);
  EXPECT_FALSE(::IsWindow(second));
  EXPECT_EQ(findDialog, nullptr);

  // Ctrl+F from the buttons and the machine box, plain F does nothing.
  PressKey(enumerateButton, 'F');
  EXPECT_EQ(findDialog, nullptr);
  PressKey(deleteButton, 'F', true);
  EXPECT_NE(findDialog, nullptr);
  PressKey(machineCombo, 'F', true);
  EXPECT_NE(findDialog, nullptr);
}

TEST_F(Find, FoldsOnlyAToZAndWrapsAfterTheLastRow) {
  OpenWindow();
  const HWND dialog = OpenDialog();
  EXPECT_EQ(Search(dialog, L"CONTOSO"), 0);
  // Found once although the row holds the text in several columns; nothing
  // below it, so the next press runs to the end silently.
  EXPECT_EQ(Search(dialog, L"contoso"), 0);
  EXPECT_EQ(findPosition, 5);
  EXPECT_EQ(Search(dialog, L"contoso"), 0);  // wrapped to the top
  EXPECT_EQ(findPosition, 1);

  EXPECT_EQ(Search(dialog, L"\u00e9lite"), 0) << "an accented letter must match its case";
  EXPECT_EQ(Search(dialog, L"IMAGEWRITER \u00c9LITE"), 1);
  EXPECT_TRUE(::GetFocus() == dialog || ::IsChild(dialog, ::GetFocus()))
      << "the focus goes back to the dialog after a hit";

  // A text only above the current position: the first press runs out, the second wraps.
  EXPECT_EQ(Search(dialog, L"x64"), 2);  // Generic / Text Only, below Fabrikam (NT x86)
  EXPECT_EQ(Search(dialog, L"fabrikam"), 2);
  EXPECT_EQ(Search(dialog, L"fabrikam"), 1);
}

TEST_F(Find, AnEmptyTextSelectsEveryRowInTurn) {
  OpenWindow();
  const HWND dialog = OpenDialog();
  for (int row = 0; row < 5; ++row) EXPECT_EQ(Search(dialog, L""), row);
  EXPECT_EQ(Search(dialog, L""), 0);
}

TEST_F(Find, ThePositionSurvivesASortAndARefill) {
  OpenWindow();
  const HWND dialog = OpenDialog();
  EXPECT_EQ(Search(dialog, L"fabrikam"), 1);
  HeaderClick(1);  // descending: Fabrikam moves to row 3
  EXPECT_EQ(Search(dialog, L"o"), 2);  // from row 2, not from the row found last
  ShowNonNativeOnly();
  EXPECT_EQ(Search(dialog, L""), 0) << "position 3 is past the three rows: start at the top";
}

TEST_F(Find, EnterAndF3SearchInTheDialogAndF3Anywhere) {
  OpenWindow();
  // F3 before any dialog: the empty text, first row, focus on the list.
  PressKey(window, VK_F3);
  EXPECT_EQ(SelectedRow(), 0);
  EXPECT_EQ(::GetFocus(), listView);

  // "unires" is in the Contoso, Microsoft and Norvex rows (0, 3 and 4).
  const HWND dialog = OpenDialog();
  ::SetDlgItemTextW(dialog, IDC_FIND_TEXT, L"UNIRES");
  PressKey(findEdit, VK_RETURN);
  EXPECT_EQ(SelectedRow(), 3);
  PressKey(findEdit, VK_F3);
  EXPECT_EQ(SelectedRow(), 4);
  PressKey(findNextButton, VK_F3);
  EXPECT_EQ(SelectedRow(), 0);
  PressKey(dialog, VK_F3);
  EXPECT_EQ(SelectedRow(), 3);

  // The text stays for F3 from the main window's controls after the dialog closed.
  ::SendMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
  PressKey(listView, VK_F3);
  EXPECT_EQ(SelectedRow(), 4);
  PressKey(enumerateButton, VK_F3);
  EXPECT_EQ(SelectedRow(), 0);
  PressKey(machineCombo, VK_F3);
  EXPECT_EQ(SelectedRow(), 3);

  // Arrow keys do not move the caret in the box.
  const HWND again = OpenDialog();
  ::SetDlgItemTextW(again, IDC_FIND_TEXT, L"abc");
  ::SendMessageW(findEdit, EM_SETSEL, 3, 3);
  PressKey(findEdit, VK_LEFT);
  PressKey(findEdit, VK_HOME);
  DWORD start = 0;
  ::SendMessageW(findEdit, EM_GETSEL, reinterpret_cast<WPARAM>(&start), 0);
  EXPECT_EQ(start, 3u);
}

TEST_F(Find, ABoxTextOverTheLimitIsCutTo511Characters) {
  OpenWindow();
  const HWND dialog = OpenDialog();
  const std::wstring longText(700, L'q');
  EXPECT_EQ(Search(dialog, longText.c_str()), -1);
  EXPECT_EQ(std::wstring(findText), std::wstring(511, L'q'));
  EXPECT_EQ(findText[511], L'\0');
}

TEST_F(Find, AnEmptyListIsReportedAndTheSearchStartsOver) {
  OpenWindow();
  const HWND dialog = OpenDialog();
  EXPECT_EQ(Search(dialog, L"Norvex"), 4);
  ReleaseInventory();
  ResetView();
  auto box = AnswerMessageBox();
  ::SendMessageW(::GetDlgItem(dialog, IDC_FIND_NEXT), BM_CLICK, 0, 0);
  EXPECT_EQ(box.get(), L"There are no items available to search!");
  EXPECT_EQ(findPosition, 0);
}

TEST_F(Find, AHitBelowTheVisibleRowsIsSelected) {
  spooler.machines[L""].drivers = GeneratedDrivers(200);
  OpenWindow();
  const HWND dialog = OpenDialog();
  const std::wstring lastName = Cell(199, 1);
  EXPECT_EQ(Search(dialog, lastName.c_str()), 199);
  // Find never scrolls the list itself (Wine's list view brings a newly
  // focused row into view on its own, Windows' does not).
}

}  // namespace
}  // namespace kestrun::testing
