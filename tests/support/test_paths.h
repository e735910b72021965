// Where the test executables find the shipped program and the test doubles.
#pragma once

#include <string>

namespace kestrun::testing {

// Build-tree paths as Windows paths (the Linux root is drive Z: under Wine).
std::wstring KestrunExePath();
std::wstring FakeBinDirectory();
std::wstring SeedExePath();

// A fresh, empty folder for one test's files.
std::wstring MakeScratchDirectory(const std::wstring& name);

std::string ReadFileBytes(const std::wstring& path);

// Sets a file's or folder's Unix mode ("o+w", "755") with the host's chmod:
// Wine makes a file's DACL from its mode. True when chmod succeeded.
bool SetUnixMode(const std::wstring& path, const std::string& mode);
void WriteFileBytes(const std::wstring& path, const std::string& bytes);

}  // namespace kestrun::testing
