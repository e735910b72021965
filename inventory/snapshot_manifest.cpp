#include "inventory/snapshot_manifest.h"

#include <charconv>
#include <cstdint>
#include <limits>
#include <span>
#include <unordered_map>

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
template <typename Record>
struct TextField {
  const char* key;
  Text Record::*member;
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
    {"dependentFiles", &SnapshotDriver::dependentFiles},
    {"monitorName", &SnapshotDriver::monitorName},
    {"defaultDataType", &SnapshotDriver::defaultDataType},
    {"previousNames", &SnapshotDriver::previousNames},
    {"mfgName", &SnapshotDriver::mfgName},
    {"oemUrl", &SnapshotDriver::oemUrl},
    {"hardwareId", &SnapshotDriver::hardwareId},
    {"provider", &SnapshotDriver::provider},
    {"printProcessor", &SnapshotDriver::printProcessor},
    {"vendorSetup", &SnapshotDriver::vendorSetup},
    {"colorProfiles", &SnapshotDriver::colorProfiles},
    {"infPath", &SnapshotDriver::infPath},
    {"coreDependencies", &SnapshotDriver::coreDependencies},
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
    {"name", &SnapshotPrinter::name},         {"shareName", &SnapshotPrinter::shareName},
    {"portName", &SnapshotPrinter::portName}, {"driverName", &SnapshotPrinter::driverName},
    {"comment", &SnapshotPrinter::comment},   {"location", &SnapshotPrinter::location},
    {"sepFile", &SnapshotPrinter::sepFile},   {"printProcessor", &SnapshotPrinter::printProcessor},
    {"datatype", &SnapshotPrinter::datatype}, {"parameters", &SnapshotPrinter::parameters},
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

bool Unescape(std::wstring_view value, std::wstring& text) {
  text.clear();
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] != L'\\') {
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
  ManifestReader(Snapshot& snapshot, std::wstring& problem) : s_(snapshot), problem_(problem) {}

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
    }
    if (number == 0) return Fail(1, L"the manifest is empty");
    if (!ended) return Fail(number, L"the manifest ends before its end line");
    return true;
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
    if (error != std::errc() || at != digits.data() + digits.size() || format < 1) {
      return Fail(1, L"this is not a Kestrun snapshot");
    }
    if (format > kSnapshotFormat) {
      return Fail(1, L"the snapshot was made by a newer Kestrun (format " +
                         std::to_wstring(format) + L"); this one reads format " +
                         std::to_wstring(kSnapshotFormat));
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
    why = L"the field \"";
    for (const char* k = key; *k; ++k) why += static_cast<wchar_t>(*k);
    why += L"\" is missing or cannot be read";
    return false;
  }

  // An index of an earlier record of a kind.
  static bool Owner(const Fields& fields, const char* key, size_t count, size_t& index) {
    ULONGLONG value = 0;
    if (!Get(fields, key, value) || value >= count) return false;
    index = static_cast<size_t>(value);
    return true;
  }

  bool ReadRecord(std::wstring_view kind, const Fields& fields, std::wstring& why) {
    if (kind == L"machine") {
      ULONGLONG remote = 0;
      const auto text = [&](const char* key, std::wstring& into) {
        const auto found = fields.find(key);
        return found != fields.end() && Unescape(found->second, into);
      };
      if (!text("machine", s_.machine) || !text("spooler", s_.targetName) ||
          !text("taken", s_.taken) || !Get(fields, "remote", remote, 1)) {
        why = L"the machine line is incomplete";
        return false;
      }
      s_.isRemote = remote == 1;
      return true;
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
        why = L"a file lies outside the snapshot";
        return false;
      }
      s_.files.push_back(std::move(file));
      return true;
    }
    if (kind == L"printer") {
      SnapshotPrinter printer;
      if (!Take<SnapshotPrinter>(fields, printer, why, kPrinterTexts, kPrinterNumbers,
                                 kPrinterBinaries)) {
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
      s_.printers[printer].data.push_back(std::move(value));
      return true;
    }
    why = L"a record of an unknown kind";
    return false;
  }

  Snapshot& s_;
  std::wstring& problem_;
  size_t line_ = 0;  // of the record being read
};

}  // namespace

bool IsPathInside(std::wstring_view relative) {
  if (relative.empty() || relative.find(L':') != std::wstring_view::npos ||
      relative.find(L'/') != std::wstring_view::npos) {
    return false;
  }
  while (true) {
    const size_t end = relative.find(L'\\');
    const std::wstring_view part = relative.substr(0, end);
    if (part.empty() || part == L"." || part == L"..") return false;
    for (const wchar_t c : part) {
      if (c < 0x20 || std::wstring_view(L"<>\"|?*").find(c) != std::wstring_view::npos)
        return false;
    }
    if (end == std::wstring_view::npos) return true;
    relative.remove_prefix(end + 1);
  }
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
  // Records before the end line: a manifest cut short is told from a whole one.
  LineWriter(L"end").Number("records", records).AppendTo(bytes);
  return bytes;
}

bool ReadManifest(std::string_view bytes, Snapshot& snapshot, std::wstring& problem) {
  // A manifest saved by an editor may start with a byte-order mark.
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  return ManifestReader(snapshot, problem).Read(bytes);
}

}  // namespace kestrun
