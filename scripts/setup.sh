#!/usr/bin/env bash
# Installs, with apt, whatever the build and the tests need and this machine
# lacks. Safe to run again: it does nothing when everything is there.
#
#   scripts/setup.sh           everything (build, tests, Wine)
#   scripts/setup.sh package   only what scripts/package.sh needs
set -euo pipefail

need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

# The release: both Windows presets and the zip.
packages=(cmake ninja-build g++-mingw-w64-i686-posix binutils-mingw-w64-i686
          g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 zip)
if [ "${1:-}" != package ]; then
    packages+=(g++ make libgtest-dev libgmock-dev googletest
               clang libclang-rt-14-dev valgrind file)
fi
for pkg in "${packages[@]}"; do
    have "$pkg" || need+=("$pkg")
done
if [ "${1:-}" != package ]; then
    # Wine runs the real exe; its 32-bit half needs the i386 architecture.
    have wine || need+=(wine)
    if ! have wine32:i386; then
        if ! dpkg --print-foreign-architectures | grep -qx i386; then
            echo "setup: enabling the i386 architecture for wine32"
            dpkg --add-architecture i386
        fi
        need+=(wine32:i386)
    fi
fi

if [ ${#need[@]} -gt 0 ]; then
    echo "setup: installing ${need[*]}"
    if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}" >/dev/null
fi
