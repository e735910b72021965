// The C runtime declares rand_s, the system's random numbers, only when asked.
#define _CRT_RAND_S  // NOLINT(bugprone-reserved-identifier): the runtime's own name for it
#include "inventory/snapshot_trust.h"

#include <aclapi.h>
#include <sddl.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <iterator>

#include "common/win32_handles.h"

namespace kestrun {

namespace {

constexpr std::wstring_view kWhereToPut = L": put it where only administrators can change it";

// Rights that let a holder change the folder or what is in it, or its
// permissions; reading and running are fine.
constexpr ACCESS_MASK kChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE |
                                      FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                      GENERIC_ALL | MAXIMUM_ALLOWED;

enum class Standing {
  kMayChange,  // administrators' own, or standing for the owner
  kAnyone,     // a group any non-administrator may be in
};

// A well-known SID; all of them have an identifier authority below 256.
struct KnownSid {
  const wchar_t* name;  // fixed, so messages read the same in every language
  Standing standing;
  BYTE authority;
  BYTE count;
  DWORD subAuthorities[6];
};

constexpr KnownSid kKnownSids[] = {
    {L"Administrators", Standing::kMayChange, 5, 2, {32, 544}},
    {L"SYSTEM", Standing::kMayChange, 5, 1, {18}},
    {L"TrustedInstaller",
     Standing::kMayChange,
     5,
     6,
     {80, SECURITY_TRUSTED_INSTALLER_RID1, SECURITY_TRUSTED_INSTALLER_RID2,
      SECURITY_TRUSTED_INSTALLER_RID3, SECURITY_TRUSTED_INSTALLER_RID4,
      SECURITY_TRUSTED_INSTALLER_RID5}},
    {L"CREATOR OWNER", Standing::kMayChange, 3, 1, {0}},
    {L"Everyone", Standing::kAnyone, 1, 1, {0}},
    {L"Users", Standing::kAnyone, 5, 2, {32, 545}},
    {L"Authenticated Users", Standing::kAnyone, 5, 1, {11}},
    {L"Guests", Standing::kAnyone, 5, 2, {32, 546}},
    {L"Interactive", Standing::kAnyone, 5, 1, {4}},
    {L"Anonymous Logon", Standing::kAnyone, 5, 1, {7}},
    {L"Network", Standing::kAnyone, 5, 1, {2}},
    {L"Power Users", Standing::kAnyone, 5, 2, {32, 547}},
};

const KnownSid* FindKnown(PSID sid) {
  const SID_IDENTIFIER_AUTHORITY* authority = ::GetSidIdentifierAuthority(sid);
  const BYTE count = *::GetSidSubAuthorityCount(sid);
  for (const KnownSid& known : kKnownSids) {
    bool same = count == known.count && authority->Value[5] == known.authority;
    for (int i = 0; same && i < 5; ++i) same = authority->Value[i] == 0;
    for (DWORD i = 0; same && i < count; ++i) {
      same = *::GetSidSubAuthority(sid, i) == known.subAuthorities[i];
    }
    if (same) return &known;
  }
  return nullptr;
}

// The name an administrator knows an account by: fixed for the well-known
// groups, else the system's DOMAIN\name, else the SID itself.
std::wstring NameOf(PSID sid) {
  if (const KnownSid* known = FindKnown(sid)) return known->name;
  wchar_t name[257] = {};
  wchar_t domain[257] = {};
  DWORD nameLength = 257;
  DWORD domainLength = 257;
  SID_NAME_USE use = SidTypeUnknown;
  if (::LookupAccountSidW(nullptr, sid, name, &nameLength, domain, &domainLength, &use)) {
    return domain[0] ? std::wstring(domain) + L"\\" + name : std::wstring(name);
  }
  wchar_t* text = nullptr;
  if (!::ConvertSidToStringSidW(sid, &text)) return L"an account that cannot be named";
  const UniqueLocal owned(text);
  return text;
}

// What an ACE lets its SID do to the object itself. Deny, audit and label
// entries grant nothing; `understood` is false for a kind not known here.
struct Grant {
  ACCESS_MASK mask = 0;
  PSID sid = nullptr;
  bool understood = true;
};

Grant GrantOf(const ACE_HEADER* header) {
  switch (header->AceType) {
    case ACCESS_ALLOWED_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:  // its condition only narrows it: counted whole
      break;
    case ACCESS_DENIED_ACE_TYPE:
    case ACCESS_DENIED_OBJECT_ACE_TYPE:
    case ACCESS_DENIED_CALLBACK_ACE_TYPE:
    case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
    case SYSTEM_AUDIT_ACE_TYPE:
    case SYSTEM_ALARM_ACE_TYPE:
    case SYSTEM_AUDIT_OBJECT_ACE_TYPE:
    case SYSTEM_ALARM_OBJECT_ACE_TYPE:
    case SYSTEM_AUDIT_CALLBACK_ACE_TYPE:
    case SYSTEM_ALARM_CALLBACK_ACE_TYPE:
    case SYSTEM_AUDIT_CALLBACK_OBJECT_ACE_TYPE:
    case SYSTEM_ALARM_CALLBACK_OBJECT_ACE_TYPE:
    case SYSTEM_MANDATORY_LABEL_ACE_TYPE:
    case SYSTEM_RESOURCE_ATTRIBUTE_ACE_TYPE:
    case SYSTEM_SCOPED_POLICY_ID_ACE_TYPE:
      return {};
    default:  // object entries belong to directory objects, never to files
      return {0, nullptr, false};
  }
  // The SID must lie whole inside the entry.
  constexpr size_t sidAt = offsetof(ACCESS_ALLOWED_ACE, SidStart);
  const BYTE* sid = reinterpret_cast<const BYTE*>(header) + sidAt;
  if (sidAt + 8 > header->AceSize || sidAt + 8 + 4 * size_t{sid[1]} > header->AceSize) {
    return {0, nullptr, false};
  }
  const ACCESS_MASK mask = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header)->Mask;
  return {mask, const_cast<BYTE*>(sid), ::IsValidSid(const_cast<BYTE*>(sid)) != FALSE};
}

bool IsTrusted(PSID sid, const TrustBasis& basis) {
  if (basis.newObjectOwner && ::EqualSid(sid, basis.newObjectOwner)) return true;
  if (basis.runningUser && ::EqualSid(sid, basis.runningUser)) return TrustsRunningUser(basis);
  const KnownSid* known = FindKnown(sid);
  return known && known->standing == Standing::kMayChange;
}

// Why `sid` may not be trusted with what it owns or may change.
std::wstring Untrusted(PSID sid, const TrustBasis& basis, std::wstring_view otherwise) {
  if (basis.runningUser && ::EqualSid(sid, basis.runningUser)) {
    return L" can be changed without elevation by " + NameOf(sid);
  }
  return std::wstring(otherwise) + NameOf(sid);
}

std::wstring Refusal(std::wstring_view path, std::wstring_view why) {
  std::wstring text(path);
  return text.append(why).append(kWhereToPut);
}

std::wstring Unreadable(std::wstring_view path, DWORD error) {
  return std::wstring(path) + L": its permissions could not be read (error " +
         std::to_wstring(error) + L")";
}

// The process token's TOKEN_USER, in `buffer`; 0 or the system's code.
DWORD ReadProcessUser(std::vector<BYTE>& buffer) {
  UniqueHandle token;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) {
    return ::GetLastError();
  }
  DWORD bytes = 0;
  if (!::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &bytes) && bytes == 0) {
    return ::GetLastError();
  }
  buffer.resize(bytes);
  if (!::GetTokenInformation(token.get(), TokenUser, buffer.data(), bytes, &bytes)) {
    return ::GetLastError();
  }
  return 0;
}

PSID UserSid(std::vector<BYTE>& tokenUser) {
  return reinterpret_cast<TOKEN_USER*>(tokenUser.data())->User.Sid;
}

// The process token's default owner, when no folder could be made to measure.
DWORD ReadTokenOwner(std::vector<BYTE>& sid) {
  UniqueHandle token;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) {
    return ::GetLastError();
  }
  std::vector<BYTE> buffer(256);
  DWORD bytes = 0;
  if (!::GetTokenInformation(token.get(), TokenOwner, buffer.data(),
                             static_cast<DWORD>(buffer.size()), &bytes)) {
    return ::GetLastError();
  }
  const PSID owner = reinterpret_cast<TOKEN_OWNER*>(buffer.data())->Owner;
  const BYTE* at = static_cast<const BYTE*>(owner);
  sid.assign(at, at + ::GetLengthSid(owner));
  return 0;
}

bool IsElevated() {
  UniqueHandle token;
  TOKEN_ELEVATION elevation = {};
  DWORD bytes = 0;
  return ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put()) &&
         ::GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof(elevation),
                               &bytes) &&
         elevation.TokenIsElevated != 0;
}

// The owner Windows (or the file system) gives a folder this process makes:
// one is made in the temporary folder, read through its handle, removed.
DWORD MeasureNewObjectOwner(std::vector<BYTE>& sid) {
  wchar_t temp[MAX_PATH + 1] = {};
  const DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
  const std::wstring name = UnguessableName();
  if (length == 0 || length > MAX_PATH || name.empty()) return ReadTokenOwner(sid);
  const std::wstring folder = std::wstring(temp, length) + name;
  if (!::CreateDirectoryW(folder.c_str(), nullptr)) return ReadTokenOwner(sid);
  DWORD error = 0;
  {
    const UniqueFileHandle open(::CreateFileW(folder.c_str(), READ_CONTROL, FILE_SHARE_READ,
                                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                              nullptr));
    PSID owner = nullptr;
    UniqueLocal descriptor;
    error = !open ? ::GetLastError()
                  : ::GetSecurityInfo(open.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                                      &owner, nullptr, nullptr, nullptr, descriptor.put());
    if (error == 0 && owner && ::IsValidSid(owner)) {
      const BYTE* at = static_cast<const BYTE*>(owner);
      sid.assign(at, at + ::GetLengthSid(owner));
    } else if (error == 0) {
      error = ERROR_INVALID_SID;
    }
  }
  ::RemoveDirectoryW(folder.c_str());
  return error == 0 ? 0 : ReadTokenOwner(sid);
}

}  // namespace

bool TrustsRunningUser(const TrustBasis& basis) {
  return !basis.elevated || (basis.runningUser && basis.newObjectOwner &&
                             ::EqualSid(basis.runningUser, basis.newObjectOwner));
}

std::wstring UnguessableName() {
  std::wstring name = L"Kestrun-";
  for (int part = 0; part < 4; ++part) {
    unsigned int value = 0;
    if (rand_s(&value) != 0) return {};
    wchar_t hex[9] = {};
    std::swprintf(hex, std::size(hex), L"%08x", value);
    name += hex;
  }
  return name;
}

std::wstring SnapshotFolderSddl(std::wstring_view ownerSid) {
  std::wstring sddl = L"D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;FA;;;";
  return sddl.append(ownerSid).append(L")");
}

DWORD ProcessTrust::Read() {
  if (const DWORD error = ReadProcessUser(user_)) return error;
  // Measured once: what the process creates is owned alike all its life.
  static const std::vector<BYTE> measured = [] {
    std::vector<BYTE> sid;
    MeasureNewObjectOwner(sid);
    return sid;
  }();
  if (measured.empty()) return ERROR_INVALID_SID;
  owner_ = measured;
  basis_.runningUser = UserSid(user_);
  basis_.newObjectOwner = owner_.data();
  basis_.elevated = IsElevated();
  return 0;
}

bool ProcessTrust::Judge(HANDLE open, std::wstring_view path, std::wstring& problem) const {
  constexpr SECURITY_INFORMATION kWanted = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  UniqueLocal descriptor;
  const DWORD error = ::GetSecurityInfo(open, SE_FILE_OBJECT, kWanted, nullptr, nullptr, nullptr,
                                        nullptr, descriptor.put());
  if (error != ERROR_SUCCESS) {
    problem = Unreadable(path, error);
    return false;
  }
  return JudgeSnapshotSecurity(descriptor.get(), basis_, path, problem);
}

DWORD CreateProtectedFolder(const std::wstring& path) {
  ProcessTrust trust;
  if (const DWORD error = trust.Read()) return error;
  wchar_t* ownerSid = nullptr;
  if (!::ConvertSidToStringSidW(trust.Basis().newObjectOwner, &ownerSid)) return ::GetLastError();
  const UniqueLocal ownedSid(ownerSid);
  UniqueLocal descriptor;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(
          SnapshotFolderSddl(ownerSid).c_str(), SDDL_REVISION_1, descriptor.put(), nullptr)) {
    return ::GetLastError();
  }
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.get(), FALSE};
  return ::CreateDirectoryW(path.c_str(), &attributes) ? 0 : ::GetLastError();
}

bool JudgeSnapshotSecurity(PSECURITY_DESCRIPTOR descriptor, const TrustBasis& basis,
                           std::wstring_view path, std::wstring& problem) {
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (!descriptor || !::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || !owner ||
      !::IsValidSid(owner)) {
    problem = std::wstring(path) + L": its owner could not be read";
    return false;
  }
  // An owner may always rewrite the DACL: only a trusted one will do.
  if (!IsTrusted(owner, basis)) {
    problem = Refusal(path, Untrusted(owner, basis, L" is owned by "));
    return false;
  }

  BOOL present = FALSE;
  PACL dacl = nullptr;
  if (!::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) {
    problem = Unreadable(path, ::GetLastError());
    return false;
  }
  if (!present || !dacl) {  // no DACL at all: everyone has full control
    problem = Refusal(path, L" is writable by Everyone");
    return false;
  }
  for (DWORD index = 0; index < dacl->AceCount; ++index) {
    void* entry = nullptr;
    if (!::GetAce(dacl, index, &entry)) {
      problem = Unreadable(path, ::GetLastError());
      return false;
    }
    const auto* header = static_cast<const ACE_HEADER*>(entry);
    if (header->AceFlags & INHERIT_ONLY_ACE) continue;  // only for what is created inside
    const Grant grant = GrantOf(header);
    if (!grant.understood) {
      problem = Refusal(path, L" has an access entry of a kind Kestrun does not know (type " +
                                  std::to_wstring(header->AceType) + L")");
      return false;
    }
    if ((grant.mask & kChangeRights) && !IsTrusted(grant.sid, basis)) {
      problem = Refusal(path, Untrusted(grant.sid, basis, L" is writable by "));
      return false;
    }
  }
  return true;
}

bool IsSnapshotFolderTrusted(const std::wstring& folder, const std::vector<JudgedFile>& files,
                             std::wstring& problem) {
  ProcessTrust trust;
  if (const DWORD error = trust.Read()) {
    problem =
        L"The account running Kestrun could not be read (error " + std::to_wstring(error) + L")";
    return false;
  }
  const auto judge = [&trust, &problem](const std::wstring& path, HANDLE held) {
    if (held) return trust.Judge(held, path, problem);
    const UniqueFileHandle open(::CreateFileW(path.c_str(), READ_CONTROL, FILE_SHARE_READ, nullptr,
                                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!open) {
      problem = Unreadable(path, ::GetLastError());
      return false;
    }
    return trust.Judge(open.get(), path, problem);
  };
  if (!judge(folder, nullptr)) return false;
  for (const JudgedFile& file : files) {
    if (!judge(file.path, file.open)) return false;
  }
  return true;
}

}  // namespace kestrun
