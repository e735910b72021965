// What the shipped executable asks the loader for before its first line runs:
// a DLL it imports is found by the loader's own search, which looks beside the
// program first, so none of the DLLs a planted copy could stand in for may be
// among them.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "inventory/field_text.h"
#include "tests/support/test_paths.h"

namespace kestrun {
namespace {

// The DLL names of an executable's import directory, read from its file.
std::vector<std::string> ImportedDlls(const std::string& image) {
  std::vector<std::string> names;
  const auto at = [&image](size_t offset, size_t bytes) {
    return offset + bytes <= image.size() ? image.data() + offset : nullptr;
  };
  IMAGE_DOS_HEADER dos;
  if (!at(0, sizeof(dos))) return names;
  std::memcpy(&dos, at(0, sizeof(dos)), sizeof(dos));
  IMAGE_NT_HEADERS64 nt;
  if (!at(dos.e_lfanew, sizeof(nt))) return names;
  std::memcpy(&nt, at(dos.e_lfanew, sizeof(nt)), sizeof(nt));
  EXPECT_EQ(nt.OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR64_MAGIC);
  EXPECT_EQ(nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT].Size, 0u);

  std::vector<IMAGE_SECTION_HEADER> sections(nt.FileHeader.NumberOfSections);
  const size_t sectionsAt = dos.e_lfanew + offsetof(IMAGE_NT_HEADERS64, OptionalHeader) +
                            nt.FileHeader.SizeOfOptionalHeader;
  if (!at(sectionsAt, sections.size() * sizeof(IMAGE_SECTION_HEADER))) return names;
  std::memcpy(sections.data(), at(sectionsAt, sections.size() * sizeof(IMAGE_SECTION_HEADER)),
              sections.size() * sizeof(IMAGE_SECTION_HEADER));
  const auto fileOffset = [&sections](DWORD rva) -> size_t {
    for (const auto& section : sections) {
      if (rva >= section.VirtualAddress && rva < section.VirtualAddress + section.SizeOfRawData) {
        return rva - section.VirtualAddress + section.PointerToRawData;
      }
    }
    return SIZE_MAX / 2;
  };

  const DWORD importRva = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
  for (size_t offset = fileOffset(importRva);; offset += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
    IMAGE_IMPORT_DESCRIPTOR descriptor;
    if (!at(offset, sizeof(descriptor))) break;
    std::memcpy(&descriptor, at(offset, sizeof(descriptor)), sizeof(descriptor));
    if (descriptor.Name == 0) break;
    const char* name = at(fileOffset(descriptor.Name), 1);
    if (name == nullptr) break;
    std::string lower(name, strnlen(name, image.data() + image.size() - name));
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return static_cast<char>(FoldAsciiLetter(c)); });
    names.push_back(lower);
  }
  return names;
}

TEST(ExecutableImports, NoneOfTheDllsKestrunLoadsFromSystem32AloneIsImported) {
  const std::vector<std::string> imports = ImportedDlls(testing::ReadFileBytes(testing::KestrunExePath()));
  ASSERT_FALSE(imports.empty());
  EXPECT_NE(std::find(imports.begin(), imports.end(), "kernel32.dll"), imports.end());
  for (const char* loadedAtRunTime :
       {"winspool.drv", "mpr.dll", "netapi32.dll", "comdlg32.dll", "ole32.dll", "winhttp.dll"}) {
    EXPECT_EQ(std::find(imports.begin(), imports.end(), loadedAtRunTime), imports.end())
        << loadedAtRunTime << " is imported";
  }
}

}  // namespace
}  // namespace kestrun
