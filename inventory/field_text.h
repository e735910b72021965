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

// Server text reaches the console and the logs with its control characters
// (C0 but TAB, DEL, C1, and the Unicode line and paragraph separators) shown
// as "?": a line break would forge a log row, an escape sequence (8-bit CSI
// U+009B too) would drive the console.
constexpr bool IsControlCharacter(wchar_t c) {
  return (c < 0x20 && c != L'\t') || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029;
}
constexpr wchar_t ShownCharacter(wchar_t c) { return IsControlCharacter(c) ? L'?' : c; }

// A text on one line: its line breaks and runs of blanks become one blank,
// and blanks at either end go (system error texts end in a line break).
std::wstring OneLineText(std::wstring_view text);

// Appends a text with every control character shown as "?".
void AppendShownText(std::wstring& out, std::wstring_view text);

// Text of a field that may be absent, for code that wants a view.
inline std::wstring_view FieldOrEmpty(const wchar_t* field) {
  return field ? std::wstring_view(field) : std::wstring_view();
}

}  // namespace kestrun
