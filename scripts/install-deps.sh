#!/usr/bin/env bash
# Installs what the build and the tests need, when it is missing (Debian 12).
set -euo pipefail

packages=(
  cmake make
  # posix thread model: the tests (GoogleTest needs it); win32 thread model:
  # the shipped programs.  Both for 64-bit and 32-bit Windows.
  gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  gcc-mingw-w64-x86-64-win32 g++-mingw-w64-x86-64-win32
  gcc-mingw-w64-i686-posix g++-mingw-w64-i686-posix binutils-mingw-w64-i686
  gcc-mingw-w64-i686-win32 g++-mingw-w64-i686-win32
  # the release checks read the programs and the package with a Python script
  python3
  # the Windows Installer packages: built with wixl, read and checked with
  # msitools (msiinfo, msiextract, msibuild)
  wixl msitools
  # 64-bit Wine runs the 64-bit build; with 32-bit Wine beside it (an i386
  # package), wine64 runs the 32-bit build in the same prefix.
  wine wine64 wine32:i386
  googletest
  util-linux procps
)

as_root=()
[ "$(id -u)" -ne 0 ] && as_root=(sudo)
export DEBIAN_FRONTEND=noninteractive

# wine32:i386 needs the i386 architecture; adding it once is enough.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${as_root[@]}" dpkg --add-architecture i386
fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
"${as_root[@]}" apt-get update
"${as_root[@]}" apt-get install -y "${missing[@]}"
