// Move-only owners for the Win32 resources Kestrun acquires inside a function.
// Each owner closes its resource once, keeps the caller's last error across the
// close (so a failure code read after the owner dies is still the failure's),
// and hands the raw value out with get(), release() or put().
#pragma once

#include <windows.h>
#include <winspool.h>

#include <utility>

namespace kestrun {

template <typename T>
struct NullIsInvalid {
  static T Value() { return T{}; }
};
struct InvalidHandleIsInvalid {
  static HANDLE Value() { return INVALID_HANDLE_VALUE; }
};

template <typename T, auto Close, typename InvalidValue = NullIsInvalid<T>>
class UniqueAny {
 public:
  UniqueAny() = default;
  explicit UniqueAny(T value) : value_(value) {}
  UniqueAny(const UniqueAny&) = delete;
  UniqueAny& operator=(const UniqueAny&) = delete;
  UniqueAny(UniqueAny&& other) noexcept : value_(other.release()) {}
  UniqueAny& operator=(UniqueAny&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~UniqueAny() { reset(); }

  T get() const { return value_; }
  explicit operator bool() const { return value_ != InvalidValue::Value(); }

  void reset(T value = InvalidValue::Value()) {
    if (value_ != InvalidValue::Value()) {
      const DWORD savedError = ::GetLastError();
      Close(value_);
      ::SetLastError(savedError);
    }
    value_ = value;
  }

  T release() { return std::exchange(value_, InvalidValue::Value()); }

  // For out-parameters: frees what is held and exposes the slot.
  T* put() {
    reset();
    return &value_;
  }

 private:
  T value_ = InvalidValue::Value();
};

namespace detail {
inline void CloseKernelHandle(HANDLE h) { ::CloseHandle(h); }
inline void CloseModule(HMODULE m) { ::FreeLibrary(m); }
inline void CloseLocal(HLOCAL m) { ::LocalFree(m); }
inline void CloseGlobal(HGLOBAL m) { ::GlobalFree(m); }
inline void CloseGdiObject(HGDIOBJ o) { ::DeleteObject(o); }
inline void CloseMenu(HMENU m) { ::DestroyMenu(m); }
inline void CloseIcon(HICON i) { ::DestroyIcon(i); }
inline void CloseWindow(HWND w) { ::DestroyWindow(w); }
inline void CloseFind(HANDLE h) { ::FindClose(h); }
}  // namespace detail

using UniqueHandle = UniqueAny<HANDLE, detail::CloseKernelHandle>;
using UniqueFileHandle = UniqueAny<HANDLE, detail::CloseKernelHandle, InvalidHandleIsInvalid>;
using UniqueModule = UniqueAny<HMODULE, detail::CloseModule>;
using UniqueFind = UniqueAny<HANDLE, detail::CloseFind, InvalidHandleIsInvalid>;
using UniqueLocal = UniqueAny<HLOCAL, detail::CloseLocal>;
using UniqueGlobal = UniqueAny<HGLOBAL, detail::CloseGlobal>;
using UniqueGdiObject = UniqueAny<HGDIOBJ, detail::CloseGdiObject>;
using UniqueMenu = UniqueAny<HMENU, detail::CloseMenu>;
using UniqueIcon = UniqueAny<HICON, detail::CloseIcon>;
using UniqueWindow = UniqueAny<HWND, detail::CloseWindow>;

// A critical section that lives as long as its owner.
class CriticalSection {
 public:
  CriticalSection() { ::InitializeCriticalSection(&section_); }
  ~CriticalSection() { ::DeleteCriticalSection(&section_); }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  void Enter() { ::EnterCriticalSection(&section_); }
  bool TryEnter() { return ::TryEnterCriticalSection(&section_) != FALSE; }
  void Leave() { ::LeaveCriticalSection(&section_); }

 private:
  CRITICAL_SECTION section_;
};

class CriticalSectionLock {
 public:
  explicit CriticalSectionLock(CriticalSection& section) : section_(section) { section_.Enter(); }
  ~CriticalSectionLock() { section_.Leave(); }
  CriticalSectionLock(const CriticalSectionLock&) = delete;
  CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

 private:
  CriticalSection& section_;
};

}  // namespace kestrun
