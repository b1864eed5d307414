#!/usr/bin/env bash
# Long soak of the real tavrilex.exe under Wine: quorbel (the stand-in of the
# end-to-end suite) is stopped at random moments every few seconds while
# Tavrilex keeps it running. Checks that quorbel always comes back within one
# poll plus 5000 ms, that Tavrilex's process stays the same one, and that its
# resident memory, file descriptors and Windows handles do not grow. Writes a
# CSV of every cycle to build/wine-soak/cycles.csv and its summary to
# bench/RESULTS.md; exits non-zero when anything failed.
#
#   bench/wine-soak.sh [minutes (10)]
#
# BENCH_SEED fixes the random stop moments. Too long for CI.
set -uo pipefail
source "$(dirname "$0")/wine-lib.sh"
cd "$bench_root"

minutes=${1:-10}
bench_begin wine-soak "$@"
start_tavrilex

# Handles and memory are read a moment after quorbel is back, when the poll
# that restarted it has closed what it opened.
sample() {
    sleep 1
    local handles threads
    read -r handles threads <<<"$(win_handles)"
    echo "$(rss_kb "$pid") $(fd_count "$pid") ${handles:-?} ${threads:-?}"
}

read -r rss0 fds0 handles0 threads0 <<<"$(sample)"
ticks0=$(cpu_ticks "$pid")
echo "tavrilex.exe is Linux process $pid: $rss0 kB, $fds0 fds, $handles0 handles, $threads0 threads; seed $seed"

csv=$work/cycles.csv
echo "seconds,down_ms,rss_kb,fds,handles,threads" >"$csv"
delays=()
late=()
failure=
cycle=0
warm_cycle=5
end=$(( SECONDS + minutes * 60 ))
while [ "$SECONDS" -lt "$end" ]; do
    random_pause 1000 6000
    cycle=$((cycle + 1))
    read -r down _ <<<"$(bounce_quorbel)"
    if [ -z "${down:-}" ]; then
        failure="quorbel did not come back within 20 s (cycle $cycle)"
        break
    fi
    delays+=("$down")
    [ "$down" -le "$bound_ms" ] || late+=("cycle $cycle: $down ms")
    if [ "$(prefix_pid "$tav")" != "$pid" ]; then
        failure="tavrilex.exe is no longer process $pid (cycle $cycle)"
        break
    fi
    read -r rss fds handles threads <<<"$(sample)"
    echo "$(( SECONDS - started )),$down,$rss,$fds,$handles,$threads" >>"$csv"
    if [ "$cycle" -eq "$warm_cycle" ]; then
        rss_warm=$rss; fds_warm=$fds; handles_warm=$handles
    fi
    printf 'cycle %d at %d s: down %d ms; %s kB, %s fds, %s handles, %s threads\n' \
        "$cycle" "$(( SECONDS - started ))" "$down" "$rss" "$fds" "$handles" "$threads"
done
ticks1=$(cpu_ticks "$pid" 2>/dev/null || echo "$ticks0")
wall_s=$(( SECONDS - started ))
close_prefix

[ -n "$failure" ] || [ "$cycle" -gt "$warm_cycle" ] || failure="only $cycle cycles; run longer"
if [ -z "$failure" ]; then
    read -r d_median d_p95 d_max <<<"$(stats "${delays[@]}")"
    # The most any figure reached after warm-up, and where it ended.
    read -r rss_max fds_max handles_max <<<"$(awk -F, -v w="$warm_cycle" 'NR > w + 1 {
        if ($3 > r) r = $3; if ($4 > f) f = $4; if ($5 > h) h = $5 } END { print r, f, h }' "$csv")"
    [ ${#late[@]} -eq 0 ] || failure="quorbel came back late: ${late[*]}"
    if [ "$rss" -gt $(( rss_warm + 256 )) ] || [ "$fds" -gt "$fds_warm" ] || [ "$handles" -gt "$handles_warm" ]; then
        failure="${failure:+$failure; }growth after warm-up: $rss_warm -> $rss kB, $fds_warm -> $fds fds, $handles_warm -> $handles handles"
    fi
fi

body=$work/results-wine-soak.md
{
    echo "<!-- begin wine-soak -->"
    echo "## bench/wine-soak.sh"
    echo
    echo "- Date: $(date -u '+%Y-%m-%d %H:%M UTC')"
    echo "- Machine: $(machine_line)"
    echo "- Command: \`$command_line\` (BENCH_SEED=$seed; $wall_s s, $cycle stops every 1-6 s)"
    echo
    if [ -n "$failure" ]; then
        echo "FAILED: $failure"
    else
        echo "Quorbel came back after every stop within $bound_ms ms (one poll plus 5000 ms):"
        echo "median $d_median ms, p95 $d_p95 ms, max $d_max ms. tavrilex.exe stayed Linux process"
        echo "$pid throughout and used $(( (ticks1 - ticks0) * 1000 / $(getconf CLK_TCK) )) ms of CPU."
        echo
        echo "| figure | start | after $warm_cycle stops | highest after that | end |"
        echo "|---|---|---|---|---|"
        echo "| resident memory (kB) | $rss0 | $rss_warm | $rss_max | $rss |"
        echo "| file descriptors | $fds0 | $fds_warm | $fds_max | $fds |"
        echo "| Windows handles | $handles0 | $handles_warm | $handles_max | $handles |"
        echo "| threads | $threads0 | | | $threads |"
    fi
    echo "<!-- end wine-soak -->"
} >"$body"
write_section wine-soak "$body"
sed -e '1d' -e '$d' "$body"
[ -z "$failure" ]
