#!/usr/bin/env bash
# Installs what building and testing Kestrun on Debian 12 needs: the MinGW-w64
# cross compiler (posix threads), CMake, GoogleTest's sources, Wine, Xvfb,
# ImageMagick, and clang, clang-tidy and cppcheck for the source checks. Does
# nothing when everything is already there.
set -euo pipefail

packages=(g++-mingw-w64-x86-64-posix mingw-w64-tools binutils-mingw-w64-x86-64 cmake make
          googletest wine wine64 xvfb xauth imagemagick xdotool clang clang-tidy cppcheck)

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
