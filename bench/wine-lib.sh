# Shared by bench/bench.sh and bench/wine-soak.sh (sourced, not run): builds
# tavrilex.exe, the stand-in quorbel and the handle-count helper, runs them in
# a throwaway Wine prefix, and reads what Linux and Wine know about the
# process that hosts tavrilex.exe.
#
# The prefix steps follow tests/e2e/run.sh: one boot that is shut down
# cleanly before any service is registered, then a persistent wineserver.
# Like the suites, it runs the build that scripts/wine-pick.sh chooses.

export WINEDLLOVERRIDES="mscoree,mshtml="   # no Mono/Gecko install prompts
export WINEDEBUG=-all
unset DISPLAY WAYLAND_DISPLAY

bench_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$bench_root/scripts/wine-pick.sh"
win_dir='C:\bench'
tav="$win_dir\\tavrilex.exe"
bound_ms=6000   # one poll period (5000 ms) plus the time of a poll

now_ms() { echo $(( $(date +%s%N) / 1000000 )); }
die() { echo "bench: $*" >&2; exit 1; }

# The opening of every bench script, run from the repository's root: seeds
# RANDOM from BENCH_SEED (or the clock), keeps the exact command line of
# bench/$1.sh with the arguments after $1, makes the work folder build/$1 with
# the Wine prefix inside it (removed on exit) and installs what is missing.
# Sets seed, command_line, work, started and WINEPREFIX.
bench_begin() {
    local name=$1
    shift
    seed=${BENCH_SEED:-$(date +%s)}
    RANDOM=$seed
    command_line="bench/$name.sh${*:+ $*}"
    work=$bench_root/build/$name
    export WINEPREFIX=$work/prefix
    trap close_prefix EXIT
    trap 'exit 130' INT TERM
    started=$SECONDS
    bash scripts/setup.sh >/dev/null || die "setup failed"
    wine_pick || die "$wine_why"
    echo "build: $wine_why"
    mkdir -p "$work"
}

# Builds the chosen Windows preset into $1 (tavrilex.exe,
# tests/e2e/quorbel_stub.exe) and the handle-count helper beside it.
build_windows() {
    local build=$1
    cmake --preset "$wine_build" -B "$build" >/dev/null &&
        cmake --build "$build" --target tavrilex quorbel_stub >/dev/null ||
        die "the Windows build failed"
    "$wine_triple-g++-posix" -O2 -Wall -Wextra -Werror -municode -static \
        -o "$build/handlecount.exe" "$bench_root/bench/HandleCount.cpp" ||
        die "the handle-count helper did not build"
}

sc() { wine sc "$@" </dev/null 2>/dev/null; }

# The state number that sc reports for a service; empty when sc knows none.
svc_state() { sc query "$1" | sed -n 's/^ *STATE *: *\([0-9][0-9]*\).*/\1/p' | head -n 1; }

# Waits until service $1 is in state $2, for at most $3 ms. Returns 1 on timeout.
wait_state() {
    local start=$(now_ms)
    until [ "$(svc_state "$1")" = "$2" ]; do
        [ $(( $(now_ms) - start )) -gt "$3" ] && return 1
        sleep 0.05
    done
}

# Makes a fresh prefix at $WINEPREFIX with the executables of build dir $1 in
# C:\bench, registers quorbel (demand start, journal in C:\bench, its
# behaviour read at each start from C:\bench\quorbel.behaviour, at first
# $2), installs Tavrilex and starts it. Sets `journal` and `behaviour` to the
# Linux paths of those files, and `events` to the file that gets Tavrilex's
# event records (see records).
open_prefix() {
    local build=$1 out
    close_prefix
    events=$work/services.err
    mkdir -p "$(dirname "$WINEPREFIX")"
    { wine wineboot -i </dev/null >/dev/null 2>&1 && wineserver -w; } || die "the Wine prefix did not boot"
    wineserver -p </dev/null >/dev/null 2>&1
    # The services inherit this command's standard error: each record of
    # Tavrilex lands there as debug lines.
    WINEDEBUG=-all,+eventlog,fixme+advapi wine cmd /c exit </dev/null >/dev/null 2>"$events" ||
        die "the Wine prefix did not start"
    mkdir -p "$WINEPREFIX/drive_c/bench"
    cp "$build/tavrilex.exe" "$build/tests/e2e/quorbel_stub.exe" "$build/handlecount.exe" \
        "$WINEPREFIX/drive_c/bench/" || die "cannot copy the executables"
    journal=$WINEPREFIX/drive_c/bench/quorbel.journal
    behaviour=$WINEPREFIX/drive_c/bench/quorbel.behaviour
    : >"$journal"
    echo "${2:-}" >"$behaviour"
    sc create quorbel binPath= "$win_dir\\quorbel_stub.exe quorbel $win_dir\\quorbel.journal @$win_dir\\quorbel.behaviour" \
        start= demand >/dev/null
    out=$(wine "$tav" -install </dev/null 2>/dev/null | tr -d '\r')
    [ "$out" = "Tavrilex is installed." ] || die "install printed [$out]"
    sc start Tavrilex >/dev/null
    wait_state Tavrilex 4 10000 || die "Tavrilex did not reach RUNNING"
    wait_state quorbel 4 "$bound_ms" || die "Tavrilex did not start quorbel within $bound_ms ms"
}

# Builds the Windows side into $work/<build>, opens a fresh prefix with it and
# sets `pid` to the Linux process that hosts tavrilex.exe.
start_tavrilex() {
    build_windows "$work/$wine_build"
    open_prefix "$work/$wine_build"
    pid=$(prefix_pid "$tav") || die "no process runs $tav"
}

close_prefix() {
    if [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ]; then
        wineserver -k >/dev/null 2>&1
        wineserver -w >/dev/null 2>&1
        rm -rf "$WINEPREFIX"
    fi
}

# The Linux process id of the process of this prefix whose command line is
# exactly $1 (Wine shows a Windows process's command line as its own).
prefix_pid() {
    local pid
    for pid in $(pgrep -f . 2>/dev/null); do
        { tr '\0' '\n' <"/proc/$pid/environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" || continue
        if [ "$({ tr '\0' ' ' <"/proc/$pid/cmdline"; } 2>/dev/null | sed 's/ *$//')" = "$1" ]; then
            echo "$pid"
            return 0
        fi
    done
    return 1
}

# Figures of Linux process $1: CPU ticks (utime + stime of all its threads,
# living and ended), resident memory in kB, open file descriptors.
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }
fd_count() { ls "/proc/$1/fd" 2>/dev/null | wc -l; }
# CPU time in ns of the living threads, from the scheduler (finer than ticks).
cpu_ns() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ s += $1 } END { printf "%d\n", s }'; }

# "<handles> <threads>" of the Windows process tavrilex.exe, as Wine's
# system handle table and process list give them.
win_handles() {
    wine "$win_dir\\handlecount.exe" tavrilex.exe </dev/null 2>/dev/null | awk 'NR == 1 { print $2, $3 }'
}

lines_of() { grep -c "^$1" "$journal"; }

# Tavrilex's event records so far, one a line: "<type> <id> | <string> | ...",
# type 0x0001 error, 0x0002 warning, 0x0004 information.
records() {
    tr -d '\r' <"$events" | awk '
        /:fixme:advapi:ReportEventW \(/ { if (rec != "") print rec; split($0, f, ","); rec = f[2] " " f[4]; next }
        /:eventlog:ReportEventW L"/ { s = $0; sub(/^[^"]*L"/, "", s); sub(/"$/, "", s); rec = rec " | " s }
        END { if (rec != "") print rec }'
}

# Stops quorbel and measures, from its journal, how long it stayed down: from
# the stop control reaching it to its next "running" line. The journal is read
# every 10 ms while `sc stop` runs in the background. Prints
# "<down ms> <start ms>", the second being the part from the new process's
# first line to its "running" line. Returns 1 after 20 s without a restart.
bounce_quorbel() {
    local controls runs procs t_stop t_proc t_run start
    controls=$(lines_of 'control 1')
    runs=$(lines_of running)
    procs=$(lines_of process)
    start=$(now_ms)
    sc stop quorbel >/dev/null &
    while [ "$(lines_of 'control 1')" -le "$controls" ]; do
        [ $(( $(now_ms) - start )) -gt 20000 ] && return 1
        sleep 0.01
    done
    t_stop=$(now_ms)
    t_proc=
    while [ "$(lines_of running)" -le "$runs" ]; do
        [ -z "$t_proc" ] && [ "$(lines_of process)" -gt "$procs" ] && t_proc=$(now_ms)
        [ $(( $(now_ms) - t_stop )) -gt 20000 ] && return 1
        sleep 0.01
    done
    t_run=$(now_ms)
    wait
    echo "$(( t_run - t_stop )) $(( t_run - ${t_proc:-$t_run} ))"
}

# Sleeps a random time of $1 to $2 ms (bash's RANDOM, seeded by the caller).
random_pause() {
    local ms=$(( $1 + (RANDOM * 32768 + RANDOM) % ($2 - $1 + 1) ))
    sleep "$(( ms / 1000 )).$(printf '%03d' $(( ms % 1000 )))"
}

# Median, 95th percentile (nearest rank) and maximum of the numbers in $@.
stats() {
    printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END {
        m = (NR % 2) ? v[(NR + 1) / 2] : int((v[NR / 2] + v[NR / 2 + 1]) / 2)
        r = int(0.95 * NR); if (r < 0.95 * NR) r++
        print m, v[r], v[NR] }'
}

machine_line() {
    echo "build $wine_build ($wine_why); $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //'), $(uname -sr), $(wine --version)"
}

source "$bench_root/bench/results-lib.sh"
