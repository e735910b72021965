// Runs a program attached to this test's own console and reads back what it
// left there, characters and colours, the way a user would see them.
#pragma once

#include <windows.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace kestrun::testing {

struct ConsoleCell {
  wchar_t character;
  WORD attributes;
};

struct ConsoleRun {
  bool started = false;
  bool finished = false;
  DWORD exitCode = 0;
  std::vector<std::vector<ConsoleCell>> lines;  // trailing blanks trimmed

  std::wstring Text() const;  // the lines joined with "\n"
  // The colour of the first character of the first occurrence of `text`;
  // 0 when it is not on the screen.
  WORD ColourOf(const std::wstring& text) const;
};

using Environment = std::vector<std::pair<std::wstring, std::wstring>>;

// Gives the test process a console of its own (once), clears it, starts the
// command with it and waits up to `timeoutMs`.
ConsoleRun RunInConsole(const std::wstring& commandLine, const Environment& environment = {},
                        DWORD timeoutMs = 60000);

// Leaves the test without a console, so programs it starts find none to attach to.
void DetachConsole();

// Starts a command without waiting; the caller owns the process handle.
HANDLE StartProcess(const std::wstring& commandLine, const Environment& environment = {});

}  // namespace kestrun::testing
