#include "inventory/snapshot_manifest.h"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <unordered_map>
#include <unordered_set>

#include "common/shown_text.h"
#include "inventory/field_text.h"

namespace kestrun {

namespace {

constexpr std::string_view kVersionPrefix = "Kestrun snapshot ";
constexpr wchar_t kHexDigits[] = L"0123456789abcdef";
// A manifest line longer than this is damaged: no record comes near it.
constexpr size_t kMaxLineBytes = size_t{64} * 1024 * 1024;
constexpr size_t kMaxRecords = 1000000;

using Text = std::wstring;

// The fields of each record, in the order they are written, and how each is
// read: the writer and the reader share these tables.
// What a text field may hold besides printable characters: nothing (a name
// or a path, which the spooler reads up to its first NUL), NUL-separated
// strings (a multi-string), or a note's tabs and line breaks (a comment).
enum class TextRule { Line, List, Note };

template <typename Record>
struct TextField {
  const char* key;
  Text Record::*member;
  TextRule rule = TextRule::Line;
};
template <typename Record>
struct NumberField {
  const char* key;
  DWORD Record::*dword = nullptr;     // a 32-bit field, or
  ULONGLONG Record::*wide = nullptr;  // a 64-bit one
  ULONGLONG Get(const Record& record) const { return dword ? record.*dword : record.*wide; }
  void Set(Record& record, ULONGLONG value) const {
    if (dword) {
      record.*dword = static_cast<DWORD>(value);
    } else {
      record.*wide = value;
    }
  }
  ULONGLONG Max() const { return dword ? 0xFFFFFFFFull : std::numeric_limits<ULONGLONG>::max(); }
};
template <typename Record>
struct BinaryField {
  const char* key;
  std::vector<BYTE> Record::*member;
};

const TextField<SnapshotDriver> kDriverTexts[] = {
    {"name", &SnapshotDriver::name},
    {"environment", &SnapshotDriver::environment},
    {"driverPath", &SnapshotDriver::driverPath},
    {"dataFile", &SnapshotDriver::dataFile},
    {"configFile", &SnapshotDriver::configFile},
    {"helpFile", &SnapshotDriver::helpFile},
    {"dependentFiles", &SnapshotDriver::dependentFiles, TextRule::List},
    {"monitorName", &SnapshotDriver::monitorName},
    {"defaultDataType", &SnapshotDriver::defaultDataType},
    {"previousNames", &SnapshotDriver::previousNames, TextRule::List},
    {"mfgName", &SnapshotDriver::mfgName},
    {"oemUrl", &SnapshotDriver::oemUrl},
    {"hardwareId", &SnapshotDriver::hardwareId},
    {"provider", &SnapshotDriver::provider},
    {"printProcessor", &SnapshotDriver::printProcessor},
    {"vendorSetup", &SnapshotDriver::vendorSetup},
    {"colorProfiles", &SnapshotDriver::colorProfiles, TextRule::List},
    {"infPath", &SnapshotDriver::infPath},
    {"coreDependencies", &SnapshotDriver::coreDependencies, TextRule::List},
};
const NumberField<SnapshotDriver> kDriverNumbers[] = {
    NumberField<SnapshotDriver>{"level", &SnapshotDriver::level},
    NumberField<SnapshotDriver>{"version", &SnapshotDriver::version},
    NumberField<SnapshotDriver>{"attributes", &SnapshotDriver::attributes},
    NumberField<SnapshotDriver>{"driverDate", nullptr, &SnapshotDriver::driverDate},
    NumberField<SnapshotDriver>{"driverVersion", nullptr, &SnapshotDriver::driverVersion},
    NumberField<SnapshotDriver>{"minInboxDate", nullptr, &SnapshotDriver::minInboxDate},
    NumberField<SnapshotDriver>{"minInboxVersion", nullptr, &SnapshotDriver::minInboxVersion},
};
const TextField<SnapshotPackage> kPackageTexts[] = {
    {"infPath", &SnapshotPackage::infPath},
    {"environment", &SnapshotPackage::environment},
    {"stored", &SnapshotPackage::stored},
};
const TextField<SnapshotFile> kFileTexts[] = {
    {"stored", &SnapshotFile::stored},
    {"original", &SnapshotFile::original},
};
const NumberField<SnapshotFile> kFileNumbers[] = {
    NumberField<SnapshotFile>{"bytes", nullptr, &SnapshotFile::bytes}};
const TextField<SnapshotPrinter> kPrinterTexts[] = {
    {"name", &SnapshotPrinter::name},
    {"shareName", &SnapshotPrinter::shareName},
    {"portName", &SnapshotPrinter::portName},
    {"driverName", &SnapshotPrinter::driverName},
    {"comment", &SnapshotPrinter::comment, TextRule::Note},
    {"location", &SnapshotPrinter::location},
    {"sepFile", &SnapshotPrinter::sepFile},
    {"printProcessor", &SnapshotPrinter::printProcessor},
    {"datatype", &SnapshotPrinter::datatype},
    {"parameters", &SnapshotPrinter::parameters},
};
const NumberField<SnapshotPrinter> kPrinterNumbers[] = {
    NumberField<SnapshotPrinter>{"attributes", &SnapshotPrinter::attributes},
    NumberField<SnapshotPrinter>{"priority", &SnapshotPrinter::priority},
    NumberField<SnapshotPrinter>{"defaultPriority", &SnapshotPrinter::defaultPriority},
    NumberField<SnapshotPrinter>{"startTime", &SnapshotPrinter::startTime},
    NumberField<SnapshotPrinter>{"untilTime", &SnapshotPrinter::untilTime},
};
const BinaryField<SnapshotPrinter> kPrinterBinaries[] = {
    {"devMode", &SnapshotPrinter::devMode},
    {"securityDescriptor", &SnapshotPrinter::securityDescriptor},
};
const TextField<SnapshotPort> kPortTexts[] = {
    {"name", &SnapshotPort::name},
    {"host", &SnapshotPort::host},
    {"queue", &SnapshotPort::queue},
    {"community", &SnapshotPort::community},
};
const NumberField<SnapshotPort> kPortNumbers[] = {
    NumberField<SnapshotPort>{"protocol", &SnapshotPort::protocol},
    NumberField<SnapshotPort>{"portNumber", &SnapshotPort::portNumber},
    NumberField<SnapshotPort>{"byteCount", &SnapshotPort::byteCount},
    NumberField<SnapshotPort>{"snmp", &SnapshotPort::snmp},
    NumberField<SnapshotPort>{"snmpIndex", &SnapshotPort::snmpIndex},
};
const TextField<SnapshotValue> kValueTexts[] = {
    {"key", &SnapshotValue::key},
    {"name", &SnapshotValue::name},
};
const NumberField<SnapshotValue> kValueNumbers[] = {
    NumberField<SnapshotValue>{"type", &SnapshotValue::type}};
const BinaryField<SnapshotValue> kValueBinaries[] = {{"data", &SnapshotValue::data}};

// --- writing ---------------------------------------------------------------

// A value on one line: every character that could end a field or a line, or
// that UTF-8 cannot carry (half a surrogate pair), is escaped.
std::wstring Escaped(std::wstring_view text) {
  std::wstring escaped;
  escaped.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const wchar_t c = text[i];
    const bool pair = IS_HIGH_SURROGATE(c) && i + 1 < text.size() && IS_LOW_SURROGATE(text[i + 1]);
    if (c == L'\\') {
      escaped += L"\\\\";
    } else if (c == L'\t') {
      escaped += L"\\t";
    } else if (c == L'\n') {
      escaped += L"\\n";
    } else if (c == L'\r') {
      escaped += L"\\r";
    } else if (c == L'\0') {
      escaped += L"\\0";
    } else if (c < 0x20 || c == 0x7F || ((IS_HIGH_SURROGATE(c) || IS_LOW_SURROGATE(c)) && !pair)) {
      escaped += L"\\u";
      for (int shift = 12; shift >= 0; shift -= 4) escaped += kHexDigits[(c >> shift) & 0xF];
    } else {
      escaped += c;
      if (pair) escaped += text[++i];
    }
  }
  return escaped;
}

std::wstring Hex(const std::vector<BYTE>& bytes) {
  std::wstring hex;
  hex.reserve(bytes.size() * 2);
  for (const BYTE b : bytes) {
    hex += kHexDigits[b >> 4];
    hex += kHexDigits[b & 0xF];
  }
  return hex;
}

class LineWriter {
 public:
  explicit LineWriter(const wchar_t* kind) : line_(kind) {}
  LineWriter& Field(const char* key, std::wstring_view value) {
    line_ += L'\t';
    for (const char* k = key; *k; ++k) line_ += static_cast<wchar_t>(*k);
    line_ += L'=';
    line_ += value;
    return *this;
  }
  LineWriter& Text(const char* key, std::wstring_view value) { return Field(key, Escaped(value)); }
  LineWriter& Number(const char* key, ULONGLONG value) {
    return Field(key, std::to_wstring(value));
  }
  template <typename Record>
  LineWriter& Fields(const Record& record, std::span<const TextField<Record>> texts,
                     std::span<const NumberField<Record>> numbers = {},
                     std::span<const BinaryField<Record>> binaries = {}) {
    for (const auto& number : numbers) Number(number.key, number.Get(record));
    for (const auto& text : texts) Text(text.key, record.*(text.member));
    for (const auto& binary : binaries) Field(binary.key, Hex(record.*(binary.member)));
    return *this;
  }
  void AppendTo(std::string& bytes) const {
    const int length = static_cast<int>(line_.size());
    const int size =
        ::WideCharToMultiByte(CP_UTF8, 0, line_.data(), length, nullptr, 0, nullptr, nullptr);
    const size_t at = bytes.size();
    bytes.resize(at + static_cast<size_t>(size));
    ::WideCharToMultiByte(CP_UTF8, 0, line_.data(), length, bytes.data() + at, size, nullptr,
                          nullptr);
    bytes += "\r\n";
  }

 private:
  std::wstring line_;
};

// --- reading ---------------------------------------------------------------

bool IsControl(wchar_t c) { return c < 0x20 || c == 0x7F; }

// A digit as a device's name takes it: 0 to 9, and the superscripts Windows
// reads as 1, 2 and 3 ("COM\u00b9").
bool IsDeviceDigit(wchar_t c) {
  return (c >= L'0' && c <= L'9') || c == 0x00B9 || c == 0x00B2 || c == 0x00B3;
}

// A value as the writer escaped it: a raw control character is damage.
bool Unescape(std::wstring_view value, std::wstring& text) {
  text.clear();
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] != L'\\') {
      if (IsControl(value[i])) return false;
      text += value[i];
      continue;
    }
    if (++i == value.size()) return false;
    switch (value[i]) {
      case L'\\':
        text += L'\\';
        break;
      case L't':
        text += L'\t';
        break;
      case L'n':
        text += L'\n';
        break;
      case L'r':
        text += L'\r';
        break;
      case L'0':
        text += L'\0';
        break;
      case L'u': {
        if (value.size() - i < 5) return false;
        unsigned code = 0;
        for (size_t k = 1; k <= 4; ++k) {
          const size_t digit = std::wstring_view(kHexDigits).find(value[i + k]);
          if (digit == std::wstring_view::npos) return false;
          code = code * 16 + static_cast<unsigned>(digit);
        }
        text += static_cast<wchar_t>(code);
        i += 4;
        break;
      }
      default:
        return false;
    }
  }
  return true;
}

// True for a path inside `folder` (letter case ignored, as the file system does).
bool LiesInFolder(std::wstring_view path, std::wstring_view folder) {
  return path.size() > folder.size() + 1 && path[folder.size()] == L'\\' &&
         NameKey(path.substr(0, folder.size())) == NameKey(folder);
}

bool FollowsRule(std::wstring_view text, TextRule rule) {
  for (size_t i = 0; i < text.size(); ++i) {
    const wchar_t c = text[i];
    // A note (a comment) is free text, in any script and direction.
    if (IsBidiControl(c) && rule != TextRule::Note) return false;
    if (!IsControl(c)) continue;
    if (rule == TextRule::Note && (c == L'\t' || c == L'\r' || c == L'\n')) continue;
    // A multi-string's strings are neither empty nor cut by anything else.
    if (rule == TextRule::List && c == L'\0' && i > 0 && i + 1 < text.size() &&
        text[i + 1] != L'\0') {
      continue;
    }
    return false;
  }
  return true;
}

}  // namespace

const char* UnsavablePrinterText(const SnapshotPrinter& printer) {
  for (const TextField<SnapshotPrinter>& field : kPrinterTexts) {
    if (!FollowsRule(printer.*field.member, field.rule)) return field.key;
  }
  return nullptr;
}

namespace {

bool ParseHex(std::wstring_view value, std::vector<BYTE>& bytes) {
  if (value.size() % 2 != 0) return false;
  bytes.clear();
  bytes.reserve(value.size() / 2);
  for (size_t i = 0; i < value.size(); i += 2) {
    const size_t high = std::wstring_view(kHexDigits).find(value[i]);
    const size_t low = std::wstring_view(kHexDigits).find(value[i + 1]);
    if (high == std::wstring_view::npos || low == std::wstring_view::npos) return false;
    bytes.push_back(static_cast<BYTE>(high * 16 + low));
  }
  return true;
}

bool ParseNumber(std::wstring_view value, ULONGLONG max, ULONGLONG& number) {
  if (value.empty() || value.size() > 20) return false;
  number = 0;
  for (const wchar_t c : value) {
    if (c < L'0' || c > L'9') return false;
    const auto digit = static_cast<ULONGLONG>(c - L'0');
    if (number > (max - digit) / 10) return false;
    number = number * 10 + digit;
  }
  return true;
}

// One line's fields by key; a key given twice is damage.
using Fields = std::unordered_map<std::string, std::wstring_view>;

class ManifestReader {
 public:
  ManifestReader(Snapshot& snapshot, std::wstring& problem, bool headerOnly = false)
      : s_(snapshot), problem_(problem), headerOnly_(headerOnly) {}

  bool Read(std::string_view bytes) {
    s_ = Snapshot{};
    size_t number = 0;
    bool ended = false;
    size_t records = 0;
    while (!bytes.empty()) {
      ++number;
      const size_t end = bytes.find('\n');
      std::string_view raw = bytes.substr(0, end);
      bytes.remove_prefix(end == std::string_view::npos ? bytes.size() : end + 1);
      if (end == std::string_view::npos)
        return Fail(number, L"the manifest ends in the middle of a line");
      if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
      if (raw.size() > kMaxLineBytes) return Fail(number, L"the line is too long");
      // Said as they are: an editor's blank line, a line end written twice.
      if (raw.empty()) return Fail(number, L"the line is empty");
      if (raw.back() == '\r') return Fail(number, L"the line ends in two carriage returns");
      if (number == 1) {
        if (!ReadVersion(raw)) return false;
        continue;
      }
      if (ended) return Fail(number, L"there is more after the end line");
      std::wstring line;
      if (!Decode(raw, line)) return Fail(number, L"the line is not UTF-8 text");
      const size_t tab = line.find(L'\t');
      const std::wstring_view kind = std::wstring_view(line).substr(0, tab);
      Fields fields;
      if (!Split(line, tab, fields))
        return Fail(number, L"a field is not key=value, or is given twice");
      if (kind == L"end") {
        ULONGLONG counted = 0;
        if (!Get(fields, "records", counted) || counted != records) {
          return Fail(number, L"the end line does not count the records");
        }
        ended = true;
        continue;
      }
      if (++records > kMaxRecords) return Fail(number, L"there are too many records");
      line_ = number;
      std::wstring why;
      if (!ReadRecord(kind, fields, why)) return Fail(number, why);
      if (headerOnly_ && machineRead_) return true;
    }
    if (number == 0) return Fail(1, L"the manifest is empty");
    if (!ended) return Fail(number, L"the manifest ends before its end line");
    if (!machineRead_) return Fail(number, L"the manifest names no machine");
    return EachPackageHoldsItsInf();
  }

 private:
  bool Fail(size_t line, const std::wstring& why) {
    problem_ = L"line " + std::to_wstring(line) + L": " + why;
    return false;
  }

  bool ReadVersion(std::string_view raw) {
    if (raw.substr(0, kVersionPrefix.size()) != kVersionPrefix) {
      return Fail(1, L"this is not a Kestrun snapshot");
    }
    int format = 0;
    const std::string_view digits = raw.substr(kVersionPrefix.size());
    const auto [at, error] = std::from_chars(digits.data(), digits.data() + digits.size(), format);
    const bool allDigits =
        !digits.empty() && digits.find_first_not_of("0123456789") == std::string_view::npos;
    // A number too large for this Kestrun is still a later format's.
    const bool tooLarge = allDigits && error == std::errc::result_out_of_range;
    if (!tooLarge && (error != std::errc() || at != digits.data() + digits.size() || format < 1)) {
      return Fail(1, L"this is not a Kestrun snapshot");
    }
    format_ = format;
    if (tooLarge || format > kSnapshotFormat) {
      const std::wstring shown(digits.begin(),
                               digits.begin() + std::min<size_t>(digits.size(), 20));
      return Fail(1, L"the snapshot was made by a newer Kestrun (format " + shown +
                         L"); this one reads format " + std::to_wstring(kSnapshotFormat));
    }
    return true;
  }

  static bool Decode(std::string_view raw, std::wstring& line) {
    if (raw.empty()) return false;
    const int size = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, raw.data(),
                                           static_cast<int>(raw.size()), nullptr, 0);
    if (size <= 0) return false;
    line.resize(static_cast<size_t>(size));
    return ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, raw.data(),
                                 static_cast<int>(raw.size()), line.data(), size) == size;
  }

  static bool Split(std::wstring_view line, size_t tab, Fields& fields) {
    while (tab != std::wstring_view::npos) {
      const size_t next = line.find(L'\t', tab + 1);
      const std::wstring_view field = line.substr(
          tab + 1, next == std::wstring_view::npos ? std::wstring_view::npos : next - tab - 1);
      const size_t equals = field.find(L'=');
      if (equals == std::wstring_view::npos || equals == 0) return false;
      std::string key;
      for (const wchar_t c : field.substr(0, equals)) {
        if (c > 0x7F) return false;
        key += static_cast<char>(c);
      }
      if (!fields.emplace(std::move(key), field.substr(equals + 1)).second) return false;
      tab = next;
    }
    return true;
  }

  static bool Get(const Fields& fields, const char* key, ULONGLONG& number,
                  ULONGLONG max = std::numeric_limits<ULONGLONG>::max()) {
    const auto found = fields.find(key);
    return found != fields.end() && ParseNumber(found->second, max, number);
  }

  // Every field of the record must be there: a snapshot is written whole.
  template <typename Record>
  static bool Take(const Fields& fields, Record& record, std::wstring& why,
                   std::span<const TextField<Record>> texts,
                   std::span<const NumberField<Record>> numbers = {},
                   std::span<const BinaryField<Record>> binaries = {}) {
    for (const auto& number : numbers) {
      ULONGLONG value = 0;
      if (!Get(fields, number.key, value, number.Max())) return Missing(number.key, why);
      number.Set(record, value);
    }
    for (const auto& text : texts) {
      const auto found = fields.find(text.key);
      if (found == fields.end() || !Unescape(found->second, record.*(text.member))) {
        return Missing(text.key, why);
      }
      if (!FollowsRule(record.*(text.member), text.rule)) {
        return Refused(text.key, L"holds a control character", why);
      }
    }
    for (const auto& binary : binaries) {
      const auto found = fields.find(binary.key);
      if (found == fields.end() || !ParseHex(found->second, record.*(binary.member))) {
        return Missing(binary.key, why);
      }
    }
    return true;
  }

  static bool Missing(const char* key, std::wstring& why) {
    return Refused(key, L"is missing or cannot be read", why);
  }

  static bool Refused(const char* key, const wchar_t* because, std::wstring& why) {
    why = L"the field \"";
    for (const char* k = key; *k; ++k) why += static_cast<wchar_t>(*k);
    why += L"\" ";
    why += because;
    return false;
  }

  // An index of an earlier record of a kind.
  static bool Owner(const Fields& fields, const char* key, size_t count, size_t& index) {
    ULONGLONG value = 0;
    if (!Get(fields, key, value) || value >= count) return false;
    index = static_cast<size_t>(value);
    return true;
  }

  // The first record names the machine, once; the spooler a restore changes
  // is made from it, and a spooler line that names another is damage.
  bool ReadMachine(const Fields& fields, std::wstring& why) {
    if (machineRead_) {
      why = L"a second machine line";
      return false;
    }
    ULONGLONG remote = 0;
    std::wstring spooler;
    const auto text = [&](const char* key, std::wstring& into) {
      const auto found = fields.find(key);
      return found != fields.end() && Unescape(found->second, into) &&
             FollowsRule(into, TextRule::Line);
    };
    if (!text("machine", s_.machine) || !text("spooler", spooler) || !text("taken", s_.taken) ||
        !Get(fields, "remote", remote, 1)) {
      why = L"the machine line is incomplete";
      return false;
    }
    if (!IsMachineName(s_.machine)) {
      why = L"the machine line names no machine";
      return false;
    }
    s_.isRemote = remote == 1;
    s_.targetName = s_.isRemote ? L"\\\\" + s_.machine : L"\\\\";
    const bool agrees = s_.isRemote ? EqualsIgnoringAsciiCase(spooler, s_.targetName)
                                    : spooler.empty() || spooler == L"\\\\";
    if (!agrees) {
      why = L"the spooler " + spooler + L" is not the machine " + s_.machine + L"'s";
      return false;
    }
    machineRead_ = true;
    return true;
  }

  // A record that repeats an earlier one is damage: the first line says which.
  bool FirstOf(std::unordered_map<std::wstring, size_t>& seen, std::wstring key,
               const wchar_t* what, std::wstring& why) {
    const auto [at, fresh] = seen.emplace(std::move(key), line_);
    if (fresh) return true;
    why = std::wstring(what) + L" is given twice (first on line " + std::to_wstring(at->second) +
          L")";
    return false;
  }

  // Every path a driver names reaches the spooler: each part as it is written.
  static bool DriverPathsArePlain(const SnapshotDriver& driver) {
    for (const Text* path : {&driver.driverPath, &driver.dataFile, &driver.configFile,
                             &driver.helpFile, &driver.infPath}) {
      if (!path->empty() && !IsPlainOriginalPath(*path)) return false;
    }
    for (size_t start = 0; start < driver.dependentFiles.size();) {
      const size_t end =
          std::min(driver.dependentFiles.find(L'\0', start), driver.dependentFiles.size());
      if (!IsPlainOriginalPath(std::wstring_view(driver.dependentFiles).substr(start, end - start)))
        return false;
      start = end + 1;
    }
    return true;
  }

  bool ReadRecord(std::wstring_view kind, const Fields& fields, std::wstring& why) {
    if (kind == L"machine") return ReadMachine(fields, why);
    if (!machineRead_) {
      why = L"a record before the machine line";
      return false;
    }
    if (kind == L"driver") {
      SnapshotDriver driver;
      if (!Take<SnapshotDriver>(fields, driver, why, kDriverTexts, kDriverNumbers)) {
        return false;
      }
      if (fields.count("package") != 0 &&
          !Owner(fields, "package", s_.packages.size(), driver.package)) {
        why = L"the driver names a package the manifest does not hold before it";
        return false;
      }
      if (driver.level != 6 && driver.level != 8) {
        why = L"a driver record has a level other than 6 or 8";
        return false;
      }
      if (driver.name.empty() || driver.environment.empty()) {
        why = L"a driver record has no name or environment";
        return false;
      }
      if (!DriverPathsArePlain(driver)) {
        why = L"a driver names a file Windows would read under another name";
        return false;
      }
      std::wstring key = NameKey(driver.name) + L'|' + NameKey(driver.environment) + L'|' +
                         std::to_wstring(driver.version);
      if (!FirstOf(drivers_, std::move(key), L"the driver", why)) return false;
      s_.drivers.push_back(std::move(driver));
      return true;
    }
    if (kind == L"package") {
      SnapshotPackage package;
      if (!Take<SnapshotPackage>(fields, package, why, kPackageTexts)) {
        return false;
      }
      if (!IsPathInside(package.stored)) {
        why = L"a package folder lies outside the snapshot";
        return false;
      }
      // Its INF is uploaded from the snapshot by its file name: a path that
      // climbs or that Windows reads otherwise names another file.
      if (!IsPlainOriginalPath(package.infPath) || FileNamePart(package.infPath).empty()) {
        why = L"a package's INF path is not a plain path";
        return false;
      }
      if (!FirstOf(packages_, NameKey(package.stored), L"the package folder", why) ||
          !FirstOf(packages_, NameKey(package.infPath) + L'|' + NameKey(package.environment),
                   L"the package", why)) {
        return false;
      }
      package.line = line_;
      s_.packages.push_back(std::move(package));
      return true;
    }
    if (kind == L"file") {
      SnapshotFile file;
      if (!Take<SnapshotFile>(fields, file, why, kFileTexts, kFileNumbers)) {
        return false;
      }
      const bool ofDriver = Owner(fields, "driver", s_.drivers.size(), file.driver);
      const bool ofPackage = Owner(fields, "package", s_.packages.size(), file.package);
      if (ofDriver == ofPackage) {
        why = L"a file belongs to neither an earlier driver nor an earlier package";
        return false;
      }
      const auto sum = fields.find("sha256");
      std::vector<BYTE> digest;
      if (sum == fields.end() || sum->second.size() != 64 || !ParseHex(sum->second, digest)) {
        return Missing("sha256", why);
      }
      file.sha256.assign(sum->second.begin(), sum->second.end());
      file.line = line_;
      if (!IsPathInside(file.stored)) {
        why = L"a file lies outside the snapshot, or under a name Windows does not keep";
        return false;
      }
      // A package goes back from its folder alone.
      if (ofPackage && !LiesInFolder(file.stored, s_.packages[file.package].stored)) {
        why = L"a package's file lies outside the package's folder";
        return false;
      }
      if (!IsPlainOriginalPath(file.original)) {
        why = L"a file's original name is one Windows would read as another";
        return false;
      }
      if (!FirstOf(files_, NameKey(file.stored), L"the file", why)) return false;
      s_.files.push_back(std::move(file));
      return true;
    }
    if (kind == L"printer") {
      SnapshotPrinter printer;
      if (!Take<SnapshotPrinter>(fields, printer, why, kPrinterTexts, kPrinterNumbers,
                                 kPrinterBinaries)) {
        return false;
      }
      if (LocalPrinterName(printer.name).empty()) {
        why = L"a printer record has no name";
        return false;
      }
      if (!printer.devMode.empty() &&
          !IsWholeDevMode(printer.devMode.data(), printer.devMode.size())) {
        why = L"the printer's DEVMODE does not hold the sizes it states";
        return false;
      }
      const std::vector<BYTE>& security = printer.securityDescriptor;
      if (!security.empty() &&
          WholeSecurityDescriptorLength(security.data(), security.size()) != security.size()) {
        why = L"the printer's security descriptor is not a whole self-relative one";
        return false;
      }
      if (!FirstOf(printers_, NameKey(LocalPrinterName(printer.name)), L"the printer", why)) {
        return false;
      }
      s_.printers.push_back(std::move(printer));
      return true;
    }
    if (kind == L"value") {
      SnapshotValue value;
      size_t printer = 0;
      if (!Owner(fields, "printer", s_.printers.size(), printer)) {
        why = L"a printer value belongs to no earlier printer";
        return false;
      }
      if (!Take<SnapshotValue>(fields, value, why, kValueTexts, kValueNumbers, kValueBinaries)) {
        return false;
      }
      std::wstring key =
          std::to_wstring(printer) + L'|' + NameKey(value.key) + L'|' + NameKey(value.name);
      if (!FirstOf(values_, std::move(key), L"the printer value", why)) return false;
      s_.printers[printer].data.push_back(std::move(value));
      return true;
    }
    if (kind == L"port" && format_ >= 2) {
      SnapshotPort port;
      if (!Take<SnapshotPort>(fields, port, why, kPortTexts, kPortNumbers)) return false;
      port.line = line_;
      if (!IsTcpIpPortSettings(SettingsOf(port)) || port.byteCount > 1 || port.snmp > 1) {
        why = L"the port's settings are not a TCP/IP port's";
        return false;
      }
      if (!FirstOf(ports_, NameKey(port.name), L"the port", why)) return false;
      s_.ports.push_back(std::move(port));
      return true;
    }
    why = L"a record of an unknown kind";
    return false;
  }

  // A package goes back from its own INF: a file record of the package, in
  // its folder, by the INF's name.
  bool EachPackageHoldsItsInf() {
    std::unordered_set<std::wstring> stored;  // each package's files, as "k|path"
    stored.reserve(s_.files.size());
    for (const SnapshotFile& file : s_.files) {
      if (file.package != kNoOwner) {
        stored.insert(std::to_wstring(file.package) + L"|" + NameKey(file.stored));
      }
    }
    for (size_t k = 0; k < s_.packages.size(); ++k) {
      const SnapshotPackage& package = s_.packages[k];
      const std::wstring inf = NameKey(package.stored + L"\\" + FileNamePart(package.infPath));
      if (stored.count(std::to_wstring(k) + L"|" + inf) == 0) {
        return Fail(package.line, L"the package's INF is not one of its files");
      }
    }
    return true;
  }

  Snapshot& s_;
  std::wstring& problem_;
  const bool headerOnly_;
  size_t line_ = 0;  // of the record being read
  bool machineRead_ = false;
  int format_ = 0;
  // The first line of each record, by what makes it the same record.
  std::unordered_map<std::wstring, size_t> drivers_, packages_, files_, printers_, values_, ports_;
};

}  // namespace

TcpIpPortSettings SettingsOf(const SnapshotPort& port) {
  return {port.name,           port.host,      port.protocol,  port.portNumber, port.queue,
          port.byteCount != 0, port.snmp != 0, port.community, port.snmpIndex};
}

SnapshotPort PortRecordOf(const TcpIpPortSettings& settings) {
  SnapshotPort port;
  port.name = settings.name;
  port.host = settings.host;
  port.queue = settings.queue;
  port.community = settings.community;
  port.protocol = settings.protocol;
  port.portNumber = settings.portNumber;
  port.byteCount = settings.byteCount ? 1 : 0;
  port.snmp = settings.snmp ? 1 : 0;
  port.snmpIndex = settings.snmpIndex;
  return port;
}

bool IsPlainFileName(std::wstring_view name) {
  if (name.empty() || name == L"." || name == L"..") return false;
  if (name.back() == L'.' || name.back() == L' ') return false;
  for (size_t i = 0; i < name.size(); ++i) {
    const wchar_t c = name[i];
    if (IsControl(c) || IsBidiControl(c) ||
        std::wstring_view(L"<>\"|?*:/\\").find(c) != std::wstring_view::npos) {
      return false;
    }
    // "PROGRA~1", "DOT~1.DLL": another file's short name.
    if (c == L'~' && i + 1 < name.size() && name[i + 1] >= L'0' && name[i + 1] <= L'9') {
      return false;
    }
  }
  // A device's name opens the device whatever follows its first dot.
  std::wstring_view base = name.substr(0, name.find(L'.'));
  while (!base.empty() && base.back() == L' ') base.remove_suffix(1);
  for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"}) {
    if (EqualsIgnoringAsciiCase(base, device)) return false;
  }
  if (base.size() == 4 && IsDeviceDigit(base[3]) &&
      (EqualsIgnoringAsciiCase(base.substr(0, 3), L"COM") ||
       EqualsIgnoringAsciiCase(base.substr(0, 3), L"LPT"))) {
    return false;
  }
  return true;
}

bool IsPathInside(std::wstring_view relative) {
  if (relative.empty()) return false;
  while (true) {
    const size_t end = relative.find(L'\\');
    if (!IsPlainFileName(relative.substr(0, end))) return false;
    if (end == std::wstring_view::npos) return true;
    relative.remove_prefix(end + 1);
  }
}

bool IsPlainOriginalPath(std::wstring_view path) {
  if (path.size() >= 3 && path[1] == L':' && path[2] == L'\\' &&
      ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z'))) {
    return IsPathInside(path.substr(3));
  }
  // A package's files read through a server's share: \\SERVER\share\...
  if (path.size() > 2 && path.substr(0, 2) == L"\\\\") return IsPathInside(path.substr(2));
  return IsPathInside(path);
}

bool IsMachineName(std::wstring_view name) {
  if (name.empty() || name.size() > kMaxMachineNameLength) return false;
  for (const wchar_t c : name) {
    if (IsControl(c) || IsBidiControl(c) || c == L' ' ||
        std::wstring_view(L"\\/:*?\"<>|,").find(c) != std::wstring_view::npos) {
      return false;
    }
  }
  return name != L"." && name != L"..";
}

std::wstring LocalPrinterName(const std::wstring& name) {
  if (name.size() < 3 || name.substr(0, 2) != L"\\\\") return name;
  const size_t slash = name.find(L'\\', 2);
  return slash == std::wstring::npos ? name : name.substr(slash + 1);
}

bool IsWholeDevMode(const BYTE* bytes, size_t size) {
  constexpr size_t kThroughFields = offsetof(DEVMODEW, dmFields) + sizeof(DWORD);
  if (bytes == nullptr || size < kThroughFields) return false;
  WORD stated = 0, extra = 0;
  std::memcpy(&stated, bytes + offsetof(DEVMODEW, dmSize), sizeof(stated));
  std::memcpy(&extra, bytes + offsetof(DEVMODEW, dmDriverExtra), sizeof(extra));
  return stated >= kThroughFields && stated <= sizeof(DEVMODEW) && size_t{stated} + extra == size;
}

size_t WholeSecurityDescriptorLength(const BYTE* bytes, size_t room) {
  SECURITY_DESCRIPTOR_RELATIVE head;
  if (bytes == nullptr || room < sizeof(head)) return 0;
  std::memcpy(&head, bytes, sizeof(head));
  // Only a self-relative descriptor keeps its parts inside itself.
  if ((head.Control & SE_SELF_RELATIVE) == 0) return 0;
  const auto sidInside = [&](DWORD offset) {
    if (offset == 0) return true;
    if (offset < sizeof(head) || offset > room || room - offset < 8) return false;
    const size_t length = 8 + size_t{4} * bytes[offset + 1];  // SubAuthorityCount
    return room - offset >= length && ::IsValidSid(const_cast<BYTE*>(bytes + offset));
  };
  const auto aclInside = [&](DWORD offset, bool present) {
    if (!present || offset == 0) return true;
    if (offset < sizeof(head) || offset > room || room - offset < sizeof(ACL)) return false;
    ACL acl;
    std::memcpy(&acl, bytes + offset, sizeof(acl));
    return acl.AclSize >= sizeof(ACL) && room - offset >= acl.AclSize &&
           ::IsValidAcl(reinterpret_cast<PACL>(const_cast<BYTE*>(bytes + offset)));
  };
  if (!sidInside(head.Owner) || !sidInside(head.Group) ||
      !aclInside(head.Sacl, (head.Control & SE_SACL_PRESENT) != 0) ||
      !aclInside(head.Dacl, (head.Control & SE_DACL_PRESENT) != 0)) {
    return 0;
  }
  auto* descriptor = const_cast<BYTE*>(bytes);
  if (!::IsValidSecurityDescriptor(descriptor)) return 0;
  const DWORD length = ::GetSecurityDescriptorLength(descriptor);
  return length >= sizeof(head) && length <= room ? length : 0;
}

std::string ManifestText(const Snapshot& snapshot) {
  std::string bytes = std::string(kVersionPrefix) + std::to_string(kSnapshotFormat) + "\r\n";
  size_t records = 0;
  const auto add = [&bytes, &records](const LineWriter& line) {
    line.AppendTo(bytes);
    ++records;
  };
  add(LineWriter(L"machine")
          .Text("machine", snapshot.machine)
          .Text("spooler", snapshot.targetName)
          .Number("remote", snapshot.isRemote ? 1 : 0)
          .Text("taken", snapshot.taken));
  for (const SnapshotPackage& package : snapshot.packages) {
    add(LineWriter(L"package").Fields<SnapshotPackage>(package, kPackageTexts));
  }
  for (const SnapshotDriver& driver : snapshot.drivers) {
    LineWriter line(L"driver");
    line.Fields<SnapshotDriver>(driver, kDriverTexts, kDriverNumbers);
    if (driver.package != kNoOwner) line.Number("package", driver.package);
    add(line);
  }
  for (const SnapshotFile& file : snapshot.files) {
    LineWriter line(L"file");
    if (file.driver != kNoOwner) line.Number("driver", file.driver);
    if (file.package != kNoOwner) line.Number("package", file.package);
    line.Fields<SnapshotFile>(file, kFileTexts, kFileNumbers);
    line.Field("sha256", std::wstring(file.sha256.begin(), file.sha256.end()));
    add(line);
  }
  for (size_t p = 0; p < snapshot.printers.size(); ++p) {
    const SnapshotPrinter& printer = snapshot.printers[p];
    add(LineWriter(L"printer")
            .Fields<SnapshotPrinter>(printer, kPrinterTexts, kPrinterNumbers, kPrinterBinaries));
    for (const SnapshotValue& value : printer.data) {
      LineWriter line(L"value");
      line.Number("printer", p);
      line.Fields<SnapshotValue>(value, kValueTexts, kValueNumbers, kValueBinaries);
      add(line);
    }
  }
  for (const SnapshotPort& port : snapshot.ports) {
    add(LineWriter(L"port").Fields<SnapshotPort>(port, kPortTexts, kPortNumbers));
  }
  // Records before the end line: a manifest cut short is told from a whole one.
  LineWriter(L"end").Number("records", records).AppendTo(bytes);
  return bytes;
}

bool ReadManifest(std::string_view bytes, Snapshot& snapshot, std::wstring& problem) {
  // A manifest saved by an editor may start with a byte-order mark.
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  return ManifestReader(snapshot, problem).Read(bytes);
}

bool ReadManifestMachine(std::string_view bytes, Snapshot& snapshot) {
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  std::wstring problem;
  return ManifestReader(snapshot, problem, true).Read(bytes);
}

}  // namespace kestrun
