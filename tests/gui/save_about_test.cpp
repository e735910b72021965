// Save Selected Items, the standard save-file dialog behind its Browse button,
// the list's CSV log, and the About box, on the real main window.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <future>
#include <string>
#include <vector>

#include "ui/window_records.h"
#include "inventory/driver_inventory.h"
#include "tests/support/main_window_fixture.h"
#include "tests/support/test_paths.h"
#include "tests/support/ui_waits.h"
#include "ui/about_dialog.h"
#include "ui/controls.h"
#include "ui/dpi.h"
#include "ui/driver_list.h"
#include "res/ids.h"
#include "ui/list_log.h"
#include "ui/views.h"

namespace kestrun::testing {
namespace {

constexpr wchar_t kSaveCaption[] = L"Save Selected Items";
constexpr char kAllColumnsHeader[] =
    "Driver Name,Provider,Dependent Files(s),Environment,Driver Path,Data File,"
    "Configuration File(s),Help File,Monitor Name,Default Data Types,Previous Names,"
    "Manufacturer Name,OEM URL,Hardware ID,Printers,Driver Version,Driver Date,Driver Type,"
    "Package-Aware,Driver Package,\r\n";
const std::string kFolder = "C:\\Windows\\System32\\spool\\DRIVERS\\x64\\3\\";

std::vector<HWND> SaveDialogs() {
  std::vector<HWND> found;
  HWND next = nullptr;
  while ((next = ::FindWindowExW(nullptr, next, L"#32770", kSaveCaption)) != nullptr) {
    found.push_back(next);
  }
  return found;
}

std::string WithoutFacts(const std::string& row) {
  size_t end = row.size();
  for (int field = 0; field < 6; ++field) end = row.rfind(',', end - 1);
  return row.substr(0, end);
}

std::vector<std::string> Lines(const std::string& bytes) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = bytes.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(bytes.substr(start, end - start));
  }
  EXPECT_EQ(start, bytes.size()) << "the log ends with a whole line";
  return lines;
}

class SaveOutput : public MainWindowFixture {
 protected:
  HWND OpenDialog() {
    const size_t before = SaveDialogs().size();
    Command(IDM_SAVE_OUTPUT);
    const auto dialogs = SaveDialogs();
    return dialogs.size() > before ? dialogs.front() : nullptr;
  }
  static void Click(HWND dialog, int id) {
    ::SendMessageW(::GetDlgItem(dialog, id), BM_CLICK, 0, 0);
  }
  static std::wstring PathBox(HWND dialog) {
    wchar_t text[kSaveLogPathCapacity] = {};
    ::GetDlgItemTextW(dialog, IDC_SAVE_LOG_PATH, text, kSaveLogPathCapacity);
    return text;
  }
  // Saves into `path` with the dialog's current choices; the dialog ends.
  static void SaveTo(HWND dialog, const std::wstring& path) {
    ::SetDlgItemTextW(dialog, IDC_SAVE_LOG_PATH, path.c_str());
    Click(dialog, IDOK);
    EXPECT_FALSE(::IsWindow(dialog)) << "a saved dialog is closed and destroyed";
  }
};

TEST_F(SaveOutput, AnEmptyListHasNothingToSave) {
  OpenWindow();
  ReleaseInventory();
  ResetView();
  auto box = AnswerMessageBox();
  Command(IDM_CTX_SAVE_OUTPUT);
  EXPECT_EQ(box.get(), L"There are no items in the list to save!");
  EXPECT_TRUE(SaveDialogs().empty());
}

TEST_F(SaveOutput, AFreshDialogSavesAllColumnsAndTheBoxesFollowIt) {
  OpenWindow();
  const HWND dialog = OpenDialog();
  ASSERT_NE(dialog, nullptr);
  EXPECT_TRUE(::IsWindowVisible(dialog));
  EXPECT_EQ(::IsDlgButtonChecked(dialog, IDC_SAVE_ALL_COLUMNS), BST_CHECKED);
  for (int column = 1; column < kColumnCount; ++column) {
    const HWND box = ::GetDlgItem(dialog, kColumnChoiceBoxes[column]);
    EXPECT_FALSE(::IsWindowEnabled(box)) << column;
    EXPECT_EQ(::SendMessageW(box, BM_GETCHECK, 0, 0), BST_UNCHECKED) << column;
  }
  EXPECT_EQ(PathBox(dialog), L"");
  EXPECT_TRUE(::GetWindowLongW(::GetDlgItem(dialog, IDC_SAVE_LOG_PATH), GWL_STYLE) & ES_READONLY);

  Click(dialog, IDC_SAVE_ALL_COLUMNS);
  for (int column = 1; column < kColumnCount; ++column) {
    EXPECT_TRUE(::IsWindowEnabled(::GetDlgItem(dialog, kColumnChoiceBoxes[column]))) << column;
  }
  Click(dialog, IDC_SAVE_PROVIDER);
  Click(dialog, IDC_SAVE_ALL_COLUMNS);
  EXPECT_FALSE(::IsWindowEnabled(::GetDlgItem(dialog, IDC_SAVE_PROVIDER)));
  EXPECT_EQ(::IsDlgButtonChecked(dialog, IDC_SAVE_PROVIDER), BST_CHECKED) << "ticks are kept";

  // Save before any Browse: the path is asked for, and the dialog stays.
  auto box = AnswerMessageBox();
  Click(dialog, IDOK);
  EXPECT_EQ(box.get(), L"Please set a valid log file path before proceeding.");
  EXPECT_TRUE(::IsWindow(dialog));

  // Each command opens another dialog in its initial state; Cancel destroys one.
  const HWND second = OpenDialog();
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, dialog);
  EXPECT_EQ(SaveDialogs().size(), 2u);
  EXPECT_EQ(::IsDlgButtonChecked(second, IDC_SAVE_PROVIDER), BST_UNCHECKED);
  Click(second, IDCANCEL);
  EXPECT_FALSE(::IsWindow(second));
  ::SendMessageW(dialog, WM_CLOSE, 0, 0);  // the title bar's close box
  EXPECT_TRUE(PumpUntil([&] { return !::IsWindow(dialog); }));
}

TEST_F(SaveOutput, WritesAllOrChosenColumnsAndAppendsASecondHeader) {
  OpenWindow();
  HeaderClick(0);  // every row checked: the log takes every row whatever its box says
  HeaderClick(1);
  HeaderClick(1);  // descending: the log follows the list's order
  const std::wstring path = MakeScratchDirectory(L"save_columns") + L"\\drivers.csv";

  SaveTo(OpenDialog(), path);
  std::vector<std::string> lines = Lines(ReadFileBytes(path));
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0] + "\r\n", kAllColumnsHeader);
  EXPECT_EQ(WithoutFacts(lines[1]),
            "Norvex Universal Print Class Driver,Norvex,UNIRES.DLL; STDNAMES.GPD; LOCALE.GPD; ,"
            "Windows x64," +
                kFolder + "UNIDRV.DLL," + kFolder + "SAMPLE.GPD," + kFolder + "UNIDRVUI.DLL," +
                kFolder +
                "UNIDRV.HLP,,RAW,Norvex Universal Print Class Driver (old),Norvex,"
                "http://www.example.com/printers,example_printer_1234");
  EXPECT_EQ(WithoutFacts(lines[3]),
            "Generic / Text Only,,,Windows x64,C:\\Windows\\System32\\spool\\DRIVERS\\"
            "x64\\3\\TTY.DLL,C:\\Windows\\System32\\spool\\DRIVERS\\x64\\3\\TTY.GPD,"
            "C:\\Windows\\System32\\spool\\DRIVERS\\x64\\3\\TTYUI.DLL,,,,,,,");
  EXPECT_EQ(lines[4].substr(0, 40), "Fabrikam Imagewriter \xc9lite ?,Fabrikam,FA");
  // The date as the command line writes it, whatever the user's short format.
  EXPECT_EQ(lines[3].substr(WithoutFacts(lines[3]).size()), ",0,0.0.0.0,2006-06-20,Type 3 - User Mode,No,");

  // Chosen columns, into the same file: a second header, then the rows.
  const HWND dialog = OpenDialog();
  Click(dialog, IDC_SAVE_ALL_COLUMNS);
  Click(dialog, IDC_SAVE_OEM_URL);
  Click(dialog, IDC_SAVE_DRIVER_NAME);
  Click(dialog, IDC_SAVE_DRIVER_VERSION);
  SaveTo(dialog, path);
  lines = Lines(ReadFileBytes(path));
  ASSERT_EQ(lines.size(), 12u);
  EXPECT_EQ(lines[6], "Driver Name,OEM URL,Driver Version,");
  EXPECT_EQ(lines[7],
            "Norvex Universal Print Class Driver,http://www.example.com/printers,10.0.0.1,");
  EXPECT_EQ(lines[9], "Generic / Text Only,,0.0.0.0,");
  EXPECT_EQ(columnChoices[0], BST_UNCHECKED);
  EXPECT_EQ(columnChoices[1], BST_CHECKED);
  EXPECT_EQ(columnChoices[13], BST_CHECKED);
  EXPECT_EQ(columnChoices[14], BST_UNCHECKED);

  // No column at all: empty lines.
  const HWND none = OpenDialog();
  Click(none, IDC_SAVE_ALL_COLUMNS);
  SaveTo(none, path);
  lines = Lines(ReadFileBytes(path));
  ASSERT_EQ(lines.size(), 18u);
  for (size_t i = 12; i < 18; ++i) EXPECT_EQ(lines[i], "") << i;
}

TEST_F(SaveOutput, EveryCellIsLoggedWhole) {
  // A long name, and twenty-six dependent files, the first behind a
  // 300-character path: a dependent-files line of over 600 characters.
  const std::wstring longName = L"Long " + std::wstring(400, L'n');
  FakeDriver driver = RichDriver(longName, L"Contoso");
  driver.dependentFiles =
      std::vector<std::wstring>{L"C:\\" + std::wstring(285, L'd') + L"\\UNIDRV.DLL"};
  std::string line = "UNIDRV.DLL; ";
  for (int i = 1; i < 26; ++i) {
    const std::wstring name = L"DEPENDENT_FILE_" + std::to_wstring(100 + i) + L".DLL";
    driver.dependentFiles->push_back(L"C:\\Windows\\" + name);
    line += std::string(name.begin(), name.end()) + "; ";
  }
  ASSERT_GT(line.size(), 600u);
  spooler.machines[L""].drivers = {driver};
  OpenWindow();
  ASSERT_EQ(Cell(0, 3).size(), line.size());

  const std::wstring path = MakeScratchDirectory(L"save_long") + L"\\long.csv";
  const HWND dialog = OpenDialog();
  Click(dialog, IDC_SAVE_ALL_COLUMNS);
  Click(dialog, IDC_SAVE_DRIVER_NAME);
  Click(dialog, IDC_SAVE_DEPENDENT_FILES);
  SaveTo(dialog, path);
  const std::vector<std::string> lines = Lines(ReadFileBytes(path));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], "Long " + std::string(400, 'n') + "," + line + ",");
}

TEST_F(SaveOutput, AFileThatCannotBeOpenedIsReportedAndNothingIsWritten) {
  OpenWindow();
  const std::wstring folder = MakeScratchDirectory(L"save_locked");
  const std::wstring locked = folder + L"\\locked.csv";
  WriteFileBytes(locked, "kept\r\n");
  const HANDLE holder = ::CreateFileW(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  for (const std::wstring& path : {locked, folder + L"\\missing\\x.csv"}) {
    const HWND dialog = OpenDialog();
    ::SetDlgItemTextW(dialog, IDC_SAVE_LOG_PATH, path.c_str());
    auto box = AnswerMessageBox();
    Click(dialog, IDOK);
    EXPECT_EQ(box.get(), L"Unable to save log file.\nEnsure that any previously saved logs are closed.");
    EXPECT_FALSE(::IsWindow(dialog));
  }
  ::CloseHandle(holder);
  EXPECT_EQ(ReadFileBytes(locked), "kept\r\n");
}

TEST_F(SaveOutput, BrowseTakesATypedNameWithTheCsvExtensionAndCancelKeepsIt) {
  OpenWindow();
  const std::wstring folder = MakeScratchDirectory(L"save_browse");
  const HWND dialog = OpenDialog();

  auto typed = AnswerSaveFileDialog(folder + L"\\chosen");
  Click(dialog, IDC_SAVE_BROWSE);
  ASSERT_TRUE(typed.get());
  const std::wstring chosen = folder + L"\\chosen.CSV";
  EXPECT_EQ(_wcsicmp(PathBox(dialog).c_str(), chosen.c_str()), 0) << PathBox(dialog);
  EXPECT_EQ(std::wstring(saveOptions->logPath), PathBox(dialog));
  EXPECT_EQ(saveOptions->fileDialog, nullptr);

  auto cancelled = AnswerSaveFileDialog(L"");
  Click(dialog, IDC_SAVE_BROWSE);
  ASSERT_TRUE(cancelled.get());
  EXPECT_EQ(_wcsicmp(PathBox(dialog).c_str(), chosen.c_str()), 0);
  EXPECT_EQ(_wcsicmp(saveOptions->logPath, chosen.c_str()), 0);

  // A fresh dialog starts with an empty path, though the last one is remembered.
  const HWND fresh = OpenDialog();
  EXPECT_EQ(PathBox(fresh), L"");
  Click(fresh, IDCANCEL);

  Click(dialog, IDOK);
  EXPECT_FALSE(::IsWindow(dialog));
  EXPECT_EQ(Lines(ReadFileBytes(chosen)).size(), 6u);
}

using About = MainWindowFixture;

TEST_F(About, TheSameBoxIsShownAgainCentredWithAReadOnlyDisclaimer) {
  OpenWindow();
  Command(IDM_ABOUT);
  const HWND about = aboutDialog;
  ASSERT_NE(about, nullptr);
  EXPECT_TRUE(::IsWindowVisible(about));
  wchar_t caption[64] = {};
  ::GetWindowTextW(about, caption, 64);
  EXPECT_STREQ(caption, L"About Kestrun");

  const HWND disclaimer = ::GetDlgItem(about, IDC_ABOUT_DISCLAIMER);
  std::wstring text(4096, L'\0');
  text.resize(::GetWindowTextW(disclaimer, text.data(), 4096));
  EXPECT_EQ(text, kDisclaimer);
  EXPECT_NE(text.find(L"without warranty"), std::wstring::npos);
  // It says what the deletions do: a snapshot first, and undo.
  EXPECT_EQ(text.find(L"cannot be undone"), std::wstring::npos);
  EXPECT_NE(text.find(L"Edit > Undo Deletion"), std::wstring::npos);
  EXPECT_TRUE(::GetWindowLongW(disclaimer, GWL_STYLE) & ES_READONLY);
  // The File menu ends with Exit, as Windows menus do.
  const HMENU file = ::GetSubMenu(::GetMenu(MainWindow()), 0);
  const int items = ::GetMenuItemCount(file);
  EXPECT_EQ(::GetMenuItemID(file, items - 1), static_cast<UINT>(IDM_EXIT));
  EXPECT_EQ(::GetMenuItemID(file, items - 3), static_cast<UINT>(IDM_RESTORE_SNAPSHOT));
  ::SendMessageW(disclaimer, WM_CHAR, L'x', 1);
  ::SendMessageW(disclaimer, WM_CLEAR, 0, 0);
  EXPECT_EQ(::GetWindowTextLengthW(disclaimer), static_cast<int>(text.size()));

  ::SendMessageW(about, WM_COMMAND, IDOK, 0);
  EXPECT_FALSE(::IsWindowVisible(about));
  EXPECT_TRUE(::IsWindow(about)) << "closing hides the box";

  ::MoveWindow(window, 40, 30, 900, 560, TRUE);
  Command(IDM_ABOUT);
  EXPECT_EQ(aboutDialog, about);
  EXPECT_TRUE(::IsWindowVisible(about));
  RECT owner, box;
  ::GetWindowRect(window, &owner);
  ::GetWindowRect(about, &box);
  EXPECT_NEAR((box.left + box.right) / 2, (owner.left + owner.right) / 2, 1);
  EXPECT_NEAR((box.top + box.bottom) / 2, (owner.top + owner.bottom) / 2, 1);
  ::SendMessageW(about, WM_COMMAND, IDCANCEL, 0);
  EXPECT_FALSE(::IsWindowVisible(about));
}

// The dialog manager scales a dialog's layout and font to a new DPI, but not
// the icon its template names; Wine never changes a window's DPI, so the test
// sends the message Windows sends.
TEST_F(About, TheIconFollowsTheDialogToAnotherDpi) {
  OpenWindow();
  Command(IDM_ABOUT);
  ASSERT_NE(aboutDialog, nullptr);
  HWND icon = nullptr;
  for (HWND child = ::GetWindow(aboutDialog, GW_CHILD); child && !icon;
       child = ::GetWindow(child, GW_HWNDNEXT)) {
    if ((::GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) icon = child;
  }
  ASSERT_NE(icon, nullptr);
  const auto iconWidth = [icon] {
    ICONINFO info = {};
    ::GetIconInfo(reinterpret_cast<HICON>(::SendMessageW(icon, STM_GETICON, 0, 0)), &info);
    BITMAP bitmap = {};
    ::GetObjectW(info.hbmColor, sizeof(bitmap), &bitmap);
    if (info.hbmColor) ::DeleteObject(info.hbmColor);
    if (info.hbmMask) ::DeleteObject(info.hbmMask);
    return bitmap.bmWidth;
  };
  const UINT dpi = WindowDpi(aboutDialog);
  EXPECT_EQ(iconWidth(), ::MulDiv(32, static_cast<int>(dpi), 96));
  for (const UINT moved : {dpi * 2, dpi}) {
    RECT suggested;
    ::GetWindowRect(aboutDialog, &suggested);
    ::SendMessageW(aboutDialog, WM_DPICHANGED, MAKEWPARAM(moved, moved),
                   reinterpret_cast<LPARAM>(&suggested));
    EXPECT_EQ(iconWidth(), ::MulDiv(32, static_cast<int>(moved), 96)) << moved;
  }
}

}  // namespace
}  // namespace kestrun::testing
