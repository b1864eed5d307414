#!/usr/bin/env bash
# Simulated days of the restart policy (bench/PolicyDays.cpp), native, on the
# simulation's virtual clock: the fixed rows, then seeded random days (100 by
# default, a few seconds; --write runs 1000 and puts the tables into
# bench/RESULTS.md). Exits non-zero when a promise breaks, after printing the
# day's seed and the shortest stretch of its runs that breaks it.
#
#   bench/days.sh [--write] [--days N] [--seed S]
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
die() { echo "days: $*" >&2; exit 1; }

native=build/days
cmake -S . -B "$native" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAVRILEX_TESTS=OFF >/dev/null &&
    cmake --build "$native" --target tavrilex_core win32_sim >/dev/null || die "the native build failed"
g++ -O2 -std=c++17 -Wall -Wextra -Werror -Ihost -Iwatchdog -Icli -Iplatform -Itests/sim \
    bench/PolicyDays.cpp "$native/libtavrilex_core.a" "$native/tests/sim/libwin32_sim.a" -pthread \
    -o "$native/policydays" || die "PolicyDays did not build"

write=false days=100 seed=20261209
while [ $# -gt 0 ]; do
    case $1 in
    --write) write=true days=1000 ;;
    --days) days=$2; shift ;;
    --seed) seed=$2; shift ;;
    *) die "unknown argument $1" ;;
    esac
    shift
done
table=$("$native/policydays" --days "$days" --seed "$seed")
status=$?
echo "$table"
[ "$status" -eq 0 ] || echo "days: a promise breaks" >&2

if $write && [ "$status" -eq 0 ]; then
    body=$(mktemp)
    trap 'rm -f "$body"' EXIT
    {
        echo "<!-- begin days -->"
        echo "## bench/days.sh"
        echo
        echo "- Date: $(date -u '+%Y-%m-%d %H:%M UTC'); commit $(git rev-parse --short HEAD 2>/dev/null || echo unknown)"
        echo "- Command: \`bench/days.sh --write\` (native, the simulation's virtual clock; fixed rows seed 20261209, random days seeded $seed to $((seed + days - 1)))"
        echo
        echo "A day of the restart policy per row, driven with the calls the loop and"
        echo "the stop watcher make: the watcher is told of each stop at once unless"
        echo "it pauses, the poll comes every 5 s. The random days draw each day's"
        echo "quorbel from its seed: quick crashes, runs of seconds to hours, bursts,"
        echo "an administrator's stops, stops answered by someone else's start (ours"
        echo "refused with 1056), stops that hang in STOP_PENDING, wrong logons. The"
        echo "promises, checked after every step: at most seven of the policy's own"
        echo "records in any hour; warnings an hour apart, one to open an episode,"
        echo "no start record during it, at most one close and none within an hour"
        echo "of a stop; every stop mended at once outside a fast crash loop (or a"
        echo "stop answered elsewhere that the poll has not yet found running); a"
        echo "wrong logon tried at most once in 10 minutes. Worst hour: the most"
        echo "records of the policy's own within any 60 minutes; worst day: the most"
        echo "in one day. The described error records (ID 0) are not the policy's."
        echo
        echo "Before each kind of record had its limit (commit 9bcec19), the first"
        echo "random day, seed 20261209, broke \"two warnings within an hour\": a crash"
        echo "loop beginning inside an episode warned each time. The 65 s, 1 s, 1 s"
        echo "row then got 1234 warnings a day, the half-quick row 230; seed 20261210"
        echo "showed a stop kept counted after someone else's start, its next stop"
        echo "left to the poll."
        echo
        echo "$table"
        echo "<!-- end days -->"
    } >"$body"
    results=bench/RESULTS.md
    awk -v body="$body" '
        $0 == "<!-- begin days -->" { skip = 1; while ((getline line < body) > 0) print line; found = 1; next }
        $0 == "<!-- end days -->" { skip = 0; next }
        !skip { print }
        END { if (!found) { print ""; while ((getline line < body) > 0) print line } }
    ' "$results" >"$results.new" && mv "$results.new" "$results"
fi
exit "$status"
