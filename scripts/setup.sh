#!/usr/bin/env bash
# Installs, with apt, whatever the build and the tests need and this machine
# lacks. Safe to run again: it does nothing when everything is there.
#
#   scripts/setup.sh           everything (build, tests, Wine)
#   scripts/setup.sh package   only what scripts/package.sh needs
#   scripts/setup.sh root      only what scripts/wine-root.sh needs to make its root
#
# A failed index update is only a warning: a mirror may serve one stale index
# while the rest is fine. Only a failed install stops it, with one line naming
# the package and apt's reason.
set -euo pipefail

if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
updated=
err=$(mktemp)
trap 'rm -f "$err"' EXIT
# The first line of apt's complaint that says why.
reason() { grep -m 1 -E 'Depends:|^E:' "$err" | sed -E 's/^E: //; s/^ +//' || true; }
apt_install() { DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "$@" >/dev/null 2>"$err"; }
install() {
    echo "setup: installing $*"
    if [ -z "$updated" ]; then
        updated=1
        $SUDO apt-get update -qq >/dev/null 2>"$err" ||
            echo "setup: warning: the package index update failed ($(reason)); installing from the lists at hand"
    fi
    apt_install "$@" && return 0
    # Which one: each alone, so that the line names it.
    local pkg
    for pkg; do
        have "$pkg" || apt_install "$pkg" || { echo "setup: cannot install $pkg: $(reason)"; return 1; }
    done
}

# Both Windows builds (i686 is the product, x86_64 its 64-bit twin), the
# zip and the Windows Installer packages of the release (wixl, and msitools
# to set what wixl gets wrong), osslsigncode to sign them; then what the tests
# need (openssl makes the signed release's throwaway authority), with Wine's
# 64-bit half, which runs the 64-bit build where 32-bit code cannot run.
need=()
if [ "${1:-}" = root ]; then
    have debootstrap || install debootstrap
    exit 0
fi
packages=(cmake ninja-build g++-mingw-w64-i686-posix binutils-mingw-w64-i686
          g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 zip wixl msitools
          osslsigncode)
if [ "${1:-}" != package ]; then
    packages+=(g++ make libgtest-dev libgmock-dev googletest
               clang libclang-rt-dev valgrind wine wine64 openssl unzip python3)
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
            echo "setup: so the Wine suites will run the 64-bit build"
    else
        echo "setup: the i386 architecture cannot be added; the Wine suites will run the 64-bit build"
    fi
fi
