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
void WriteFileBytes(const std::wstring& path, const std::string& bytes);

}  // namespace kestrun::testing
