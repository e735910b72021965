#include "report/fleet_log.h"

#include "inventory/field_text.h"
#include "report/csv_log.h"
#include "inventory/column_table.h"

namespace kestrun {

namespace {

constexpr char kBom[] = "\xEF\xBB\xBF";
constexpr wchar_t kNeedsQuotes[] = L",\"\r\n";
// A spreadsheet reads a field starting with one of these as a formula.
constexpr wchar_t kFormulaStarts[] = L"=+-@\t\r";
constexpr char32_t kReplacementCharacter = 0xFFFD;

void AppendLineEnd(std::string& bytes) { bytes += "\r\n"; }

std::string HeaderUpTo(int lastColumn) {
  std::string header = kBom;
  AppendFleetField(header, L"Machine");
  for (int column = kFirstFieldColumn; column <= lastColumn; ++column) {
    header += ',';
    AppendFleetField(header, columnTitles[column]);
  }
  AppendLineEnd(header);
  return header;
}

}  // namespace

void AppendFleetField(std::string& bytes, std::wstring_view text) {
  const bool quoted = text.find_first_of(kNeedsQuotes) != std::wstring_view::npos;
  if (quoted) bytes += '"';
  // The servers' text is not the admin's: Excel shows it as text, never runs it.
  if (!text.empty() && std::wstring_view(kFormulaStarts).find(text[0]) != std::wstring_view::npos) {
    bytes += '\'';
  }
  for (size_t i = 0; i < text.size(); ++i) {
    // Most server text is printable ASCII: a run of it goes in as it is, in one step.
    size_t plain = i;
    while (plain < text.size() && text[plain] >= 0x20 && text[plain] < 0x7F && text[plain] != L'"')
      ++plain;
    if (plain > i) {
      const size_t at = bytes.size();
      bytes.resize(at + (plain - i));
      for (size_t k = i; k < plain; ++k) bytes[at + (k - i)] = static_cast<char>(text[k]);
      i = plain - 1;
      continue;
    }
    const wchar_t c = text[i];
    if (c == L'"') {
      bytes += "\"\"";
    } else if (c == L'\r' || c == L'\n') {
      bytes += static_cast<char>(c);  // kept: the field is quoted
    } else if (IS_HIGH_SURROGATE(c) && i + 1 < text.size() && IS_LOW_SURROGATE(text[i + 1])) {
      AppendUtf8(bytes, 0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) +
                            (static_cast<char32_t>(text[++i]) - 0xDC00));
    } else if (IS_HIGH_SURROGATE(c) || IS_LOW_SURROGATE(c)) {  // half a pair
      AppendUtf8(bytes, kReplacementCharacter);
    } else {
      AppendUtf8(bytes, ShownCharacter(c));
    }
  }
  if (quoted) bytes += '"';
}

std::string FleetLogHeader() { return HeaderUpTo(kLastFieldColumn); }

size_t OlderFleetHeaderSize() { return HeaderUpTo(kLastLogColumn).size(); }

bool HoldsOlderFleetHeader(std::string_view firstBytes) {
  const std::string header = HeaderUpTo(kLastLogColumn);
  std::string_view older = header;
  // A log saved again without its BOM holds the older columns all the same.
  const std::string_view bom = kBom;
  if (firstBytes.substr(0, bom.size()) != bom) older.remove_prefix(bom.size());
  return firstBytes.substr(0, older.size()) == older;
}

void AppendFleetRow(std::string& bytes, std::wstring_view machine, const DRIVER_INFO_6& driver,
                    const wchar_t* dependentFilesLine, const DriverFacts* facts) {
  AppendFleetField(bytes, machine);
  for (int column = kFirstFieldColumn; column <= kLastLogColumn; ++column) {
    bytes += ',';
    AppendFleetField(bytes, FieldOrEmpty(DriverColumnText(driver, column, dependentFilesLine)));
  }
  for (int fact = 0; fact < kDriverFactCount; ++fact) {
    bytes += ',';
    if (facts) AppendFleetField(bytes, (*facts)[fact]);
  }
  AppendLineEnd(bytes);
}

}  // namespace kestrun
