// Runs a program attached to this test's own console and reads back what it
// left there, characters and colours, the way a user would see them.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <string_view>
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

// Starts the command with the test's own console, cleared, without waiting;
// FinishInConsole waits for it and reads the console back.
HANDLE StartInConsole(const std::wstring& commandLine, const Environment& environment = {},
                      HANDLE output = nullptr);
ConsoleRun FinishInConsole(HANDLE process, DWORD timeoutMs = 60000);

// Clears the test's own console, lets `write` write to it, and reads it back.
ConsoleRun CaptureConsole(const std::function<void(HANDLE output)>& write);

// A virtual-terminal program colours its text with SGR sequences. Wine's
// console keeps them as characters (it hands them on to a terminal rather than
// reading them); on Windows the console reads them and none are left. This
// takes them out of the lines and colours what follows them, as a terminal
// shows it; `defaultAttributes` are the colours SGR 0 stands for.
void ApplyColourSequences(std::vector<std::vector<ConsoleCell>>& lines, WORD defaultAttributes);

// The attributes after one SGR sequence with these parameters ("91", "0;97;40").
WORD ApplySgr(WORD current, std::wstring_view parameters, WORD defaultAttributes);

// The screen a terminal shows for the bytes (UTF-8) a console host sent it: the
// characters with their colours as console attributes (SGR 0 and the default
// colours stand for `defaultAttributes`). It follows what Wine's console host
// and Kestrun send: SGR, erase to the line's end, cursor moves (rows counted
// from where the bytes begin) and steps forward, CR, LF and backspace; cursor
// visibility is ignored, and any other escape stays on the screen as characters.
std::vector<std::vector<ConsoleCell>> DecodeTerminal(std::string_view bytes,
                                                     WORD defaultAttributes);

// The terminal transcript of a test run inside a pseudo-terminal (script's
// typescript, named by KESTRUN_TERMINAL_TRANSCRIPT); Available() is false
// outside one. Marks are lines the test writes to its console; Between waits
// until the second mark has reached the transcript and decodes what lies
// between the two, the second mark included.
class TerminalTranscript {
 public:
  static bool Available();
  void Mark(const std::string& name) const;
  ConsoleRun Between(const std::string& from, const std::string& to, WORD defaultAttributes,
                     DWORD timeoutMs = 30000) const;
};

// Leaves the test without a console, so programs it starts find none to attach to.
void DetachConsole();

// Starts a command without waiting; the caller owns the process handle. An
// inheritable `output` becomes its standard output and error.
HANDLE StartProcess(const std::wstring& commandLine, const Environment& environment = {},
                    HANDLE output = nullptr);

}  // namespace kestrun::testing
