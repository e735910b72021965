#include "ui/dpi.h"

#include "res/ids.h"

namespace kestrun {

namespace {

constexpr int kDialogIconSize = 32;  // a large icon at 96 DPI
constexpr wchar_t kDialogIconProperty[] = L"Kestrun.DialogIcon";

// The static control that shows a dialog's icon, or null.
HWND IconControl(HWND dialog) {
  for (HWND child = ::GetWindow(dialog, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
    wchar_t className[16] = {};
    ::GetClassNameW(child, className, 16);
    if (lstrcmpiW(className, L"Static") == 0 &&
        (::GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
      return child;
    }
  }
  return nullptr;
}

}  // namespace

int ScaleForDpi(int value, UINT dpi) {
  return ::MulDiv(value, static_cast<int>(dpi), static_cast<int>(kBaseDpi));
}

UINT SystemDpi() {
  HDC screen = ::GetDC(nullptr);
  const int dpi = screen ? ::GetDeviceCaps(screen, LOGPIXELSX) : 0;
  if (screen) ::ReleaseDC(nullptr, screen);
  return dpi > 0 ? static_cast<UINT>(dpi) : kBaseDpi;
}

UINT WindowDpi(HWND window) {
  using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
  static const auto getDpiForWindow =
      reinterpret_cast<GetDpiForWindowFunction>(reinterpret_cast<void*>(
          ::GetProcAddress(::GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
  if (getDpiForWindow && window) {
    if (const UINT dpi = getDpiForWindow(window)) return dpi;
  }
  return SystemDpi();
}

HFONT CreateGuiFontForDpi(UINT dpi) {
  const auto stock = static_cast<HFONT>(::GetStockObject(DEFAULT_GUI_FONT));
  const UINT stockDpi = SystemDpi();
  LOGFONTW font = {};
  if (dpi == stockDpi || ::GetObjectW(stock, sizeof(font), &font) != sizeof(font)) return stock;
  font.lfHeight = ::MulDiv(font.lfHeight, static_cast<int>(dpi), static_cast<int>(stockDpi));
  font.lfWidth = ::MulDiv(font.lfWidth, static_cast<int>(dpi), static_cast<int>(stockDpi));
  const HFONT scaled = ::CreateFontIndirectW(&font);
  return scaled ? scaled : stock;
}

HICON LoadIconForDpi(HINSTANCE instance, int resource, int size96, UINT dpi) {
  const int size = ScaleForDpi(size96, dpi);
  return static_cast<HICON>(
      ::LoadImageW(instance, MAKEINTRESOURCEW(resource), IMAGE_ICON, size, size, 0));
}

void FitDialogIcon(HWND dialog, UINT dpi) {
  // At the system's DPI the template's own icon has the right size.
  if (::GetPropW(dialog, kDialogIconProperty) == nullptr && dpi == SystemDpi()) return;
  const HWND control = IconControl(dialog);
  if (control == nullptr) return;
  const auto instance = reinterpret_cast<HINSTANCE>(::GetWindowLongPtrW(dialog, GWLP_HINSTANCE));
  const HICON icon = LoadIconForDpi(instance, IDI_APP, kDialogIconSize, dpi);
  if (icon == nullptr) return;
  ::SendMessageW(control, STM_SETICON, reinterpret_cast<WPARAM>(icon), 0);
  ReleaseDialogIcon(dialog);  // the one shown before, if this code loaded it
  ::SetPropW(dialog, kDialogIconProperty, icon);
}

void ReleaseDialogIcon(HWND dialog) {
  if (const auto icon = static_cast<HICON>(::RemovePropW(dialog, kDialogIconProperty))) {
    ::DestroyIcon(icon);
  }
}

}  // namespace kestrun
