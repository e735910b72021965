// One-line texts for the driver fields the spooler keeps as multi-strings
// (strings each ended by a zero, the list ended by one more zero).
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "inventory/driver_inventory.h"

namespace kestrun {

// Cuts a multi-string into the inventory's listEntries, one slot per string.
// A string longer than a slot holds keeps only its file-name part (itself at
// most 255 characters), so the name taken from the slot is the whole entry's.
// False (and an empty table) when the table cannot be reserved.
bool SplitMultiString(DriverInventory& inventory, const wchar_t* multiString);

// The last backslash-separated component of a path, at most 255 characters.
std::wstring FileNamePart(std::wstring_view path);

// The dependent files as one line: each file name followed by "; " when there
// are two or more. Absent or empty gives the empty text; null on out of memory.
std::unique_ptr<wchar_t[]> JoinDependentFiles(DriverInventory& inventory,
                                              const wchar_t* dependentFiles);

// A copy with A to Z folded to a to z; null on out of memory.
std::unique_ptr<wchar_t[]> LowerCaseCopy(std::wstring_view text);

// Folds the letters A to Z onto a to z; every other character stays.
constexpr wchar_t FoldAsciiLetter(wchar_t c) {
  return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

// True when both texts are equal with A to Z folded.
bool EqualsIgnoringAsciiCase(std::wstring_view a, std::wstring_view b);

// A printer's or driver's name as the spooler compares names: letter case
// folded the way the system's ordinal comparison folds it (so "ÄSRV" and
// "äsrv" are one name). Two names are the same name when their keys are equal.
std::wstring NameKey(std::wstring_view name);
bool SameName(std::wstring_view a, std::wstring_view b);

// Server text reaches the console and the logs with its control characters
// (C0 but TAB, DEL, C1, and the Unicode line and paragraph separators) shown
// as "?": a line break would forge a log row, an escape sequence (8-bit CSI
// U+009B too) would drive the console.
constexpr bool IsControlCharacter(wchar_t c) {
  return (c < 0x20 && c != L'\t') || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029;
}
// The bidirectional controls reorder what follows them: "txt.exe" could be
// drawn as "exe.txt".
constexpr bool IsBidiControl(wchar_t c) {
  return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
         (c >= 0x2066 && c <= 0x2069);
}
constexpr wchar_t ShownCharacter(wchar_t c) {
  return IsControlCharacter(c) || IsBidiControl(c) ? L'?' : c;
}

// A text on one line: its line breaks and runs of blanks become one blank,
// and blanks at either end go (system error texts end in a line break).
std::wstring OneLineText(std::wstring_view text);

// Appends a text with every control character shown as "?".
void AppendShownText(std::wstring& out, std::wstring_view text);

// dwlDriverVersion as four numbers of 16 bits each, highest first: "6.3.9600.17415".
std::wstring DriverVersionText(DWORDLONG version);

// cVersion as the driver's type: "Type 3 - User Mode"; an unknown one as its number.
std::wstring DriverTypeText(DWORD type);

// "Yes" when the attributes mark a package-aware driver, else "No".
const wchar_t* PackageAwareText(DWORD attributes);

// The window shows a driver date in the user's short date format, the
// console and the fleet log as yyyy-mm-dd. Either way it is the date the
// driver carries: never converted between time zones, which could show the
// day before. Empty for a date of 0 or one no calendar holds.
enum class DateForm { UserShort, Iso };
std::wstring DriverDateText(const FILETIME& date, DateForm form);

// The six facts after the fourteen fields, in column order.
constexpr int kDriverFactCount = 6;
struct DriverFacts {
  std::wstring printers;  // how many printers use a driver of its name; empty: unknown
  std::wstring version;
  std::wstring date;
  std::wstring type;
  std::wstring packageAware;  // empty after a level-6 answer
  std::wstring package;       // the package's INF file name; empty without one
  const std::wstring& operator[](int fact) const;
};

// The facts of driver record `index` of the inventory (strings reused).
void DescribeDriver(const DriverInventory& inventory, DWORD index, DateForm form,
                    DriverFacts& facts);

// The value a fact column sorts by (0 Printers, 1 Driver Version, 2 Driver
// Date); false for an empty cell.
bool DriverFactValue(const DriverInventory& inventory, DWORD index, int fact, ULONGLONG& value);

// Text of a field that may be absent, for code that wants a view.
inline std::wstring_view FieldOrEmpty(const wchar_t* field) {
  return field ? std::wstring_view(field) : std::wstring_view();
}

}  // namespace kestrun
