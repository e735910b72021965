#include "ui/list_log.h"

#include <memory>
#include <string>

#include "ui/window_records.h"
#include "inventory/column_table.h"
#include "inventory/field_text.h"
#include "report/csv_log.h"
#include "ui/controls.h"
#include "ui/driver_list.h"
#include "res/ids.h"

namespace kestrun {

int columnChoices[kColumnCount] = {};

const int kColumnChoiceBoxes[kColumnCount] = {
    IDC_SAVE_ALL_COLUMNS,        IDC_SAVE_DRIVER_NAME,
    IDC_SAVE_PROVIDER,           IDC_SAVE_DEPENDENT_FILES,
    IDC_SAVE_ENVIRONMENT,        IDC_SAVE_DRIVER_PATH,
    IDC_SAVE_DATA_FILE,          IDC_SAVE_CONFIG_FILE,
    IDC_SAVE_HELP_FILE,          IDC_SAVE_MONITOR_NAME,
    IDC_SAVE_DEFAULT_DATA_TYPES, IDC_SAVE_PREVIOUS_NAMES,
    IDC_SAVE_MANUFACTURER,       IDC_SAVE_OEM_URL,
    IDC_SAVE_HARDWARE_ID,        IDC_SAVE_PRINTERS,
    IDC_SAVE_DRIVER_VERSION,     IDC_SAVE_DRIVER_DATE,
    IDC_SAVE_DRIVER_TYPE,        IDC_SAVE_PACKAGE_AWARE,
    IDC_SAVE_DRIVER_PACKAGE,
};

void ReadColumnChoices(HWND dialog) {
  for (int column = 0; column < kColumnCount; ++column) {
    columnChoices[column] = static_cast<int>(::IsDlgButtonChecked(dialog, kColumnChoiceBoxes[column]));
  }
}

namespace {
void ShowSaveFailure(HWND dialog) {
  ::MessageBoxW(dialog,
                L"Unable to save log file.\nEnsure that any previously saved logs are closed.",
                L"Kestrun", MB_ICONERROR);
}
// A row's driver date as yyyy-mm-dd, from the record the row shows.
std::wstring IsoDriverDate(int row) {
  LVITEMW item = {};
  item.mask = LVIF_PARAM;
  item.iItem = row;
  item.lParam = -1;
  ::SendMessageW(listView, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item));
  if (currentInventory == nullptr || item.lParam < 0 ||
      static_cast<DWORD>(item.lParam) >= currentInventory->driverCount) {
    return {};
  }
  return DriverDateText(currentInventory->Drivers()[item.lParam].ftDriverDate, DateForm::Iso);
}
}  // namespace

void WriteListLog(HWND dialog) {
  // The path the dialog shows: another Save dialog may have browsed to a
  // different file since this one did.
  wchar_t path[kSaveLogPathCapacity] = {};
  ::GetDlgItemTextW(dialog, IDC_SAVE_LOG_PATH, path, kSaveLogPathCapacity);
  DWORD error = 0;
  const std::unique_ptr<CsvLog> log = path[0] ? CsvLog::Open(path, error) : nullptr;
  if (!log) {
    ShowSaveFailure(dialog);
    return;
  }
  const bool allColumns = ::IsDlgButtonChecked(dialog, IDC_SAVE_ALL_COLUMNS) == BST_CHECKED;
  if (!allColumns) ReadColumnChoices(dialog);

  error = log->AppendLines(ListHeaderLine(allColumns, columnChoices));
  // Every cell is saved whole: a dependent-files line of many files runs far
  // past any fixed buffer, and the command-line log keeps it whole too.
  std::wstring cells[kColumnCount];
  const wchar_t* cellTexts[kColumnCount] = {};
  std::string line;
  const int rows = ListRowCount();
  for (int row = 0; row < rows && error == ERROR_SUCCESS; ++row) {
    for (int column = kFirstFieldColumn; column <= kLastFieldColumn; ++column) {
      cells[column] = ReadWholeListCell(listView, row, column, kListLogCellCapacity);
    }
    // The date as the command line writes it, whatever the user's short format.
    cells[kDriverDateColumn] = IsoDriverDate(row);
    for (int column = 0; column < kColumnCount; ++column) cellTexts[column] = cells[column].c_str();
    line.clear();
    AppendListRow(line, cellTexts, allColumns, columnChoices);
    error = log->AppendLines(line);
  }
  if (error == ERROR_SUCCESS) error = log->Flush();
  // A full disk or a share gone: the save is not reported as done.
  if (error != ERROR_SUCCESS) ShowSaveFailure(dialog);
}

}  // namespace kestrun
