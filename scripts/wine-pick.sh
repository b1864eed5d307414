# Sourced by every script that runs Windows programs under Wine (the
# end-to-end suite, the Windows unit programs, the demo, the bench). Decides
# which build they run, and how Wine is called for it.
#
# Some machines refuse 32-bit Linux executables, and then Wine's 32-bit
# loader cannot run at all; its 64-bit loader still can, and runs the 64-bit
# build of the same source. So the probe runs each loader once:
#
#   the 32-bit loader executes    -> build win32, WINEARCH=win32
#   only the 64-bit one executes  -> build win64, WINEARCH=win64
#   neither executes              -> wine_pick fails, wine_why says why
#
# TAVRILEX_WINE_BUILD=win32|win64 asks for one build (to try the other path on
# a machine that runs both); TAVRILEX_WINE_DIR names the folder holding the
# loaders `wine` and `wine64` (Debian: /usr/lib/wine). TAVRILEX_WINE_ROOT,
# set by scripts/wine-root.sh run, names a root holding a second Wine: the probe
# and every Wine call then run there, under chroot.
#
# wine_pick sets wine_build, wine_why, wine_triple (the mingw-w64 target of
# the chosen build, for its compiler and binutils), wine_label (the Wine's
# name and major version, "wine8", for step names and work folders) and
# exports WINEARCH and WINELOADER. Afterwards `wine`
# runs the chosen loader and `wineserver` the server, each under a time limit
# ($wine_limit_s, default 120 s) so that a hung program fails its caller
# instead of hanging it.

wine_pick() {
    local dir=${TAVRILEX_WINE_DIR:-/usr/lib/wine} want=${TAVRILEX_WINE_BUILD:-}
    local why32 why64
    wine_chroot=()
    [ -z "${TAVRILEX_WINE_ROOT:-}" ] || wine_chroot=(chroot "$TAVRILEX_WINE_ROOT")
    case $want in
        ""|win32|win64) ;;
        *) wine_why="TAVRILEX_WINE_BUILD is '$want', not win32 or win64"; return 1 ;;
    esac
    why32=$(_wine_runs "$dir/wine") && why32=
    why64=$(_wine_runs "$dir/wine64") && why64=
    if [ -z "$why32" ] && [ "$want" != win64 ]; then
        wine_build=win32
        wine_why="win32: this machine executes 32-bit code"
        [ -n "$want" ] && wine_why="win32: asked for by TAVRILEX_WINE_BUILD"
        WINELOADER=$dir/wine
    elif [ -z "$why64" ] && [ "$want" != win32 ]; then
        wine_build=win64
        if [ -n "$want" ]; then
            wine_why="win64: asked for by TAVRILEX_WINE_BUILD"
        elif [[ $why32 == *" is not installed" ]]; then
            wine_why="win64: Wine's 32-bit half is not installed ($why32)"
        else
            wine_why="win64: this machine cannot execute 32-bit code ($why32)"
        fi
        WINELOADER=$dir/wine64
    else
        case $want in
            win32) wine_why="win32 was asked for, but Wine's 32-bit loader does not run: $why32" ;;
            win64) wine_why="win64 was asked for, but Wine's 64-bit loader does not run: $why64" ;;
            *) wine_why="neither half of Wine runs here: 32-bit: $why32; 64-bit: $why64" ;;
        esac
        return 1
    fi
    export WINEARCH=$wine_build WINELOADER
    wine_label=$("${wine_chroot[@]}" "$WINELOADER" --version 2>/dev/null | sed -n 's/^wine-\([0-9]*\).*/wine\1/p')
    wine_label=${wine_label:-wine}
    case $wine_build in
        win32) wine_triple=i686-w64-mingw32 ;;
        win64) wine_triple=x86_64-w64-mingw32 ;;
    esac
    return 0
}

# For a suite: picks and says which build and why as its first line, or
# reports the failure in the suites' closing form and ends the script.
wine_pick_suite() {
    if ! wine_pick; then
        echo "FAIL setup: $wine_why"
        echo "0 passed, 1 failed"
        exit 1
    fi
    echo "build: $wine_why"
}

# Prints why the loader $1 does not run (nothing, and status 0, when it does).
_wine_runs() {
    local out
    if [ ! -e "${TAVRILEX_WINE_ROOT:-}$1" ]; then echo "$1 is not installed"; return 1; fi
    # Through bash: where the kernel refuses the file, timeout's own exec
    # would hand it to /bin/sh as a script, whose syntax error hides the
    # reason; bash names it ("cannot execute binary file: Exec format error").
    if out=$(timeout 30 "${wine_chroot[@]}" bash -c '"$0" "$@"' "$1" --version 2>&1 </dev/null); then return 0; fi
    out=${out##*: }
    echo "$1: ${out:-does not start}"
    return 1
}

wine() { timeout -k 5 "${wine_limit_s:-120}" "${wine_chroot[@]}" "$WINELOADER" "$@"; }
wineserver() { timeout -k 5 "${wine_limit_s:-120}" "${wine_chroot[@]}" /usr/bin/wineserver "$@"; }

# Does this Wine's SCM notice a service process that dies without reporting,
# as Windows does? Registers the stand-in quorbel $2 (a Unix path) in a fresh
# prefix $1, lets it end its own process 300 ms after its start and prints
# its state and exit code: "STOPPED 1067" where it does (Wine 10), "RUNNING 0"
# where it does not (Wine 8). The prefix is removed again.
wine_crash_probe() (
    export WINEPREFIX=$1 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    rm -rf "$1"
    { wine wineboot -i && wineserver -w && wineserver -p && mkdir -p "$1/drive_c/probe" &&
      cp "$2" "$1/drive_c/probe/stub.exe" && printf crash-ms=300 >"$1/drive_c/probe/behaviour" &&
      wine sc create probe binPath= 'C:\probe\stub.exe probe C:\probe\journal @C:\probe\behaviour' &&
      wine sc start probe && sleep 2; } </dev/null >/dev/null 2>&1
    wine sc query probe </dev/null 2>/dev/null | tr -d '\r' |
        awk '$1 == "STATE" { s = $4 } $1 == "WIN32_EXIT_CODE" { e = $3 } END { print s, e }'
    wineserver -k >/dev/null 2>&1
    wineserver -w >/dev/null 2>&1
    rm -rf "$1"
)

# True when the picked Wine's SCM notices a service process that dies without
# reporting, as Windows does: Wine 10 and later, not Wine 8. Where it does,
# the crash rows must run, and the demo shows its crash.
wine_notices_crash() { local n=${wine_label#wine}; [[ $n =~ ^[0-9]+$ ]] && [ "$n" -ge 10 ]; }
