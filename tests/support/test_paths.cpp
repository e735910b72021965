#include "tests/support/test_paths.h"

#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

namespace kestrun::testing {

namespace {

std::wstring WindowsPath(const char* buildPath) {
  std::wstring path(buildPath, buildPath + std::char_traits<char>::length(buildPath));
  for (auto& c : path) {
    if (c == L'/') c = L'\\';
  }
  if (!path.empty() && path[0] == L'\\') path = L"Z:" + path;
  return path;
}

void RemoveTree(const std::wstring& folder) {
  WIN32_FIND_DATAW entry;
  HANDLE search = ::FindFirstFileW((folder + L"\\*").c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = entry.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring path = folder + L"\\" + name;
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      RemoveTree(path);
      ::RemoveDirectoryW(path.c_str());
    } else {
      ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      ::DeleteFileW(path.c_str());
    }
  } while (::FindNextFileW(search, &entry));
  ::FindClose(search);
}

}  // namespace

std::wstring KestrunExePath() { return WindowsPath(KESTRUN_EXE_PATH); }
std::wstring FakeBinDirectory() { return WindowsPath(KESTRUN_FAKE_BIN); }
std::wstring SeedExePath() { return WindowsPath(KESTRUN_SEED_EXE_PATH); }

std::wstring MakeScratchDirectory(const std::wstring& name) {
  wchar_t temp[MAX_PATH];
  ::GetTempPathW(MAX_PATH, temp);
  const std::wstring root = std::wstring(temp) + L"kestrun-tests";
  ::CreateDirectoryW(root.c_str(), nullptr);
  const std::wstring folder = root + L"\\" + name;
  RemoveTree(folder);
  ::CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}

bool SetUnixMode(const std::wstring& path, const std::string& mode) {
  using UnixName = char*(CDECL*)(LPCWSTR);
  const auto unixName = reinterpret_cast<UnixName>(
      ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name"));
  char* name = unixName ? unixName(path.c_str()) : nullptr;
  if (name == nullptr) return false;
  // Wine's start runs a Unix program given by its Unix path.
  const std::string command = "start /wait /unix /bin/chmod " + mode + " \"" + name + "\"";
  ::HeapFree(::GetProcessHeap(), 0, name);
  return std::system(command.c_str()) == 0;
}

std::string ReadFileBytes(const std::wstring& path) {
  std::ifstream in(path.c_str(), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
  out << bytes;
}

}  // namespace kestrun::testing
