#include "inventory/inf_reader.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <iterator>
#include <unordered_map>

#include "inventory/field_text.h"

namespace kestrun {

namespace {

// The code page an 8-bit INF is read in: the same text on every machine.
constexpr UINT kInfCodePage = 1252;

bool Decode(std::string_view bytes, UINT codePage, std::wstring& text) {
  text.clear();
  if (bytes.empty()) return true;
  const int length =
      ::MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  if (length <= 0) return false;
  text.resize(static_cast<size_t>(length));
  return ::MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()),
                               text.data(), length) == length;
}

// The INF's characters, or false for bytes that are no text Kestrun reads.
bool InfText(std::string_view bytes, std::wstring& text) {
  const bool cut = bytes.size() >= kMaxInfBytes;
  if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') {
    bytes.remove_prefix(2);
    if (bytes.size() % 2 != 0) {
      if (!cut) return false;
      bytes.remove_suffix(1);  // the limit fell inside a character
    }
    text.resize(bytes.size() / 2);
    for (size_t i = 0; i < text.size(); ++i) {
      text[i] = static_cast<wchar_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                     static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
    }
  } else if (bytes.size() >= 2 && bytes[0] == '\xFE' && bytes[1] == '\xFF') {
    return false;  // big-endian UTF-16: Windows does not read it either
  } else if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") {
    if (!Decode(bytes.substr(3), CP_UTF8, text)) return false;
  } else {
    // A NUL in 8-bit text: binary, or UTF-16 without its mark.
    if (bytes.find('\0') != std::string_view::npos) return false;
    if (!Decode(bytes, kInfCodePage, text)) return false;
  }
  if (text.find(L'\0') != std::wstring::npos) return false;
  // The limit cut the last line short: it is not read.
  if (cut)
    text.resize(text.find_last_of(L'\n') == std::wstring::npos ? 0 : text.find_last_of(L'\n'));
  return !text.empty();
}

std::wstring_view Trimmed(std::wstring_view text) {
  const size_t first = text.find_first_not_of(L" \t\r");
  if (first == std::wstring_view::npos) return {};
  const size_t last = text.find_last_not_of(L" \t\r");
  return text.substr(first, last - first + 1);
}

// A line without its comment (";" outside double quotes).
std::wstring_view WithoutComment(std::wstring_view line) {
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == L'"') quoted = !quoted;
    if (line[i] == L';' && !quoted) return line.substr(0, i);
  }
  return line;
}

// A value as it is meant: one pair of surrounding double quotes dropped,
// and inside them a doubled quote ("") read as one.
std::wstring Unquoted(std::wstring_view value) {
  value = Trimmed(value);
  if (value.size() < 2 || value.front() != L'"' || value.back() != L'"') {
    return std::wstring(value);
  }
  value = value.substr(1, value.size() - 2);
  std::wstring text;
  text.reserve(value.size());
  for (size_t i = 0; i < value.size(); ++i) {
    text += value[i];
    if (value[i] == L'"' && i + 1 < value.size() && value[i + 1] == L'"') ++i;
  }
  return text;
}

struct InfSections {
  bool hasVersion = false;
  std::unordered_map<std::wstring, std::wstring> version;  // by upper-case key
  // Strings as Windows shows them in English: [Strings], then
  // [Strings.0409], then the first other localized section.
  std::unordered_map<std::wstring, std::wstring> strings, english, localized;
  std::wstring localizedName;  // the section `localized` comes from
};

std::wstring UpperKey(std::wstring_view key) {
  std::wstring upper(Trimmed(key));
  for (wchar_t& c : upper) {
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
  }
  return upper;
}

void ReadSections(const std::wstring& text, InfSections& sections) {
  enum class Section { Other, Version, Strings, English, Localized } section = Section::Other;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find(L'\n', start);
    if (end == std::wstring::npos) end = text.size();
    std::wstring_view line(text.data() + start, end - start);
    start = end + 1;
    if (line.size() > kMaxInfLineChars) line = line.substr(0, kMaxInfLineChars);
    line = Trimmed(WithoutComment(line));
    if (line.empty()) continue;
    if (line.front() == L'[') {
      const size_t close = line.find(L']');
      const std::wstring name = UpperKey(
          line.substr(1, close == std::wstring_view::npos ? std::wstring_view::npos : close - 1));
      section = name == L"VERSION"        ? Section::Version
                : name == L"STRINGS"      ? Section::Strings
                : name == L"STRINGS.0409" ? Section::English
                                          : Section::Other;
      if (section == Section::Other && name.rfind(L"STRINGS.", 0) == 0) {
        if (sections.localizedName.empty()) sections.localizedName = name;
        if (sections.localizedName == name) section = Section::Localized;
      }
      sections.hasVersion = sections.hasVersion || section == Section::Version;
      continue;
    }
    const size_t equals = line.find(L'=');
    if (section == Section::Other || equals == std::wstring_view::npos) continue;
    const std::wstring key = UpperKey(line.substr(0, equals));
    std::wstring value = Unquoted(line.substr(equals + 1));
    auto& into = section == Section::Version   ? sections.version
                 : section == Section::Strings ? sections.strings
                 : section == Section::English ? sections.english
                                               : sections.localized;
    into.emplace(key, std::move(value));  // the first of a key stands
  }
}

// "%token%" replaced from the strings, one level deep: a string's own
// tokens stay as written. "%%" is "%". At most kMaxExpandedChars come out,
// cut with "...": a few hundred bytes of tokens cannot grow into megabytes.
std::wstring Substituted(std::wstring_view value, const InfSections& sections) {
  std::wstring out;
  const auto add = [&out](std::wstring_view part) {
    out.append(part.substr(0, kMaxExpandedChars + 1 - std::min(out.size(), kMaxExpandedChars)));
  };
  for (size_t i = 0; i < value.size() && out.size() <= kMaxExpandedChars;) {
    const size_t close = value[i] == L'%' ? value.find(L'%', i + 1) : std::wstring_view::npos;
    if (close == std::wstring_view::npos) {
      add(value.substr(i++, 1));
      continue;
    }
    const std::wstring key = UpperKey(value.substr(i + 1, close - i - 1));
    const std::wstring* found = nullptr;
    for (const auto* table : {&sections.strings, &sections.english, &sections.localized}) {
      const auto at = table->find(key);
      if (found == nullptr && at != table->end()) found = &at->second;
    }
    if (key.empty()) {
      add(L"%");
    } else if (found != nullptr) {
      add(*found);
    } else {
      add(value.substr(i, close - i + 1));  // unknown: as written
    }
    i = close + 1;
  }
  if (out.size() > kMaxExpandedChars)
    out.replace(kMaxExpandedChars - 3, std::wstring::npos, L"...");
  return out;
}

bool AllDigits(std::wstring_view text) {
  return !text.empty() && text.find_first_not_of(L"0123456789") == std::wstring_view::npos;
}

// "mm/dd/yyyy" as 2019-03-12; empty for anything else.
std::wstring IsoDate(std::wstring_view date) {
  const size_t first = date.find(L'/');
  const size_t second = first == std::wstring_view::npos ? first : date.find(L'/', first + 1);
  if (second == std::wstring_view::npos) return {};
  const std::wstring_view month = date.substr(0, first);
  const std::wstring_view day = date.substr(first + 1, second - first - 1);
  const std::wstring_view year = date.substr(second + 1);
  if (!AllDigits(month) || !AllDigits(day) || !AllDigits(year) || month.size() > 2 ||
      day.size() > 2 || year.size() != 4) {
    return {};
  }
  const auto number = [](std::wstring_view digits) {
    int value = 0;
    for (const wchar_t c : digits) value = value * 10 + (c - L'0');
    return value;
  };
  const int m = number(month);
  const int d = number(day);
  const int y = number(year);
  // A day the calendar has, in the years a driver can carry.
  constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  if (y < 1980 || y > 2099 || m < 1 || m > 12 || d < 1 || d > kDays[m - 1] ||
      (m == 2 && d == 29 && !leap)) {
    return {};
  }
  wchar_t text[16] = {};
  std::swprintf(text, std::size(text), L"%04d-%02d-%02d", y, m, d);
  return text;
}

// "61.4.0.0": one to four numbers of at most 65535 each, or empty.
std::wstring DottedVersion(std::wstring_view version) {
  size_t parts = 0;
  for (size_t start = 0; start <= version.size(); ++parts) {
    size_t end = version.find(L'.', start);
    if (end == std::wstring_view::npos) end = version.size();
    const std::wstring_view part = version.substr(start, end - start);
    if (!AllDigits(part) || part.size() > 5 || parts == 4) return {};
    unsigned value = 0;
    for (const wchar_t c : part) value = value * 10 + static_cast<unsigned>(c - L'0');
    if (value > 65535) return {};
    start = end + 1;
  }
  return std::wstring(version);
}

}  // namespace

InfRead ReadInfFields(std::string_view bytes, InfFields& fields) {
  fields = {};
  std::wstring text;
  if (!InfText(bytes.substr(0, kMaxInfBytes), text)) return InfRead::Unreadable;
  InfSections sections;
  ReadSections(text, sections);
  if (!sections.hasVersion) return InfRead::NoVersion;
  const auto field = [&](const wchar_t* key) {
    const auto found = sections.version.find(key);
    return found == sections.version.end() ? std::wstring() : Substituted(found->second, sections);
  };
  // Windows files a package by its ClassGUID; Class alone only without one.
  const std::wstring className(Trimmed(field(L"CLASS")));
  const std::wstring classGuid(Trimmed(field(L"CLASSGUID")));
  const bool printerName = EqualsIgnoringAsciiCase(className, L"Printer");
  const bool printerGuid = EqualsIgnoringAsciiCase(classGuid, kPrinterClassGuid);
  fields.printerClass = printerGuid || (classGuid.empty() && printerName);
  fields.classConflict = !classGuid.empty() && !className.empty() && printerName != printerGuid;
  fields.provider = std::wstring(Trimmed(field(L"PROVIDER")));
  const std::wstring driverVer = field(L"DRIVERVER");
  if (driverVer.empty()) return InfRead::Read;
  const size_t comma = driverVer.find(L',');
  fields.date = IsoDate(Trimmed(std::wstring_view(driverVer).substr(0, comma)));
  if (fields.date.empty()) fields.date = kInvalidField;
  if (comma != std::wstring::npos) {
    fields.version = DottedVersion(Trimmed(std::wstring_view(driverVer).substr(comma + 1)));
    if (fields.version.empty()) fields.version = kInvalidField;
  }
  return InfRead::Read;
}

}  // namespace kestrun
