// The machine list of fleet mode: a text file that names one machine a line.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrun {

// A list larger than this is refused (ERROR_FILE_TOO_LARGE): it is not a list
// of machine names.
constexpr ULONGLONG kMaxFleetListBytes = 64ull * 1024 * 1024;

// The machine names in a list file's bytes: UTF-8 with or without its BOM, or
// UTF-16 LE or BE with or without its BOM. Each line is trimmed of blanks and
// tabs; a line then empty or starting with "#" is skipped; leading backslashes
// are dropped (a line of backslashes alone names nothing); control characters
// are shown as "?"; a name listed again, its case folded as Windows folds
// names, is listed once. Nothing when the bytes are no text these encodings
// give (a zero is left in them).
std::optional<std::vector<std::wstring>> ParseFleetList(std::string_view bytes);

// Every name of this computer in a list (".", "localhost", its loopback
// addresses, its own names) is one machine, worked once: the first spelling
// stays and each later one goes. Returns a line for each that went
// ("localhost: same machine as .").
std::wstring OneEntryPerMachine(std::vector<std::wstring>& machines);

// Reads and parses a list file; false with the system's error code when it
// cannot be read (ERROR_INVALID_DATA when it is not text).
bool ReadFleetList(const std::wstring& path, std::vector<std::wstring>& machines, DWORD& error);

}  // namespace kestrun
