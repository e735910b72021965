#include "report/fleet_list.h"

#include <set>

#include "common/win32_handles.h"
#include "inventory/driver_inventory.h"
#include "inventory/field_text.h"

namespace kestrun {

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16LeBom = "\xFF\xFE";
constexpr std::string_view kUtf16BeBom = "\xFE\xFF";
constexpr wchar_t kBlanks[] = L" \t";
constexpr wchar_t kLineEnds[] = L"\r\n";

// `low` is 0 for little-endian, 1 for big-endian.
std::wstring DecodeUtf16(std::string_view bytes, size_t low) {
  std::wstring text(bytes.size() / 2, L'\0');  // an odd last byte is no character
  for (size_t i = 0; i < text.size(); ++i) {
    text[i] = static_cast<wchar_t>(static_cast<unsigned char>(bytes[2 * i + low]) |
                                   (static_cast<unsigned char>(bytes[2 * i + 1 - low]) << 8));
  }
  return text;
}

// Bytes that are not UTF-8 become U+FFFD; such a name fails when it is listed.
std::wstring DecodeUtf8(std::string_view bytes) {
  if (bytes.empty()) return {};
  const int size = static_cast<int>(bytes.size());
  std::wstring text(bytes.size(), L'\0');
  text.resize(static_cast<size_t>(
      ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), size, text.data(), size)));
  return text;
}

// Without a BOM: machine names are mostly ASCII, so UTF-16 shows as a zero in
// most odd places (little-endian) or most even places (big-endian).
std::wstring DecodeWithoutBom(std::string_view bytes) {
  const size_t pairs = bytes.size() / 2;
  size_t zeros[2] = {0, 0};
  for (size_t i = 0; i < 2 * pairs; ++i) {
    if (bytes[i] == '\0') ++zeros[i % 2];
  }
  if (zeros[1] * 2 > pairs && zeros[0] * 2 <= pairs) return DecodeUtf16(bytes, 0);
  if (zeros[0] * 2 > pairs && zeros[1] * 2 <= pairs) return DecodeUtf16(bytes, 1);
  return DecodeUtf8(bytes);
}

// Names as Windows compares them: ordinal, ignoring case (Ä and ä too).
struct OrdinalIgnoringCase {
  bool operator()(const std::wstring& a, const std::wstring& b) const {
    return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                  static_cast<int>(b.size()), TRUE) == CSTR_LESS_THAN;
  }
};

}  // namespace

std::optional<std::vector<std::wstring>> ParseFleetList(std::string_view bytes) {
  std::wstring text;
  if (bytes.substr(0, kUtf16LeBom.size()) == kUtf16LeBom) {
    text = DecodeUtf16(bytes.substr(kUtf16LeBom.size()), 0);
  } else if (bytes.substr(0, kUtf16BeBom.size()) == kUtf16BeBom) {
    text = DecodeUtf16(bytes.substr(kUtf16BeBom.size()), 1);
  } else if (bytes.substr(0, kUtf8Bom.size()) == kUtf8Bom) {
    text = DecodeUtf8(bytes.substr(kUtf8Bom.size()));
  } else {
    text = DecodeWithoutBom(bytes);
  }
  // A zero left in the text: not a list of names in any encoding read here.
  if (text.find(L'\0') != std::wstring::npos) return std::nullopt;

  std::vector<std::wstring> machines;
  std::set<std::wstring, OrdinalIgnoringCase> listed;
  const std::wstring_view all(text);
  for (size_t start = 0; start < all.size();) {
    size_t end = all.find_first_of(kLineEnds, start);
    if (end == std::wstring_view::npos) end = all.size();
    std::wstring_view line = all.substr(start, end - start);
    start = end + 1;

    const size_t first = line.find_first_not_of(kBlanks);
    if (first == std::wstring_view::npos) continue;
    line = line.substr(first, line.find_last_not_of(kBlanks) + 1 - first);
    if (line[0] == L'#') continue;
    const std::wstring_view bare = BareMachineName(line);
    if (bare.empty()) continue;
    // A control character would cut the name short in the spooler's hands:
    // shown as "?", the name fails as a whole instead.
    std::wstring name;
    AppendShownText(name, bare);
    if (listed.insert(name).second) machines.push_back(std::move(name));
  }
  return machines;
}

std::wstring OneEntryPerMachine(std::vector<std::wstring>& machines) {
  std::wstring notes;
  const std::wstring* local = nullptr;
  std::vector<std::wstring> kept;
  kept.reserve(machines.size());
  for (std::wstring& machine : machines) {
    if (!IsLocalMachineName(machine)) {
      kept.push_back(std::move(machine));
    } else if (local == nullptr) {
      kept.push_back(std::move(machine));
      local = &kept.back();  // kept never grows past its reserve: the pointer stays
    } else {
      AppendShownText(notes, machine);
      notes += L": same machine as ";
      AppendShownText(notes, *local);
      notes += L"\r\n";
    }
  }
  machines = std::move(kept);
  return notes;
}

bool ReadFleetList(const std::wstring& path, std::vector<std::wstring>& machines, DWORD& error) {
  UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    error = ::GetLastError();
    return false;
  }
  LARGE_INTEGER size = {};
  if (!::GetFileSizeEx(file.get(), &size)) {
    error = ::GetLastError();
    return false;
  }
  if (static_cast<ULONGLONG>(size.QuadPart) > kMaxFleetListBytes) {
    error = ERROR_FILE_TOO_LARGE;
    return false;
  }
  std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
  size_t filled = 0;
  while (filled < bytes.size()) {
    DWORD read = 0;
    if (!::ReadFile(file.get(), bytes.data() + filled, static_cast<DWORD>(bytes.size() - filled),
                    &read, nullptr)) {
      error = ::GetLastError();
      return false;
    }
    if (read == 0) break;  // the file shrank meanwhile
    filled += read;
  }
  bytes.resize(filled);
  std::optional<std::vector<std::wstring>> parsed = ParseFleetList(bytes);
  if (!parsed) {
    error = ERROR_INVALID_DATA;
    return false;
  }
  machines = std::move(*parsed);
  return true;
}

}  // namespace kestrun
