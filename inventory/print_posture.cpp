#include "inventory/print_posture.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <iterator>

#include "common/parallel.h"
#include "inventory/driver_inventory.h"
#include "inventory/error_reporter.h"
#include "inventory/field_text.h"
#include "inventory/platform.h"
#include "inventory/spooler_answer.h"

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

constexpr wchar_t kPrinters[] = L"SOFTWARE\\Policies\\Microsoft\\Windows NT\\Printers";
constexpr wchar_t kPackagePointAndPrint[] =
    L"SOFTWARE\\Policies\\Microsoft\\Windows NT\\Printers\\PackagePointAndPrint";
constexpr wchar_t kWppKey[] = L"SOFTWARE\\Policies\\Microsoft\\Windows NT\\Printers\\WPP";
constexpr wchar_t kRpc[] = L"SOFTWARE\\Policies\\Microsoft\\Windows NT\\Printers\\RPC";
constexpr wchar_t kCurrentVersion[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

// Point and Print Restrictions turned off (0): connections to any server
// without a warning or an elevation prompt (KB5005010 above).
constexpr DwordMeaning kRestricted[] = {
    {0, false, L"Point and Print Restrictions off: no prompts for any server"},
    {1, true, L"Point and Print Restrictions on"},
};
constexpr DwordMeaning kTrustedServers[] = {
    {0, true, L"connections not limited to ServerList"},
    {1, true, L"connections only to the servers of ServerList"},
};
constexpr DwordMeaning kInForest[] = {
    {0, true, L"connections not limited to the forest"},
    {1, true, L"connections to the machines of the forest"},
};

// The Printers policy CSP: Package Point and Print, the queue-specific files,
// the spooler's client connections and Windows protected print mode.
// https://learn.microsoft.com/en-us/windows/client-management/mdm/policy-csp-printers
constexpr wchar_t kPrintersCsp[] =
    L"https://learn.microsoft.com/en-us/windows/client-management/mdm/policy-csp-printers";
constexpr DwordMeaning kPackageOnly[] = {
    {0, true, L"drivers need not be package-aware"},
    {1, true, L"only package-aware drivers"},
};
constexpr DwordMeaning kPackageServerList[] = {
    {0, true, L"package connections not limited to a list"},
    {1, true, L"package connections only to the listed servers"},
};
// "Manage processing of Queue-specific files": 0 none, 1 colour profiles
// only (the default), 2 every file a queue names.
constexpr DwordMeaning kCopyFiles[] = {
    {0, true, L"no queue-specific files"},
    {1, true, L"queue-specific colour profiles only"},
    {2, false, L"queue-specific files of any kind are processed"},
};
// "Allow Print Spooler to accept client connections": 1 accepts, 2 refuses.
constexpr DwordMeaning kRemoteEndPoint[] = {
    {1, true, L"the spooler accepts client connections"},
    {2, true, L"the spooler accepts no client connections"},
};

// The RPC connection settings of Windows 11's print RPC changes.
// https://learn.microsoft.com/en-us/troubleshoot/windows-client/printing/windows-11-rpc-connection-updates-for-print
constexpr wchar_t kRpcPage[] =
    L"https://learn.microsoft.com/en-us/troubleshoot/windows-client/printing/"
    L"windows-11-rpc-connection-updates-for-print";
constexpr DwordMeaning kNamedPipes[] = {
    {0, true, L"outgoing RPC over TCP"},
    {1, false, L"outgoing RPC over named pipes"},
};
constexpr DwordMeaning kRpcAuthentication[] = {
    {0, true, L"outgoing RPC authentication as Windows chooses"},
    {1, true, L"outgoing RPC authenticated"},
    {2, false, L"outgoing RPC without authentication"},
};
// "Configure RPC listener settings": the protocols incoming RPC may use.
constexpr DwordMeaning kListenerProtocols[] = {
    {3, false, L"incoming RPC over named pipes allowed"},
    {5, true, L"incoming RPC over TCP only"},
    {7, false, L"incoming RPC over named pipes allowed"},
};
// "Configure RPC over TCP port": 0 dynamic ports, else that port.
constexpr DwordMeaning kTcpPort[] = {
    {0, true, L"dynamic TCP ports"},
};
constexpr DwordMeaning kKerberos[] = {
    {0, true, L"incoming RPC authenticated by Negotiate"},
    {1, true, L"incoming RPC authenticated by Kerberos only"},
};

// Windows protected print mode, the policy the Printers CSP names.
// https://learn.microsoft.com/en-us/windows-hardware/drivers/print/windows-protected-print-mode
constexpr wchar_t kWppPage[] =
    L"https://learn.microsoft.com/en-us/windows-hardware/drivers/print/"
    L"windows-protected-print-mode";
constexpr DwordMeaning kWpp[] = {
    {0, true, L"off"},
    {1, true, L"on"},
};

constexpr PostureRule kRules[] = {
    {kPointAndPrint, L"RestrictDriverInstallationToAdministrators", kRestrictToAdministrators, true,
     L"administrators only (the default since KB5005652)", kKb5005652},
    {kPointAndPrint, L"NoWarningNoElevationOnInstall", kNoWarningOnInstall, true,
     L"a warning and an elevation prompt (the default)", kKb5005010},
    {kPointAndPrint, L"UpdatePromptSettings", kUpdatePrompt, true,
     L"a warning and an elevation prompt (the default)", kKb5005010},
    {kPointAndPrint, L"Restricted", kRestricted, true,
     L"any server, with a warning and an elevation prompt (the default)", kKb5005010},
    {kPointAndPrint, L"TrustedServers", kTrustedServers, true,
     L"connections not limited to ServerList (the default)", kKb5005010},
    {kPointAndPrint,
     L"ServerList",
     {},
     true,
     L"no list (the default)",
     kKb5005010,
     L"the servers users may connect to"},
    {kPointAndPrint, L"InForest", kInForest, true,
     L"connections not limited to the forest (the default)", kKb5005010},
    {kPackagePointAndPrint, L"PackagePointAndPrintOnly", kPackageOnly, true,
     L"drivers need not be package-aware (the default)", kPrintersCsp},
    {kPackagePointAndPrint, L"PackagePointAndPrintServerList", kPackageServerList, true,
     L"package connections not limited to a list (the default)", kPrintersCsp},
    {kPrinters, L"CopyFilesPolicy", kCopyFiles, true,
     L"queue-specific colour profiles only (the default)", kPrintersCsp},
    {kPrintControl, L"RpcAuthnLevelPrivacyEnabled", kRpcPrivacy, true,
     L"RPC privacy on (the default)", kKb4599464},
    {kRpc, L"RpcUseNamedPipeProtocol", kNamedPipes, true, L"outgoing RPC over TCP (the default)",
     kRpcPage},
    {kRpc, L"RpcAuthentication", kRpcAuthentication, true,
     L"outgoing RPC authentication as Windows chooses (the default)", kRpcPage},
    {kRpc, L"ForceKerberosForRpc", kKerberos, true,
     L"incoming RPC authenticated by Negotiate (the default)", kRpcPage},
    {kRpc, L"RpcProtocols", kListenerProtocols, true, L"incoming RPC over TCP only (the default)",
     kRpcPage},
    {kRpc, L"RpcTcpPort", kTcpPort, true, L"dynamic TCP ports (the default)", kRpcPage, nullptr,
     L"TCP port ", 1, 65535},
    {kPrinters, L"RegisterSpoolerRemoteRpcEndPoint", kRemoteEndPoint, true,
     L"client connections once a printer is shared (the default)", kPrintersCsp},
    {kWppKey, L"WindowsProtectedPrintGroupPolicyState", kWpp, true, L"off (the default)", kWppPage},
    {kCurrentVersion,
     L"CurrentBuildNumber",
     {},
     true,
     L"no build number",
     kWppPage,
     L"the Windows build"},
    {kCurrentVersion,
     L"DisplayVersion",
     {},
     true,
     L"no version name",
     kWppPage,
     L"the Windows version"},
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
  if (rule.textWhy != nullptr && (value.type == REG_SZ || value.type == REG_EXPAND_SZ)) {
    // A REG_SZ need not end in its terminator: the text ends at the data's end or at one.
    std::wstring text(value.data.size() / sizeof(wchar_t), L'\0');
    std::memcpy(text.data(), value.data.data(), text.size() * sizeof(wchar_t));
    text.resize(std::wcslen(text.c_str()));
    AppendShownText(row.value, text);
    row.verdict = PostureVerdict::Safe;
    row.why = rule.textWhy;
    return row;
  }
  if (rule.textWhy != nullptr || value.type != REG_DWORD || value.data.size() != sizeof(DWORD)) {
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
  if (rule.rangeWhy != nullptr && number >= rule.rangeFrom && number <= rule.rangeTo) {
    row.verdict = PostureVerdict::Safe;
    row.why = rule.rangeWhy + row.value;
    return row;
  }
  row.why = L"unexpected value: " + row.value;
  return row;
}

RegistryValue QueryRegistryValue(HKEY key, const wchar_t* name) {
  RegistryValue value;
  // Most values are a number or a short text: one call reads them. A policy
  // value longer than 64 KiB is no value of these settings.
  constexpr DWORD kFirstTry = 512;
  constexpr DWORD kLargestValue = 64 * 1024;
  value.data.resize(kFirstTry);
  DWORD size = kFirstTry;
  LSTATUS status =
      Platform().RegQueryValueExW(key, name, nullptr, &value.type, value.data.data(), &size);
  if (status == ERROR_MORE_DATA) {
    status = size > kLargestValue ? ERROR_INVALID_DATA : ERROR_SUCCESS;
    if (status == ERROR_SUCCESS) {
      value.data.resize(size);
      status =
          Platform().RegQueryValueExW(key, name, nullptr, &value.type, value.data.data(), &size);
    }
  }
  value.data.resize(status == ERROR_SUCCESS ? size : 0);
  value.error = static_cast<DWORD>(status);
  return value;
}

RegistryValue ReadRegistryValue(HKEY root, const wchar_t* key, const wchar_t* name) {
  HKEY opened = nullptr;
  const LSTATUS status =
      Platform().RegOpenKeyExW(root, key, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &opened);
  if (status != ERROR_SUCCESS) return RegistryValue{static_cast<DWORD>(status), REG_NONE, {}};
  RegistryValue value = QueryRegistryValue(opened, name);
  Platform().RegCloseKey(opened);
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

namespace kestrun {

namespace {

// Calls to one machine at once: a few, so that a server is not flooded.
constexpr unsigned kCallsAtOnce = 8;

// Package Point and Print's servers: each value of this key names one.
constexpr wchar_t kPackageServers[] =
    L"SOFTWARE\\Policies\\Microsoft\\Windows NT\\Printers\\PackagePointAndPrint\\ListofServers";
// More would be no list an admin wrote: the rest are left unread.
constexpr DWORD kMostListedServers = 1000;
constexpr DWORD kLongestServerName = 256;

// "ListofServers": the servers listed, "; " between them. A value that is no
// server's name (another type, or too long) is unsafe, as any unexpected value.
PostureRow ReadPackageServers(HKEY root) {
  PostureRow row;
  row.setting = L"ListofServers";
  row.reference = kPrintersCsp;
  HKEY key = nullptr;
  auto error = static_cast<DWORD>(
      Platform().RegOpenKeyExW(root, kPackageServers, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key));
  std::wstring unexpected;
  for (DWORD index = 0; error == 0 && index < kMostListedServers; ++index) {
    wchar_t name[kLongestServerName + 1] = {};
    wchar_t server[kLongestServerName + 1] = {};
    DWORD nameSize = kLongestServerName + 1;
    DWORD type = REG_NONE;
    DWORD size = kLongestServerName * sizeof(wchar_t);
    const auto status = static_cast<DWORD>(Platform().RegEnumValueW(
        key, index, name, &nameSize, nullptr, &type, reinterpret_cast<BYTE*>(server), &size));
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status != 0 && status != ERROR_MORE_DATA) error = status;
    if (status != 0 || type != REG_SZ) {
      if (unexpected.empty()) unexpected = L"(type " + std::to_wstring(type) + L")";
      continue;
    }
    if (!row.value.empty()) row.value += L"; ";
    // A list kept by name, with no data, names the server by the value itself.
    AppendShownText(row.value, server[0] != L'\0' ? server : name);
  }
  if (key != nullptr) Platform().RegCloseKey(key);
  if (error == ERROR_FILE_NOT_FOUND) {
    row.verdict = PostureVerdict::NotSet;
    row.why = L"no servers listed (the default), safe";
  } else if (error != 0) {
    row.value.clear();
    row.why = L"not read: " + CodeWithText(error);
  } else if (!unexpected.empty()) {
    row.value = unexpected;
    row.verdict = PostureVerdict::Unsafe;
    row.why = L"unexpected value: " + unexpected;
  } else {
    row.verdict = PostureVerdict::Safe;
    row.why = L"the servers package connections may use";
  }
  return row;
}

// Microsoft's guidance for the spooler of a domain controller.
constexpr wchar_t kDomainControllerPage[] =
    L"https://learn.microsoft.com/en-us/windows-server/security/windows-services/"
    L"security-guidelines-for-disabling-system-services-in-windows-server";

// Protected print mode off, told apart from a build that has no such mode.
void JudgeProtectedPrintByBuild(std::vector<PostureRow>& rows) {
  PostureRow* mode = nullptr;
  unsigned long build = 0;
  for (PostureRow& row : rows) {
    if (row.setting == L"WindowsProtectedPrintGroupPolicyState") mode = &row;
    if (row.setting == L"CurrentBuildNumber") build = std::wcstoul(row.value.c_str(), nullptr, 10);
  }
  if (mode == nullptr || build == 0 || mode->value == L"1") return;
  if (mode->verdict != PostureVerdict::NotSet && mode->value != L"0") return;
  mode->why = build >= kFirstProtectedPrintBuild
                  ? L"off (available on this build)"
                  : L"not available on this build (" + std::to_wstring(build) + L")";
}

// The machine's server type (NetServerGetInfo level 101): 0 with `type`, or the failure's code.
DWORD ReadServerType(const std::wstring& server, DWORD& type) {
  LPBYTE info = nullptr;
  const NET_API_STATUS status = Platform().NetServerGetInfo(
      server.empty() ? nullptr : const_cast<wchar_t*>(server.c_str()), 101, &info);
  if (status == NERR_Success && info != nullptr) {
    type = reinterpret_cast<const SERVER_INFO_101*>(info)->sv101_type;
  }
  if (info) Platform().NetApiBufferFree(info);
  return status != NERR_Success ? status : info == nullptr ? ERROR_INVALID_DATA : 0;
}

PostureRow DomainControllerRow(const std::wstring& server, DWORD typeError, DWORD type) {
  PostureRow row;
  row.setting = L"DomainControllerSpooler";
  row.reference = kDomainControllerPage;
  if (typeError != 0) {
    row.why = L"not read: " + CodeWithText(typeError);
    return row;
  }
  if ((type & (SV_TYPE_DOMAIN_CTRL | SV_TYPE_DOMAIN_BAKCTRL)) == 0) {
    row.value = L"not a domain controller";
    row.verdict = PostureVerdict::Safe;
    row.why = row.value;
    return row;
  }
  SpoolerAnswer printers;
  const bool answers = ReadPrinters(server.empty() ? nullptr : server.c_str(), printers) == 0;
  row.value = answers ? L"domain controller, spooler answers" : L"domain controller, no spooler";
  row.verdict = answers ? PostureVerdict::Unsafe : PostureVerdict::Safe;
  row.why = answers ? L"a domain controller whose spooler answers the network"
                    : L"a domain controller whose spooler does not answer";
  return row;
}

}  // namespace

std::vector<PostureSettingHelp> PostureSettingsHelp() {
  std::vector<PostureSettingHelp> help;
  for (const PostureRule& rule : kRules) {
    PostureSettingHelp& entry = help.emplace_back();
    entry.setting = rule.setting;
    entry.reference = rule.reference;
    for (const DwordMeaning& meaning : rule.meanings) {
      if (!meaning.safe)
        entry.unsafeWhen.push_back(std::to_wstring(meaning.value) + L": " + meaning.why);
    }
    if (entry.setting == L"PackagePointAndPrintServerList") {
      help.push_back({L"ListofServers", {L"a value that is not a server's name"}, kPrintersCsp});
    }
  }
  help.push_back({L"DomainControllerSpooler",
                  {L"a domain controller whose spooler answers the network"},
                  kDomainControllerPage});
  return help;
}

PostureReading ReadPosture(const std::wstring& machine) {
  PostureReading reading;
  HKEY root = nullptr;
  bool remote = false;
  const std::wstring server = BareMachineName(machine).empty() || IsLocalMachineName(machine)
                                  ? std::wstring()
                                  : L"\\\\" + std::wstring(BareMachineName(machine));
  // A server's calls overlap a few at a time, on the system's thread pool: a
  // machine takes a few calls' time instead of some forty. Each remote call is
  // a round trip, so they overlap from the first; this computer's calls take
  // microseconds and overlap only when they turn out slow.
  reading.error = OpenMachineRegistry(machine, root, remote);
  const auto overlap = remote ? RunTogether : RunAtOnce;
  const std::span<const PostureRule> rules = PostureRules();
  std::vector<RegistryValue> values(rules.size(), RegistryValue{reading.error, REG_NONE, {}});
  // Each key is opened once, for all its values.
  std::vector<const wchar_t*> keys;
  std::vector<size_t> keyOf(rules.size());
  for (size_t r = 0; r < rules.size(); ++r) {
    size_t k = 0;
    while (k < keys.size() && std::wcscmp(keys[k], rules[r].key) != 0) ++k;
    if (k == keys.size()) keys.push_back(rules[r].key);
    keyOf[r] = k;
  }
  std::vector<HKEY> opened(keys.size(), nullptr);
  std::vector<DWORD> openErrors(keys.size(), reading.error);
  DWORD type = 0;
  DWORD typeError = 0;
  // The server's type beside the keys: step 0 asks for it.
  overlap(1 + (reading.error == 0 ? keys.size() : 0), kCallsAtOnce, [&](size_t step) {
    if (step == 0) {
      typeError = ReadServerType(server, type);
      return;
    }
    openErrors[step - 1] = static_cast<DWORD>(Platform().RegOpenKeyExW(
        root, keys[step - 1], 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &opened[step - 1]));
  });
  PostureRow packageServers;
  if (reading.error == 0) {
    // The last step reads Package Point and Print's list of servers.
    overlap(rules.size() + 1, kCallsAtOnce, [&](size_t r) {
      if (r == rules.size()) {
        packageServers = ReadPackageServers(root);
        return;
      }
      const size_t k = keyOf[r];
      values[r] = openErrors[k] != 0 ? RegistryValue{openErrors[k], REG_NONE, {}}
                                     : QueryRegistryValue(opened[k], rules[r].setting);
    });
    overlap(keys.size(), kCallsAtOnce, [&](size_t k) {
      if (openErrors[k] == 0) Platform().RegCloseKey(opened[k]);
    });
    if (remote) Platform().RegCloseKey(root);
  }
  for (size_t r = 0; r < rules.size(); ++r) {
    reading.rows.push_back(JudgeSetting(rules[r], values[r]));
  }
  if (reading.error != 0) {
    packageServers.setting = L"ListofServers";
    packageServers.reference = kPrintersCsp;
    packageServers.why = L"not read: " + CodeWithText(reading.error);
  }
  // Package Point and Print's list follows the setting that turns it on.
  auto listAt = std::find_if(reading.rows.begin(), reading.rows.end(), [](const PostureRow& row) {
    return row.setting == L"PackagePointAndPrintServerList";
  });
  if (listAt != reading.rows.end()) ++listAt;
  reading.rows.insert(listAt, std::move(packageServers));
  JudgeProtectedPrintByBuild(reading.rows);
  if (reading.error != 0) {
    PostureRow row;
    row.setting = L"DomainControllerSpooler";
    row.reference = kDomainControllerPage;
    row.why = L"not read: " + CodeWithText(reading.error);
    reading.rows.push_back(std::move(row));
  } else {
    reading.rows.push_back(DomainControllerRow(server, typeError, type));
  }
  return reading;
}

}  // namespace kestrun
