#include "devices/ipp_message.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>

#include "common/shown_text.h"

namespace kestrun {

const char* const kProbedAttributes[kProbedAttributeCount] = {
    "printer-make-and-model",
    "printer-device-id",
    "ipp-features-supported",
    "ipp-versions-supported",
    "document-format-supported",
    "mopria-certified",
    "urf-supported",
    "printer-firmware-string-version",
};

std::string Utf8(std::wstring_view text) {
  if (text.empty()) return {};
  const int length = static_cast<int>(text.size());
  std::string bytes(static_cast<size_t>(::WideCharToMultiByte(CP_UTF8, 0, text.data(), length,
                                                              nullptr, 0, nullptr, nullptr)),
                    '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, bytes.data(),
                        static_cast<int>(bytes.size()), nullptr, nullptr);
  return bytes;
}

namespace {

// Delimiter and value tags (RFC 8010, 3.5).
constexpr unsigned char kLastDelimiterTag = 0x0F;
constexpr unsigned char kOperationGroup = 0x01;
constexpr unsigned char kEndOfAttributes = 0x03;
constexpr unsigned char kPrinterGroup = 0x04;
constexpr unsigned char kLastOutOfBandTag = 0x1F;
constexpr unsigned char kInteger = 0x21;
constexpr unsigned char kBoolean = 0x22;
constexpr unsigned char kOctetString = 0x30;
constexpr unsigned char kBeginCollection = 0x34;
constexpr unsigned char kTextWithLanguage = 0x35;
constexpr unsigned char kNameWithLanguage = 0x36;
constexpr unsigned char kEndCollection = 0x37;
constexpr unsigned char kText = 0x41;
constexpr unsigned char kMimeMediaType = 0x49;
constexpr unsigned char kKeyword = 0x44;
constexpr unsigned char kUri = 0x45;
constexpr unsigned char kCharset = 0x47;
constexpr unsigned char kNaturalLanguage = 0x48;
constexpr unsigned char kMemberName = 0x4A;
constexpr size_t kMaxValueBytes = 0xFFFF;

void AppendU16(std::vector<unsigned char>& out, size_t value) {
  out.push_back(static_cast<unsigned char>(value >> 8));
  out.push_back(static_cast<unsigned char>(value));
}

void AppendAttribute(std::vector<unsigned char>& out, unsigned char tag, std::string_view name,
                     std::string_view value) {
  out.push_back(tag);
  AppendU16(out, name.size());
  out.insert(out.end(), name.begin(), name.end());
  AppendU16(out, value.size());
  out.insert(out.end(), value.begin(), value.end());
}

// Reads big-endian fields off the front of the bytes received; a field that
// does not fit in what is left fails, and then nothing is consumed.
class Cursor {
 public:
  Cursor(const unsigned char* bytes, size_t size) : at_(bytes), left_(size) {}
  bool Span(size_t count, const unsigned char*& start) {
    if (count > left_) return false;
    start = at_;
    at_ += count;
    left_ -= count;
    return true;
  }
  bool Byte(unsigned char& value) {
    const unsigned char* p = nullptr;
    if (!Span(1, p)) return false;
    value = p[0];
    return true;
  }
  bool U16(size_t& value) {
    const unsigned char* p = nullptr;
    if (!Span(2, p)) return false;
    value = static_cast<size_t>(p[0]) << 8 | p[1];
    return true;
  }
  // A two-byte length, then that many bytes.
  bool Counted(const unsigned char*& start, size_t& length) {
    return U16(length) && Span(length, start);
  }

 private:
  const unsigned char* at_;
  size_t left_;
};

// A device's text as shown: UTF-8 decoded (a byte that is not UTF-8 becomes
// U+FFFD), control characters as "?".
std::wstring ShownText(const unsigned char* bytes, size_t size) {
  std::wstring text;
  if (size == 0) return text;
  const auto* chars = reinterpret_cast<const char*>(bytes);
  const int length = static_cast<int>(size);
  text.resize(static_cast<size_t>(::MultiByteToWideChar(CP_UTF8, 0, chars, length, nullptr, 0)));
  ::MultiByteToWideChar(CP_UTF8, 0, chars, length, text.data(), static_cast<int>(text.size()));
  for (auto& c : text) c = ShownCharacter(c);
  return text;
}

enum class Wanted {
  None,
  MakeAndModel,
  DeviceId,
  Features,
  Versions,
  Formats,
  Mopria,
  Urf,
  Firmware
};

Wanted WantedOf(const unsigned char* name, size_t length) {
  const std::string_view text(reinterpret_cast<const char*>(name), length);
  for (size_t i = 0; i < kProbedAttributeCount; ++i) {
    if (text == kProbedAttributes[i]) return static_cast<Wanted>(i + 1);
  }
  return Wanted::None;
}

bool IsStringTag(unsigned char tag) {
  return tag == kOctetString || tag == kTextWithLanguage || tag == kNameWithLanguage ||
         (tag >= kText && tag <= kMimeMediaType && tag != 0x43);  // 0x43 is reserved
}

// Narrows a string value to its text; false when a text or name with
// language does not fill its value exactly.
bool StringText(unsigned char tag, const unsigned char*& value, size_t& length) {
  if (tag != kTextWithLanguage && tag != kNameWithLanguage) return true;
  Cursor inner(value, length);
  const unsigned char* language = nullptr;
  const unsigned char* text = nullptr;
  size_t languageLength = 0;
  size_t textLength = 0;
  if (!inner.Counted(language, languageLength) || !inner.Counted(text, textLength) ||
      4 + languageLength + textLength != length) {
    return false;
  }
  value = text;
  length = textLength;
  return true;
}

bool SameKeyword(std::string_view a, std::string_view b) {
  const auto fold = [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [&](char x, char y) { return fold(x) == fold(y); });
}

// "2.0" or later: IPP versions are "major.minor".
bool IsIpp2(std::string_view version) {
  version = version.substr(std::min(version.find_first_not_of('0'), version.size()));
  const size_t digits = std::min(version.find_first_not_of("0123456789"), version.size());
  return digits > 1 || (digits == 1 && version[0] >= '2');
}

// A Mopria version: "1.3", "2.0". "0", "false" or "-1" say the device is not
// certified, whatever the attribute's presence suggests.
bool IsMopriaVersion(std::wstring_view text) {
  return !text.empty() && text.size() <= kMaxMopriaVersionCharacters && text.front() != L'.' &&
         text.back() != L'.' && text.find(L"..") == std::wstring_view::npos &&
         text.find_first_not_of(L"0123456789.") == std::wstring_view::npos &&
         text.find_first_not_of(L"0.") != std::wstring_view::npos;
}

IppReadError KeepMopria(unsigned char tag, const unsigned char* value, size_t length,
                        IppPrinterAttributes& read) {
  std::wstring version;
  if (tag == kInteger) {
    if (length != 4) return IppReadError::BadValue;
    version = std::to_wstring(static_cast<int32_t>(
        static_cast<uint32_t>(value[0]) << 24 | static_cast<uint32_t>(value[1]) << 16 |
        static_cast<uint32_t>(value[2]) << 8 | value[3]));
  } else if (tag == kBoolean) {
    if (length != 1) return IppReadError::BadValue;
  } else if (IsStringTag(tag)) {
    if (!StringText(tag, value, length)) return IppReadError::BadValue;
    version = ShownText(value, length);
  }
  if (IsMopriaVersion(version)) read.mopriaVersion = std::move(version);
  return IppReadError::None;
}

// Keeps one value of a wanted attribute; `first` is true for its first value.
IppReadError Keep(Wanted wanted, bool first, unsigned char tag, const unsigned char* value,
                  size_t length, IppPrinterAttributes& read) {
  if (tag <= kLastOutOfBandTag) return IppReadError::None;  // unknown, no-value, ...
  if (wanted == Wanted::Mopria) {
    return first ? KeepMopria(tag, value, length, read) : IppReadError::None;
  }
  if (!IsStringTag(tag)) return IppReadError::None;
  if (!StringText(tag, value, length)) return IppReadError::BadValue;
  const std::string_view text(reinterpret_cast<const char*>(value), length);
  switch (wanted) {
    case Wanted::Features:
      read.ippEverywhere = read.ippEverywhere || SameKeyword(text, "ipp-everywhere");
      break;
    case Wanted::Formats:
      read.pwgRaster = read.pwgRaster || SameKeyword(text, "image/pwg-raster");
      read.pclm = read.pclm || SameKeyword(text, "application/PCLm");
      read.urf = read.urf || SameKeyword(text, "image/urf");
      break;
    case Wanted::Urf:
      read.urf = true;
      break;
    case Wanted::Versions:
      read.versionsGiven = true;
      read.ipp2 = read.ipp2 || IsIpp2(text);
      break;
    case Wanted::MakeAndModel:
      if (first) read.makeAndModel = ShownText(value, length);
      break;
    case Wanted::DeviceId:
      if (first) read.deviceId = ShownText(value, length);
      break;
    case Wanted::Firmware:
      if (first) read.firmware = ShownText(value, length);
      break;
    case Wanted::Mopria:
    case Wanted::None:
      break;
  }
  return IppReadError::None;
}

}  // namespace

std::vector<unsigned char> GetPrinterAttributesRequest(std::wstring_view printerUri,
                                                       uint32_t requestId) {
  const std::string uri = Utf8(printerUri);
  if (uri.size() > kMaxValueBytes) return {};
  std::vector<unsigned char> out = {2, 0, 0, static_cast<unsigned char>(kIppGetPrinterAttributes)};
  for (int shift = 24; shift >= 0; shift -= 8) {
    out.push_back(static_cast<unsigned char>(requestId >> shift));
  }
  out.push_back(kOperationGroup);
  AppendAttribute(out, kCharset, "attributes-charset", "utf-8");
  AppendAttribute(out, kNaturalLanguage, "attributes-natural-language", "en");
  AppendAttribute(out, kUri, "printer-uri", uri);
  for (size_t i = 0; i < kProbedAttributeCount; ++i) {
    AppendAttribute(out, kKeyword, i == 0 ? "requested-attributes" : "", kProbedAttributes[i]);
  }
  out.push_back(kEndOfAttributes);
  return out;
}

IppReadError ReadPrinterAttributes(const unsigned char* bytes, size_t size,
                                   IppPrinterAttributes& attributes) {
  attributes = {};
  Cursor cursor(bytes, size);
  const unsigned char* header = nullptr;
  if (!cursor.Span(8, header)) return IppReadError::Truncated;
  if (header[0] != 1 && header[0] != 2) return IppReadError::NotIpp;
  const auto status = static_cast<uint16_t>(header[2] << 8 | header[3]);
  if (status > 0x00FF) {
    attributes.status = status;
    return IppReadError::ErrorStatus;
  }

  IppPrinterAttributes read;
  read.status = status;
  unsigned char group = 0;
  int depth = 0;                 // collections open
  bool inAttribute = false;      // an attribute has begun in this group
  Wanted wanted = Wanted::None;  // what the attribute being read is
  unsigned seen = 0;             // the wanted attributes met so far (a repeat is skipped)
  for (;;) {
    unsigned char tag = 0;
    if (!cursor.Byte(tag)) return IppReadError::Truncated;
    if (tag <= kLastDelimiterTag) {
      if (depth > 0) return IppReadError::Unbalanced;
      if (tag == 0) return IppReadError::BadTag;
      if (tag == kEndOfAttributes) break;
      group = tag;
      inAttribute = false;
      wanted = Wanted::None;
      continue;
    }
    if (group == 0) return IppReadError::BadTag;
    const unsigned char* name = nullptr;
    const unsigned char* value = nullptr;
    size_t nameLength = 0;
    size_t valueLength = 0;
    if (!cursor.Counted(name, nameLength) || !cursor.Counted(value, valueLength)) {
      return IppReadError::Truncated;
    }
    if (depth > 0) {  // a member of a collection: nothing in it is read
      if (nameLength != 0) return IppReadError::ValueOutOfPlace;
      if (tag == kBeginCollection && ++depth > kMaxIppNesting) return IppReadError::TooDeep;
      if (tag == kEndCollection) --depth;
      continue;
    }
    if (tag == kEndCollection) return IppReadError::Unbalanced;
    if (tag == kMemberName) return IppReadError::ValueOutOfPlace;
    bool first = false;
    if (nameLength != 0) {
      inAttribute = true;
      first = true;
      wanted = group == kPrinterGroup ? WantedOf(name, nameLength) : Wanted::None;
      const unsigned bit = 1u << static_cast<int>(wanted);
      if (wanted != Wanted::None && (seen & bit) != 0) wanted = Wanted::None;
      seen |= bit;
    } else if (!inAttribute) {
      return IppReadError::ValueOutOfPlace;
    }
    if (tag == kBeginCollection) {
      depth = 1;
      continue;
    }
    if (wanted == Wanted::None) continue;
    const IppReadError kept = Keep(wanted, first, tag, value, valueLength, read);
    if (kept != IppReadError::None) return kept;
  }
  attributes = std::move(read);
  return IppReadError::None;
}

const wchar_t* IppReadErrorText(IppReadError error) {
  switch (error) {
    case IppReadError::None:
      return L"";
    case IppReadError::Truncated:
      return L"the IPP answer ends too early";
    case IppReadError::NotIpp:
      return L"the answer is not IPP";
    case IppReadError::BadTag:
      return L"the IPP answer has a reserved tag";
    case IppReadError::ValueOutOfPlace:
      return L"the IPP answer has a value out of place";
    case IppReadError::BadValue:
      return L"the IPP answer has a value of the wrong length";
    case IppReadError::Unbalanced:
      return L"the IPP answer has an unbalanced collection";
    case IppReadError::TooDeep:
      return L"the IPP answer nests collections too deep";
    case IppReadError::ErrorStatus:
      return L"the IPP answer is an error";
  }
  return L"";
}

std::wstring IppStatusText(uint16_t status) {
  static const struct {
    uint16_t code;
    const wchar_t* keyword;
  } kStatuses[] = {
      {0x0000, L"successful-ok"},
      {0x0400, L"client-error-bad-request"},
      {0x0401, L"client-error-forbidden"},
      {0x0402, L"client-error-not-authenticated"},
      {0x0403, L"client-error-not-authorized"},
      {0x0404, L"client-error-not-possible"},
      {0x0405, L"client-error-timeout"},
      {0x0406, L"client-error-not-found"},
      {0x0407, L"client-error-gone"},
      {0x0408, L"client-error-request-entity-too-large"},
      {0x0409, L"client-error-request-value-too-long"},
      {0x040B, L"client-error-attributes-or-values-not-supported"},
      {0x040C, L"client-error-uri-scheme-not-supported"},
      {0x040D, L"client-error-charset-not-supported"},
      {0x0500, L"server-error-internal-error"},
      {0x0501, L"server-error-operation-not-supported"},
      {0x0502, L"server-error-service-unavailable"},
      {0x0503, L"server-error-version-not-supported"},
      {0x0504, L"server-error-device-error"},
      {0x0505, L"server-error-temporary-error"},
      {0x0507, L"server-error-busy"},
  };
  wchar_t number[8];
  std::swprintf(number, std::size(number), L"0x%04X", static_cast<unsigned>(status));
  std::wstring text = number;
  for (const auto& known : kStatuses) {
    if (known.code == status) return text + L" " + known.keyword;
  }
  return text;
}

}  // namespace kestrun
