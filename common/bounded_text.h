// Copies into fixed-capacity text buffers, cutting what does not fit.
#pragma once

#include <cstddef>
#include <cwchar>
#include <string_view>

namespace kestrun {

// Copies at most capacity - 1 characters and always terminates. Returns the
// number of characters copied.
inline size_t CopyBounded(wchar_t* destination, size_t capacity, std::wstring_view source) {
  if (capacity == 0) return 0;
  const size_t kept = source.size() < capacity - 1 ? source.size() : capacity - 1;
  if (kept) std::wmemcpy(destination, source.data(), kept);
  destination[kept] = L'\0';
  return kept;
}

template <size_t N>
size_t CopyBounded(wchar_t (&destination)[N], std::wstring_view source) {
  return CopyBounded(destination, N, source);
}

// Appends to the text already in the buffer, cutting what does not fit.
inline size_t AppendBounded(wchar_t* destination, size_t capacity, std::wstring_view source) {
  const size_t used = std::wcslen(destination);
  if (used >= capacity) return 0;
  return CopyBounded(destination + used, capacity - used, source);
}

template <size_t N>
size_t AppendBounded(wchar_t (&destination)[N], std::wstring_view source) {
  return AppendBounded(destination, N, source);
}

}  // namespace kestrun
