#!/usr/bin/env bash
# Installs, with apt, whatever the build and the tests need and this machine
# lacks. Safe to run again: it does nothing when everything is there.
#
#   scripts/setup.sh           everything (build, tests, Wine)
#   scripts/setup.sh package   only what scripts/package.sh needs
set -euo pipefail

if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
updated=
install() {
    echo "setup: installing $*"
    [ -n "$updated" ] || { $SUDO apt-get update -qq && updated=1; }
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "$@" >/dev/null
}

# Both Windows builds (i686 is the product, x86_64 its 64-bit twin), the
# zip and the Windows Installer packages of the release (wixl, and msitools
# to set what wixl gets wrong), osslsigncode to sign them; then what the tests
# need (openssl makes the signed release's throwaway authority), with Wine's
# 64-bit half, which runs the 64-bit build where 32-bit code cannot run.
need=()
packages=(cmake ninja-build g++-mingw-w64-i686-posix binutils-mingw-w64-i686
          g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 zip wixl msitools
          osslsigncode)
if [ "${1:-}" != package ]; then
    packages+=(g++ make libgtest-dev libgmock-dev googletest
               clang libclang-rt-14-dev valgrind file wine wine64 openssl unzip)
fi
for pkg in "${packages[@]}"; do
    have "$pkg" || need+=("$pkg")
done
[ ${#need[@]} -eq 0 ] || install "${need[@]}"
[ "${1:-}" != package ] || exit 0

# Wine's 32-bit half runs the 32-bit build where the machine executes 32-bit
# code. Without it the Wine suites use the 64-bit build, so failing to get it
# is no reason to stop.
if ! have wine32:i386; then
    if dpkg --print-foreign-architectures | grep -qx i386 ||
       $SUDO dpkg --add-architecture i386; then
        updated=
        install wine32:i386 ||
            echo "setup: wine32 could not be installed; the Wine suites will run the 64-bit build"
    else
        echo "setup: the i386 architecture cannot be added; the Wine suites will run the 64-bit build"
    fi
fi
