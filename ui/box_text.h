// The texts of Kestrun's long message boxes (a deletion's or a restore's
// question and outcome): lists in sections, each line and the whole box kept
// within what the screen shows.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrun {

// At most this many listed lines in all ("and N more" lines included), each
// line at most this many characters ("…" included).
constexpr size_t kListedLinesLimit = 40;
constexpr size_t kLineLengthLimit = 120;

// One part of a box's list: a header (none in the outcome) and its lines.
struct Section {
  const wchar_t* header;
  std::vector<std::wstring> lines;
};

// Appends the sections in their order, at most `listed` lines in all: each
// keeps one line for every later section, and a section that is cut ends
// with "and N more".
void AppendSections(std::wstring& text, const std::vector<Section>& sections, size_t listed);

// Every line at most kLineLengthLimit characters: a longer one ends in "…".
std::wstring BoundLines(std::wstring_view text);

// The text with as many listed lines as fit the main window's monitor in the
// message font (`compose` makes it for a number of listed lines).
std::wstring FitToScreen(const std::function<std::wstring(size_t)>& compose);

}  // namespace kestrun
