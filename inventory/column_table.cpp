#include "inventory/column_table.h"

#include <cwchar>

#include "common/bounded_text.h"

namespace kestrun {

wchar_t columnTitles[kColumnCount][kColumnTitleCapacity] = {};
int columnWidths[kColumnCount] = {};

namespace {

struct ColumnDefinition {
  const wchar_t* title;
  int width;
};

constexpr ColumnDefinition kColumns[kColumnCount] = {
    {L"", 50},
    {L"Driver Name", 100},
    {L"Provider", 75},
    {L"Dependent Files(s)", 120},
    {L"Environment", 75},
    {L"Driver Path", 75},
    {L"Data File", 75},
    {L"Configuration File(s)", 120},
    {L"Help File", 75},
    {L"Monitor Name", 75},
    {L"Default Data Types", 75},
    {L"Previous Names", 120},
    {L"Manufacturer Name", 120},
    {L"OEM URL", 75},
    {L"Hardware ID", 80},
    {L"Printers", 60},
    {L"Driver Version", 100},
    {L"Driver Date", 80},
    {L"Driver Type", 150},
    {L"Package-Aware", 100},
    {L"Driver Package", 110},
};

}  // namespace

void FillColumnTable() {
  for (int i = 0; i < kColumnCount; ++i) {
    CopyBounded(columnTitles[i], kColumns[i].title);
    columnWidths[i] = kColumns[i].width;
  }
}

}  // namespace kestrun
