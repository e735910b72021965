#include "inventory/print_posture.h"

#include <cstring>
#include <iterator>

#include "inventory/driver_inventory.h"
#include "inventory/error_reporter.h"
#include "inventory/field_text.h"
#include "inventory/platform.h"

namespace kestrun {

namespace {

constexpr wchar_t kPointAndPrint[] =
    L"SOFTWARE\\Policies\\Microsoft\\Windows NT\\Printers\\PointAndPrint";
constexpr wchar_t kPrintControl[] = L"SYSTEM\\CurrentControlSet\\Control\\Print";

// KB5005652: since the August 2021 update only administrators install
// drivers through Point and Print unless this value says 0.
// https://support.microsoft.com/en-us/topic/kb5005652-manage-new-point-and-print-default-driver-installation-behavior-cve-2021-34481-873642bf-2634-49c5-a23b-6d8e9a302872
constexpr wchar_t kKb5005652[] =
    L"https://support.microsoft.com/en-us/topic/kb5005652-manage-new-point-and-print-default-"
    L"driver-installation-behavior-cve-2021-34481-873642bf-2634-49c5-a23b-6d8e9a302872";
constexpr DwordMeaning kRestrictToAdministrators[] = {
    {0, false, L"non-administrators can install printer drivers"},
    {1, true, L"only administrators install printer drivers"},
};

// KB5005010: the Point and Print Restrictions' warning and elevation prompts,
// for new connections and for driver updates.
// https://support.microsoft.com/en-us/topic/kb5005010-restricting-installation-of-new-printer-drivers-after-applying-the-july-6-2021-updates-31b91c02-05bc-4ada-a7ea-183b129578a7
constexpr wchar_t kKb5005010[] =
    L"https://support.microsoft.com/en-us/topic/kb5005010-restricting-installation-of-new-"
    L"printer-drivers-after-applying-the-july-6-2021-updates-31b91c02-05bc-4ada-a7ea-183b129578a7";
constexpr DwordMeaning kNoWarningOnInstall[] = {
    {0, true, L"a warning and an elevation prompt"},
    {1, false, L"drivers install without a warning or elevation prompt"},
};
constexpr DwordMeaning kUpdatePrompt[] = {
    {0, true, L"a warning and an elevation prompt"},
    {1, false, L"driver updates show a warning but no elevation prompt"},
    {2, false, L"driver updates install without a warning or elevation prompt"},
};

// KB4599464: RPC packet privacy for the spooler's RPC interface, on unless
// this value says 0.
// https://support.microsoft.com/en-us/topic/managing-deployment-of-printer-rpc-binding-changes-for-cve-2021-1678-kb4599464-12a69652-30b9-3d61-d9f7-7201623a8b25
constexpr wchar_t kKb4599464[] =
    L"https://support.microsoft.com/en-us/topic/managing-deployment-of-printer-rpc-binding-"
    L"changes-for-cve-2021-1678-kb4599464-12a69652-30b9-3d61-d9f7-7201623a8b25";
constexpr DwordMeaning kRpcPrivacy[] = {
    {0, false, L"RPC privacy off"},
    {1, true, L"RPC privacy on"},
};

constexpr PostureRule kRules[] = {
    {kPointAndPrint, L"RestrictDriverInstallationToAdministrators", kRestrictToAdministrators, true,
     L"administrators only (the default since KB5005652)", kKb5005652},
    {kPointAndPrint, L"NoWarningNoElevationOnInstall", kNoWarningOnInstall, true,
     L"a warning and an elevation prompt (the default)", kKb5005010},
    {kPointAndPrint, L"UpdatePromptSettings", kUpdatePrompt, true,
     L"a warning and an elevation prompt (the default)", kKb5005010},
    {kPrintControl, L"RpcAuthnLevelPrivacyEnabled", kRpcPrivacy, true,
     L"RPC privacy on (the default)", kKb4599464},
};

std::wstring CodeWithText(DWORD code) {
  std::wstring text = std::to_wstring(code);
  if (errorReporter) text += L" " + OneLineText(errorReporter->GetErrorText(code).text);
  return text;
}

}  // namespace

const wchar_t* PostureVerdictText(PostureVerdict verdict) {
  switch (verdict) {
    case PostureVerdict::Safe:
      return L"Safe";
    case PostureVerdict::Unsafe:
      return L"Unsafe";
    case PostureVerdict::NotSet:
      return L"Not set";
    case PostureVerdict::NotRead:
      break;
  }
  return L"Not read";
}

std::span<const PostureRule> PostureRules() { return kRules; }

PostureRow JudgeSetting(const PostureRule& rule, const RegistryValue& value) {
  PostureRow row;
  row.setting = rule.setting;
  row.reference = rule.reference;
  if (value.error == ERROR_FILE_NOT_FOUND) {
    row.verdict = PostureVerdict::NotSet;
    row.why = std::wstring(rule.whenAbsent) + (rule.absentSafe ? L", safe" : L", unsafe");
    return row;
  }
  if (value.error != 0) {
    row.why = L"not read: " + CodeWithText(value.error);
    return row;
  }
  row.verdict = PostureVerdict::Unsafe;
  if (value.type != REG_DWORD || value.data.size() != sizeof(DWORD)) {
    row.value = L"(type " + std::to_wstring(value.type) + L", " +
                std::to_wstring(value.data.size()) + L" bytes)";
    row.why = L"unexpected value: " + row.value;
    return row;
  }
  DWORD number = 0;
  std::memcpy(&number, value.data.data(), sizeof(number));
  row.value = std::to_wstring(number);
  for (const DwordMeaning& meaning : rule.meanings) {
    if (meaning.value != number) continue;
    row.verdict = meaning.safe ? PostureVerdict::Safe : PostureVerdict::Unsafe;
    row.why = meaning.why;
    return row;
  }
  row.why = L"unexpected value: " + row.value;
  return row;
}

RegistryValue ReadRegistryValue(HKEY root, const wchar_t* key, const wchar_t* name) {
  RegistryValue value;
  HKEY opened = nullptr;
  LSTATUS status =
      Platform().RegOpenKeyExW(root, key, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &opened);
  if (status != ERROR_SUCCESS) {
    value.error = static_cast<DWORD>(status);
    return value;
  }
  // A policy value is a number or a short list: 64 KiB is more than any holds.
  constexpr DWORD kLargestValue = 64 * 1024;
  DWORD size = 0;
  status = Platform().RegQueryValueExW(opened, name, nullptr, &value.type, nullptr, &size);
  if (status == ERROR_SUCCESS && size > kLargestValue) status = ERROR_INVALID_DATA;
  if (status == ERROR_SUCCESS) {
    value.data.resize(size);
    status =
        Platform().RegQueryValueExW(opened, name, nullptr, &value.type, value.data.data(), &size);
    value.data.resize(status == ERROR_SUCCESS ? size : 0);
  }
  Platform().RegCloseKey(opened);
  value.error = static_cast<DWORD>(status);
  return value;
}

DWORD OpenMachineRegistry(const std::wstring& machine, HKEY& root, bool& remote) {
  remote = !BareMachineName(machine).empty() && !IsLocalMachineName(machine);
  if (!remote) {
    root = HKEY_LOCAL_MACHINE;
    return 0;
  }
  const std::wstring server = L"\\\\" + std::wstring(BareMachineName(machine));
  return static_cast<DWORD>(
      Platform().RegConnectRegistryW(server.c_str(), HKEY_LOCAL_MACHINE, &root));
}

}  // namespace kestrun
