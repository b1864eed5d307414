#!/usr/bin/env bash
# Builds tavrilex.exe and shows it at work under Wine's service control
# manager, in a throwaway Wine prefix below build/, narrating each step.
#
#   scripts/demo.sh               build the Windows presets, then demo
#   scripts/demo.sh <build root>  demo the executables already built there
#
# It runs the 32-bit build where this machine executes 32-bit code, and the
# 64-bit build of the same source under Wine's 64-bit half where it does not
# (scripts/wine-pick.sh); it says which and why. The crash shows under a Wine
# that notices one (Wine 10): this machine's own on Debian 13, on Debian 12
# the one in a root of Debian 13 (scripts/wine-root.sh); it says which.
#
# It ends with a non-zero status, saying why, when quorbel is not running
# again within 6 s of any of its stops.
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
# A crash shows only where the SCM notices a service process that dies, as
# in Wine 10: this machine's own Wine on Debian 13, else the one in a root of
# Debian 13, made on first use (scripts/wine-root.sh).
if [ -z "${TAVRILEX_WINE_ROOT:-}" ] && ! wine_notices_crash; then
    say "This machine's $wine_label does not notice a crashed service; Wine 10 does, as Windows
does. Making (or reusing) a root of the other Debian release with its Wine."
    mkdir -p "$root/build"
    # Its progress shows; its reason, when it cannot, is its last line on stderr.
    if [ "$(bash scripts/wine-root.sh label 2>&1)" != wine10 ]; then
        echo "wine-root: its Wine is $(bash scripts/wine-root.sh label 2>&1), not Wine 10" >"$root/build/wine-root-make.err"
    elif bash scripts/wine-root.sh make 2>"$root/build/wine-root-make.err"; then
        exec bash scripts/wine-root.sh run bash scripts/demo.sh "$builds"
    fi
    say "No Wine 10 ($(tail -n 1 "$root/build/wine-root-make.err")): going on with $wine_label, without the crash."
fi
where="on this machine"
[ -z "${TAVRILEX_WINE_ROOT:-}" ] || where="in the root $TAVRILEX_WINE_ROOT"
build=$builds/$wine_build
say "Running the $wine_build build under Wine ${wine_label#wine} $where ($wine_why)."
exe=$build/tavrilex.exe
stub=$build/tests/e2e/quorbel_stub.exe
message_check=$build/tests/e2e/message_check.exe
[ -f "$exe" ] && [ -f "$stub" ] && [ -f "$message_check" ] || die "$exe, $stub or $message_check is missing"

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
seconds() { printf '%d.%02d s' $(( $1 / 1000 )) $(( $1 % 1000 / 10 )); }
sleep_until() {
    local left=$(( $1 - $(now_ms) ))
    [ "$left" -le 0 ] || sleep "$(( left / 1000 )).$(printf '%03d' $(( left % 1000 )))"
}

# The stand-in quorbel notes every start and control with the time on its own
# clock (ms since 1970, the clock `date` reads here), so its down times are
# measured by quorbel itself, not by how often this script looks.
journal=$WINEPREFIX/drive_c/Tavrilex/quorbel.journal
# Times of the journal's lines of one kind, e.g. `journal_times control 1`.
journal_times() { tr -d '\r' <"$journal" 2>/dev/null | awk -v k="$1" -v n="${2:-}" '$1 == k && (n == "" || $2 == n) { print $3 }'; }
nth() { sed -n "${1}p"; }
# Waits (up to $2 ms) for quorbel's running line number $1; prints its time.
wait_running() {
    local deadline=$(( $(now_ms) + $2 )) t
    until t=$(journal_times running | nth "$1") && [ -n "$t" ]; do
        [ "$(now_ms)" -le "$deadline" ] || return 1
        sleep 0.05
    done
    echo "$t"
}
stop_limit_ms=6000   # one poll period plus the time of a poll
# Stops quorbel and waits until it runs again. Sets stopped_at and back_at to
# quorbel's own times of the stop control and of its next start. Ends the demo
# when quorbel is not back within $stop_limit_ms ms of the stop.
bounce() {
    local controls runs
    controls=$(journal_times control 1 | wc -l)
    runs=$(journal_times running | wc -l)
    sc stop quorbel >/dev/null
    local deadline=$(( $(now_ms) + 10000 ))
    until stopped_at=$(journal_times control 1 | nth $(( controls + 1 ))) && [ -n "$stopped_at" ]; do
        [ "$(now_ms)" -le "$deadline" ] || die "quorbel was never told to stop"
        sleep 0.05
    done
    # Past the limit plus a second for the line to reach the file.
    back_at=$(wait_running $(( runs + 1 )) $(( stopped_at + stop_limit_ms + 1000 - $(now_ms) ))) ||
        die "quorbel was NOT back within $(seconds $stop_limit_ms) of being stopped"
    [ $(( back_at - stopped_at )) -le "$stop_limit_ms" ] ||
        die "quorbel was NOT back within $(seconds $stop_limit_ms) of being stopped (it took $(seconds $(( back_at - stopped_at ))))"
}
# Tavrilex's event records so far, one a line: "<type> <id> | <string> | ...".
# Wine prints a record's type and identifier in one debug line and each of its
# strings in one more.
records() {
    tr -d '\r' <"$events" | awk '
        /:fixme:advapi:ReportEventW \(/ {
            if (rec != "") print rec
            split($0, f, ","); t = f[2] + 0
            rec = (t == 1 ? "error" : t == 2 ? "warning" : "information") " " f[4]
            next
        }
        /:eventlog:ReportEventW L"/ { s = $0; sub(/^[^"]*L"/, "", s); sub(/"$/, "", s); rec = rec " | " s }
        END { if (rec != "") print rec }'
}
# A record as Event Viewer shows it: its type, ID and text, rendered from the
# message table in tavrilex.exe with the record's strings.
show_record() {
    local type id rest text
    type=${1%% *}; rest=${1#* }; id=${rest%% |*}; rest=${rest#* | }
    local -a strings
    IFS='|' read -r -a strings <<<"${rest// | /|}"
    text=$(wine 'C:\Tavrilex\message_check.exe' 'C:\Tavrilex\tavrilex.exe' "${id#0x}" "${strings[@]}" </dev/null 2>/dev/null |
           tr -d '\r')
    printf '  %s, event ID %d:\n%s\n' "$type" $(( id & 0xffff )) "$(sed 's/^/    /' <<<"$text")"
}

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
# Wine has no Event Viewer: each record is printed as debug lines on the
# standard error of the services, which is this file.
WINEDEBUG=-all,+eventlog,fixme+advapi wine cmd /c exit </dev/null >/dev/null 2>>"$events" ||
    die "the Wine prefix did not boot"
mkdir -p "$WINEPREFIX/drive_c/Tavrilex"
cp "$exe" "$stub" "$message_check" "$WINEPREFIX/drive_c/Tavrilex/"
say "Ready. The program is at C:\\Tavrilex\\tavrilex.exe inside it."

# ---------------------------------------------------------------------------
step "The service to watch: quorbel"
say "Tavrilex watches a service named quorbel. Here quorbel is a tiny stand-in
service that does nothing but run until it is told to stop. It is registered
to start only on request (start= demand), so only Tavrilex will start it."
behaviour=$WINEPREFIX/drive_c/Tavrilex/quorbel.behaviour
# Where this Wine notices a crash, quorbel's first two runs end in one, 6 s
# after their start (after the stop watcher's first request).
crashes=$(wine_crash_probe "$root/build/demo/probe" "$stub")
if [ "$crashes" = "STOPPED 1067" ]; then echo crash-ms=6000; fi >"$behaviour"
sc create quorbel binPath= 'C:\Tavrilex\quorbel_stub.exe quorbel C:\Tavrilex\quorbel.journal @C:\Tavrilex\quorbel.behaviour' start= demand
say "quorbel is now: $(state quorbel)"

step "Installing Tavrilex"
say "\$ tavrilex.exe -install"
installed=$(wine 'C:\Tavrilex\tavrilex.exe' -install </dev/null)
rc=$?
printf '%s\n' "$installed" | tr -d '\r' | sed 's/^/  /'
[ "$rc" -eq 0 ] || die "tavrilex.exe -install exited with $rc"
say "It exited with 0; had a step failed, it would have exited with that step's
Windows error code, as sc.exe does. It also set recovery actions that restart Tavrilex should its
own process die, and registered the event source, with tavrilex.exe as the
message file through which Event Viewer shows each record's text:"
wine reg query 'HKLM\System\CurrentControlSet\Services\EventLog\Application\Tavrilex' </dev/null 2>/dev/null |
    tr -d '\r' | grep -E 'EventMessageFile|TypesSupported' | sed 's/^ */  /'
say "Its registration (the service control manager's record of it):"
wine reg query 'HKLM\System\CurrentControlSet\Services\Tavrilex' </dev/null 2>/dev/null |
    tr -d '\r' | grep -E 'ImagePath|Start|Type|ObjectName|DisplayName' | sed 's/^ */  /'
say "Start 0x2 means it starts by itself whenever Windows starts; Type 0x10 that
it runs in a process of its own; LocalSystem is the account it runs as.
Installing does not start it, so right now Tavrilex is: $(state Tavrilex)"

step "Starting Tavrilex"
say "\$ sc start Tavrilex"
sc start Tavrilex >/dev/null
asked=$(now_ms)
wait_for Tavrilex RUNNING 5000 >/dev/null || die "Tavrilex did not start"
say "Tavrilex is $(state Tavrilex). It keeps quorbel running in two ways. Every 5 seconds
it checks whether quorbel is running and, if not, asks for it to be started (the
poll). In between, it asks the service control manager to tell it the moment
quorbel stops, and then starts it at once (the stop watcher)."
first=$(wait_running 1 "$stop_limit_ms") || die "quorbel was not started"
say "quorbel is $(state quorbel): Tavrilex's first poll started it $(seconds $(( first - asked ))) after sc start."

step "Killing quorbel: a real crash"
if [ "$crashes" = "STOPPED 1067" ]; then
    say "Shown by Wine ${wine_label#wine} $where. This quorbel was told to end its own
process 6 seconds after each of its first two starts (the stand-in is told
crash-ms=6000), with TerminateProcess and no word to the service control
manager, as a crash does. The manager notices
the dead process, reports quorbel STOPPED with error 1067, and tells Tavrilex,
which starts it again at once:"
    for i in 1 2; do
        back_at=$(wait_running $(( i + 1 )) 10000) || die "quorbel was NOT back after its crash"
        [ "$i" -eq 2 ] || : >"$behaviour"   # read at each start: the third runs normally
        crashed_at=$(journal_times crash | tail -n 1)
        printf '  crash %d: quorbel ended its own process; it was running again %d ms later\n' \
            "$i" $(( back_at - crashed_at ))
    done
    sleep 0.3
    say "The record of the last start, as Event Viewer shows it:"
    show_record "$(records | grep '^information' | tail -n 1)"
else
    say "(Skipped: this Wine's service control manager never notices a service
process that dies ($crashes); a killed quorbel would stay RUNNING for it.)"
fi

step "Stopping quorbel: the stop watcher brings it back"
say "Now quorbel is stopped three times with sc stop quorbel, as if it had failed,
each at another moment of the poll cycle. Each time the service control manager
tells Tavrilex, which starts quorbel again at once: quorbel is down for a
fraction of a second, not for up to 5 seconds until the next poll. The stand-in
quorbel notes each stop and each start on its own clock; the times below come
from those notes."
last=$(journal_times running | tail -n 1)
for i in 1 2 3; do
    sleep_until $(( last + 3500 + i * 1700 ))
    bounce
    printf '  stop %d, %s after the last start: quorbel was down for %d ms\n' \
        "$i" "$(seconds $(( stopped_at - last )))" $(( back_at - stopped_at ))
    last=$back_at
done
sleep 0.3   # the last record's lines
say "Each start that Tavrilex asks for is told in an information record, which
says who asked and how to keep quorbel down on purpose, for up to five stops
within an hour (more are told otherwise, below). The last one, as Event Viewer
shows it:"
show_record "$(records | grep '^information' | tail -n 1)"
told=$(records | wc -l)

step "A quorbel that keeps failing: an episode, and a crash loop"
say "Now quorbel is made to fail half a second after each start (the stand-in is
told quit-ms=500), and stopped once so that the failing one starts. A quorbel
that keeps stopping, six stops within an hour (those above count) however
long each run lasts, is told once as a warning (ID 4), and from then on its starts are
counted, not each recorded, until it has run for an hour without a stop; so it
cannot flood the event log. Each stop is still mended at once, but in a crash
loop: restarted at once every time, a quorbel that fails at once would spin in
a loop of starts, so a second failure within 3 seconds of its start, less than
a minute after the first, makes the stop watcher leave quorbel to the 5-second
poll (warning ID 3) until quorbel has run for a minute."
echo quit-ms=500 >"$behaviour"
runs=$(journal_times running | wc -l)
sc stop quorbel >/dev/null
from=$(now_ms)
cell_ms=250 cells=80
sleep_until $(( from + cells * cell_ms ))
: >"$behaviour"
starts=$(( $(journal_times running | wc -l) - runs ))
printf '\n  |0 s                |5 s                |10 s               |15 s               |20 s\n'
tr -d '\r' <"$journal" | awk -v from="$from" -v cell="$cell_ms" -v cells="$cells" '
    $1 == "running" { up[++n] = $3; down[n] = -1 }
    ($1 == "quit" || $1 == "crash" || ($1 == "control" && $2 == 1)) && n > 0 && down[n] < 0 { down[n] = $3 }
    END {
        bar = ""
        for (c = 0; c < cells; c++) {
            a = from + c * cell; b = a + cell; mark = "_"
            for (i = 1; i <= n; i++) if (up[i] < b && (down[i] < 0 || down[i] > a)) mark = "#"
            bar = bar mark
        }
        print "  " bar
    }'
say "# quorbel running at some moment of the quarter second, _ stopped. quorbel was
started $starts times in these 20 seconds: twice at once, then once a poll. The
records Tavrilex wrote meanwhile:"
records | tail -n +$(( told + 1 )) | while read -r record; do show_record "$record"; done
say "quorbel is told to run again; the next poll starts it."
wait_running $(( $(journal_times running | wc -l) + 1 )) "$stop_limit_ms" >/dev/null ||
    die "quorbel was not started again after the crash loop"

step "When a check fails: the event log"
say "Now quorbel is removed, the way to do it on purpose: first sc delete quorbel,
which marks it for deletion (it goes once it has stopped), then sc stop quorbel.
(The other way round, Tavrilex would start it again at once, and it would stay,
only marked for deletion.) From then on Tavrilex's checks fail: Windows error
1060, no such service. A failing poll is written to the Windows event log as an
error record under the source name Tavrilex: the first failing poll writes one
at once, then, while the failure lasts, every second poll, so one record every
10 seconds and the log is not flooded. The stop watcher writes no error records."
sc delete quorbel >/dev/null
controls=$(journal_times control 1 | wc -l)
sc stop quorbel >/dev/null
gone=$(journal_times control 1 | nth $(( controls + 1 )))
[ -n "$gone" ] || die "quorbel was not stopped"
before=$(records | wc -l)
seen=0 at=()
say "Watching the event records for up to 25 seconds after the stop:"
while [ $(( $(now_ms) - gone )) -lt 25000 ] && [ "$seen" -lt 2 ]; do
    sleep 0.1
    count=$(records | wc -l)
    while [ $(( before + seen )) -lt "$count" ]; do
        seen=$((seen + 1))
        at+=($(( $(now_ms) - gone )))
        text=$(records | nth $(( before + seen )) | sed 's/.* | //')
        if [ "$seen" -eq 1 ]; then
            printf '  %s after the stop: error record, source "Tavrilex", text "%s"\n' \
                "$(seconds "${at[0]}")" "$text"
        else
            printf '  %s after the stop, %s after the first (the poll between them failed\n    too and wrote nothing): the same record again, text "%s"\n' \
                "$(seconds "${at[-1]}")" "$(seconds $(( at[-1] - at[-2] )))" "$text"
        fi
    done
done
[ "$seen" -ge 2 ] || say "(only $seen record(s) appeared)"
say "(On Windows these records appear in Event Viewer, Windows Logs > Application,
which shows each text itself.)"

step "Removing Tavrilex"
say "\$ tavrilex.exe -remove"
wine 'C:\Tavrilex\tavrilex.exe' -remove </dev/null | tr -d '\r' | sed 's/^/  /'
say "The registration is deleted. The running Tavrilex accepts no stop request
(only the shutdown of the machine), so it goes on until the next restart; it is
still $(state Tavrilex) here, marked for deletion. Ending the throwaway prefix now."
finish
trap - EXIT

step "Done"
say "The executables: $builds/win32/tavrilex.exe (32-bit, runs on 32-bit and 64-bit Windows)
and $builds/win64/tavrilex.exe (the same program built for 64-bit Windows).
The demo ran the $wine_build one. On Windows, from an elevated prompt, with
tavrilex.exe in C:\\Program Files\\Tavrilex (README.md, \"Install on one server\"):
  \"C:\\Program Files\\Tavrilex\\tavrilex.exe\" -install   then   sc.exe start Tavrilex
  \"C:\\Program Files\\Tavrilex\\tavrilex.exe\" -remove    to take it away again."
