#!/usr/bin/env bash
# Installs what building and testing Kestrun on Debian 12 needs: the MinGW-w64
# cross compiler (posix threads), CMake, GoogleTest's sources, Wine, Xvfb,
# ImageMagick, clang, clang-tidy and cppcheck for the source checks, and the
# IPP Everywhere reference printer with the avahi-daemon and system D-Bus it
# needs, for the device probe's tests. Does nothing when everything is
# already there.
set -euo pipefail

packages=(g++-mingw-w64-x86-64-posix mingw-w64-tools binutils-mingw-w64-x86-64 cmake make
          googletest wine wine64 xvfb xauth imagemagick xdotool clang clang-tidy cppcheck
          cups-ipp-utils avahi-daemon dbus)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
echo "Installing: ${missing[*]}"
"${as_root[@]}" apt-get update -q
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
