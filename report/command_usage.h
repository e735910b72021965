// The command line's help: the usage block, and the heading over one message
// about a run that could not start.
#pragma once

#include <string>

namespace kestrun {

// The usage block, after the clear and `problem` (red) when there is one.
void PrintUsage(const std::wstring& problem = {});

// A help heading and one message, without clearing what the console shows.
void PrintHelpMessage(const wchar_t* message);

}  // namespace kestrun
