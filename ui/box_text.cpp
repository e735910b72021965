#include "ui/box_text.h"

#include <algorithm>

#include "common/win32_handles.h"
#include "ui/controls.h"

namespace kestrun {

namespace {

// A line cut, with "…", to `width` pixels as `dc` draws it.
std::wstring CutToWidth(HDC dc, std::wstring line, int width) {
  SIZE size = {};
  const auto fits = [&](size_t length) {
    std::wstring cut = line.substr(0, length) + (length < line.size() ? L"\u2026" : L"");
    return ::GetTextExtentPoint32W(dc, cut.c_str(), static_cast<int>(cut.size()), &size) &&
           size.cx <= width;
  };
  if (fits(line.size())) return line;
  size_t low = 0, high = line.size();  // fits(low), !fits(high)
  while (high - low > 1) {
    const size_t middle = (low + high) / 2;
    (fits(middle) ? low : high) = middle;
  }
  if (low > 0 && IS_HIGH_SURROGATE(line[low - 1])) --low;
  return line.substr(0, low) + L"\u2026";
}

}  // namespace

// Appends the sections in their order, at most `listed` lines in all:
// each keeps one line for every later section, and a section that is cut ends
// with "and N more".
void AppendSections(std::wstring& text, const std::vector<Section>& sections, size_t listed) {
  size_t later = 0;
  for (const Section& section : sections) later += section.lines.empty() ? 0 : 1;
  size_t room = std::max(listed, later);  // every section says at least "and N more"
  for (const Section& section : sections) {
    if (section.lines.empty()) continue;
    --later;
    const size_t available = room - later;
    const bool cut = section.lines.size() > available;
    const size_t shown = cut ? available - 1 : section.lines.size();
    if (section.header != nullptr) text += std::wstring(L"\n\n") + section.header;
    for (size_t i = 0; i < shown; ++i) text += L'\n' + section.lines[i];
    if (cut) text += L"\nand " + std::to_wstring(section.lines.size() - shown) + L" more";
    room -= cut ? available : shown;
  }
}

// Every line at most kLineLengthLimit characters: a longer one ends in "…".
std::wstring BoundLines(std::wstring_view text) {
  std::wstring bounded;
  bounded.reserve(text.size());
  while (!text.empty()) {
    const size_t end = std::min(text.find(L'\n'), text.size());
    std::wstring_view line = text.substr(0, end);
    if (line.size() > kLineLengthLimit) {
      size_t keep = kLineLengthLimit - 1;
      if (IS_HIGH_SURROGATE(line[keep - 1])) --keep;  // never half a character
      bounded.append(line.substr(0, keep)).append(L"\u2026");
    } else {
      bounded.append(line);
    }
    if (end < text.size()) bounded += L'\n';
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  return bounded;
}

// The text with as many listed lines as fit the main window's monitor in the
// message font: each line cut to half the work area's width, and lines dropped
// from the lists until the text fits its height with the caption and buttons.
// A message box sizes itself by wrapping its text at a width of its own (Wine
// at its template's 176 dialog units, Windows wider), so the text is measured
// wrapped at that width.
std::wstring FitToScreen(const std::function<std::wstring(size_t)>& compose) {
  NONCLIENTMETRICSW metrics = {};
  metrics.cbSize = sizeof(metrics);
  MONITORINFO monitor = {};
  monitor.cbSize = sizeof(monitor);
  if (!::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0) ||
      !::GetMonitorInfoW(::MonitorFromWindow(MainWindow(), MONITOR_DEFAULTTOPRIMARY), &monitor)) {
    return compose(kListedLinesLimit);
  }
  const UniqueGdiObject font(::CreateFontIndirectW(&metrics.lfMessageFont));
  const HDC dc = ::GetDC(nullptr);
  const HGDIOBJ previous = ::SelectObject(dc, font.get());
  TEXTMETRICW text = {};
  ::GetTextMetricsW(dc, &text);
  const int lineHeight = std::max<int>(1, text.tmHeight + text.tmExternalLeading);
  const RECT& work = monitor.rcWork;
  // The caption, the buttons and the margins take about eight lines.
  const int room = work.bottom - work.top - 8 * lineHeight;
  const int wrapWidth = ::MulDiv(176, text.tmAveCharWidth, 4);
  std::wstring fitted;
  for (size_t listed = kListedLinesLimit;; --listed) {
    std::wstring_view composed;
    const std::wstring whole = compose(listed);
    composed = whole;
    fitted.clear();
    while (true) {
      const size_t end = composed.find(L'\n');
      fitted += CutToWidth(dc, std::wstring(composed.substr(0, end)), (work.right - work.left) / 2);
      if (end == std::wstring_view::npos) break;
      fitted += L'\n';
      composed.remove_prefix(end + 1);
    }
    RECT measured = {0, 0, wrapWidth, 0};
    ::DrawTextW(dc, fitted.c_str(), static_cast<int>(fitted.size()), &measured,
                DT_LEFT | DT_EXPANDTABS | DT_WORDBREAK | DT_CALCRECT | DT_NOPREFIX);
    if (measured.bottom <= room || listed == 0) break;
  }
  ::SelectObject(dc, previous);
  ::ReleaseDC(nullptr, dc);
  return fitted;
}

}  // namespace kestrun
