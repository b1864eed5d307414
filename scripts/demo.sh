#!/usr/bin/env bash
# Builds tavrilex.exe and shows it at work under Wine's service control
# manager, in a throwaway Wine prefix below build/, narrating each step.
#
#   scripts/demo.sh               build the Windows presets, then demo
#   scripts/demo.sh <build root>  demo the executables already built there
#
# It runs the 32-bit build where this machine executes 32-bit code, and the
# 64-bit build of the same source under Wine's 64-bit half where it does not
# (scripts/wine-pick.sh); it says which and why.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD

say() { printf '\n%s\n' "$*"; }
step() { printf '\n== %s\n' "$*"; }
die() { printf '\ndemo stopped: %s\n' "$*" >&2; exit 1; }
now_ms() { echo $(( $(date +%s%N) / 1000000 )); }

# ---------------------------------------------------------------------------
step "Building"
bash scripts/setup.sh || die "could not install the build tools"
source scripts/wine-pick.sh
wine_pick || die "$wine_why"
if [ $# -ge 1 ]; then
    builds=$(cd "$1" && pwd) || die "no such build folder: $1"
    say "Using the executables already built in $builds."
else
    builds=$root/build
    say "Cross-compiling tavrilex.exe for 32-bit Windows with mingw-w64 (cmake preset win32),
and the same source for 64-bit Windows (preset win64)."
    for preset in win32 win64; do
        { cmake --preset $preset >/dev/null && cmake --build --preset $preset; } ||
            die "the $preset build failed"
    done
fi
build=$builds/$wine_build
say "Running the $wine_build build ($wine_why)."
exe=$build/tavrilex.exe
stub=$build/tests/e2e/quorbel_stub.exe
[ -f "$exe" ] && [ -f "$stub" ] || die "$exe or $stub is missing"

# ---------------------------------------------------------------------------
export WINEPREFIX=$root/build/demo/prefix
wine_limit_s=60   # per wine call; a hung one ends the demo instead of hanging it
export WINEDLLOVERRIDES="mscoree,mshtml="   # no Mono/Gecko install prompts
export WINEDEBUG=-all
unset DISPLAY WAYLAND_DISPLAY
events=$root/build/demo/services.err

finish() {
    wineserver -k >/dev/null 2>&1
    wineserver -w >/dev/null 2>&1
    rm -rf "$WINEPREFIX"
}
trap finish EXIT
trap 'exit 130' INT TERM

sc() { wine sc "$@" </dev/null 2>/dev/null; }
state() {
    local n
    n=$(sc query "$1" | sed -n 's/^ *STATE *: *\([0-9][0-9]*\).*/\1/p' | head -n 1)
    case $n in
        1) echo STOPPED ;; 2) echo START_PENDING ;; 3) echo STOP_PENDING ;;
        4) echo RUNNING ;; "") echo "not registered" ;; *) echo "state $n" ;;
    esac
}
# Waits up to $3 ms for service $1 to be in state $2; prints the ms waited.
wait_for() {
    local start elapsed
    start=$(now_ms)
    while :; do
        elapsed=$(( $(now_ms) - start ))
        [ "$(state "$1")" = "$2" ] && { echo "$elapsed"; return 0; }
        [ "$elapsed" -gt "$3" ] && { echo "$elapsed"; return 1; }
        sleep 0.05
    done
}
# How many times the stand-in quorbel has come up (it notes each start).
quorbel_starts() {
    tr -d '\r' <"$WINEPREFIX/drive_c/Tavrilex/quorbel.journal" 2>/dev/null | grep -c '^running '
}
seconds() { printf '%d.%d s' $(( $1 / 1000 )) $(( $1 % 1000 / 100 )); }

step "A throwaway Windows to run it in"
say "Wine runs Windows programs on Linux and has its own service control manager,
the part of Windows that starts and stops services. A fresh Wine 'prefix' (a
small Windows installation of its own) is made in build/demo/prefix."
finish
mkdir -p "$root/build/demo"
: >"$events"
# Made and shut down once first: services started while a new prefix is still
# being filled in do not find their database.
{ wine wineboot -i </dev/null >/dev/null 2>&1 && wineserver -w; } || die "the Wine prefix could not be made"
wineserver -p </dev/null >/dev/null 2>&1   # keep it alive between commands
# Wine has no Event Viewer: an error event is printed as a debug line on the
# standard error of the services, which is this file.
WINEDEBUG=-all,err+eventlog wine cmd /c exit </dev/null >/dev/null 2>>"$events" ||
    die "the Wine prefix did not boot"
mkdir -p "$WINEPREFIX/drive_c/Tavrilex"
cp "$exe" "$stub" "$WINEPREFIX/drive_c/Tavrilex/"
say "Ready. The program is at C:\\Tavrilex\\tavrilex.exe inside it."

# ---------------------------------------------------------------------------
step "The service to watch: quorbel"
say "Tavrilex watches a service named quorbel. Here quorbel is a tiny stand-in
service that does nothing but run until it is told to stop. It is registered
to start only on request (start= demand), so only Tavrilex will start it."
sc create quorbel binPath= 'C:\Tavrilex\quorbel_stub.exe quorbel C:\Tavrilex\quorbel.journal' start= demand
say "quorbel is now: $(state quorbel)"

step "Installing Tavrilex"
say "\$ tavrilex.exe -install"
wine 'C:\Tavrilex\tavrilex.exe' -install </dev/null | tr -d '\r' | sed 's/^/  /'
say "Its registration (the service control manager's record of it):"
wine reg query 'HKLM\System\CurrentControlSet\Services\Tavrilex' </dev/null 2>/dev/null |
    tr -d '\r' | grep -E 'ImagePath|Start|Type|ObjectName|DisplayName' | sed 's/^ */  /'
say "Start 0x2 means it starts by itself whenever Windows starts; Type 0x10 that
it runs in a process of its own; LocalSystem is the account it runs as.
Installing does not start it, so right now Tavrilex is: $(state Tavrilex)"

step "Starting Tavrilex"
say "\$ sc start Tavrilex"
sc start Tavrilex >/dev/null
up=$(wait_for Tavrilex RUNNING 5000) || die "Tavrilex did not start"
say "Tavrilex is $(state Tavrilex). Every 5 seconds it asks whether quorbel is
running and asks for it to be started if it is not."
took=$(wait_for quorbel RUNNING 6000) || die "quorbel was not started"
say "quorbel is $(state quorbel): Tavrilex started it within $(seconds "$took") of coming up."

step "Stopping quorbel, three times"
say "Each time quorbel is stopped, Tavrilex should bring it back at its next
check, so within about 5 seconds."
for i in 1 2 3; do
    sleep "$i.5"   # stop it at a different moment of the 5-second cycle
    before=$(quorbel_starts)
    start=$(now_ms)
    sc stop quorbel >/dev/null
    back=""
    while [ $(( $(now_ms) - start )) -le 6000 ]; do
        if [ "$(quorbel_starts)" -gt "$before" ] && [ "$(state quorbel)" = RUNNING ]; then
            back=$(( $(now_ms) - start ))
            break
        fi
        sleep 0.05
    done
    if [ -n "$back" ]; then
        printf '  stop %d: quorbel was running again after %s\n' "$i" "$(seconds "$back")"
    else
        printf '  stop %d: quorbel was NOT back within 6 s\n' "$i"
    fi
done

step "When a check fails: the event log"
say "Now quorbel's registration is deleted, so Tavrilex's checks fail: it cannot
open a service that does not exist (Windows error 1060). A failed check is
written to the Windows event log as an error record under the source name
Tavrilex: the first failure at once, and while the failure lasts, every second
check (every 10 seconds), so the log is not flooded."
sc delete quorbel    # marked for deletion; it goes once it has stopped
sc stop quorbel >/dev/null
start=$(now_ms)
seen=0
say "Watching the event records for up to 20 seconds:"
while [ $(( $(now_ms) - start )) -lt 20000 ] && [ "$seen" -lt 2 ]; do
    records=$(grep -c 'err:eventlog:ReportEventW L"Kelvarund' "$events")
    while [ "$seen" -lt "$records" ]; do
        seen=$((seen + 1))
        text=$(grep 'err:eventlog:ReportEventW L"Kelvarund' "$events" | sed -n "${seen}p" |
               sed 's/^[^"]*L"//; s/"$//')
        printf '  after %s: error event, source "Tavrilex", text "%s"\n' \
            "$(seconds $(( $(now_ms) - start )))" "$text"
    done
    sleep 0.1
done
[ "$seen" -ge 2 ] || say "(only $seen record(s) appeared)"
say "(On Windows these records appear in Event Viewer, Windows Logs > Application.)"

step "Removing Tavrilex"
say "\$ tavrilex.exe -remove"
wine 'C:\Tavrilex\tavrilex.exe' -remove </dev/null | tr -d '\r' | sed 's/^/  /'
say "The registration is deleted. The running Tavrilex accepts no stop request
(only the shutdown of the machine), so it goes on until the next restart; it is
still $(state Tavrilex) here, marked for deletion. Ending the throwaway prefix now."
finish
trap - EXIT

step "Done"
say "The executables: $builds/win32/tavrilex.exe (32-bit, runs on every Windows)
and $builds/win64/tavrilex.exe (the same program built for 64-bit Windows).
The demo ran the $wine_build one. On Windows, from an elevated prompt:
  tavrilex.exe -install   then   sc start Tavrilex   (or restart Windows)
  tavrilex.exe -remove    to take it away again."
