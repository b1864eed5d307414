#!/usr/bin/env bash
# How Tavrilex keeps a hard-to-keep quorbel under Wine, in four runs, each in a
# fresh prefix, written to bench/RESULTS.md:
#   - stops 5 to 10 s apart at random moments of the poll cycle: down time;
#   - a quorbel that takes 3 s to stop, stopped every 5.5 to 9 s: how soon
#     after its STOPPED it runs again;
#   - a quorbel that fails 0.5 s after each start: its starts in 60 and in
#     150 s, and the records written;
#   - a quorbel that hangs in STOP_PENDING (wait hint 3000 ms): when the
#     records of its refused starts come.
# Each run also checks that no record but the expected ones was written.
#
#   bench/health.sh [stops (10)]
#
# BENCH_SEED fixes the random moments. Takes about eight minutes.
set -uo pipefail
source "$(dirname "$0")/wine-lib.sh"
cd "$bench_root"

stops=${1:-10}
bench_begin health "$@"
build_windows "$work/$wine_build"
build=$work/$wine_build

# Times (journal ms) of quorbel's journal lines of one kind.
times_of() { tr -d '\r' <"$journal" | awk -v k="$1" '$1 == k { print $3 }'; }
count_of() { records | grep -c "^$1 "; }
sleep_ms() { sleep "$(( $1 / 1000 )).$(printf '%03d' $(( $1 % 1000 )))"; }
verdict() { if [ "$1" -eq 1 ]; then echo "met"; else echo "NOT met"; fi; }

# ---------------------------------------------------------------------------
echo "== stops 5 to 10 s apart"
open_prefix "$build" ""
sleep 1   # the watcher's first request comes a period after Tavrilex's start
downs=()
for i in $(seq 1 "$stops"); do
    random_pause 5000 10000
    read -r down _ <<<"$(bounce_quorbel)" || die "quorbel did not come back (stop $i)"
    [ -n "${down:-}" ] || die "quorbel did not come back (stop $i)"
    downs+=("$down")
    echo "stop $i: down $down ms"
done
sleep 0.5
read -r d_median _ d_max <<<"$(stats "${downs[@]}")"
quick_other=$(( $(count_of 0x0001) + $(count_of 0x0002) ))
quick_info=$(count_of 0x0004)
quick_ok=$(( d_median <= 150 && d_max <= 300 && quick_other == 0 ))
close_prefix

# ---------------------------------------------------------------------------
echo "== a quorbel that takes 3 s to stop"
open_prefix "$build" "stop-ms=3000"
backs=()
last=$(now_ms)
for i in $(seq 1 "$stops"); do
    sleep_ms $(( last + 5500 + RANDOM % 3501 - $(now_ms) ))
    stopped=$(times_of stopped | wc -l)
    runs=$(times_of running | wc -l)
    last=$(now_ms)
    sc stop quorbel >/dev/null &
    until [ "$(times_of running | wc -l)" -gt "$runs" ] && [ "$(times_of stopped | wc -l)" -gt "$stopped" ]; do
        [ $(( $(now_ms) - last )) -le 15000 ] || die "quorbel did not come back (stop $i)"
        sleep 0.05
    done
    wait
    back=$(( $(times_of running | sed -n "$(( runs + 1 ))p") - $(times_of stopped | sed -n "$(( stopped + 1 ))p") ))
    backs+=("$back")
    echo "stop $i: running again $back ms after STOPPED"
done
read -r b_median _ b_max <<<"$(stats "${backs[@]}")"
slow_other=$(( $(count_of 0x0001) + $(count_of 0x0002) ))
slow_ok=$(( b_max <= 1000 && slow_other == 0 ))
close_prefix

# ---------------------------------------------------------------------------
echo "== a quorbel that fails 0.5 s after each start (150 s)"
open_prefix "$build" ""
echo "quit-ms=500" >"$behaviour"
told=$(records | wc -l)
t0=$(now_ms)
sc stop quorbel >/dev/null
sleep_ms $(( t0 + 150000 - $(now_ms) ))
echo "" >"$behaviour"
starts60=$(times_of running | awk -v t="$t0" '$1 >= t && $1 <= t + 60000' | wc -l)
starts150=$(times_of running | awk -v t="$t0" '$1 >= t && $1 <= t + 150000' | wc -l)
loop_records=$(records | tail -n +$(( told + 1 )))
loop_warnings=$(grep -c '^0x0002 ' <<<"$loop_records")
loop_info=$(grep -c '^0x0004 ' <<<"$loop_records")
loop_errors=$(grep -c '^0x0001 ' <<<"$loop_records")
warning=$(grep -m1 '^0x0002 ' <<<"$loop_records")
echo "starts: $starts60 in 60 s, $starts150 in 150 s; records: $loop_warnings warning(s), $loop_info information, $loop_errors error"
loop_ok=$(( starts60 <= 14 && starts150 <= 33 && loop_warnings >= 1 && loop_warnings <= 2 && loop_errors == 0 ))
close_prefix

# ---------------------------------------------------------------------------
echo "== a quorbel hung in STOP_PENDING (40 s)"
open_prefix "$build" "hang"
told=$(records | wc -l)
controls=$(times_of control | wc -l)
sc stop quorbel >/dev/null
until [ "$(times_of control | wc -l)" -gt "$controls" ]; do sleep 0.05; done
t_stop=$(times_of control | tail -n 1)
arrivals=()
seen=$told
while [ $(( $(now_ms) - t_stop )) -lt 40000 ]; do
    n=$(records | wc -l)
    while [ "$seen" -lt "$n" ]; do
        seen=$(( seen + 1 ))
        arrivals+=("$(( $(now_ms) - t_stop ))")
    done
    sleep 0.1
done
hung_records=$(records | tail -n +$(( told + 1 )))
hung_errors=$(grep -c '^0x0001 .*error 1056$' <<<"$hung_records")
gaps=()
for (( i = 1; i < ${#arrivals[@]}; i++ )); do gaps+=("$(( arrivals[i] - arrivals[i - 1] ))"); done
echo "records at ${arrivals[*]} ms after the stop"
first=${arrivals[0]:-999999}
hung_ok=$(( hung_errors == ${#arrivals[@]} && hung_errors >= 3 && first <= 3000 + 2 * 5000 + 1000 ))
for g in "${gaps[@]}"; do [ "$g" -ge 9000 ] && [ "$g" -le 11000 ] || hung_ok=0; done
close_prefix

# ---------------------------------------------------------------------------
body=$work/results-health.md
cat >"$body" <<EOF2
<!-- begin health -->
## bench/health.sh

- Date: $(date -u '+%Y-%m-%d %H:%M UTC')
- Machine: $(machine_line)
- Command: \`$command_line\` (BENCH_SEED=$seed; whole run $(( SECONDS - started )) s)

Each run is a fresh prefix with the stand-in quorbel of the end-to-end suite,
told how to behave. Times come from the stand-in's own journal.

| run | figure | target | verdict |
|---|---|---|---|
| $stops stops 5 to 10 s apart | down time median $d_median ms, max $d_max ms; $quick_info information records, $quick_other others | median <= 150, max <= 300, no other record | $(verdict "$quick_ok") |
| takes 3 s to stop, stopped every 5.5 to 9 s | running again after STOPPED: median $b_median ms, max $b_max ms; $slow_other records but information ones | <= 1000 every time, no other record | $(verdict "$slow_ok") |
| fails 0.5 s after each start | $starts60 starts in 60 s, $starts150 in 150 s; $loop_warnings warning(s), $loop_info information, $loop_errors error records | <= 14 and <= 33; one or two warnings | $(verdict "$loop_ok") |
| hung in STOP_PENDING, wait hint 3000 ms | 1056 records at ${arrivals[*]} ms after the stop | first within two periods of the wait hint, then every 10 s | $(verdict "$hung_ok") |

Down times (ms): ${downs[*]}. Slow stops, after STOPPED (ms): ${backs[*]}.

The crash loop's warning: \`${warning}\`
<!-- end health -->
EOF2
write_section health "$body"
echo "figures written to bench/RESULTS.md"
[ $(( quick_ok && slow_ok && loop_ok && hung_ok )) -eq 1 ]
