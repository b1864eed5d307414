#!/usr/bin/env bash
# Crash figures, written to bench/RESULTS.md, on Wine 10, whose service
# control manager notices a service process that dies as Windows does: this
# machine's own on Debian 13, else the one in a root of Debian 13, made on
# first use by scripts/wine-root.sh. In one run:
#   - quorbel ends its own process (TerminateProcess, no word to the SCM) at
#     random moments of the poll cycle: the delay from the crash to its next
#     RUNNING, both on quorbel's own clock, with Tavrilex;
#   - the same for a stop (sc stop quorbel), with Tavrilex;
#   - the crash again without Tavrilex, mended by an ideal outside script that
#     queries quorbel back to back and runs `sc start` the moment it sees
#     STOPPED.
#
#   bench/crash.sh [crashes (20)]
#
# BENCH_SEED fixes the random moments. Takes about 8 minutes.
set -uo pipefail
cd "$(dirname "$0")/.."
source scripts/wine-pick.sh
if [ -z "${TAVRILEX_WINE_ROOT:-}" ] && ! { wine_pick && wine_notices_crash; }; then
    [ "$(bash scripts/wine-root.sh label)" = wine10 ] || { echo "crash: no Wine 10 here or in the root" >&2; exit 1; }
    bash scripts/wine-root.sh make || exit 1
    exec bash scripts/wine-root.sh run bash bench/crash.sh "$@"
fi
source bench/wine-lib.sh

crashes=${1:-20}
bench_begin crash "$@"

# Times of the journal's lines of kind $1 (and number $2), one a line.
times_of() { tr -d '\r' <"$journal" | awk -v k="$1" -v n="${2:-}" '$1 == k && (n == "" || $2 == n) { print $3 }'; }
# Waits up to $2 ms for quorbel's start number $1; prints its time.
wait_run() {
    local deadline=$(( $(now_ms) + $2 )) t
    until t=$(times_of running | sed -n "$1p") && [ -n "$t" ]; do
        [ "$(now_ms)" -le "$deadline" ] || return 1
        sleep 0.01
    done
    echo "$t"
}
# A crash 5 to 10 s after the start that reads it, at a random poll phase.
next_crash() { echo "crash-ms=$(( 5000 + (RANDOM * 32768 + RANDOM) % 5001 ))" >"$behaviour"; }

# Lets quorbel crash $1 times; prints each delay from a crash to its next
# start. Each start reads the next crash's moment from the behaviour file.
crash_delays() {
    local runs i t_back t_crash
    runs=$(lines_of running)
    for i in $(seq 1 "$1"); do
        t_back=$(wait_run $(( runs + i )) 20000) || die "quorbel not back after crash $i"
        next_crash
        t_crash=$(times_of crash | tail -n 1)
        [ "$i" -eq 1 ] || echo $(( t_back - t_crash ))
    done
}

build_windows "$work/$wine_build"

echo "== crashes, Tavrilex (seed $seed)"
open_prefix "$work/$wine_build" ""
next_crash
sc stop quorbel >/dev/null   # the next start reads its crash
mapfile -t tav_crash < <(crash_delays $(( crashes + 1 )))
echo "${tav_crash[*]}"

echo "== stops, Tavrilex"
: >"$behaviour"
wait_run $(( $(lines_of running) + 1 )) 20000 >/dev/null || die "quorbel not back after the crashes"
tav_stop=()
for i in $(seq 1 "$crashes"); do
    random_pause 5000 10000
    runs=$(lines_of running)
    sc stop quorbel >/dev/null
    t_back=$(wait_run $(( runs + 1 )) 20000) || die "quorbel not back after stop $i"
    tav_stop+=($(( t_back - $(times_of control 1 | tail -n 1) )))
done
echo "${tav_stop[*]}"

echo "== crashes, an outside script instead of Tavrilex"
# The emergency stop: Tavrilex removed, then its process ended.
wine "$tav" -remove </dev/null >/dev/null 2>&1
wine taskkill /f /im tavrilex.exe </dev/null >/dev/null 2>&1
wait_state Tavrilex 1 5000 || wait_state Tavrilex "" 0 || die "Tavrilex still runs after -remove and taskkill"
: >"$behaviour"
wait_run $(( $(lines_of running) + 1 )) 20000 >/dev/null || sc start quorbel >/dev/null
next_crash
sc stop quorbel >/dev/null
(
    while :; do
        case $(svc_state quorbel) in 1) sc start quorbel >/dev/null ;; esac
    done
) &
script_pid=$!
sc_start_ms=$( s=$(now_ms); sc query quorbel >/dev/null; echo $(( $(now_ms) - s )) )
mapfile -t script_crash < <(crash_delays $(( crashes + 1 )))
kill "$script_pid" 2>/dev/null; wait "$script_pid" 2>/dev/null
echo "${script_crash[*]}"
close_prefix

read -r tc_med tc_p95 tc_max <<<"$(stats "${tav_crash[@]}")"
read -r ts_med ts_p95 ts_max <<<"$(stats "${tav_stop[@]}")"
read -r sc_med sc_p95 sc_max <<<"$(stats "${script_crash[@]}")"
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b ? a / b : 0 }'; }

body=$work/results-crash.md
cat >"$body" <<EOF
<!-- begin crash -->
## bench/crash.sh

\`$command_line\`, seed $seed, on $(date -u +%Y-%m-%d); $(machine_line).

quorbel down, in ms on its own clock, from the end of its process (a crash:
TerminateProcess, no word to the SCM) or from the stop control reaching it,
to its next RUNNING; $crashes of each, 5 to 10 s after the last start, so at
random moments of the poll cycle:

| what mends it | quorbel | median | p95 | max |
|---|---|---|---|---|
| Tavrilex | crashes | $tc_med | $tc_p95 | $tc_max |
| Tavrilex | is stopped | $ts_med | $ts_p95 | $ts_max |
| an ideal script: \`sc query\` back to back, \`sc start\` at STOPPED | crashes | $sc_med | $sc_p95 | $sc_max |

Tavrilex after a crash against after a stop: $(ratio "$tc_med" "$ts_med") (median),
$(ratio "$tc_max" "$ts_max") (max). Against the ideal script: $(ratio "$tc_med" "$sc_med") (median),
$(ratio "$tc_max" "$sc_max") (max). One \`sc query\` took $sc_start_ms ms here, which bounds
how soon any outside script can see a stop; Tavrilex is told by the SCM.

Every delay, in order: Tavrilex $(printf '%s ' "${tav_crash[@]}")(crashes);
$(printf '%s ' "${tav_stop[@]}")(stops); the script $(printf '%s ' "${script_crash[@]}")(crashes).
<!-- end crash -->
EOF
write_section crash "$body"
cat "$body"
echo "figures written to bench/RESULTS.md"
