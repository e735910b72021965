#include "common/host_names.h"

#include <algorithm>

namespace kestrun {

namespace {

constexpr size_t kMaxHostCharacters = 253;
constexpr size_t kMaxLabelCharacters = 63;
constexpr size_t kMaxIpv6Characters = 45;  // eight groups, or six and an IPv4 tail

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }
bool IsHexDigit(wchar_t c) {
  return IsDigit(c) || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
}
bool IsLabelCharacter(wchar_t c) {
  return IsDigit(c) || (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || c == L'-';
}
bool AllOf(std::wstring_view text, bool (*test)(wchar_t)) {
  return std::all_of(text.begin(), text.end(), test);
}

// Leading zeros are refused: some resolvers read "010" as octal.
bool IsIpv4(std::wstring_view text) {
  for (int part = 0; part < 4; ++part) {
    const size_t end = part < 3 ? text.find(L'.') : text.size();
    if (end == std::wstring_view::npos) return false;
    const std::wstring_view digits = text.substr(0, end);
    if (digits.empty() || digits.size() > 3 || !AllOf(digits, IsDigit) ||
        (digits.size() > 1 && digits[0] == L'0')) {
      return false;
    }
    unsigned value = 0;
    for (const wchar_t c : digits) value = value * 10 + static_cast<unsigned>(c - L'0');
    if (value > 255) return false;
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  return true;
}

bool IsIpv6(std::wstring_view text) {
  if (text.size() > kMaxIpv6Characters) return false;
  size_t groups = 0;
  bool gap = false;  // "::" met: it stands for one or more groups
  if (text.substr(0, 2) == L"::") {
    gap = true;
    text.remove_prefix(2);
  }
  while (!text.empty()) {
    const size_t end = std::min(text.find(L':'), text.size());
    const std::wstring_view group = text.substr(0, end);
    if (end == text.size() && IsIpv4(group)) {
      groups += 2;
      break;
    }
    if (group.empty() || group.size() > 4 || !AllOf(group, IsHexDigit)) return false;
    ++groups;
    text.remove_prefix(end);
    if (text.substr(0, 2) == L"::") {
      if (gap) return false;
      gap = true;
      text.remove_prefix(2);
    } else if (!text.empty()) {
      text.remove_prefix(1);
      if (text.empty()) return false;
    }
  }
  return gap ? groups <= 7 : groups == 8;
}

bool IsDnsName(std::wstring_view text) {
  if (text.empty() || text.size() > kMaxHostCharacters) return false;
  std::wstring_view label;
  for (;;) {
    const size_t end = std::min(text.find(L'.'), text.size());
    label = text.substr(0, end);
    if (label.empty() || label.size() > kMaxLabelCharacters || label.front() == L'-' ||
        label.back() == L'-' || !AllOf(label, IsLabelCharacter)) {
      return false;
    }
    if (end == text.size()) break;
    text.remove_prefix(end + 1);
  }
  // "256.1.1.1" or "10" would be taken for an address, not looked up as a name.
  return !AllOf(label, IsDigit);
}

}  // namespace

bool ParseHost(std::wstring_view text, std::wstring& host) {
  const bool bracketed = text.size() >= 2 && text.front() == L'[' && text.back() == L']';
  const std::wstring_view bare = bracketed ? text.substr(1, text.size() - 2) : text;
  if (bracketed ? !IsIpv6(bare) : !IsDnsName(bare) && !IsIpv4(bare) && !IsIpv6(bare)) {
    return false;
  }
  host = bare;
  return true;
}

}  // namespace kestrun
