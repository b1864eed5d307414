#!/usr/bin/env bash
# The choice of Wine half (scripts/wine-pick.sh), with stand-in loaders that
# run or fail as the real ones do on each kind of machine, and the static
# image check refusing a file of the other bitness.
#
#   tests/e2e/wine-pick-test.sh [build root, default build]
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
builds=${1:-$here/../../build}
source "$here/../../scripts/wine-pick.sh"

passed=0
failed=0
check() {
    if [ "$2" = "$3" ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL $1: expected [$2], got [$3]"
    fi
}

loaders=$(mktemp -d)
trap 'rm -rf "$loaders"' EXIT
# Stand-in loaders: one that runs, and one the kernel refuses (an ELF header
# for a machine no kernel knows), as it refuses Wine's 32-bit loader where
# 32-bit code cannot run.
stand_in() {
    case $1 in
        runs) printf '#!/bin/bash\necho wine-10.0\n' ;;
        refused) printf '\177ELF\2\1\1\0\0\0\0\0\0\0\0\0\2\0\377\377\1\0\0\0' ;;
    esac >"$2"
    chmod +x "$2"
}

# One row per machine: 32-bit loader, 64-bit loader, build asked for, then the
# expected status, build, WINEARCH, loader and a pattern of the reason.
while IFS='|' read -r w32 w64 want status build arch loader why; do
    rm -f "$loaders"/*
    [ "$w32" = absent ] || stand_in "$w32" "$loaders/wine"
    [ "$w64" = absent ] || stand_in "$w64" "$loaders/wine64"
    row="32-bit $w32, 64-bit $w64${want:+, asked $want}"
    (
        WINEARCH= WINELOADER= wine_build= wine_why=
        TAVRILEX_WINE_DIR=$loaders TAVRILEX_WINE_BUILD=$want wine_pick
        echo "$?|${wine_build:-}|${WINEARCH:-}|${WINELOADER##*/}|$wine_why"
    ) >"$loaders/out"
    IFS='|' read -r got_status got_build got_arch got_loader got_why <"$loaders/out"
    check "$row: status" "$status" "$got_status"
    check "$row: build" "$build" "$got_build"
    check "$row: WINEARCH" "$arch" "$got_arch"
    check "$row: loader" "$loader" "$got_loader"
    [[ $got_why == $why ]] && got_why=$why
    check "$row: reason" "$why" "$got_why"
done <<'ROWS'
runs|runs||0|win32|win32|wine|win32: this machine executes 32-bit code
refused|runs||0|win64|win64|wine64|win64: this machine cannot execute 32-bit code (*/wine: Exec format error)
absent|runs||0|win64|win64|wine64|win64: Wine's 32-bit half is not installed (*/wine is not installed)
runs|runs|win64|0|win64|win64|wine64|win64: asked for by TAVRILEX_WINE_BUILD
refused|refused||1||||neither half of Wine runs here: 32-bit: */wine: Exec format error; 64-bit: */wine64: Exec format error
refused|runs|win32|1||||win32 was asked for, but Wine's 32-bit loader does not run: */wine: Exec format error
ROWS

# Where no Wine runs, test.sh still ends with its failed steps and total; a
# pattern that selects no step is no pass.
rm -f "$loaders"/*
got=$(TAVRILEX_STEPS='^e2e-wine-none$' TAVRILEX_WINE_DIR=$loaders TAVRILEX_ROOT_DIR=$loaders/none \
      bash "$here/../../scripts/test.sh" 2>&1 | tail -n 2)
check "test.sh without Wine" $'FAILED steps: e2e-wine-none\ntotal: 0 passed, 1 failed' "$got"
got=$(TAVRILEX_STEPS=no-such-step TAVRILEX_WINE_DIR=$loaders bash "$here/../../scripts/test.sh" 2>&1; echo "rc $?")
[[ $got == *"selects no step; the steps: setup unit-native "*"FAILED steps: none-selected"*"rc 1" ]] && got=refused
check "test.sh selecting no step" refused "$got"
# A stale index fails the update and the install goes on; a failed install says
# which and why. apt-get and dpkg-query are stand-ins.
printf '#!/bin/sh\necho "$*" >>%q/apt.log\n[ "$1" = install ] || { echo "E: Mirror sync in progress?" >&2; exit 100; }\n[ -z "$REFUSE" ] || { echo "E: Unable to locate package $4" >&2; exit 100; }\n' \
    "$loaders" >"$loaders/apt-get"
printf '#!/bin/sh\nexit 1\n' >"$loaders/dpkg-query"
chmod +x "$loaders/apt-get" "$loaders/dpkg-query"
got=$(PATH=$loaders:$PATH REFUSE= bash "$here/../../scripts/setup.sh" root 2>&1; echo "rc $?"; grep -c install "$loaders/apt.log")
check "setup.sh after a failed update" $'setup: installing debootstrap\nsetup: warning: the package index update failed (Mirror sync in progress?); installing from the lists at hand\nrc 0\n1' "$got"
got=$(PATH=$loaders:$PATH REFUSE=1 bash "$here/../../scripts/setup.sh" root 2>&1 | tail -n 1)
check "setup.sh, a refused install" "setup: cannot install debootstrap: Unable to locate package debootstrap" "$got"
# wine-root.sh make never deletes a folder that it did not make.
mkdir -p "$loaders/found" && echo keep >"$loaders/found/file"
got=$(TAVRILEX_ROOT_DIR=$loaders/found bash "$here/../../scripts/wine-root.sh" make 2>&1; echo "rc $?"; cat "$loaders/found/file")
[[ $got == *"was not made by this script"*$'\nrc 1\nkeep' ]] && got=refused
check "wine-root.sh make over a folder it did not make" refused "$got"
# A root is ready when a loader runs in it, as the probe finds it: here the
# kernel refuses the 32-bit one.
fake=$loaders/root
mkdir -p "$fake"/{proc,sys,dev,usr/lib/wine} && : >"$fake/.tavrilex-made" && : >"$fake/.tavrilex-installed"
for f in /bin/bash $(ldd /bin/bash | grep -o '/[^ ]*'); do cp -L --parents "$f" "$fake"; done
stand_in refused "$fake/usr/lib/wine/wine" && stand_in runs "$fake/usr/lib/wine/wine64"
got=$(TAVRILEX_ROOT_DIR=$fake TAVRILEX_ROOT_RELEASE=trixie bash "$here/../../scripts/wine-root.sh" make 2>&1 >/dev/null; cat "$fake/.tavrilex-stamp")
check "a root whose 32-bit loader is refused" "wine-10.0, build win64" "$got"

# Each bitness's file is refused as the other's.
for pair in win32:win64 win64:win32; do
    file=$builds/${pair%%:*}/tavrilex.exe
    if [ -f "$file" ]; then
        "$here/check-image.sh" "$file" "${pair#*:}" >/dev/null
        check "the ${pair%%:*} file checked as ${pair#*:}" 1 "$?"
    else
        failed=$((failed + 1))
        echo "FAIL $file is missing"
    fi
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
