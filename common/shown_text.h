// How a character of untrusted text (a server's, a device's) is shown: every
// sink that prints, logs or copies such text shows it through these.
#pragma once

namespace kestrun {

// Server text reaches the console and the logs with its control characters
// (C0 but TAB, DEL, C1, and the Unicode line and paragraph separators) shown
// as "?": a line break would forge a log row, an escape sequence (8-bit CSI
// U+009B too) would drive the console.
constexpr bool IsControlCharacter(wchar_t c) {
  return (c < 0x20 && c != L'\t') || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029;
}
// The bidirectional controls reorder what follows them: "txt.exe" could be
// drawn as "exe.txt".
constexpr bool IsBidiControl(wchar_t c) {
  return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
         (c >= 0x2066 && c <= 0x2069);
}
constexpr wchar_t ShownCharacter(wchar_t c) {
  return IsControlCharacter(c) || IsBidiControl(c) ? L'?' : c;
}

}  // namespace kestrun
