// The print security settings of a machine's registry and the verdict Microsoft's
// pages give each value: who may install printer drivers, how the spooler's RPC
// is protected. Read only: Kestrun changes none of them.
#pragma once

#include <windows.h>

#include <span>
#include <string>
#include <vector>

namespace kestrun {

enum class PostureVerdict { Safe, Unsafe, NotSet, NotRead };

// "Safe", "Unsafe", "Not set" or "Not read", as the log writes them.
const wchar_t* PostureVerdictText(PostureVerdict verdict);

// One documented value of a DWORD setting and what it means.
struct DwordMeaning {
  DWORD value;
  bool safe;
  const wchar_t* why;  // in a few words, for the line and the log
};

// A setting: where it lives below HKEY_LOCAL_MACHINE, its documented values,
// what Windows does when it is absent, and the page that says so.
struct PostureRule {
  const wchar_t* key;
  const wchar_t* setting;  // the value's own registry name
  std::span<const DwordMeaning> meanings;  // none: a text (REG_SZ) setting, shown as it is
  bool absentSafe;
  const wchar_t* whenAbsent;  // the default, in a few words
  const wchar_t* reference;
  const wchar_t* textWhy = nullptr;  // a text setting's why
  // A DWORD setting that takes any number in [rangeFrom, rangeTo] beyond its
  // listed values (a port): safe, with this why before the number.
  const wchar_t* rangeWhy = nullptr;
  DWORD rangeFrom = 0;
  DWORD rangeTo = 0;
};

// A value as the registry handed it back: `error` 0 when read,
// ERROR_FILE_NOT_FOUND when the value (or its key) is absent, else the
// failure's code.
struct RegistryValue {
  DWORD error = 0;
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

struct PostureRow {
  std::wstring setting;
  std::wstring value;  // as read; empty when absent or not read
  PostureVerdict verdict = PostureVerdict::NotRead;
  std::wstring why;
  std::wstring reference;
};

// The settings read, in the order the report lists them.
std::span<const PostureRule> PostureRules();

// The verdict of one setting's value. A value of another type or outside the
// documented ones is unsafe ("unexpected value: ..."), never read as a default.
PostureRow JudgeSetting(const PostureRule& rule, const RegistryValue& value);

// Reads a value of `root` (a machine's HKEY_LOCAL_MACHINE) in the 64-bit view,
// through the platform seam.
RegistryValue ReadRegistryValue(HKEY root, const wchar_t* key, const wchar_t* name);
// A value of a key already open, in one call when it is short.
RegistryValue QueryRegistryValue(HKEY key, const wchar_t* name);

// A machine's settings: every rule's row, then whether it is a domain
// controller whose spooler answers ("DomainControllerSpooler"). When its
// registry cannot be reached, `error` holds why and every row is "Not read".
struct PostureReading {
  DWORD error = 0;
  std::vector<PostureRow> rows;
};
PostureReading ReadPosture(const std::wstring& machine);

// What makes a row's setting unsafe, for the help: every row's setting in
// the report's order, what makes it unsafe (one line each) and its page.
struct PostureSettingHelp {
  std::wstring setting;
  std::vector<std::wstring> unsafeWhen;  // none: shown, never unsafe but for an unexpected value
  const wchar_t* reference = nullptr;
};
std::vector<PostureSettingHelp> PostureSettingsHelp();

// The first build with Windows protected print mode (Windows 11 24H2).
constexpr unsigned long kFirstProtectedPrintBuild = 26100;

// Opens a machine's HKEY_LOCAL_MACHINE: this computer's directly (any of its
// names, or none), another's through RegConnectRegistryW. 0, or the failure's
// code (53 for a machine that is not there, 1722 or 5 for one whose Remote
// Registry does not answer or refuses). Close a remote root with the seam's
// RegCloseKey.
DWORD OpenMachineRegistry(const std::wstring& machine, HKEY& root, bool& remote);

}  // namespace kestrun
