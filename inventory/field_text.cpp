#include "inventory/field_text.h"

#include <cstdio>
#include <cwchar>
#include <iterator>
#include <new>

#include <winspool.h>

// The spooler's attribute of a package-aware driver, which MinGW's headers lack.
#ifndef PRINTER_DRIVER_PACKAGE_AWARE
#define PRINTER_DRIVER_PACKAGE_AWARE 0x00000001
#endif

namespace kestrun {

namespace {
constexpr size_t kSlotChars = kListEntryCapacity - 1;
constexpr size_t kJoinCharsPerEntry = 258;  // a file name, "; " and room for the terminator
constexpr wchar_t kSeparator[] = L"; ";
}  // namespace

bool SplitMultiString(DriverInventory& inventory, const wchar_t* multiString) {
  inventory.listEntries.reset();
  inventory.listEntryCount = 0;
  if (multiString[0] == L'\0') return true;

  int count = 1;
  const wchar_t* cursor = multiString + wcslen(multiString) + 1;
  while (*cursor != L'\0') {
    ++count;
    cursor += wcslen(cursor) + 1;
  }

  std::unique_ptr<ListEntry[]> table(new (std::nothrow) ListEntry[static_cast<size_t>(count)]);
  if (!table) return false;

  cursor = multiString;
  for (size_t i = 0; i < static_cast<size_t>(count); ++i) {
    const std::wstring_view entry(cursor);
    if (entry.size() <= kSlotChars) {
      wmemcpy(table[i], entry.data(), entry.size());
      table[i][entry.size()] = L'\0';
    } else {
      // Cutting a long path would cut off its file name, the one part the
      // slot is read for; the name fits, as FileNamePart keeps 255 at most.
      const std::wstring name = FileNamePart(entry);
      wmemcpy(table[i], name.data(), name.size());
      table[i][name.size()] = L'\0';
    }
    cursor += entry.size() + 1;
  }
  inventory.listEntries = std::move(table);
  inventory.listEntryCount = count;
  return true;
}

std::wstring FileNamePart(std::wstring_view path) {
  const size_t end = path.find_last_not_of(L'\\');
  if (end == std::wstring_view::npos) return {};
  const size_t separator = path.find_last_of(L'\\', end);
  const size_t start = separator == std::wstring_view::npos ? 0 : separator + 1;
  std::wstring_view name = path.substr(start, end + 1 - start);
  return std::wstring(name.substr(0, kSlotChars));
}

std::unique_ptr<wchar_t[]> JoinDependentFiles(DriverInventory& inventory,
                                              const wchar_t* dependentFiles) {
  if (dependentFiles == nullptr || dependentFiles[0] == L'\0') {
    std::unique_ptr<wchar_t[]> empty(new (std::nothrow) wchar_t[1]);
    if (empty) empty[0] = L'\0';
    return empty;
  }
  if (!SplitMultiString(inventory, dependentFiles)) return nullptr;

  const size_t entries = static_cast<size_t>(inventory.listEntryCount);
  const size_t capacity = entries * kJoinCharsPerEntry;
  std::unique_ptr<wchar_t[]> line(new (std::nothrow) wchar_t[capacity]);
  if (!line) return nullptr;

  size_t length = 0;
  for (size_t i = 0; i < entries; ++i) {
    const std::wstring name = FileNamePart(inventory.listEntries[i]);
    wmemcpy(line.get() + length, name.data(), name.size());
    length += name.size();
    if (entries > 1) {
      wmemcpy(line.get() + length, kSeparator, 2);
      length += 2;
    }
  }
  line[length] = L'\0';
  return line;
}

std::unique_ptr<wchar_t[]> LowerCaseCopy(std::wstring_view text) {
  std::unique_ptr<wchar_t[]> copy(new (std::nothrow) wchar_t[text.size() + 1]);
  if (!copy) return nullptr;
  for (size_t i = 0; i < text.size(); ++i) {
    copy[i] = FoldAsciiLetter(text[i]);
  }
  copy[text.size()] = L'\0';
  return copy;
}

std::wstring OneLineText(std::wstring_view text) {
  std::wstring line;
  bool blank = false;
  for (const wchar_t c : text) {
    if (c == L'\r' || c == L'\n' || c == L' ' || c == L'\t') {
      blank = !line.empty();
    } else {
      if (blank) line += L' ';
      blank = false;
      line += c;
    }
  }
  return line;
}

void AppendShownText(std::wstring& out, std::wstring_view text) {
  const size_t start = out.size();
  out.append(text);
  for (size_t i = start; i < out.size(); ++i) out[i] = ShownCharacter(out[i]);
}

std::wstring DriverVersionText(DWORDLONG version) {
  std::wstring text;
  for (int shift = 48; shift >= 0; shift -= 16) {
    text += std::to_wstring((version >> shift) & 0xFFFF);
    if (shift > 0) text += L'.';
  }
  return text;
}

std::wstring DriverTypeText(DWORD type) {
  switch (type) {
    case 0:
      return L"Type 0 - Windows 95/98/Me";
    case 1:
      return L"Type 1 - Windows NT 3.51";
    case 2:
      return L"Type 2 - Kernel Mode";
    case 3:
      return L"Type 3 - User Mode";
    case 4:
      return L"Type 4 - User Mode";
    default:
      return std::to_wstring(type);
  }
}

const wchar_t* PackageAwareText(DWORD attributes) {
  return (attributes & PRINTER_DRIVER_PACKAGE_AWARE) != 0 ? L"Yes" : L"No";
}

std::wstring DriverDateText(const FILETIME& date, DateForm form) {
  SYSTEMTIME day = {};
  if ((date.dwLowDateTime == 0 && date.dwHighDateTime == 0) ||
      !::FileTimeToSystemTime(&date, &day)) {
    return {};
  }
  wchar_t text[80] = {};
  if (form == DateForm::Iso) {
    std::swprintf(text, std::size(text), L"%04u-%02u-%02u", day.wYear, day.wMonth, day.wDay);
  } else if (::GetDateFormatEx(LOCALE_NAME_USER_DEFAULT, DATE_SHORTDATE, &day, nullptr, text,
                               static_cast<int>(std::size(text)), nullptr) == 0) {
    return {};
  }
  return text;
}

const std::wstring& DriverFacts::operator[](int fact) const {
  const std::wstring* const facts[kDriverFactCount] = {&printers, &version,      &date,
                                                       &type,     &packageAware, &package};
  // cppcheck-suppress returnReference ; the pointers are to this record's own members
  return *facts[fact];
}

void DescribeDriver(const DriverInventory& inventory, DWORD index, DateForm form,
                    DriverFacts& facts) {
  const DRIVER_INFO_6& driver = inventory.Drivers()[index];
  if (inventory.printerUse) {
    facts.printers = std::to_wstring(inventory.printerUse[index]);
  } else {
    facts.printers.clear();
  }
  facts.version = DriverVersionText(driver.dwlDriverVersion);
  facts.date = DriverDateText(driver.ftDriverDate, form);
  facts.type = DriverTypeText(driver.cVersion);
  facts.packageAware.clear();
  facts.package.clear();
  if (inventory.packageFields) {
    const DriverPackageFields& package = inventory.packageFields[index];
    facts.packageAware = PackageAwareText(package.attributes);
    if (package.infPath != nullptr) facts.package = FileNamePart(package.infPath);
  }
}

bool DriverFactValue(const DriverInventory& inventory, DWORD index, int fact, ULONGLONG& value) {
  if (index >= inventory.driverCount) return false;
  const DRIVER_INFO_6& driver = inventory.Drivers()[index];
  switch (fact) {
    case 0:
      if (!inventory.printerUse) return false;
      value = inventory.printerUse[index];
      return true;
    case 1:
      value = driver.dwlDriverVersion;
      return true;
    case 2:
      value = (static_cast<ULONGLONG>(driver.ftDriverDate.dwHighDateTime) << 32) |
              driver.ftDriverDate.dwLowDateTime;
      return !DriverDateText(driver.ftDriverDate, DateForm::Iso).empty();
    default:
      return false;
  }
}

bool EqualsIgnoringAsciiCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldAsciiLetter(a[i]) != FoldAsciiLetter(b[i])) return false;
  }
  return true;
}

std::wstring NameKey(std::wstring_view name) {
  std::wstring key(name);
  if (!key.empty()) {
    const int length = static_cast<int>(name.size());
    ::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, name.data(), length, key.data(), length,
                    nullptr, nullptr, 0);
  }
  return key;
}

bool SameName(std::wstring_view a, std::wstring_view b) {
  return a.size() == b.size() &&
         ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace kestrun
