#!/usr/bin/env bash
# Mutation probe of the restart policy, the watch loop and the stop watcher:
# each mutant below is a known fault, put into a copy of the tree in
# build/probe/ (the tree itself is never changed). A mutant is caught when
# the native unit tests or the simulated days (bench/PolicyDays.cpp: the
# fixed rows and N random days) fail on it, or do not finish within 10
# minutes. Prints one line per mutant, then the score; exits non-zero when
# fewer than nine in ten are caught, or when a mutant no longer applies.
# --write puts the table into bench/RESULTS.md.
#
#   bench/probe.sh [--write] [--days N] [NAME ...]    (N random days, 30 by default)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
die() { echo "probe: $*" >&2; exit 1; }

days=30 write=false
if [ "${1:-}" = --write ]; then write=true; shift; fi
if [ "${1:-}" = --days ]; then days=$2; shift 2; fi
only=" $* "

# name | file | perl substitution, applied exactly once
mutants=$(cat <<'EOF'
budget-counts-past-five|watchdog/RestartPolicy.cpp|s{m_started \+= m_started < kStartRecords \? 1 : 0;}{++m_started;}
first-record-never-marked|watchdog/RestartPolicy.cpp|s{(out\.m_records\.push_back\(\{type, eventId, std::move\(strings\)\}\);\n)    m_issued = true;\n}{$1}
watcher-warns-before-its-start|watchdog/StopWatcher.cpp|s{(const StopVerdict verdict = restarts\.NoteStop\(startsBefore, held\);\n)}{$1            writeHeld();\n}
watcher-registers-after-writing|watchdog/StopWatcher.cpp|s{(    const bool requested = NotifyServiceStatusChangeW\(service\.get\(\), kNotifyMask, &record\) == ERROR_SUCCESS;\n)    registered\(\);\n}{    registered();\n$1}
watcher-pauses-without-writing|watchdog/StopWatcher.cpp|s{if \(pause\) \{\n            writeHeld\(\);\n}{if (pause) \{\n}
watcher-1069-starts-no-pace|watchdog/RestartPolicy.cpp|s{    m_paced = true;\n    m_refusedAt = now;}{    m_paced = asker == Asker::Poll;\n    m_refusedAt = now;}
loop-drops-watcher-failures|watchdog/SampleService.cpp|s{for \(const std::string& failure : m_restarts\.TakeWatcherFailures\(\)\) \{\n\s*ReportByCadence\(failure\);\n\s*\}}{m_restarts.TakeWatcherFailures();}
loop-reads-stops-after-its-look|watchdog/SampleService.cpp|s{(SERVICE_RUNNING\) \{\n\s*)m_restarts\.NoteRunning\(stopsBefore, records\);}{$1m_restarts.NoteRunning(m_restarts.StopsSoFar(), records);}
close-seconds-from-our-last-start|watchdog/RestartPolicy.cpp|s{Seconds\(m_runningSince - m_episodeBegan\)}{Seconds(m_lastStart - m_episodeBegan)}
close-counts-stops-as-starts|watchdog/RestartPolicy.cpp|s{Decimal\(m_starts - m_startsBeforeEpisode\)}{Decimal(m_episodeStops)}
crash-loop-starts-from-zero|watchdog/RestartPolicy.cpp|s{\n            m_startsAtFirstQuick = m_starts;}{}
wrong-logon-always-a-minute|watchdog/RestartPolicy.cpp|s{m_heldFor = first \? kWrongLogonRetryMs : kWrongLogonPaceMs;}{m_heldFor = first ? kWrongLogonRetryMs : kWrongLogonRetryMs;}
wrong-logon-never-a-minute|watchdog/RestartPolicy.cpp|s{m_heldFor = first \? kWrongLogonRetryMs : kWrongLogonPaceMs;}{m_heldFor = first ? kWrongLogonPaceMs : kWrongLogonPaceMs;}
wrong-logon-every-ten-minutes|watchdog/RestartPolicy.h|s{kWrongLogonPaceMs = 30 \* 60 \* 1000;}{kWrongLogonPaceMs = 10 * 60 * 1000;}
shutdown-leaves-the-gate-open|watchdog/SampleService.cpp|s{    m_records\.Close\(\);\n}{}
EOF
)

work=build/probe
rm -rf "$work/src" && mkdir -p "$work/src" || die "cannot make $work"
git ls-files -z | xargs -0 cp --parents -t "$work/src" || die "cannot copy the tree"
src=$work/src
out=$root/$work/build
cmake -S "$src" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null || die "configure failed"

# Builds the copy and runs its unit tests and days; 0 when all pass.
run() {
    cmake --build "$out" >"$work/build.log" 2>&1 || return 2
    g++ -O2 -std=c++17 -Wall -Wextra -Werror -I"$src"/host -I"$src"/watchdog -I"$src"/cli -I"$src"/platform \
        -I"$src"/tests/sim "$src"/bench/PolicyDays.cpp "$out"/libtavrilex_core.a "$out"/tests/sim/libwin32_sim.a \
        -pthread -o "$out"/policydays >>"$work/build.log" 2>&1 || return 2
    ctest --test-dir "$out" -j2 --timeout 120 >"$work/tests.log" 2>&1
    local tests=$?
    timeout 600 "$out"/policydays --days "$days" >"$work/days.log" 2>&1
    local days=$?
    echo "tests $([ $tests -eq 0 ] && echo pass || echo FAIL), days $([ $days -eq 0 ] && echo pass || echo FAIL)"
    [ $tests -eq 0 ] && [ $days -eq 0 ]
}

echo "probe: the tree as it is"
run >/dev/null || die "the unmutated tree fails (see $work/*.log)"

caught=0 total=0 missing=0 table=$(mktemp)
trap 'rm -f "$table"' EXIT
while IFS='|' read -r name file expr; do
    [ -n "$name" ] || continue
    [ "$only" = "  " ] || [[ $only == *" $name "* ]] || continue
    cp "$file" "$src/$file"
    if ! perl -0777 -i -pe "\$n += $expr; END { exit(\$n == 1 ? 0 : 1) }" "$src/$file"; then
        echo "| $name | does not apply |"
        missing=$((missing + 1))
        continue
    fi
    total=$((total + 1))
    verdict=$(run)
    status=$?
    if [ $status -eq 2 ]; then
        verdict="does not build"
        total=$((total - 1))
        missing=$((missing + 1))
    elif [ $status -ne 0 ]; then
        caught=$((caught + 1))
        first=$(grep -m1 -o 'BROKEN[^|]*' "$work/days.log" | sed 's/ *$//' || true)
        verdict="caught: $verdict${first:+; $first}"
    else
        verdict="SURVIVED: $verdict"
    fi
    echo "| $name | \`$file\` | $verdict |" | tee -a "$table"
    cp "$file" "$src/$file"
done <<<"$mutants"

echo
echo "probe: $caught of $total caught ($days random days)"
[ $missing -eq 0 ] && [ $total -gt 0 ] && [ $((caught * 10)) -ge $((total * 9)) ] || exit 1
$write || exit 0
body=$(mktemp)
{
    echo "<!-- begin probe -->"
    echo "## bench/probe.sh"
    echo
    echo "- Date: $(date -u '+%Y-%m-%d %H:%M UTC'); commit $(git rev-parse --short HEAD 2>/dev/null || echo unknown)"
    echo "- Machine: $(nproc) CPUs, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1), Linux $(uname -r)"
    echo "- Command: \`bench/probe.sh --write\` ($days random days a mutant)"
    echo
    echo "Each mutant is a known fault put into a copy of the tree; it is caught"
    echo "when the native unit tests or the simulated days fail on it. The first"
    echo "eight survived the probe of commit 339e577 (21 of 30 caught then). $caught"
    echo "of $total caught."
    echo
    echo "| mutant | file | verdict |"
    echo "|---|---|---|"
    cat "$table"
    echo "<!-- end probe -->"
} >"$body"
source bench/results-lib.sh && write_section probe "$body"
rm -f "$body"
